#include "usdoexpeditedclient.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "sdovaluecodec.h"
#include "tarnwicklogging_p.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <limits>

// USDO command specifiers of CiA 1301 (client requests; the server answers with 0x20 added).
namespace {
constexpr quint8 kExpeditedDownload = 0x01;
constexpr quint8 kExpeditedUpload = 0x11;
constexpr quint8 kAbort = 0x7F;
constexpr quint8 kRoutedFlag = 0x80;
constexpr quint8 kExpeditedAnswer = 0x21; // (cmd & 0xEF): 0x21 download, 0x31 upload
constexpr quint8 kUsdoTimeout = 0x12;
}

USDOExpeditedClient::USDOExpeditedClient(QObject *parent)
    : CANopenService(parent)
{
    timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(int(sdoTimeout));
    connect(timer, &QTimer::timeout, this, &USDOExpeditedClient::timeout);
}

USDOExpeditedClient::USDOExpeditedClient(
    quint8 localId, quint8 nodeId, CanScheduler *scheduler, QObject *parent)
    : USDOExpeditedClient(parent)
{
    mScheduler = scheduler;
    USDOExpeditedClient::setNodeIds(localId, nodeId);
}

USDOExpeditedClient::~USDOExpeditedClient()
{
    dropRegistrations();
    delete timer.data();
}

AbstractCanAdapter *USDOExpeditedClient::adapter() const
{
    return mScheduler ? mScheduler->canAdapter() : nullptr;
}

void USDOExpeditedClient::dropRegistrations()
{
    if (mScheduler) {
        if (registration)
            mScheduler->unregisterCan(registration, this);
        for (const QPointer<CanSender> &s : qAsConst(broadcastRegistrations))
            if (s)
                mScheduler->unregisterCan(s, this);
        if (gatewayRegistration)
            mScheduler->unregisterCan(gatewayRegistration, this);
    }
    registration.clear();
    broadcastRegistrations.clear();
    gatewayRegistration.clear();
}

void USDOExpeditedClient::registerReception()
{
    dropRegistrations();
    if (!mScheduler)
        return;
    // Node-ID 0 (broadcast) registers the answers of every node with its first request.
    if (nodeId != 0) {
        registration = mScheduler->registerCanId(rxCob);
        if (registration)
            connect(registration, SIGNAL(received(CAN::CanRxMessage)), this,
                SLOT(newCanMessageReceived(CAN::CanRxMessage)), Qt::DirectConnection);
    }
    registerGateway();
}

void USDOExpeditedClient::registerBroadcastReception()
{
    if (!mScheduler || nodeId != 0 || !broadcastRegistrations.isEmpty())
        return;
    // A broadcast is answered by every node on its own channel.
    broadcastRegistrations = mScheduler->registerCanIdRange(0x581, 0x5FF);
    for (const QPointer<CanSender> &s : qAsConst(broadcastRegistrations))
        if (s)
            connect(s, SIGNAL(received(CAN::CanRxMessage)), this,
                SLOT(newCanMessageReceived(CAN::CanRxMessage)),
                Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
}

void USDOExpeditedClient::registerGateway()
{
    if (mScheduler && gatewayRegistration)
        mScheduler->unregisterCan(gatewayRegistration, this);
    gatewayRegistration.clear();
    // A routed answer comes from the gateway, on its channel.
    if (!mScheduler || !routed || gatewayNode == 0 || 0x580u + gatewayNode == rxCob)
        return;
    gatewayRegistration = mScheduler->registerCanId(0x580u + gatewayNode);
    if (gatewayRegistration)
        connect(gatewayRegistration, SIGNAL(received(CAN::CanRxMessage)), this,
            SLOT(newCanMessageReceived(CAN::CanRxMessage)), Qt::DirectConnection);
}

CAN::RetType USDOExpeditedClient::setNodeIds(quint8 localId, quint8 nodeId)
{
    if (isBusy())
        return CAN::RetType_Busy;
    this->localId = localId;
    this->nodeId = nodeId;
    txCob = 0x600u + localId;
    rxCob = 0x580u + nodeId;
    kind = Kind_None;
    registerReception();
    return CAN::RetType_OK;
}

CAN::RetType USDOExpeditedClient::setCanScheduler(CanScheduler *scheduler)
{
    if (isBusy())
        return CAN::RetType_Busy;
    dropRegistrations();
    mScheduler = scheduler;
    registerReception();
    return CAN::RetType_OK;
}

CAN::RetType USDOExpeditedClient::setSdoTimeout(quint32 ms)
{
    if (isBusy())
        return CAN::RetType_Busy;
    sdoTimeout = ms;
    timer->setSingleShot(true);
    timer->setInterval(int(qMin<quint32>(ms, quint32(std::numeric_limits<int>::max()))));
    return CAN::RetType_OK;
}

void USDOExpeditedClient::setRouting(bool routed, quint8 gatewayNode, quint8 destNetwork, quint8 destNode)
{
    const bool changed = routed != this->routed || gatewayNode != this->gatewayNode;
    this->routed = routed;
    this->gatewayNode = gatewayNode;
    this->destNetwork = destNetwork;
    this->destNode = destNode;
    if (changed)
        registerGateway();
}

void USDOExpeditedClient::setTransferActive(bool active)
{
    if (AbstractCanAdapter *a = adapter())
        a->setCanAdapterOption(AdapterOption_TransferActive, active);
}

CAN::RetType USDOExpeditedClient::sendUsdoFrame(const quint8 *bytes, int length, bool brs)
{
    AbstractCanAdapter *a = adapter();
    if (!a)
        return CAN::RetType_NoLink;
    CAN::CanMessage frame;
    frame.id = txCob;
    frame.fd = true;
    frame.bitRateSwitch = brs;
    frame.length = quint8(length);
    std::memcpy(frame.data, bytes, size_t(length));
    return a->sendCanMessage(frame);
}

void USDOExpeditedClient::putHeader(quint8 *frame, quint8 command) const
{
    frame[0] = nodeId;
    frame[1] = command;
    frame[2] = session;
    frame[3] = subIndex;
    qToLittleEndian<quint16>(index, frame + 4);
}

int USDOExpeditedClient::putRequestHeader(quint8 *frame, quint8 command) const
{
    if (!routed) {
        putHeader(frame, command);
        return 6;
    }
    // Gateway, command, session, then the route: destination network and node, source network
    // and node; the object follows four bytes later than unrouted.
    frame[0] = gatewayNode;
    frame[1] = quint8(command | kRoutedFlag);
    frame[2] = session;
    frame[3] = destNetwork;
    frame[4] = destNode;
    frame[5] = sourceNetwork;
    frame[6] = localId;
    frame[7] = subIndex;
    qToLittleEndian<quint16>(index, frame + 8);
    return 10;
}

CAN::RetType USDOExpeditedClient::sendRequest(const quint8 *frame, int length, int requestKind)
{
    requestSession = session++;
    if (!adapter())
        return CAN::RetType_NoLink;
    registerBroadcastReception();
    state = State_Waiting;
    kind = requestKind;
    if (sendUsdoFrame(frame, length, !routed) != CAN::RetType_OK) {
        state = State_Idle;
        return CAN::RetType_NoLink;
    }
    if (sdoTimeout == 0)
        state = State_Idle;
    else
        timer->start();
    return CAN::RetType_OK;
}

CAN::RetType USDOExpeditedClient::sendAbortFrame(quint8 code)
{
    // Routed requests are aborted with the same frame (the gateway sees the session).
    quint8 frame[7] = { nodeId, kAbort, requestSession, subIndex, quint8(index), quint8(index >> 8), code };
    return sendUsdoFrame(frame, 7);
}

static bool isUsdoUploadType(CAN::CANopenDataType type)
{
    switch (type) {
    case CAN::BOOLEAN:
    case CAN::INTEGER8:
    case CAN::INTEGER16:
    case CAN::INTEGER32:
    case CAN::UNSIGNED8:
    case CAN::UNSIGNED16:
    case CAN::UNSIGNED32:
    case CAN::REAL32:
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
    case CAN::DOMAIN:
    case CAN::INTEGER24:
    case CAN::INTEGER64:
    case CAN::UNSIGNED24:
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED64:
        return true;
    case CAN::UNICODE_STRING:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE:
    case CAN::REAL64:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::UNSIGNED56:
        return false;
    }
    return false;
}

CAN::RetType USDOExpeditedClient::read(quint16 index, quint8 sub, CAN::CANopenDataType type)
{
    if (!isUsdoUploadType(type))
        return CAN::RetType_InvalidRequest;
    if (isBusy())
        return CAN::RetType_Busy;
    timer->stop();
    this->index = index;
    subIndex = sub;
    dataType = type;
    quint8 frame[12] = {};
    // A routed request carries two more bytes after the object.
    const int length = putRequestHeader(frame, kExpeditedUpload) + (routed ? 2 : 0);
    return sendRequest(frame, length, nodeId == 0 ? Kind_BroadcastUpload : Kind_Upload);
}

CAN::RetType USDOExpeditedClient::write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value)
{
    if (isBusy())
        return CAN::RetType_Busy;
    timer->stop();
    this->index = index;
    subIndex = sub;
    dataType = type;
    QByteArray bytes;
    if (SDOValueCodec::encodeUsdo(type, value, bytes) != CAN::RetType_OK)
        return CAN::RetType_InvalidRequest;
    const int n = int(bytes.size());
    quint8 frame[68] = {};
    const int at = putRequestHeader(frame, kExpeditedDownload);
    frame[at] = quint8(type);
    frame[at + 1] = quint8(n);
    std::memcpy(frame + at + 2, bytes.constData(), size_t(n));
    const CAN::RetType ret
        = sendRequest(frame, qMin(64, at + 2 + n), nodeId == 0 ? Kind_BroadcastDownload : Kind_Download);
    if (ret == CAN::RetType_OK)
        writeValue = value;
    return ret;
}

bool USDOExpeditedClient::answerMatches(const CAN::CanRxMessage &m) const
{
    return m.length >= 3 && m.data[0] == localId && m.data[2] == requestSession;
}

bool USDOExpeditedClient::routedAnswerMatches(const CAN::CanRxMessage &m) const
{
    // Routed answers mirror the routed request: the object stands at 7 (sub) and 8-9 (index).
    return m.length >= 12 && answerMatches(m) && m.data[7] == subIndex
        && qFromLittleEndian<quint16>(m.data + 8) == index;
}

void USDOExpeditedClient::newCanMessageReceived(CAN::CanRxMessage message)
{
    if (state != State_Waiting && state != State_Collecting)
        return;
    const bool broadcast
        = state == State_Collecting || kind == Kind_BroadcastUpload || kind == Kind_BroadcastDownload;
    const bool fromGateway = routed && message.id == 0x580u + gatewayNode;
    if (!broadcast && message.id != rxCob && !fromGateway)
        return;
    if (message.remote || message.length < 3)
        return;
    const quint8 *d = message.data;
    const quint8 cmd = d[1];
    if (routed && !broadcast && (cmd & 0xEF) == (kExpeditedAnswer | kRoutedFlag)) {
        if (!routedAnswerMatches(message))
            return;
        const bool upload = kind == Kind_Upload;
        if (upload && d[11] > message.length - 12)
            return; // announces more value bytes than the frame holds
        handleExpeditedAnswer(message, d + 12, d[10], upload ? d[11] : 0);
        return;
    }
    if (cmd == (kAbort | kRoutedFlag) && routed && !broadcast) {
        if (!routedAnswerMatches(message) || message.length < 11)
            return;
        timer->stop();
        state = State_Idle;
        emit errorReceived(index, subIndex, d[10]);
        return;
    }
    // Unrouted layout: destination, command, session, sub-index, index.
    if (message.length < 6 || !answerMatches(message) || d[3] != subIndex
        || qFromLittleEndian<quint16>(d + 4) != index)
        return;
    if ((cmd & 0x7F) == kAbort) {
        if (message.length < 7)
            return;
        if (broadcast) {
            // One node's refusal does not end the collection of the others' answers.
            qCDebug(lcSdo) << "USDO broadcast abort from node" << (message.id & 0x7F) << "code" << d[6];
            return;
        }
        timer->stop();
        state = State_Idle;
        emit errorReceived(index, subIndex, d[6]);
        return;
    }
    if ((cmd & 0xEF) == kExpeditedAnswer) {
        const bool upload = kind == Kind_Upload || kind == Kind_BroadcastUpload;
        if (upload && (message.length < 8 || d[7] > message.length - 8))
            return; // announces more value bytes than the frame holds
        handleExpeditedAnswer(message, d + 8, message.length >= 8 ? d[6] : 0, upload ? d[7] : 0);
        return;
    }
    // Anything else answers the request wrongly: stop waiting, report it as a protocol error.
    // One node's wrong answer to a broadcast does not end the collection of the others' answers.
    if (broadcast) {
        qCDebug(lcSdo) << "USDO broadcast: unexpected answer from node" << (message.id & 0x7F);
        return;
    }
    qCDebug(lcSdo) << "USDO unexpected answer" << Qt::hex << cmd;
    abort(0x13);
}

void USDOExpeditedClient::handleExpeditedAnswer(
    const CAN::CanRxMessage &message, const quint8 *value, quint8 type, int n)
{
    const bool upload = kind == Kind_Upload || kind == Kind_BroadcastUpload;
    QVariant result = writeValue;
    bool faulty = false;
    if (upload) {
        if (n < 5 && type != CAN::VISIBLE_STRING && type != CAN::OCTET_STRING && type != CAN::DOMAIN) {
            // Unicast: decoded by the type the server names (flagged when it is not the one
            // asked for); broadcast: by the requested type.
            const CAN::CANopenDataType as = kind == Kind_Upload ? CAN::CANopenDataType(type) : dataType;
            faulty = kind == Kind_Upload && type != quint8(dataType);
            result = SDOValueCodec::decodeUsdo(as, value, n);
        } else {
            result = QByteArray(reinterpret_cast<const char *>(value), n);
        }
    }
    if (kind == Kind_BroadcastUpload || kind == Kind_BroadcastDownload) {
        state = State_Collecting; // more nodes may answer until the timeout
        emit broadcastResultReceived(quint8(message.id & 0x7F), index, subIndex, result);
        return;
    }
    timer->stop();
    state = State_Idle;
    emit resultReceived(index, subIndex, result, faulty);
}

void USDOExpeditedClient::timeout()
{
    if (state == State_Collecting
        || (state == State_Waiting && (kind == Kind_BroadcastUpload || kind == Kind_BroadcastDownload))) {
        state = State_Idle;
        emit broadcastRequestFinished();
        return;
    }
    if (state == State_Waiting)
        abort(kUsdoTimeout);
}

CAN::RetType USDOExpeditedClient::abort(quint32 code)
{
    if (state != State_Waiting && state != State_Collecting)
        return CAN::RetType_OK;
    timer->stop();
    state = State_Idle;
    kind = Kind_Aborted;
    if (code == 0)
        return CAN::RetType_OK; // ended locally, without a frame and without a signal
    if (mScheduler) {
        sendAbortFrame(quint8(code & 0xFF));
        setTransferActive(false);
    }
    emit errorReceived(index, subIndex, code); // also when the bus is gone: the request ends here
    return CAN::RetType_OK;
}
