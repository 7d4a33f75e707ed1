#include "usdosegmentedclient.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "sdovaluecodec.h"
#include "tarnwicklogging_p.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>

// CiA 1301 USDO segmented transfer: client commands and the server's answers.
namespace {
constexpr quint8 kUpload = 0x11;
constexpr quint8 kDownloadInitiate = 0x02;
constexpr quint8 kDownloadSegment = 0x03;
constexpr quint8 kLastDownloadSegment = 0x04;
constexpr quint8 kUploadSegmentRequest = 0x13;
constexpr quint8 kUploadInitiateAnswer = 0x32;
constexpr quint8 kUploadSegment = 0x33;
constexpr quint8 kLastUploadSegment = 0x34;
constexpr quint8 kSegmentBytes = 60;
constexpr quint32 kLargestUpload = 0x1FFFFFFF;
constexpr quint32 kUploadReserve = 4096;
}

USDOSegmentedClient::USDOSegmentedClient(QObject *parent)
    : USDOExpeditedClient(parent)
    , segTimer(new QTimer(this))
    , retryTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &USDOSegmentedClient::retry);
    segTimer->setSingleShot(true);
    connect(segTimer, &QTimer::timeout, this, &USDOSegmentedClient::timeoutSegmented);
}

USDOSegmentedClient::USDOSegmentedClient(
    quint8 localId, quint8 nodeId, CanScheduler *scheduler, QObject *parent)
    : USDOSegmentedClient(parent)
{
    mScheduler = scheduler;
    setNodeIds(localId, nodeId);
}

void USDOSegmentedClient::setFastSegmentedDownload(bool on, quint8 count)
{
    fastSeg = on;
    fastSegCount = count;
}

CAN::RetType USDOSegmentedClient::startTransfer()
{
    if (nodeId == 0)
        return CAN::RetType_InvalidRequest; // segments go to one node only
    if (registration)
        connect(registration, SIGNAL(received(CAN::CanRxMessage)), this,
            SLOT(newSegmentedCanMessageReceived(CAN::CanRxMessage)),
            Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
    if (!adapter())
        return CAN::RetType_NoLink;
    if (isBusy())
        return CAN::RetType_Busy;
    setTransferActive(true);
    segTimer->stop();
    retryTimer->stop();
    outstanding = 0;
    segmentCounter = 0;
    offset = 0;
    lastPercent = 0;
    return CAN::RetType_OK;
}

CAN::RetType USDOSegmentedClient::write(quint16 index, quint8 sub, CAN::CANopenDataType type, QByteArray data)
{
    const CAN::RetType ret = startTransfer();
    if (ret != CAN::RetType_OK)
        return ret;
    this->index = index;
    subIndex = sub;
    dataType = type;
    totalSize = quint32(data.size());
    // The padding lets every segment copy 60 bytes without a bounds check.
    buffer = std::move(data);
    buffer.append(QByteArray(64, '\0'));
    quint8 frame[12] = {};
    putHeader(frame, kDownloadInitiate);
    frame[6] = quint8(type);
    qToLittleEndian<quint32>(totalSize, frame + 8);
    requestSession = session++;
    if (sendUsdoFrame(frame, 12) != CAN::RetType_OK) {
        setTransferActive(false);
        return CAN::RetType_NoLink;
    }
    outstanding = 1;
    awaitedAnswer = kDownloadInitiate | 0x20;
    segState = SegState_Running;
    kind = Kind_Download;
    superviseFromNow();
    return CAN::RetType_OK;
}

CAN::RetType USDOSegmentedClient::read(quint16 index, quint8 sub, CAN::CANopenDataType type)
{
    const CAN::RetType ret = startTransfer();
    if (ret != CAN::RetType_OK)
        return ret;
    this->index = index;
    subIndex = sub;
    dataType = type;
    buffer.clear();
    totalSize = 0;
    quint8 frame[6];
    putHeader(frame, kUpload);
    requestSession = session++;
    if (sendUsdoFrame(frame, 6) != CAN::RetType_OK) {
        setTransferActive(false);
        return CAN::RetType_NoLink;
    }
    awaitedAnswer = kUploadInitiateAnswer;
    segState = SegState_Running;
    kind = Kind_Upload;
    superviseFromNow();
    return CAN::RetType_OK;
}

bool USDOSegmentedClient::reportProgress()
{
    const quint8 percent
        = totalSize == 0 ? 100 : quint8(qMin<quint64>(100, quint64(offset) * 100 / totalSize));
    if (percent == lastPercent)
        return true;
    lastPercent = percent;
    const QPointer<USDOSegmentedClient> self(this);
    emit progress(percent);
    return self && segState != SegState_Idle; // the host may abort or delete the client in its slot
}

bool USDOSegmentedClient::sendNextSegment()
{
    quint8 frame[64];
    frame[0] = nodeId;
    frame[2] = requestSession;
    const quint32 left = totalSize - offset;
    const bool last = left <= kSegmentBytes;
    const quint32 chunk = last ? left : kSegmentBytes;
    frame[1] = last ? kLastDownloadSegment : kDownloadSegment;
    frame[3] = last ? quint8(left) : segmentCounter;
    std::memcpy(frame + 4, buffer.constData() + offset, chunk);
    if (!sent(sendUsdoFrame(frame, 4 + int(chunk))))
        return false;
    offset += chunk;
    awaitedAnswer = frame[1] | 0x20;
    if (last)
        segState = SegState_LastSegmentSent;
    else
        ++segmentCounter;
    ++outstanding;
    return reportProgress();
}

bool USDOSegmentedClient::sent(CAN::RetType ret)
{
    if (ret == CAN::RetType_OK)
        return true;
    if (ret == CAN::RetType_NotReady) {
        retryTimer->start(1); // the adapter's queue is full: the same frame again soon
        return false;
    }
    fail(0x10); // refused for good: end the transfer towards the server too
    return false;
}

void USDOSegmentedClient::retry()
{
    if (segState == SegState_Idle)
        return;
    if (kind == Kind_Upload)
        requestUploadSegment();
    else
        sendSegments();
}

void USDOSegmentedClient::sendSegments()
{
    if (!fastSeg || fastSegCount < 2) {
        if (outstanding == 0 && segState == SegState_Running)
            sendNextSegment();
        return;
    }
    // Fast download: segments go in pairs while fewer than the configured count are unanswered.
    while (segState == SegState_Running && outstanding + 2 <= fastSegCount) {
        if (!sendNextSegment() || segState != SegState_Running || !sendNextSegment())
            return;
    }
    if (segState == SegState_Running && outstanding == 0)
        sendNextSegment();
}

void USDOSegmentedClient::finish(const QVariant &value)
{
    segTimer->stop();
    retryTimer->stop();
    segState = SegState_Idle;
    setTransferActive(false);
    emit resultReceived(index, subIndex, value, false);
}

void USDOSegmentedClient::fail(quint32 code)
{
    abort(code);
}

void USDOSegmentedClient::newSegmentedCanMessageReceived(CAN::CanRxMessage message)
{
    if (segState == SegState_Idle || message.id != rxCob || message.remote || !answerMatches(message))
        return;
    const quint8 *d = message.data;
    const quint8 cmd = d[1];
    if ((cmd & 0x7F) == 0x7F) {
        if (message.length < 7)
            return;
        segTimer->stop();
        retryTimer->stop();
        segState = SegState_Idle;
        setTransferActive(false);
        emit errorReceived(index, subIndex, d[6]);
        return;
    }
    superviseFromNow();
    if (kind == Kind_Upload) {
        handleUploadAnswer(message);
        return;
    }
    if (cmd != (kDownloadInitiate | 0x20) && cmd != (kDownloadSegment | 0x20)
        && cmd != (kLastDownloadSegment | 0x20)) {
        fail(0x13);
        return;
    }
    // Waiting for each answer, only an answer of the kind the last frame asks for counts: a
    // repetition of an earlier one (CAN can deliver a frame twice) must not end the transfer
    // before the server has confirmed the last segment. A repeated segment confirmation only
    // lets the next segment go early, in order, as in the fast download.
    const bool stopAndWait = !fastSeg || fastSegCount < 2;
    if (stopAndWait && cmd != awaitedAnswer) {
        qCDebug(lcSdo) << "USDO download: answer" << cmd << "repeated, ignored";
        return;
    }
    if (outstanding > 0)
        --outstanding;
    if (segState == SegState_LastSegmentSent) {
        if (cmd == (kLastDownloadSegment | 0x20))
            finish(QVariant(int(0)));
        return;
    }
    sendSegments();
}

void USDOSegmentedClient::requestUploadSegment()
{
    quint8 frame[4] = { nodeId, kUploadSegmentRequest, requestSession, segmentCounter };
    if (sent(sendUsdoFrame(frame, 4))) {
        awaitedAnswer = kUploadSegment;
        awaitedCounter = segmentCounter++;
    }
}

void USDOSegmentedClient::handleUploadAnswer(const CAN::CanRxMessage &message)
{
    const quint8 *d = message.data;
    const quint8 cmd = d[1];
    // A repetition of an earlier answer (CAN can deliver a frame twice) is ignored: the initiate
    // answer once segments are asked for, a segment other than the one asked for last.
    const bool initiateAnswer = (cmd & 0xEF) == 0x21 || cmd == kUploadInitiateAnswer;
    if (initiateAnswer ? awaitedAnswer != kUploadInitiateAnswer
                       : cmd == kUploadSegment && message.length == 64 && d[3] != awaitedCounter)
        return;
    const bool objectMatches
        = message.length >= 6 && d[3] == subIndex && qFromLittleEndian<quint16>(d + 4) == index;
    if ((cmd & 0xEF) == 0x21 && objectMatches && message.length >= 8) {
        const int n = d[7];
        if (n > message.length - 8)
            return fail(0x1E);
        buffer = QByteArray(reinterpret_cast<const char *>(d + 8), n);
        offset = totalSize = quint32(n);
        if (n < 5 && SDOValueCodec::isNumberOfFourBytes(dataType))
            return finish(SDOValueCodec::decodeUsdo(dataType, d + 8, n));
        return finish(QVariant(buffer));
    }
    if (cmd == kUploadInitiateAnswer && objectMatches && message.length >= 12) {
        const quint32 size = qFromLittleEndian<quint32>(d + 8);
        if (size > kLargestUpload)
            return fail(0x16); // "Out of memory"
        totalSize = size;
        // The announced size is the server's word only: reserve for small answers, let the
        // buffer grow with what really arrives for large ones.
        buffer.reserve(int(qMin<quint32>(size, kUploadReserve)));
        segmentCounter = 0;
        return requestUploadSegment();
    }
    if (cmd == kUploadSegment && message.length == 64) {
        buffer.append(reinterpret_cast<const char *>(d + 4), kSegmentBytes);
        offset = quint32(buffer.size());
        if (offset >= totalSize)
            return fail(0x11); // more segments than the announced size allows
        if (reportProgress())
            requestUploadSegment();
        return;
    }
    if (cmd == kLastUploadSegment && message.length >= 4 && d[3] <= kSegmentBytes
        && d[3] <= message.length - 4) {
        buffer.append(reinterpret_cast<const char *>(d + 4), d[3]);
        offset = quint32(buffer.size());
        if (reportProgress())
            finish(QVariant(buffer));
        return;
    }
    fail(0x13);
}

void USDOSegmentedClient::superviseFromNow()
{
    // Restarting a timer for every frame costs more than the frame itself: the timer runs on
    // and, when it fires early, waits out the rest from the last answer.
    if (segTimer->isActive()) {
        quietAtExpiry = segTimer->remainingTime();
    } else {
        quietAtExpiry = -1;
        segTimer->start(int(qMin<quint32>(sdoTimeout, 0x7FFFFFFF)));
    }
}

void USDOSegmentedClient::timeoutSegmented()
{
    // A frame arrived while the timer ran: wait out the rest of the timeout from that frame.
    const int quiet = quietAtExpiry;
    quietAtExpiry = -1;
    if (segState != SegState_Idle && quiet >= 0 && quint32(quiet) < sdoTimeout) {
        segTimer->start(int(qMin<quint32>(sdoTimeout - quint32(quiet), 0x7FFFFFFF)));
        return;
    }
    if (kind == Kind_Aborted) {
        segState = SegState_Idle;
        setTransferActive(false);
        return;
    }
    if (segState == SegState_Idle)
        return;
    if (mScheduler)
        sendAbortFrame(0x12);
    segState = SegState_Idle;
    setTransferActive(false);
    emit errorReceived(index, subIndex, 0x12);
}

CAN::RetType USDOSegmentedClient::abort(quint32 code)
{
    qCDebug(lcSdo) << "CAN::RetType USDOSegmentedClient::abort(quint32)" << code;
    segTimer->stop();
    retryTimer->stop();
    if (segState == SegState_Idle)
        return USDOExpeditedClient::abort(code);
    segState = SegState_Idle;
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
