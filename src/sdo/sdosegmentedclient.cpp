#include "sdosegmentedclient.h"

#include "abstractcanadapter.h"
#include "cansender.h"
#include "tarnwicklogging_p.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>

// Largest upload this client accepts (CiA 301 leaves it to the device; 512 MiB here).
static constexpr quint32 MaxUploadSize = 0x1FFFFFFF;
static constexpr quint32 MaxUploadReserve = 4096;
// Pause before repeating a segment the adapter refused with 7 (transmit queue full).
static constexpr int RetryPauseMs = 10;
// Abort code "General error" (CiA 301), for a segment the adapter refused for good.
static constexpr quint32 GeneralError = 0x08000000;

SDOSegmentedClient::SDOSegmentedClient(QObject *parent)
    : SDOExpeditedClient(parent)
{
    connect(timer, &QTimer::timeout, this, &SDOSegmentedClient::timeoutSegmented);
}

SDOSegmentedClient::SDOSegmentedClient(
    quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent)
    : SDOExpeditedClient(serverCob, clientCob, scheduler, parent)
{
    connect(timer, &QTimer::timeout, this, &SDOSegmentedClient::timeoutSegmented);
}

void SDOSegmentedClient::setFastSegmentedDownload(bool on, quint8 count)
{
    fastSeg = on;
    fastSegCount = count;
}

void SDOSegmentedClient::restartTimer()
{
    // A timeout of 0 runs the transfer without supervision.
    if (sdoTimeout != 0)
        timer->start();
}

CAN::RetType SDOSegmentedClient::startTransfer()
{
    if (registration)
        connect(registration.data(), &CanSender::received, this,
            &SDOSegmentedClient::newSegmentedCanMessageReceived,
            Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
    if (!adapter())
        return CAN::RetType_NoLink;
    setTransferActive(true);
    if (segState != SegState_Idle) {
        setTransferActive(false);
        return CAN::RetType_Busy;
    }
    // A repetition still scheduled for an earlier transfer finds nothing to repeat.
    ++segmentSerial;
    segmentRetryPending = false;
    nextAfterRetry = false;
    return CAN::RetType_OK;
}

CAN::RetType SDOSegmentedClient::write(quint16 index, quint8 sub, QByteArray data)
{
    const CAN::RetType ret = startTransfer();
    if (ret != CAN::RetType_OK)
        return ret;
    totalSize = quint32(data.size());
    buffer.clear();
    buffer.reserve(data.size() + 7);
    buffer.append(data);
    buffer.append(7, '\0'); // the last segment always reads seven bytes
    offset = 0;
    lastPercent = 0;
    this->index = index;
    subIndex = sub;
    framesHandled = 0;
    outstanding = 0;
    quint8 request[8] = { 0x21, quint8(index), quint8(index >> 8), sub, 0, 0, 0, 0 };
    qToLittleEndian<quint32>(totalSize, request + 4);
    if (sendSdoFrame(request) != CAN::RetType_OK) {
        setTransferActive(false);
        return CAN::RetType_NoLink;
    }
    restartTimer();
    ++framesHandled;
    ++outstanding;
    segState = SegState_Running;
    sendToggle = false;
    initiateConfirmed = false;
    expectAckToggle = false;
    transferKind = TransferKind_Download;
    return CAN::RetType_OK;
}

CAN::RetType SDOSegmentedClient::read(quint16 index, quint8 sub)
{
    const CAN::RetType ret = startTransfer();
    if (ret != CAN::RetType_OK)
        return ret;
    buffer.clear();
    totalSize = 0;
    offset = 0;
    framesHandled = 0;
    outstanding = 0;
    lastPercent = 0;
    this->index = index;
    subIndex = sub;
    expectToggle = false;
    const quint8 request[8] = { 0x40, quint8(index), quint8(index >> 8), sub, 0, 0, 0, 0 };
    if (sendSdoFrame(request) != CAN::RetType_OK) {
        setTransferActive(false);
        return CAN::RetType_NoLink;
    }
    restartTimer();
    segState = SegState_Running;
    sendToggle = false;
    transferKind = TransferKind_Upload;
    return CAN::RetType_OK;
}

void SDOSegmentedClient::sendNextSegment()
{
    if (transferKind == TransferKind_Aborted || !mScheduler) {
        segState = SegState_Idle;
        return;
    }
    quint8 *frame = segmentFrame;
    std::memset(frame, 0, 8);
    if (transferKind == TransferKind_Download) {
        // Download segment: 000t nnnc, n = bytes of the seven without data, c = last segment.
        std::memcpy(frame + 1, buffer.constData() + offset, 7);
        offset += 7;
        if (offset >= totalSize) {
            frame[0] = quint8((offset - totalSize) * 2 + 1);
            offset = totalSize;
            segState = SegState_LastSegmentSent;
        }
    } else {
        frame[0] = 0x60; // upload segment request
        offset += 7;
    }
    if (sendToggle)
        frame[0] |= 0x10;
    restartTimer();
    ++segmentSerial;
    sendSegmentFrame();
}

void SDOSegmentedClient::sendSegmentFrame()
{
    if (segState == SegState_Idle || transferKind == TransferKind_Aborted)
        return;
    const CAN::RetType sent = sendSdoFrame(segmentFrame);
    if (sent == CAN::RetType_NotReady) {
        // Transmit queue full: the same segment again after a short pause, as the block client
        // does; the SDO timeout still bounds the whole wait.
        const quint32 serial = segmentSerial;
        segmentRetryPending = true;
        QTimer::singleShot(RetryPauseMs, Qt::PreciseTimer, this, [this, serial] {
            if (serial == segmentSerial)
                sendSegmentFrame();
        });
        return;
    }
    if (sent != CAN::RetType_OK) {
        // Refused for good: the server never sees this segment. Tell it, and the caller.
        qCDebug(lcSdo) << "segment refused by the adapter, result" << int(sent);
        if (adapter()) {
            abort(GeneralError);
        } else {
            timer->stop();
            segState = SegState_Idle;
            transferKind = TransferKind_Aborted;
            emit errorReceived(index, subIndex, GeneralError);
        }
        return;
    }
    segmentRetryPending = false;
    ++outstanding;
    if (!sendToggle) {
        sendToggle = true;
        if (fastSeg && transferKind == TransferKind_Download && segState != SegState_LastSegmentSent
            && outstanding < fastSegCount) {
            timer->stop();
            sendNextSegment();
        }
    } else {
        sendToggle = false;
    }
    const quint8 percent
        = totalSize == 0 ? 100 : quint8(qMin<quint64>(100, quint64(offset) * 100 / totalSize));
    if (percent != lastPercent) {
        lastPercent = percent;
        emit progress(percent);
    }
    if (nextAfterRetry) {
        nextAfterRetry = false;
        if (segState == SegState_Running)
            sendNextSegment();
    }
}

void SDOSegmentedClient::newSegmentedCanMessageReceived(CAN::CanRxMessage message)
{
    // CiA 301 SDO frames carry eight bytes; a shorter frame is not an answer.
    if (message.id != serverCob || message.remote || message.length < 8)
        return;
    const quint8 *d = message.data;
    if (segState != SegState_Idle && transferKind == TransferKind_Download && !(d[0] & 0x80)) {
        const int check = checkDownloadAnswer(d[0]);
        if (check < 0) {
            timer->stop();
            abort(0x05030000);
            return;
        }
        if (check == 0)
            return; // a repeated confirmation (CAN may deliver a frame twice): not counted
    }
    if (outstanding != 0)
        --outstanding;
    if (segState == SegState_Idle)
        return;
    if (d[0] & 0x80) {
        // Abort by the server; reported with the object the abort frame names.
        timer->stop();
        segState = SegState_Idle;
        setTransferActive(false);
        emit errorReceived(qFromLittleEndian<quint16>(d + 1), d[3], qFromLittleEndian<quint32>(d + 4));
        return;
    }
    if (transferKind == TransferKind_Download) {
        // Download answers are counted, not matched (fast download keeps several in flight):
        // the transfer is done when the last segment is sent and every frame is answered.
        if (segmentRetryPending) {
            // An answer to an earlier segment of a fast download: go on once the repeated
            // segment is out.
            nextAfterRetry = segState == SegState_Running;
            return;
        }
        const bool done = segState == SegState_LastSegmentSent ? outstanding == 0 : (d[0] & 0x01) != 0;
        if (segState == SegState_Running && !done) {
            sendNextSegment();
        } else if (done) {
            segState = SegState_Idle;
            timer->stop();
            setTransferActive(false);
            emit resultReceived(index, subIndex, QVariant(int(0)));
        }
        return;
    }
    if (transferKind == TransferKind_Upload)
        handleUpload(d);
}

// 1 for the confirmation the download waits for, 0 for a repeated one (to be ignored), -1 for a
// segment confirmation whose toggle bit no segment sent so far had.
int SDOSegmentedClient::checkDownloadAnswer(quint8 command)
{
    if (!initiateConfirmed) {
        if ((command & 0xE0) != 0x60)
            return 0;
        initiateConfirmed = true;
        return 1;
    }
    if ((command & 0xE0) != 0x20)
        return 0; // a repeated initiate confirmation
    const bool toggle = (command & 0x10) != 0;
    if (toggle != expectAckToggle) {
        // The previous toggle is a repetition; before any segment was confirmed, toggle 1 is wrong.
        return framesHandled > 1 ? 0 : -1;
    }
    expectAckToggle = !toggle;
    ++framesHandled;
    return 1;
}

void SDOSegmentedClient::handleUpload(const quint8 *d)
{
    const quint8 command = d[0];
    if (framesHandled == 0) {
        if ((command & 0x43) == 0x43 || (command & 0x43) == 0x42) {
            // Expedited answer: with s = 1, bits 2-3 count the bytes without data.
            const int n = (command & 0x01) ? (command >> 2) & 0x03 : 0;
            const QByteArray result(reinterpret_cast<const char *>(d + 4), 4 - n);
            timer->stop();
            segState = SegState_Idle;
            setTransferActive(false);
            emit resultReceived(index, subIndex, QVariant(result));
            return;
        }
        ++framesHandled;
        totalSize = (command & 0x01) ? qFromLittleEndian<quint32>(d + 4) : 0;
        if (totalSize > MaxUploadSize) {
            segState = SegState_Idle;
            timer->stop();
            abort(0x05040005);
            return;
        }
        // The announced size is the server's word only: reserve for small answers, let the
        // buffer grow with what really arrives for large ones.
        buffer.reserve(int(qMin<quint32>(totalSize, MaxUploadReserve)) + 1);
        sendNextSegment();
        return;
    }
    // Only upload segments count; a repeated initiate answer or segment (CAN may deliver a frame
    // twice) is ignored.
    if ((command & 0xE0) != 0x00)
        return;
    const bool toggle = (command & 0x10) != 0;
    if (toggle != expectToggle) {
        if (framesHandled > 1)
            return; // the previous toggle: a repetition
        timer->stop();
        abort(0x05030000);
        return;
    }
    ++framesHandled;
    buffer.append(reinterpret_cast<const char *>(d + 1), 7);
    expectToggle = !toggle;
    if (command & 0x01) {
        if (totalSize != 0) {
            if (quint32(buffer.size()) > totalSize)
                buffer.truncate(int(totalSize));
        } else {
            buffer.chop((command >> 1) & 0x07); // no size indicated: n counts the padding
        }
        timer->stop();
        segState = SegState_Idle;
        setTransferActive(false);
        emit resultReceived(index, subIndex, QVariant(buffer));
        return;
    }
    if (quint32(buffer.size()) > MaxUploadSize) {
        segState = SegState_Idle;
        timer->stop();
        abort(0x05040005);
        return;
    }
    sendNextSegment();
}

void SDOSegmentedClient::timeoutSegmented()
{
    if (transferKind == TransferKind_Aborted) {
        segState = SegState_Idle;
        setTransferActive(false);
        return;
    }
    if (segState == SegState_Idle)
        return;
    sendAbortFrame(0x05040000);
    segState = SegState_Idle;
    setTransferActive(false);
    emit errorReceived(index, subIndex, 0x05040000);
}

CAN::RetType SDOSegmentedClient::abort(quint32 code)
{
    qCDebug(lcSdo) << "CAN::RetType SDOSegmentedClient::abort(quint32)" << code;
    timer->stop();
    segState = SegState_Idle;
    transferKind = TransferKind_Aborted;
    if (adapter()) {
        setTransferActive(false);
        if (code != 0) {
            sendAbortFrame(code);
            emit errorReceived(index, subIndex, code);
        }
    }
    return CAN::RetType_OK;
}
