#include "sdoblockclient.h"

#include "abstractcanadapter.h"
#include "cansender.h"
#include "tarnwicklogging_p.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>

// Largest upload this client accepts (CiA 301 leaves it to the device; 512 MiB here).
static constexpr quint32 MaxUploadSize = 0x1FFFFFFF;
static constexpr quint32 MaxUploadReserve = 4096;
// Pause before a frame the adapter refused with 7 (transmit queue full) is offered again.
static constexpr int RetryDelayMs = 10;
// Download segments sent in one event-loop turn before the loop runs again.
static constexpr int SegmentsPerTurn = 16;

// CiA 301 block transfer command bytes of the server: scs in bits 7-5; a download's
// subcommand in bits 1-0 (0 initiate, 2 acknowledgement, 1 end), an upload's in bit 0
// (0 initiate, 1 end), with the size bit and the count of unused bytes above it.
static bool isDownloadAnswer(quint8 byte0, quint8 ss)
{
    return (byte0 & 0xE3) == (0xA0 | ss);
}

static bool isUploadAnswer(quint8 byte0, quint8 ss)
{
    return (byte0 & 0xE1) == (0xC0 | ss);
}

SDOBlockClient::SDOBlockClient(QObject *parent)
    : SDOExpeditedClient(parent)
{
    init();
}

SDOBlockClient::SDOBlockClient(quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent)
    : SDOExpeditedClient(serverCob, clientCob, scheduler, parent)
{
    init();
    // The base registered while it was still constructing, for its own frame slot.
    SDOBlockClient::setCobIds(serverCob, clientCob, false);
}

void SDOBlockClient::init()
{
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    retryTimer->setTimerType(Qt::PreciseTimer);
    retryTimer->setInterval(RetryDelayMs);
    connect(retryTimer, &QTimer::timeout, this, [this] {
        if (endRefused)
            sendLastMessage();
        else
            onHandleNextStep();
    });
    connect(timer, &QTimer::timeout, this, &SDOBlockClient::timeoutSegmented);
    connect(this, &SDOBlockClient::sendBlock, this, &SDOBlockClient::sendBlockMessages);
    connect(this, &SDOBlockClient::sendLast, this, &SDOBlockClient::sendLastMessage);
    connect(this, &SDOBlockClient::sendAbort, this, &SDOBlockClient::letssendAbort);
    connect(this, &SDOBlockClient::sigDoNext, this, &SDOBlockClient::onHandleNextStep, Qt::QueuedConnection);
}

// Both register as the base does; the registration then delivers to this class's frame slot.
CAN::RetType SDOBlockClient::setCobIds(quint32 serverCob, quint32 clientCob, bool extended)
{
    const CAN::RetType ret = SDOExpeditedClient::setCobIds(serverCob, clientCob, extended);
    connectReception();
    return ret;
}

CAN::RetType SDOBlockClient::setCanScheduler(CanScheduler *scheduler)
{
    const CAN::RetType ret = SDOExpeditedClient::setCanScheduler(scheduler);
    connectReception();
    return ret;
}

void SDOBlockClient::connectReception()
{
    if (!registration)
        return;
    disconnect(registration.data(), &CanSender::received, this, &SDOExpeditedClient::newCanMessageReceived);
    connect(registration.data(), &CanSender::received, this, &SDOBlockClient::newCanMessageReceived,
        Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
}

void SDOBlockClient::restartTimer()
{
    // A timeout of 0 runs the transfer without supervision.
    if (sdoTimeout != 0)
        timer->start();
}

void SDOBlockClient::finish()
{
    blkState = BlkState_Idle;
    nextStep = NextStep_None;
    timer->stop();
    retryTimer->stop();
    setTransferActive(false);
}

CAN::RetType SDOBlockClient::startTransfer()
{
    if (!adapter())
        return CAN::RetType_NoLink;
    // A refusal leaves the running transfer's AdapterOption_TransferActive alone.
    if (blkState != BlkState_Idle)
        return CAN::RetType_Busy;
    setTransferActive(true);
    nextStep = NextStep_None;
    retried = false;
    endRefused = false;
    segmentSeen = false;
    retryTimer->stop();
    return CAN::RetType_OK;
}

CAN::RetType SDOBlockClient::write(quint16 index, quint8 sub, QByteArray data)
{
    const CAN::RetType ret = startTransfer();
    if (ret != CAN::RetType_OK)
        return ret;
    this->index = index;
    subIndex = sub;
    totalSize = quint32(data.size());
    buffer = std::move(data);
    buffer.append(7, '\0'); // the last segment always reads seven bytes
    offset = 0;
    downloadBlockSize = 127;
    // Initiate: ccs 6, client CRC not supported, size indicated, download.
    quint8 request[8] = { 0xC2, quint8(index), quint8(index >> 8), sub, 0, 0, 0, 0 };
    qToLittleEndian<quint32>(totalSize, request + 4);
    if (sendSdoFrame(request) != CAN::RetType_OK) {
        setTransferActive(false);
        return CAN::RetType_NoLink;
    }
    restartTimer();
    blkState = BlkState_Initiated;
    transferKind = TransferKind_Download;
    return CAN::RetType_OK;
}

CAN::RetType SDOBlockClient::read(quint16 index, quint8 sub)
{
    const CAN::RetType ret = startTransfer();
    if (ret != CAN::RetType_OK)
        return ret;
    this->index = index;
    subIndex = sub;
    buffer.clear();
    totalSize = 0;
    offset = 0;
    ackSeq = 0;
    std::memset(lastSegment, 0, sizeof lastSegment);
    // Initiate: ccs 5, client CRC not supported, block size, protocol switch threshold 0.
    const quint8 request[8] = { 0xA0, quint8(index), quint8(index >> 8), sub, uploadBlockSize, 0, 0, 0 };
    if (sendSdoFrame(request) != CAN::RetType_OK) {
        setTransferActive(false);
        return CAN::RetType_NoLink;
    }
    restartTimer();
    blkState = BlkState_Initiated;
    transferKind = TransferKind_Upload;
    return CAN::RetType_OK;
}

void SDOBlockClient::newCanMessageReceived(CAN::CanRxMessage message)
{
    // CiA 301 SDO frames carry eight bytes; a shorter frame is not an answer.
    if (blkState == BlkState_Idle || message.id != serverCob || message.remote || message.length < 8)
        return;
    const quint8 *d = message.data;
    if (d[0] == 0x80) {
        qCDebug(lcSdo) << "Abort Block Transfer";
        finish();
        emit errorReceived(index, subIndex, qFromLittleEndian<quint32>(d + 4));
        return;
    }
    if (transferKind == TransferKind_Download)
        handleDownload(d);
    else if (transferKind == TransferKind_Upload)
        handleUpload(d);
}

// Frames that do not fit the state are ignored and leave the timer running.
void SDOBlockClient::handleDownload(const quint8 *d)
{
    switch (blkState) {
    case BlkState_Initiated:
        if (!isDownloadAnswer(d[0], 0))
            return;
        timer->stop();
        if (d[4] == 0 || d[4] > 127) {
            abort(0x05040002); // invalid block size
            return;
        }
        blkState = BlkState_SubBlocks;
        downloadBlockSize = d[4];
        emit sendBlock(downloadBlockSize);
        return;
    case BlkState_SubBlocks:
        // The acknowledgement is awaited once the sub-block has left.
        if (!isDownloadAnswer(d[0], 2) || seqNo <= downloadBlockSize)
            break;
        timer->stop();
        if (d[1] < downloadBlockSize)
            break;
        if (d[2] > 127) {
            abort(0x05040002);
            return;
        }
        if (d[2] != 0)
            downloadBlockSize = d[2];
        if (offset < totalSize)
            emit sendBlock(downloadBlockSize);
        return;
    case BlkState_LastSegmentSent:
        // The acknowledgement of the sub-block that carried the last segment.
        if (!isDownloadAnswer(d[0], 2))
            return;
        timer->stop();
        if (d[1] < seqNo)
            break;
        emit sendLast();
        return;
    case BlkState_End:
        if (!isDownloadAnswer(d[0], 1))
            return;
        finish();
        emit progress(100);
        emit resultReceived(index, subIndex, QVariant(int(0)));
        return;
    default:
        return;
    }
    if (!isDownloadAnswer(d[0], 2))
        return;
    // Fewer segments acknowledged than sent: this client repeats none.
    qCDebug(lcSdo) << "not everything acknowledged";
    finish();
    transferKind = TransferKind_Aborted;
    emit sendAbort();
    emit errorReceived(index, subIndex, 0x08000000);
}

void SDOBlockClient::handleUpload(const quint8 *d)
{
    switch (blkState) {
    case BlkState_Initiated: {
        if (!isUploadAnswer(d[0], 0))
            return;
        restartTimer();
        totalSize = (d[0] & 0x02) ? qFromLittleEndian<quint32>(d + 4) : 0;
        if (totalSize > MaxUploadSize) {
            blkState = BlkState_Idle;
            timer->stop();
            abort(0x05040005);
            return;
        }
        // The announced size is the server's word only: memory follows what really arrives.
        buffer.reserve(int(qMin<quint32>(totalSize, MaxUploadReserve)) + 7);
        blkState = BlkState_SubBlocks;
        nextStep = NextStep_SendBlockInitiateEnd;
        emit sigDoNext();
        return;
    }
    case BlkState_SubBlocks: {
        // A segment. The timer is not restarted for each one: its expiry looks at segmentSeen.
        segmentSeen = true;
        const quint8 seq = d[0] & 0x7F;
        const bool last = (d[0] & 0x80) != 0;
        if (seq != ackSeq + 1) {
            // Out of sequence: a repetition (CAN may deliver a frame twice) is ignored; after a
            // lost segment the rest of the block is, and its end acknowledges the last good one,
            // so that the server repeats from there.
            if (std::memcmp(d, lastSegment, 8) == 0)
                return;
            std::memcpy(lastSegment, d, 8);
            if (seq < uploadBlockSize && !last)
                return;
            qCDebug(lcSdo) << "block upload: segment" << seq << "out of sequence, acknowledging" << ackSeq;
            nextStep = NextStep_SendConfirmBlock;
            emit sigDoNext();
            return;
        }
        std::memcpy(lastSegment, d, 8);
        ackSeq = seq;
        buffer.append(reinterpret_cast<const char *>(d + 1), 7);
        if (seq < uploadBlockSize && !last)
            return;
        if (last) {
            blkState = BlkState_End;
        } else if (quint32(buffer.size()) > MaxUploadSize) {
            blkState = BlkState_Idle;
            timer->stop();
            abort(0x05040005);
            return;
        }
        nextStep = NextStep_SendConfirmBlock;
        emit sigDoNext();
        return;
    }
    case BlkState_End: {
        // The last segment repeated can look like the end answer.
        if (!isUploadAnswer(d[0], 1) || std::memcmp(d, lastSegment, 8) == 0)
            return;
        // The server names the unused bytes of the last segment: with a size indicated, what
        // arrived must come to exactly that size, or a sub-block was lost or taken twice (a
        // repeated acknowledgement can make a server skip one) and the data would be wrong.
        if (totalSize != 0 && quint32(buffer.size() - ((d[0] >> 2) & 0x07)) != totalSize) {
            qCDebug(lcSdo) << "block upload: received" << buffer.size() << "bytes for" << totalSize;
            abort(0x06070010);
            return;
        }
        if (totalSize != 0)
            buffer.truncate(int(totalSize));
        else
            buffer.chop((d[0] >> 2) & 0x07); // no size indicated: n counts the unused bytes
        sendLastBlockReadConf();
        finish();
        emit progress(100);
        emit resultReceived(index, subIndex, QVariant(buffer));
        return;
    }
    default:
        return;
    }
}

void SDOBlockClient::onHandleNextStep()
{
    switch (nextStep) {
    case NextStep_None:
        break;
    case NextStep_WriteNextBlock:
        writeNextBlock();
        break;
    case NextStep_SendBlockInitiateEnd:
        sendBlockInitiateEnd();
        break;
    case NextStep_SendConfirmBlock:
        sendConfirmBlock();
        break;
    case NextStep_SendLastBlockReadConf:
        sendLastBlockReadConf();
        break;
    }
}

void SDOBlockClient::retryLater(NextStep step)
{
    nextStep = step;
    retried = true;
    retryTimer->start();
}

// A frame of the protocol other than a segment; a full transmit queue repeats the step later.
bool SDOBlockClient::sendControl(const quint8 bytes[8], NextStep step)
{
    const CAN::RetType ret = sendSdoFrame(bytes);
    if (ret == CAN::RetType_NotReady) {
        retryLater(step);
        return false;
    }
    return true;
}

void SDOBlockClient::sendBlockMessages(quint16 blockSize)
{
    Q_UNUSED(blockSize)
    seqNo = 1;
    restartTimer();
    writeNextBlock();
}

void SDOBlockClient::writeNextBlock()
{
    // A few segments leave per event-loop turn: an event-loop turn costs several times what a
    // frame costs, and the host still gets its turn every SegmentsPerTurn frames.
    for (int sent = 0; sent < SegmentsPerTurn; ++sent) {
        if (blkState != BlkState_SubBlocks || transferKind != TransferKind_Download
            || seqNo > downloadBlockSize)
            return;
        quint8 frame[8];
        frame[0] = seqNo;
        std::memcpy(frame + 1, buffer.constData() + offset, 7);
        const bool last = offset + 7 >= totalSize;
        if (last)
            frame[0] |= 0x80;
        const CAN::RetType ret = sendSdoFrame(frame);
        if (ret == CAN::RetType_NotReady) {
            retryLater(NextStep_WriteNextBlock);
            return;
        }
        if (ret != CAN::RetType_OK) {
            finish();
            transferKind = TransferKind_Aborted;
            sendAbortFrame(0x08000000); // tells the server, if the adapter still can
            emit errorOccured(ret);
            return;
        }
        offset += 7;
        if (retried) {
            retried = false;
            restartTimer(); // supervision counts from the end of the congestion
        }
        if (last) {
            blkState = BlkState_LastSegmentSent;
            restartTimer();
            return;
        }
        if (seqNo++ == downloadBlockSize) {
            // The sub-block is complete: wait for its acknowledgement.
            restartTimer();
            if (totalSize != 0)
                emit progress(quint8(quint64(offset) * 100 / totalSize));
            return;
        }
    }
    nextStep = NextStep_WriteNextBlock;
    emit sigDoNext();
}

void SDOBlockClient::sendLastMessage()
{
    if (blkState != BlkState_LastSegmentSent && blkState != BlkState_End)
        return;
    blkState = BlkState_End;
    // End: ccs 6, n = bytes of the last segment without data, CRC 0, cs 1.
    const quint8 n = quint8((offset - totalSize) % 8);
    const quint8 request[8] = { quint8(0xC1 | (n << 2)), 0, 0, 0, 0, 0, 0, 0 };
    endRefused = !sendControl(request, NextStep_None);
    if (!endRefused)
        restartTimer();
}

void SDOBlockClient::letssendAbort()
{
    sendAbortFrame(0x08000000);
}

void SDOBlockClient::sendLastBlockReadConf()
{
    blkState = BlkState_Idle;
    const quint8 response[8] = { 0xA1, 0, 0, 0, 0, 0, 0, 0 };
    sendSdoFrame(response);
}

void SDOBlockClient::sendBlockInitiateEnd()
{
    if (blkState != BlkState_SubBlocks || transferKind != TransferKind_Upload)
        return;
    ackSeq = 0;
    const quint8 request[8] = { 0xA3, 0, 0, 0, 0, 0, 0, 0 };
    if (sendControl(request, NextStep_SendBlockInitiateEnd))
        restartTimer();
}

void SDOBlockClient::sendConfirmBlock()
{
    if ((blkState != BlkState_SubBlocks && blkState != BlkState_End) || transferKind != TransferKind_Upload)
        return;
    const quint8 response[8] = { 0xA2, ackSeq, uploadBlockSize, 0, 0, 0, 0, 0 };
    if (!sendControl(response, NextStep_SendConfirmBlock))
        return;
    ackSeq = 0;
    segmentSeen = false;
    restartTimer();
    if (totalSize != 0)
        emit progress(quint8(qMin<quint64>(100, quint64(buffer.size()) * 100 / totalSize)));
}

void SDOBlockClient::timeoutSegmented()
{
    if (segmentSeen && blkState == BlkState_SubBlocks && transferKind == TransferKind_Upload) {
        segmentSeen = false; // segments keep coming: the server is alive
        restartTimer();
        return;
    }
    if (transferKind == TransferKind_Aborted) {
        blkState = BlkState_Idle;
        setTransferActive(false);
        return;
    }
    if (blkState == BlkState_Idle)
        return;
    transferKind = TransferKind_TimedOut;
    if (mScheduler)
        sendAbortFrame(0x05040000);
    finish();
    emit errorReceived(index, subIndex, 0x05040000);
}

CAN::RetType SDOBlockClient::abort(quint32 code)
{
    if (transferKind == TransferKind_TimedOut)
        return CAN::RetType_OK; // the timeout has already ended the transfer
    nextStep = NextStep_None;
    timer->stop();
    retryTimer->stop();
    transferKind = TransferKind_Aborted;
    blkState = BlkState_Idle;
    if (adapter()) {
        setTransferActive(false);
        if (code != 0) {
            sendAbortFrame(code);
            emit errorReceived(index, subIndex, code);
        }
    }
    return CAN::RetType_OK;
}
