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
        connect(registration, SIGNAL(received(CAN::CanRxMessage)), this,
            SLOT(newSegmentedCanMessageReceived(CAN::CanRxMessage)),
            Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
    if (!adapter())
        return CAN::RetType_NoLink;
    setTransferActive(true);
    if (segState != 0) {
        setTransferActive(false);
        return CAN::RetType_Busy;
    }
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
    segState = 1;
    sendToggle = false;
    transferKind = 2;
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
    segState = 1;
    sendToggle = false;
    transferKind = 1;
    return CAN::RetType_OK;
}

void SDOSegmentedClient::sendNextSegment()
{
    if (transferKind == 3 || !mScheduler) {
        segState = 0;
        return;
    }
    quint8 frame[8] = {};
    if (transferKind == 2) {
        // Download segment: 000t nnnc, n = bytes of the seven without data, c = last segment.
        std::memcpy(frame + 1, buffer.constData() + offset, 7);
        offset += 7;
        if (offset >= totalSize) {
            frame[0] = quint8((offset - totalSize) * 2 + 1);
            offset = totalSize;
            segState = 2;
        }
    } else {
        frame[0] = 0x60; // upload segment request
        offset += 7;
    }
    if (sendToggle)
        frame[0] |= 0x10;
    restartTimer();
    sendSdoFrame(frame);
    ++outstanding;
    if (!sendToggle) {
        sendToggle = true;
        if (fastSeg && transferKind == 2 && segState != 2 && outstanding < fastSegCount) {
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
}

void SDOSegmentedClient::newSegmentedCanMessageReceived(CAN::CanRxMessage message)
{
    // CiA 301 SDO frames carry eight bytes; a shorter frame is not an answer.
    if (message.id != serverCob || message.remote || message.length < 8)
        return;
    if (outstanding != 0)
        --outstanding;
    if (segState == 0)
        return;
    const quint8 *d = message.data;
    if (d[0] & 0x80) {
        // Abort by the server; reported with the object the abort frame names.
        timer->stop();
        segState = 0;
        setTransferActive(false);
        emit errorReceived(qFromLittleEndian<quint16>(d + 1), d[3], qFromLittleEndian<quint32>(d + 4));
        return;
    }
    if (transferKind == 2) {
        // Download answers are counted, not matched (fast download keeps several in flight):
        // the transfer is done when the last segment is sent and every frame is answered.
        const bool done = segState == 2 ? outstanding == 0 : (d[0] & 0x01) != 0;
        if (segState == 1 && !done) {
            sendNextSegment();
        } else if (done) {
            segState = 0;
            timer->stop();
            setTransferActive(false);
            emit resultReceived(index, subIndex, QVariant(int(0)));
        }
        return;
    }
    if (transferKind == 1)
        handleUpload(d);
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
            segState = 0;
            setTransferActive(false);
            emit resultReceived(index, subIndex, QVariant(result));
            return;
        }
        ++framesHandled;
        totalSize = (command & 0x01) ? qFromLittleEndian<quint32>(d + 4) : 0;
        if (totalSize > MaxUploadSize) {
            segState = 0;
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
    ++framesHandled;
    buffer.append(reinterpret_cast<const char *>(d + 1), 7);
    const bool toggle = (command & 0x10) != 0;
    if (toggle != expectToggle) {
        timer->stop();
        abort(0x05030000);
        return;
    }
    expectToggle = !toggle;
    if (command & 0x01) {
        if (totalSize != 0) {
            if (quint32(buffer.size()) > totalSize)
                buffer.truncate(int(totalSize));
        } else {
            buffer.chop((command >> 1) & 0x07); // no size indicated: n counts the padding
        }
        timer->stop();
        segState = 0;
        setTransferActive(false);
        emit resultReceived(index, subIndex, QVariant(buffer));
        return;
    }
    if (quint32(buffer.size()) > MaxUploadSize) {
        segState = 0;
        timer->stop();
        abort(0x05040005);
        return;
    }
    sendNextSegment();
}

void SDOSegmentedClient::timeoutSegmented()
{
    if (transferKind == 3) {
        segState = 0;
        setTransferActive(false);
        return;
    }
    if (segState == 0)
        return;
    sendAbortFrame(0x05040000);
    segState = 0;
    setTransferActive(false);
    emit errorReceived(index, subIndex, 0x05040000);
}

CAN::RetType SDOSegmentedClient::abort(quint32 code)
{
    qCDebug(lcSdo) << "CAN::RetType SDOSegmentedClient::abort(quint32)" << code;
    timer->stop();
    segState = 0;
    transferKind = 3;
    if (adapter()) {
        setTransferActive(false);
        if (code != 0) {
            sendAbortFrame(code);
            emit errorReceived(index, subIndex, code);
        }
    }
    return CAN::RetType_OK;
}
