#include "udsclient.h"

#include "canscheduler.h"
#include "cansender.h"
#include "isotphandler.h"
#include "tarnwicklogging_p.h"

namespace {
constexpr quint8 kSuppressBit = 0x80;
constexpr quint8 kNegativeResponse = 0x7F;
constexpr quint8 kResponsePending = 0x78;
constexpr int kMaxTransferDataBytes = 4094;

void appendBigEndian(QByteArray &out, quint32 value, int bytes)
{
    // Wider fields than 32 bits get leading zero bytes.
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char(i < 4 ? quint8(value >> (8 * i)) : 0));
}

void append16(QByteArray &out, quint16 value)
{
    out.append(char(value >> 8));
    out.append(char(value & 0xFF));
}

QByteArray request(quint8 sid, int reserve)
{
    QByteArray message;
    message.reserve(reserve + 1);
    message.append(char(sid));
    return message;
}

quint8 subFunction(quint8 value, bool suppress)
{
    return suppress ? quint8(value | kSuppressBit) : value;
}
} // namespace

UDSClient::UDSClient(CanScheduler *scheduler, QObject *parent)
    : QObject(parent)
    , mScheduler(scheduler)
{
    mResponseWindow.setSingleShot(true);
    if (mScheduler) {
        mPhysicalTransport = createTransport();
        mFunctionalTransport = createTransport();
    }
}

UDSClient::~UDSClient()
{
    for (ISOTPHandler *t : { mPhysicalTransport.data(), mFunctionalTransport.data() }) {
        if (!t)
            continue;
        t->abortTranfer();
        disconnect(t, nullptr, this, nullptr);
        if (mScheduler && t->mSender)
            mScheduler->unregisterCan(t->mSender, t);
    }
}

ISOTPHandler *UDSClient::createTransport()
{
    auto *t = new ISOTPHandler(mScheduler.data(), this);
    connect(t, &ISOTPHandler::dataReceived, this, &UDSClient::dataReceived);
    connect(t, &ISOTPHandler::timeout, this, &UDSClient::timerElasped);
    connect(t, &ISOTPHandler::error, this, &UDSClient::isotpError);
    return t;
}

void UDSClient::configureTransports(
    quint32 requestId, quint32 responseId, quint32 functionalId, bool extended)
{
    mRequestCanId = requestId;
    mResponseCanId = responseId;
    mFunctionalCanId = functionalId;
    if (!mScheduler)
        return;
    if (!mPhysicalTransport)
        mPhysicalTransport = createTransport();
    if (!mFunctionalTransport)
        mFunctionalTransport = createTransport();
    mPhysicalTransport->mTxCanId = requestId;
    mFunctionalTransport->mTxCanId = functionalId;
    mPhysicalTransport->mTxExtAddress = extended ? mRequestExtAddress : 0;
    mFunctionalTransport->mTxExtAddress = extended ? mFunctionalExtAddress : 0;
    for (ISOTPHandler *t : { mPhysicalTransport.data(), mFunctionalTransport.data() }) {
        t->mRxCanId = responseId;
        t->mTxExtAddressing = extended;
        t->mRxExtAddressing = extended;
        t->mRxExtAddress = extended ? mResponseExtAddress : 0;
        t->enableCANFD(mCanFD);
    }
}

void UDSClient::setCanIDs(quint32 requestId, quint32 responseId, quint32 functionalId)
{
    configureTransports(requestId, responseId, functionalId, false);
}

void UDSClient::setCanIDsExt(quint32 requestId, quint8 requestAddress, quint32 responseId,
    quint8 responseAddress, quint32 functionalId, quint8 functionalAddress)
{
    mRequestExtAddress = requestAddress;
    mResponseExtAddress = responseAddress;
    mFunctionalExtAddress = functionalAddress;
    configureTransports(requestId, responseId, functionalId, true);
}

void UDSClient::setCANFD(bool enable)
{
    mCanFD = enable;
    if (!mScheduler)
        return;
    if (mPhysicalTransport)
        mPhysicalTransport->enableCANFD(enable);
    if (mFunctionalTransport)
        mFunctionalTransport->enableCANFD(enable);
}

void UDSClient::setIsoTPsetGapOffset(quint8 offset)
{
    if (mPhysicalTransport)
        mPhysicalTransport->mGapOffset = offset;
}

void UDSClient::setIsoTPIgnoreSTmin(bool ignore)
{
    if (mPhysicalTransport)
        mPhysicalTransport->mIgnoreSTmin = ignore;
}

void UDSClient::setResponseTimeout(quint16 timeoutMs)
{
    mResponseTimeout = timeoutMs;
}

QByteArray UDSClient::getResponseData() const
{
    QByteArray data;
    // The transport that delivered last: the physical one, unless a functionally addressed
    // request was answered.
    ISOTPHandler *transport = mLastTransport ? mLastTransport.data() : mPhysicalTransport.data();
    if (transport)
        transport->getReceivedData(data);
    return data;
}

void UDSClient::abortService()
{
    if (mPhysicalTransport)
        mPhysicalTransport->abortTranfer();
    if (mFunctionalTransport)
        mFunctionalTransport->abortTranfer();
    mBusy = Busy_Idle;
}

CAN::RetType UDSClient::sendRequest(QByteArray &message, bool suppress, bool functional)
{
    ISOTPHandler *transport = functional ? mFunctionalTransport.data() : mPhysicalTransport.data();
    if (!transport)
        return CAN::RetType_NoLink;
    mLastTransport = mPhysicalTransport;
    int started;
    if (suppress) {
        mBusy = Busy_Idle;
        started = transport->startTransfer(message, false);
    } else {
        mBusy = Busy_Waiting;
        mRequestSid = quint8(message.at(0));
        mResponseWindow.start(qMax<int>(mResponseTimeout, 1));
        transport->mTimeout = mResponseTimeout;
        started = transport->startTransfer(message, true);
    }
    if (started != CAN::RetType_OK) {
        // Nothing went out (the transport is still sending a suppressed request, has no
        // registration, or the adapter refused the frame): no answer will come either.
        mBusy = Busy_Idle;
        return CAN::RetType(started);
    }
    return CAN::RetType_OK;
}

bool UDSClient::memoryRequest(
    QByteArray &message, quint8 sizeLength, quint8 addressLength, quint32 address, quint32 size) const
{
    // A length has one nibble of the addressAndLengthFormatIdentifier.
    if (sizeLength > 15 || addressLength > 15)
        return false;
    appendBigEndian(message, address, addressLength);
    appendBigEndian(message, size, sizeLength);
    return true;
}

// Every operation: busy first, then a missing transport, then the message itself.
#define UDS_GUARD(functional)                                                                                \
    if (mBusy != Busy_Idle)                                                                                  \
        return CAN::RetType_Busy;                                                                            \
    if (!((functional) ? mFunctionalTransport : mPhysicalTransport))                                         \
        return CAN::RetType_NoLink;

CAN::RetType UDSClient::DiagnosticSessionControl(quint8 sessionType)
{
    UDS_GUARD(false)
    QByteArray m = request(0x10, 1);
    m.append(char(sessionType));
    return sendRequest(m, false);
}

CAN::RetType UDSClient::ECUReset(quint8 resetType, bool suppressResponse)
{
    UDS_GUARD(false)
    QByteArray m = request(0x11, 1);
    m.append(char(subFunction(resetType, suppressResponse)));
    return sendRequest(m, suppressResponse);
}

CAN::RetType UDSClient::ClearDiagnosticInformation(quint32 groupOfDTC)
{
    UDS_GUARD(false)
    QByteArray m = request(0x14, 3);
    appendBigEndian(m, groupOfDTC, 3);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::ReadDTCInformation(quint8 reportType, QByteArray parameters)
{
    UDS_GUARD(false)
    QByteArray m = request(0x19, 1 + parameters.size());
    m.append(char(reportType));
    m.append(parameters);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::ReadDataByIdentifers(QList<quint16> identifiers)
{
    UDS_GUARD(false)
    QByteArray m = request(0x22, 2 * identifiers.size());
    for (quint16 id : qAsConst(identifiers))
        append16(m, id);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::ReadMemoryByAddress(
    quint8 sizeLength, quint8 addressLength, quint32 address, quint32 size)
{
    UDS_GUARD(false)
    QByteArray m = request(0x23, 1 + sizeLength + addressLength);
    m.append(char(quint8((sizeLength << 4) + addressLength)));
    if (!memoryRequest(m, sizeLength, addressLength, address, size))
        return CAN::RetType_NoLink;
    return sendRequest(m, false);
}

CAN::RetType UDSClient::SecurityAccess(quint8 accessType, QByteArray data, bool suppressResponse)
{
    qCDebug(lcUds) << "CAN::RetType UDSClient::SecurityAccess(quint8, QByteArray, bool)" << accessType
                   << data.size();
    UDS_GUARD(false)
    QByteArray m = request(0x27, 1 + data.size());
    m.append(char(subFunction(accessType, suppressResponse)));
    m.append(data);
    return sendRequest(m, suppressResponse);
}

CAN::RetType UDSClient::ControlCommunication(
    quint8 controlType, quint8 communicationType, bool suppressResponse)
{
    if (controlType == 4 || controlType == 5) {
        qCDebug(lcUds) << "CAN::RetType UDSClient::ControlCommunication(quint8, quint8, bool)";
        qCDebug(lcUds) << "Subfunction not supported.";
        return CAN::RetType_NoLink;
    }
    UDS_GUARD(false)
    QByteArray m = request(0x28, 2);
    m.append(char(subFunction(controlType, suppressResponse)));
    m.append(char(communicationType));
    return sendRequest(m, suppressResponse);
}

CAN::RetType UDSClient::Authentication(quint8 authenticationTask, const QByteArray &data)
{
    UDS_GUARD(false)
    QByteArray m = request(0x29, 1 + data.size());
    m.append(char(authenticationTask));
    m.append(data);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::ReadDataByIdentifersPeriodic(quint8 transmissionMode, QList<quint8> identifiers)
{
    UDS_GUARD(false)
    QByteArray m = request(0x2A, 1 + identifiers.size());
    m.append(char(transmissionMode));
    for (quint8 id : qAsConst(identifiers))
        m.append(char(id));
    return sendRequest(m, false);
}

CAN::RetType UDSClient::WriteDataByIdentifer(quint16 identifier, QByteArray data)
{
    UDS_GUARD(false)
    QByteArray m = request(0x2E, 2 + data.size());
    append16(m, identifier);
    m.append(data);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::IOControlByIdentifier(quint16 identifier, quint8 controlParameter, QByteArray data)
{
    UDS_GUARD(false)
    QByteArray m = request(0x2F, 3 + data.size());
    append16(m, identifier);
    m.append(char(controlParameter));
    m.append(data);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::RoutineControl(
    quint8 controlType, quint16 routineId, QByteArray options, bool suppressResponse)
{
    UDS_GUARD(false)
    QByteArray m = request(0x31, 3 + options.size());
    m.append(char(subFunction(controlType, suppressResponse)));
    append16(m, routineId);
    m.append(options);
    return sendRequest(m, suppressResponse);
}

CAN::RetType UDSClient::RequestDownload(
    quint8 dataFormat, quint8 addressLength, quint8 sizeLength, quint32 address, quint32 size)
{
    return requestTransfer(0x34, dataFormat, addressLength, sizeLength, address, size);
}

CAN::RetType UDSClient::RequestUpload(
    quint8 dataFormat, quint8 addressLength, quint8 sizeLength, quint32 address, quint32 size)
{
    return requestTransfer(0x35, dataFormat, addressLength, sizeLength, address, size);
}

// RequestDownload and RequestUpload share their layout: dataFormatIdentifier,
// addressAndLengthFormatIdentifier (size length high nibble), address, size.
CAN::RetType UDSClient::requestTransfer(
    quint8 sid, quint8 dataFormat, quint8 addressLength, quint8 sizeLength, quint32 address, quint32 size)
{
    UDS_GUARD(false)
    QByteArray m = request(sid, 2 + addressLength + sizeLength);
    m.append(char(dataFormat));
    m.append(char(quint8((sizeLength << 4) | (addressLength & 0x0F))));
    if (!memoryRequest(m, sizeLength, addressLength, address, size))
        return CAN::RetType_NoLink;
    return sendRequest(m, false);
}

CAN::RetType UDSClient::TransferData(quint8 blockSequenceCounter, const QByteArray &data)
{
    if (data.size() > kMaxTransferDataBytes)
        return CAN::RetType_NoLink;
    UDS_GUARD(false)
    QByteArray m = request(0x36, 1 + data.size());
    m.append(char(blockSequenceCounter));
    m.append(data);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::RequestTransferExit(QByteArray parameters)
{
    UDS_GUARD(false)
    QByteArray m = request(0x37, parameters.size());
    m.append(parameters);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::WriteMemoryByAddress(
    quint8 sizeLength, quint8 addressLength, quint32 address, quint32 size, QByteArray data)
{
    UDS_GUARD(false)
    QByteArray m = request(0x3D, 1 + sizeLength + addressLength + data.size());
    m.append(char(quint8((sizeLength << 4) + addressLength)));
    if (!memoryRequest(m, sizeLength, addressLength, address, size))
        return CAN::RetType_NoLink;
    m.append(data);
    return sendRequest(m, false);
}

CAN::RetType UDSClient::TesterPresent(bool functional, bool suppressResponse)
{
    UDS_GUARD(functional)
    QByteArray m = request(0x3E, 1);
    m.append(char(subFunction(0x00, suppressResponse)));
    return sendRequest(m, suppressResponse, functional);
}

CAN::RetType UDSClient::ControlDTCSetting(quint8 settingType, bool suppressResponse, QByteArray parameters)
{
    UDS_GUARD(false)
    QByteArray m = request(0x85, 1 + parameters.size());
    m.append(char(subFunction(settingType, suppressResponse)));
    m.append(parameters);
    return sendRequest(m, suppressResponse);
}

#undef UDS_GUARD

void UDSClient::dataReceived(quint32 deviceCanId)
{
    auto *transport = qobject_cast<ISOTPHandler *>(sender());
    if (!transport)
        transport = mPhysicalTransport.data();
    if (!transport)
        return;
    mLastTransport = transport;
    QByteArray message;
    transport->getReceivedData(message);
    // Only the answer to the pending request counts: a positive response to its service, or a
    // negative one naming it. Anything else (a late answer to an earlier request, a repetition)
    // is ignored, and the wait goes on for the time left.
    const quint8 first = message.isEmpty() ? 0 : quint8(message.at(0));
    const bool answers = first == kNegativeResponse
        ? message.size() > 2 && quint8(message.at(1)) == mRequestSid
        : !message.isEmpty() && first == quint8(mRequestSid + 0x40);
    if (!answers) {
        qCDebug(lcUds) << "answer to another request ignored:" << message.left(3).toHex();
        if (mBusy != Busy_Waiting)
            return;
        const qint64 left = mResponseTimeout == 0 ? 0 : mResponseWindow.remainingTime();
        if ((mResponseTimeout != 0 && left <= 0)
            || transport->waitForTransfer(quint16(left)) != CAN::RetType_OK)
            timerElasped(deviceCanId);
        else
            transport->mTimeout = mResponseTimeout;
        return;
    }
    if (first == kNegativeResponse) {
        const quint8 nrc = quint8(message.at(2));
        if (nrc == kResponsePending) {
            // The server needs more time: supervise again, with the buffer cleared.
            mResponseWindow.start(qMax<int>(mResponseTimeout, 1));
            if (transport->waitForTransfer(mResponseTimeout) != CAN::RetType_OK) {
                // The transport cannot wait any more (its scheduler is gone).
                timerElasped(deviceCanId);
            }
            return;
        }
        // The host may destroy the client from its error slot; response() must not follow then.
        const QPointer<UDSClient> self(this);
        emit error(nrc);
        if (!self)
            return;
    }
    mBusy = Busy_Idle;
    emit response();
}

void UDSClient::timerElasped(quint32 deviceCanId)
{
    Q_UNUSED(deviceCanId)
    const bool wasBusy = mBusy == Busy_Waiting;
    mBusy = Busy_Idle;
    if (wasBusy)
        emit timeout();
}

void UDSClient::isotpError(quint32 deviceCanId)
{
    timerElasped(deviceCanId);
}
