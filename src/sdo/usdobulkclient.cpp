#include "usdobulkclient.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "tarnwicklogging_p.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <limits>

// CiA 1301 USDO bulk download: initiate, segments, last segment; the server confirms with 0x28.
namespace {
constexpr quint8 kInitiate = 0x06;
constexpr quint8 kSegment = 0x07;
constexpr quint8 kLastSegment = 0x08;
constexpr quint8 kConfirmation = 0x28;
constexpr quint8 kAbort = 0x7F;
constexpr quint32 kSegmentBytes = 60;
// With no pause between segments, a few go out per event-loop turn: the stream keeps the bus
// busy while timers and other frames of the host still run between the bursts.
constexpr int kSegmentsPerTurn = 8;
}

USDOBulkClient::USDOBulkClient(QObject *parent)
    : CANopenService(parent)
    , responseTimer(new QTimer(this))
    , firstResponseTimer(new QTimer(this))
    , segmentTimer(new QTimer(this))
{
    responseTimer->setSingleShot(true);
    responseTimer->setInterval(int(sdoTimeout));
    firstResponseTimer->setSingleShot(true);
    segmentTimer->setSingleShot(true);
    segmentTimer->setInterval(1);
    connect(responseTimer, SIGNAL(timeout()), this, SLOT(timeout()));
    connect(firstResponseTimer, SIGNAL(timeout()), this, SLOT(handleFirstTimeout()));
    connect(segmentTimer, SIGNAL(timeout()), this, SLOT(handleDownloadTimer()));
}

USDOBulkClient::USDOBulkClient(quint8 localId, quint8 nodeId, CanScheduler *scheduler, QObject *parent)
    : USDOBulkClient(parent)
{
    mScheduler = scheduler;
    setNodeIds(localId, nodeId);
}

USDOBulkClient::~USDOBulkClient()
{
    dropRegistrations();
}

AbstractCanAdapter *USDOBulkClient::adapter() const
{
    return mScheduler ? mScheduler->canAdapter() : nullptr;
}

void USDOBulkClient::dropRegistrations()
{
    if (mScheduler) {
        if (registration)
            mScheduler->unregisterCan(registration, this);
        for (const QPointer<CanSender> &s : qAsConst(broadcastRegistrations))
            if (s)
                mScheduler->unregisterCan(s, this);
    }
    registration.clear();
    broadcastRegistrations.clear();
}

void USDOBulkClient::registerReception()
{
    dropRegistrations();
    if (!mScheduler)
        return;
    registration = mScheduler->registerCanId(0x580u + nodeId);
    if (registration)
        connect(registration, SIGNAL(received(CAN::CanRxMessage)), this,
            SLOT(newCanMessageReceived(CAN::CanRxMessage)), Qt::DirectConnection);
}

void USDOBulkClient::registerBroadcastReception()
{
    if (mScheduler && nodeId == 0 && broadcastRegistrations.isEmpty()) {
        broadcastRegistrations = mScheduler->registerCanIdRange(0x581, 0x5FF);
        for (const QPointer<CanSender> &s : qAsConst(broadcastRegistrations))
            if (s)
                connect(s, SIGNAL(received(CAN::CanRxMessage)), this,
                    SLOT(newCanMessageReceived(CAN::CanRxMessage)),
                    Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
    }
}

CAN::RetType USDOBulkClient::setNodeIds(quint8 localId, quint8 nodeId)
{
    if (bulkState != BulkState_Idle)
        return CAN::RetType_Busy;
    this->localId = localId;
    this->nodeId = nodeId;
    registerReception();
    return CAN::RetType_OK;
}

CAN::RetType USDOBulkClient::setCanScheduler(CanScheduler *scheduler)
{
    if (bulkState != BulkState_Idle)
        return CAN::RetType_Busy;
    dropRegistrations();
    mScheduler = scheduler;
    registerReception();
    return CAN::RetType_OK;
}

CAN::RetType USDOBulkClient::setSdoTimeout(quint32 ms)
{
    if (bulkState != BulkState_Idle)
        return CAN::RetType_Busy;
    sdoTimeout = ms;
    responseTimer->setSingleShot(true);
    responseTimer->setInterval(int(qMin<quint32>(ms, quint32(std::numeric_limits<int>::max()))));
    return CAN::RetType_OK;
}

void USDOBulkClient::setTransferActive(bool active)
{
    if (AbstractCanAdapter *a = adapter())
        a->setCanAdapterOption(AdapterOption_TransferActive, active);
}

CAN::RetType USDOBulkClient::sendFrame(const quint8 *bytes, int length)
{
    AbstractCanAdapter *a = adapter();
    if (!a)
        return CAN::RetType_NoLink;
    CAN::CanMessage frame;
    frame.id = 0x600u + localId;
    frame.fd = true;
    frame.bitRateSwitch = true;
    frame.length = quint8(length);
    std::memcpy(frame.data, bytes, size_t(length));
    return a->sendCanMessage(frame);
}

CAN::RetType USDOBulkClient::write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value)
{
    qCDebug(lcSdo) << "CAN::RetType USDOBulkClient::write(quint16, quint8, CAN::CANopenDataType, QVariant)";
    if (type != CAN::DOMAIN)
        return CAN::RetType_NoLink;
    if (bulkState != BulkState_Idle)
        return CAN::RetType_Busy;
    responseTimer->stop();
    this->index = index;
    subIndex = sub;
    buffer = value.toByteArray();
    totalSize = quint32(buffer.size());
    ++transferCounter;
    quint8 frame[12]
        = { nodeId, kInitiate, transferCounter, sub, quint8(index), quint8(index >> 8), CAN::DOMAIN, 0 };
    qToLittleEndian<quint32>(totalSize, frame + 8);
    if (!adapter())
        return CAN::RetType_NoLink;
    registerBroadcastReception(); // node-ID 0: every node's channel, from the first transfer on
    bulkState = BulkState_Initiated;
    if (sendFrame(frame, 12) != CAN::RetType_OK) {
        bulkState = BulkState_Idle;
        return CAN::RetType_NoLink;
    }
    if (sdoTimeout == 0)
        bulkState = BulkState_Idle; // unsupervised: the server's answer finds the client idle
    else
        firstResponseTimer->start(int(qMin<quint32>(sdoTimeout, quint32(std::numeric_limits<int>::max()))));
    lastPercent = 0;
    return CAN::RetType_OK;
}

void USDOBulkClient::newCanMessageReceived(CAN::CanRxMessage message)
{
    if (bulkState == BulkState_Idle || message.remote || message.length < 3)
        return;
    const quint8 *d = message.data;
    if (d[0] != localId || d[2] != transferCounter)
        return;
    const quint8 cmd = d[1];
    if ((cmd & 0x7F) == kAbort) {
        qCDebug(lcSdo) << "void USDOBulkClient::newCanMessageReceived(CAN::CanRxMessage)"
                       << "Line:" << 125 << "abort";
        firstResponseTimer->stop();
        segmentTimer->stop();
        responseTimer->stop();
        bulkState = BulkState_Idle;
        setTransferActive(false);
        const bool full = message.length >= 7;
        emit errorReceived(
            full ? qFromLittleEndian<quint16>(d + 4) : index, full ? d[3] : subIndex, full ? d[6] : 0x10);
        return;
    }
    switch (bulkState) {
    case BulkState_Initiated: {
        // The answer to the initiate fixes the pause between segments in 100 us steps.
        const quint16 v = message.length >= 8 ? qFromLittleEndian<quint16>(d + 6) : 0;
        segmentGap = (v >= 1 && v <= 9) ? 1 : quint16((v + 9) / 10);
        bulkState = BulkState_Sending;
        firstResponseTimer->stop();
        segmentCounter = 0;
        offset = 0;
        setTransferActive(true);
        segmentTimer->start(segmentGap);
        return;
    }
    case BulkState_LastSegmentSent:
        if (cmd == kConfirmation) {
            responseTimer->stop();
            bulkState = BulkState_Idle;
            setTransferActive(false);
            const QPointer<USDOBulkClient> self(this);
            emit progress(100);
            if (self) // the host may delete the client in its progress slot
                emit resultReceived(index, subIndex, QVariant(int(0)));
        }
        return;
    default:
        return;
    }
}

void USDOBulkClient::handleDownloadTimer()
{
    if (bulkState != BulkState_Sending)
        return;
    segmentTimer->stop();
    if (!adapter()) {
        bulkState = BulkState_Idle; // the bus is gone: the transfer still ends with an outcome
        emit errorReceived(index, subIndex, 0x10);
        return;
    }
    quint8 frame[64];
    frame[0] = nodeId;
    frame[2] = transferCounter;
    for (int burst = 0; burst < (segmentGap == 0 ? kSegmentsPerTurn : 1); ++burst) {
        if (totalSize > kSegmentBytes && offset < totalSize - kSegmentBytes) {
            frame[1] = kSegment;
            frame[3] = segmentCounter++;
            std::memcpy(frame + 4, buffer.constData() + offset, kSegmentBytes);
            const CAN::RetType ret = sendFrame(frame, 64);
            if (ret == CAN::RetType_NotReady) {
                --segmentCounter; // the adapter's queue is full: the same segment again soon
                segmentTimer->start(1);
                return;
            }
            if (ret != CAN::RetType_OK) {
                abort(0x10); // refused for good: the request still ends with an outcome
                return;
            }
            offset += kSegmentBytes;
            const quint8 percent = quint8(quint64(offset) * 100 / totalSize);
            if (percent != lastPercent) {
                lastPercent = percent;
                const QPointer<USDOBulkClient> self(this);
                emit progress(percent);
                if (!self || bulkState != BulkState_Sending)
                    return; // the host aborted (or deleted us) in its progress slot
            }
            continue;
        }
        const quint32 n = totalSize - offset;
        frame[1] = kLastSegment;
        frame[3] = quint8(n);
        std::memcpy(frame + 4, buffer.constData() + offset, n);
        const CAN::RetType ret = sendFrame(frame, 4 + int(n));
        if (ret == CAN::RetType_NotReady) {
            segmentTimer->start(1);
            return;
        }
        if (ret != CAN::RetType_OK) {
            abort(0x10);
            return;
        }
        offset = totalSize;
        bulkState = BulkState_LastSegmentSent;
        responseTimer->start();
        return;
    }
    segmentTimer->start(segmentGap);
}

CAN::RetType USDOBulkClient::abort(quint32 code)
{
    qCDebug(lcSdo) << "CAN::RetType USDOBulkClient::abort(quint32)";
    if (bulkState == BulkState_Idle)
        return CAN::RetType_OK; // nothing runs: a finished transfer keeps its one outcome
    segmentTimer->stop();
    firstResponseTimer->stop();
    responseTimer->stop();
    bulkState = BulkState_Idle;
    if (code == 0)
        return CAN::RetType_OK; // ended locally, without a frame and without a signal
    if (adapter()) {
        quint8 frame[7] = { nodeId, kAbort, transferCounter, subIndex, quint8(index), quint8(index >> 8),
            quint8(code & 0xFF) };
        sendFrame(frame, 7);
        setTransferActive(false);
    }
    emit errorReceived(index, subIndex, code); // also when the bus is gone: the request ends here
    return CAN::RetType_OK;
}

void USDOBulkClient::timeout()
{
    if (bulkState != BulkState_Idle)
        abort(0x12);
}

void USDOBulkClient::handleFirstTimeout()
{
    if (bulkState != BulkState_Initiated)
        return;
    abort(0x12); // reported once, to the server (when the bus is still there) and to the host
}
