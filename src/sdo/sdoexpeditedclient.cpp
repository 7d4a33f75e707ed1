#include "sdoexpeditedclient.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "sdovaluecodec.h"
#include "tarnwicklogging_p.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <limits>

static void registerSdoTypes()
{
    qRegisterMetaType<CAN::CANopenDataType>("CAN::CANopenDataType");
}
Q_CONSTRUCTOR_FUNCTION(registerSdoTypes)

SDOExpeditedClient::SDOExpeditedClient(QObject *parent)
    : CANopenService(parent)
{
    timer = new QTimer(this);
    // One expiry per request; a repeating timer would keep waking an idle client.
    timer->setSingleShot(true);
    timer->setInterval(int(sdoTimeout));
    connect(timer, &QTimer::timeout, this, &SDOExpeditedClient::timeout);
}

SDOExpeditedClient::SDOExpeditedClient(
    quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent)
    : SDOExpeditedClient(parent)
{
    mScheduler = scheduler;
    SDOExpeditedClient::setCobIds(serverCob, clientCob, false);
}

SDOExpeditedClient::~SDOExpeditedClient()
{
    if (mScheduler && registration)
        mScheduler->unregisterCan(registration, this);
    delete timer.data();
}

AbstractCanAdapter *SDOExpeditedClient::adapter() const
{
    return mScheduler ? mScheduler->canAdapter() : nullptr;
}

void SDOExpeditedClient::registerReception()
{
    if (!mScheduler)
        return;
    if (registration)
        mScheduler->unregisterCan(registration, this);
    registration = mScheduler->registerCanId(serverCob, extended);
    if (registration)
        connect(registration.data(), &CanSender::received, this, &SDOExpeditedClient::newCanMessageReceived,
            Qt::DirectConnection);
}

CAN::RetType SDOExpeditedClient::setCobIds(quint32 serverCob, quint32 clientCob, bool extended)
{
    if (busy.load())
        return CAN::RetType_Busy;
    this->serverCob = serverCob;
    this->clientCob = clientCob;
    this->extended = extended;
    transferKind = TransferKind_None;
    registerReception();
    return CAN::RetType_OK;
}

CAN::RetType SDOExpeditedClient::setCanScheduler(CanScheduler *scheduler)
{
    if (busy.load())
        return CAN::RetType_Busy;
    if (mScheduler && registration)
        mScheduler->unregisterCan(registration, this);
    registration.clear();
    mScheduler = scheduler;
    registerReception();
    return CAN::RetType_OK;
}

CAN::RetType SDOExpeditedClient::setSdoTimeout(quint32 ms)
{
    if (busy.load())
        return CAN::RetType_Busy;
    sdoTimeout = ms;
    timer->setSingleShot(true);
    timer->setInterval(int(qMin<quint32>(ms, quint32(std::numeric_limits<int>::max()))));
    return CAN::RetType_OK;
}

CAN::RetType SDOExpeditedClient::sendSdoFrame(const quint8 bytes[8])
{
    AbstractCanAdapter *a = adapter();
    if (!a)
        return CAN::RetType_NoLink;
    CAN::CanMessage frame;
    frame.id = clientCob;
    frame.length = 8;
    frame.extended = extended;
    std::memcpy(frame.data, bytes, 8);
    return a->sendCanMessage(frame);
}

CAN::RetType SDOExpeditedClient::sendAbortFrame(quint32 code)
{
    quint8 bytes[8] = { 0x80, quint8(index), quint8(index >> 8), subIndex, 0, 0, 0, 0 };
    qToLittleEndian<quint32>(code, bytes + 4);
    return sendSdoFrame(bytes);
}

void SDOExpeditedClient::setTransferActive(bool active)
{
    if (AbstractCanAdapter *a = adapter())
        a->setCanAdapterOption(AdapterOption_TransferActive, active);
}

CAN::RetType SDOExpeditedClient::read(quint16 index, quint8 sub, CAN::CANopenDataType type)
{
    if (!SDOValueCodec::isNumberOfFourBytes(type))
        return CAN::RetType_InvalidRequest;
    if (busy.load())
        return CAN::RetType_Busy;
    timer->stop();
    this->index = index;
    subIndex = sub;
    dataType = type;
    const quint8 request[8] = { 0x40, quint8(index), quint8(index >> 8), sub, 0, 0, 0, 0 };
    if (!adapter())
        return CAN::RetType_NoLink;
    busy = 1;
    transferKind = TransferKind_Upload;
    if (sdoTimeout != 0)
        timer->start();
    const CAN::RetType ret = sendSdoFrame(request);
    if (ret != CAN::RetType_OK) {
        timer->stop();
        busy = 0;
        return ret;
    }
    if (sdoTimeout == 0)
        busy = 0; // unsupervised: the answer is not awaited
    return CAN::RetType_OK;
}

CAN::RetType SDOExpeditedClient::write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value)
{
    if (busy.load())
        return CAN::RetType_Busy;
    timer->stop();
    this->index = index;
    subIndex = sub;
    dataType = type;
    quint8 request[8] = { 0, quint8(index), quint8(index >> 8), sub, 0, 0, 0, 0 };
    if (SDOValueCodec::encodeExpedited(type, value, request[0], request + 4) != CAN::RetType_OK)
        return CAN::RetType_InvalidRequest;
    if (!adapter())
        return CAN::RetType_NoLink;
    transferKind = TransferKind_Download;
    busy = 1;
    writeValue = value;
    if (sendSdoFrame(request) != CAN::RetType_OK) {
        busy = 0;
        return CAN::RetType_NoLink;
    }
    if (sdoTimeout != 0)
        timer->start();
    else
        busy = 0;
    return CAN::RetType_OK;
}

void SDOExpeditedClient::newCanMessageReceived(CAN::CanRxMessage message)
{
    if (busy.load() != 1)
        return;
    // CiA 301 SDO frames carry eight bytes; anything shorter is not an answer.
    if (message.id != serverCob || message.remote || message.length < 8)
        return;
    const quint8 *d = message.data;
    if (qFromLittleEndian<quint16>(d + 1) != index || d[3] != subIndex)
        return;
    const quint8 command = d[0];
    // An upload answered with e = 0 announces a segmented transfer this client cannot follow.
    if ((command & 0x4F) == 0x41 || (transferKind == TransferKind_Upload && (command & 0xE2) == 0x40)) {
        busy = 0;
        timer->stop();
        emit errorReceived(index, subIndex, 0x08000000);
    } else if (command & 0x40) {
        busy = 0;
        timer->stop();
        const QVariant result = transferKind == TransferKind_Upload
            ? SDOValueCodec::decodeExpedited(dataType, qFromLittleEndian<quint32>(d + 4))
            : writeValue;
        emit resultReceived(index, subIndex, result);
    } else if (command & 0x80) {
        busy = 0;
        timer->stop();
        emit errorReceived(index, subIndex, qFromLittleEndian<quint32>(d + 4));
    }
}

void SDOExpeditedClient::timeout()
{
    if (busy.load() == 0)
        return;
    // Without an adapter no abort can go out; the transfer still ends here.
    sendAbortFrame(0x05040000);
    busy = 0;
    emit errorReceived(index, subIndex, 0x05040000);
}

CAN::RetType SDOExpeditedClient::abort(quint32 code)
{
    if (busy.load() == 1) {
        timer->stop();
        busy = 0;
        transferKind = 3;
    }
    if (mScheduler && code != 0) {
        sendAbortFrame(code);
        transferKind = 3;
        setTransferActive(false);
        emit errorReceived(index, subIndex, code);
    }
    return CAN::RetType_OK;
}
