#include "simsdoserver.h"

#include "simcanopennode.h"
#include "simobjectdictionary.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>

using OD = SimObjectDictionary;

SimSdoServer::SimSdoServer(SimCanopenNode *node, QObject *parent)
    : QObject(parent)
    , mNode(node)
    , mOd(node ? node->od() : nullptr)
    , mTimeoutTimer(new QTimer(this))
    , mDelayTimer(new QTimer(this))
    , mSegmentTimer(new QTimer(this))
{
    // A transmit queue that is full (adapter result 7) holds up upload segments for a moment.
    mSegmentTimer->setSingleShot(true);
    mSegmentTimer->setInterval(1);
    connect(mSegmentTimer, &QTimer::timeout, this, &SimSdoServer::sendUploadSegments);
    mTimeoutTimer->setSingleShot(true);
    connect(mTimeoutTimer, &QTimer::timeout, this, &SimSdoServer::serverTimeout);
    mDelayTimer->setSingleShot(true);
    connect(mDelayTimer, &QTimer::timeout, this, &SimSdoServer::sendDueAnswers);
    mClock.start();
    if (mNode) {
        mNode->addFrameHandler(this, [this](const CAN::CanRxMessage &m) { return handleFrame(m); });
        connect(mNode, &SimCanopenNode::communicationReset, this, [this] {
            reset();
            mDelayed.clear();
            mDelayTimer->stop();
        });
    }
}

SimSdoServer::~SimSdoServer()
{
    if (mNode)
        mNode->removeFrameHandlers(this);
}

void SimSdoServer::setDictionary(SimObjectDictionary *od)
{
    if (od == mOd)
        return;
    reset();
    mOd = od;
}

void SimSdoServer::setScript(quint16 index, quint8 sub, const Script &script)
{
    mScripts.insert(OD::key(index, sub), script);
}

void SimSdoServer::clearScripts()
{
    mScripts.clear();
    mDefaultScript = Script();
}

void SimSdoServer::setCommandHandler(quint8 ccs, CommandHandler handler)
{
    if (ccs < 8)
        mHandlers[ccs] = std::move(handler);
}

const SimSdoServer::Script &SimSdoServer::scriptFor(quint16 index, quint8 sub) const
{
    const auto it = mScripts.constFind(OD::key(index, sub));
    return it != mScripts.constEnd() ? *it : mDefaultScript;
}

quint32 SimSdoServer::maxSize(quint16 index, quint8 sub) const
{
    const OD::Entry *e = mOd ? mOd->entry(index, sub) : nullptr;
    if (e && OD::typeSize(e->dataType) > 0)
        return quint32(OD::typeSize(e->dataType));
    return e && e->maxSize > 0 ? quint32(e->maxSize) : (1u << 20) + 1024u;
}

void SimSdoServer::reset()
{
    mState = State_Idle;
    mSegmentTimer->stop();
    mMuted = false;
    mData.clear();
    mOffset = 0;
    mTimeoutTimer->stop();
}

void SimSdoServer::endTransfer()
{
    mState = State_Idle;
    mSegmentTimer->stop();
    mTimeoutTimer->stop();
}

CAN::RetType SimSdoServer::send(const quint8 bytes[8])
{
    if (!mNode)
        return CAN::RetType_NoLink;
    CAN::CanMessage frame;
    frame.id = 0x580u + mNode->nodeId();
    frame.length = 8;
    std::memcpy(frame.data, bytes, 8);
    const CAN::RetType ret = mNode->send(frame);
    if (ret == CAN::RetType_OK)
        ++mAnswers;
    return ret;
}

void SimSdoServer::respond(const quint8 bytes[8])
{
    ++mFramesAnswered;
    if (mScript.delayMs <= 0) {
        send(bytes);
        return;
    }
    Delayed d;
    d.due = mClock.elapsed() + mScript.delayMs;
    std::memcpy(d.bytes, bytes, 8);
    mDelayed.push_back(d);
    if (!mDelayTimer->isActive())
        mDelayTimer->start(mScript.delayMs);
}

void SimSdoServer::sendDueAnswers()
{
    const qint64 now = mClock.elapsed();
    while (!mDelayed.empty() && mDelayed.front().due <= now) {
        const Delayed d = mDelayed.front();
        mDelayed.pop_front();
        send(d.bytes);
    }
    if (!mDelayed.empty())
        mDelayTimer->start(int(qMax<qint64>(0, mDelayed.front().due - now)));
}

void SimSdoServer::sendAbort(quint16 index, quint8 sub, quint32 code)
{
    quint8 bytes[8] = { 0x80, quint8(index), quint8(index >> 8), sub, 0, 0, 0, 0 };
    qToLittleEndian<quint32>(code, bytes + 4);
    endTransfer();
    respond(bytes);
    emit abortSent(index, sub, code);
}

void SimSdoServer::serverTimeout()
{
    if (mSeen && mState == State_BlockDownload) {
        // Segments keep coming; the timer is not restarted for each of them.
        mSeen = false;
        mTimeoutTimer->start(mTimeoutMs);
        return;
    }
    if (mState != State_Idle)
        sendAbort(mIndex, mSub, 0x05040000);
}

bool SimSdoServer::handleFrame(const CAN::CanRxMessage &message)
{
    if (!mNode || !mNode->isConfigured() || message.id != 0x600u + mNode->nodeId() || message.remote
        || message.fd)
        return false;
    const SimCanopenNode::NmtState nmt = mNode->nmtState();
    if (nmt != SimCanopenNode::NmtState_PreOperational && nmt != SimCanopenNode::NmtState_Operational)
        return true; // no SDO in stopped
    if (message.length < 8)
        return true; // CiA 301 SDO requests carry eight bytes
    ++mRequests;
    const quint8 *d = message.data;
    // In a block download sub-block byte 0 is the sequence number and the last-segment flag,
    // not a command; only 0x80 (sequence number 0) is an abort there.
    const bool segment = mState == State_BlockDownload && d[0] != 0x80;
    const quint8 ccs = segment ? 0 : d[0] >> 5;

    if (!segment && ccs == 4) { // abort transfer: no answer
        reset();
        emit abortReceived(qFromLittleEndian<quint16>(d + 1), d[3], qFromLittleEndian<quint32>(d + 4));
        return true;
    }
    if (!segment && mHandlers[ccs] && mHandlers[ccs](message))
        return true;

    const bool initiate = !segment
        && (ccs == 1 || ccs == 2 || (ccs == 5 && (d[0] & 0x03) == 0) || (ccs == 6 && (d[0] & 0x01) == 0));
    if (initiate) {
        // A new request replaces whatever ran before.
        reset();
        mIndex = qFromLittleEndian<quint16>(d + 1);
        mSub = d[3];
        mScript = scriptFor(mIndex, mSub);
        mFramesAnswered = 0;
    } else if (!mMuted && mState == State_Idle) {
        // A request outside any transfer: the default script applies.
        mIndex = 0;
        mSub = 0;
        mScript = mDefaultScript;
        mFramesAnswered = 0;
    }
    if (mMuted)
        return true;
    if (mScript.silent || (mScript.answerFrames >= 0 && mFramesAnswered >= mScript.answerFrames)) {
        // The device stops talking: no answers and no timeout abort for this transfer.
        endTransfer();
        mMuted = true;
        return true;
    }
    if (mScript.abortCode != 0 && mFramesAnswered >= mScript.abortAtFrame) {
        sendAbort(mIndex, mSub, mScript.abortCode);
        return true;
    }
    if (segment) {
        blockDownloadSegment(d);
        return true;
    }
    switch (ccs) {
    case 0:
        downloadSegment(d);
        break;
    case 1:
        initiateDownload(d);
        break;
    case 2:
        initiateUpload(d);
        break;
    case 3:
        uploadSegment(d);
        break;
    case 5:
        if ((d[0] & 0x03) == 0)
            initiateBlockUpload(d);
        else
            blockUploadCommand(d);
        break;
    case 6:
        if ((d[0] & 0x01) == 0)
            initiateBlockDownload(d);
        else
            endBlockDownload(d);
        break;
    default:
        sendAbort(qFromLittleEndian<quint16>(d + 1), d[3], 0x05040001);
        break;
    }
    return true;
}

// Whether the entry of the running request takes a download of size bytes (-1: not indicated);
// answers the abort otherwise.
bool SimSdoServer::checkDownloadTarget(qint64 size)
{
    const OD::Entry *entry = mOd ? mOd->entry(mIndex, mSub) : nullptr;
    if (!entry) {
        sendAbort(mIndex, mSub, mOd && mOd->hasIndex(mIndex) ? OD::Abort_NoSubIndex : OD::Abort_NoObject);
        return false;
    }
    if (entry->access == OD::ReadOnly || entry->access == OD::Const) {
        sendAbort(mIndex, mSub, OD::Abort_ReadOnly);
        return false;
    }
    if (size < 0)
        return true;
    const int typeSize = OD::typeSize(entry->dataType);
    if (typeSize > 0 && size != typeSize) {
        sendAbort(mIndex, mSub, size > typeSize ? OD::Abort_LengthTooHigh : OD::Abort_LengthTooLow);
        return false;
    }
    if (size > qint64(maxSize(mIndex, mSub))) {
        sendAbort(mIndex, mSub, OD::Abort_LengthTooHigh);
        return false;
    }
    return true;
}

void SimSdoServer::initiateDownload(const quint8 *d)
{
    if (!checkDownloadTarget(-1))
        return;
    const OD::Entry *entry = mOd->entry(mIndex, mSub);
    const bool expedited = d[0] & 0x02;
    const bool sized = d[0] & 0x01;
    const int typeSize = OD::typeSize(entry->dataType);
    const quint8 answer[8] = { 0x60, quint8(mIndex), quint8(mIndex >> 8), mSub, 0, 0, 0, 0 };
    if (expedited) {
        // e = 1: the data is in bytes 4-7; with s = 1, n counts the bytes without data, with
        // s = 0 the entry's own size counts.
        const int length = sized ? 4 - ((d[0] >> 2) & 0x03) : (typeSize > 0 && typeSize <= 4 ? typeSize : 4);
        const quint32 code
            = mOd->write(mIndex, mSub, QByteArray(reinterpret_cast<const char *>(d + 4), length));
        if (code != 0) {
            sendAbort(mIndex, mSub, code);
            return;
        }
        respond(answer);
        emit transferCompleted(mIndex, mSub, true);
        return;
    }
    mExpectedSize = sized ? qint64(qFromLittleEndian<quint32>(d + 4)) : -1;
    if (!checkDownloadTarget(mExpectedSize))
        return;
    if (mExpectedSize >= 0)
        mData.reserve(int(mExpectedSize));
    mToggle = false;
    mState = State_Download;
    respond(answer);
    mTimeoutTimer->start(mTimeoutMs);
}

void SimSdoServer::downloadSegment(const quint8 *d)
{
    if (mState != State_Download) {
        sendAbort(mState == State_Idle ? 0 : mIndex, mState == State_Idle ? 0 : mSub, 0x05040001);
        return;
    }
    const bool toggle = d[0] & 0x10;
    if (toggle != mToggle) {
        sendAbort(mIndex, mSub, 0x05030000);
        return;
    }
    const int n = (d[0] >> 1) & 0x07;
    mData.append(reinterpret_cast<const char *>(d + 1), 7 - n);
    if (quint32(mData.size()) > maxSize(mIndex, mSub)
        || (mExpectedSize >= 0 && mData.size() > mExpectedSize)) {
        sendAbort(mIndex, mSub, OD::Abort_LengthTooHigh);
        return;
    }
    mToggle = !mToggle;
    const quint8 answer[8] = { quint8(0x20 | (toggle ? 0x10 : 0)), 0, 0, 0, 0, 0, 0, 0 };
    if (!(d[0] & 0x01)) {
        respond(answer);
        mTimeoutTimer->start(mTimeoutMs);
        return;
    }
    if (mExpectedSize >= 0 && mData.size() != mExpectedSize) {
        sendAbort(mIndex, mSub, OD::Abort_LengthMismatch);
        return;
    }
    const quint32 code = mOd ? mOd->write(mIndex, mSub, mData) : quint32(OD::Abort_NoObject);
    if (code != 0) {
        sendAbort(mIndex, mSub, code);
        return;
    }
    endTransfer();
    mData.clear();
    respond(answer);
    emit transferCompleted(mIndex, mSub, true);
}

void SimSdoServer::initiateUpload(const quint8 *)
{
    QByteArray value;
    const quint32 code = mOd ? mOd->read(mIndex, mSub, &value) : quint32(OD::Abort_NoObject);
    if (code != 0) {
        sendAbort(mIndex, mSub, code);
        return;
    }
    quint8 answer[8] = { 0, quint8(mIndex), quint8(mIndex >> 8), mSub, 0, 0, 0, 0 };
    if (value.size() >= 1 && value.size() <= 4) {
        // Expedited, size indicated: n = 4 - size bytes without data.
        answer[0] = quint8(0x43 | ((4 - value.size()) << 2));
        std::memcpy(answer + 4, value.constData(), size_t(value.size()));
        respond(answer);
        emit transferCompleted(mIndex, mSub, false);
        return;
    }
    answer[0] = 0x41; // segmented, size indicated
    qToLittleEndian<quint32>(quint32(value.size()), answer + 4);
    mData = value;
    mOffset = 0;
    mToggle = false;
    mState = State_Upload;
    respond(answer);
    mTimeoutTimer->start(mTimeoutMs);
}

void SimSdoServer::uploadSegment(const quint8 *d)
{
    if (mState != State_Upload) {
        sendAbort(mState == State_Idle ? 0 : mIndex, mState == State_Idle ? 0 : mSub, 0x05040001);
        return;
    }
    const bool toggle = d[0] & 0x10;
    if (toggle != mToggle) {
        sendAbort(mIndex, mSub, 0x05030000);
        return;
    }
    const int chunk = qMin(7, int(mData.size()) - mOffset);
    const bool last = mOffset + chunk >= mData.size();
    quint8 answer[8] = {};
    answer[0] = quint8(((toggle != mScript.wrongToggle) ? 0x10 : 0) | ((7 - chunk) << 1) | (last ? 1 : 0));
    std::memcpy(answer + 1, mData.constData() + mOffset, size_t(chunk));
    mOffset += chunk;
    mToggle = !mToggle;
    if (!last) {
        respond(answer);
        mTimeoutTimer->start(mTimeoutMs);
        return;
    }
    endTransfer();
    mData.clear();
    respond(answer);
    emit transferCompleted(mIndex, mSub, false);
}

// --- block transfers (CiA 301) -----------------------------------------------------------------

quint16 SimSdoServer::blockCrc(const QByteArray &data)
{
    quint16 crc = 0;
    for (const char c : data) {
        crc ^= quint16(quint8(c)) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

void SimSdoServer::initiateBlockDownload(const quint8 *d)
{
    // 110 00 cc s 0: cc the client's CRC support, s size indicated.
    mExpectedSize = (d[0] & 0x02) ? qint64(qFromLittleEndian<quint32>(d + 4)) : -1;
    if (!checkDownloadTarget(mExpectedSize))
        return;
    mCrc = (d[0] & 0x04) && mCrcSupported;
    // The last segment may carry up to seven bytes of padding beyond what the entry takes.
    mBlockLimit = int(qMin<qint64>(mExpectedSize >= 0 ? mExpectedSize : qint64(maxSize(mIndex, mSub)),
                      qint64(maxSize(mIndex, mSub))))
        + 7;
    mData.clear();
    if (mExpectedSize > 0)
        mData.reserve(int(mExpectedSize) + 7);
    mExpectedSeq = 1;
    mLastReceived = false;
    mAckShortened = false;
    mSubBlockStart = 0;
    mSeen = false;
    mSubBlockSize = mBlockSize;
    mState = State_BlockDownload;
    const quint8 answer[8] = { quint8(0xA0 | (mCrc ? 0x04 : 0)), quint8(mIndex), quint8(mIndex >> 8), mSub,
        mSubBlockSize, 0, 0, 0 };
    respond(answer);
    mTimeoutTimer->start(mTimeoutMs);
}

void SimSdoServer::blockDownloadSegment(const quint8 *d)
{
    mSeen = true;
    const quint8 seq = d[0] & 0x7F;
    const bool last = d[0] & 0x80;
    if (seq == mExpectedSeq && seq <= mSubBlockSize) {
        mData.append(reinterpret_cast<const char *>(d + 1), 7);
        ++mExpectedSeq;
        mLastReceived = last;
        if (mData.size() > mBlockLimit) {
            sendAbort(mIndex, mSub, OD::Abort_LengthTooHigh);
            return;
        }
    }
    // Segments out of sequence are dropped; the acknowledgement names the last one in sequence,
    // and the client repeats from there.
    if (seq < mSubBlockSize && !last)
        return;
    int acked = mExpectedSeq - 1;
    if (mScript.ackFewer > 0 && !mAckShortened) {
        mAckShortened = true;
        acked = qMax(0, acked - mScript.ackFewer);
    }
    if (acked < mExpectedSeq - 1) {
        mData.truncate(mSubBlockStart + acked * 7);
        mLastReceived = false;
    }
    mSubBlockSize = mBlockSize;
    const quint8 answer[8] = { 0xA2, quint8(acked), mSubBlockSize, 0, 0, 0, 0, 0 };
    mSubBlockStart = mData.size();
    mExpectedSeq = 1;
    if (mLastReceived)
        mState = State_BlockDownloadEnd;
    respond(answer);
    mSeen = false;
    mTimeoutTimer->start(mTimeoutMs);
}

void SimSdoServer::endBlockDownload(const quint8 *d)
{
    if (mState != State_BlockDownloadEnd) {
        sendAbort(mState == State_Idle ? 0 : mIndex, mState == State_Idle ? 0 : mSub, 0x05040001);
        return;
    }
    // 110 n 0 1: n bytes of the last segment carry no data; bytes 1-2 the CRC.
    const int n = (d[0] >> 2) & 0x07;
    mData.chop(qMin(n, int(mData.size())));
    if (mExpectedSize >= 0 && mData.size() != mExpectedSize) {
        sendAbort(mIndex, mSub, OD::Abort_LengthMismatch);
        return;
    }
    if (mCrc && qFromLittleEndian<quint16>(d + 1) != blockCrc(mData)) {
        sendAbort(mIndex, mSub, 0x05040004);
        return;
    }
    const quint32 code = mOd ? mOd->write(mIndex, mSub, mData) : quint32(OD::Abort_NoObject);
    if (code != 0) {
        sendAbort(mIndex, mSub, code);
        return;
    }
    endTransfer();
    mData.clear();
    const quint8 answer[8] = { 0xA1, 0, 0, 0, 0, 0, 0, 0 };
    respond(answer);
    emit transferCompleted(mIndex, mSub, true);
}

void SimSdoServer::initiateBlockUpload(const quint8 *d)
{
    // 101 00 cc 00, index, sub-index, block size, protocol switch threshold.
    const quint8 blockSize = d[4];
    if (blockSize == 0 || blockSize > 127) {
        sendAbort(mIndex, mSub, 0x05040002);
        return;
    }
    QByteArray value;
    const quint32 code = mOd ? mOd->read(mIndex, mSub, &value) : quint32(OD::Abort_NoObject);
    if (code != 0) {
        sendAbort(mIndex, mSub, code);
        return;
    }
    if (d[5] != 0 && value.size() <= d[5]) {
        // At or below the client's threshold the server switches to the plain upload protocol.
        initiateUpload(d);
        return;
    }
    mCrc = (d[0] & 0x04) && mCrcSupported;
    mSubBlockSize = blockSize;
    mData = value;
    mOffset = 0;
    mState = State_BlockUploadStart;
    quint8 answer[8]
        = { quint8(0xC2 | (mCrc ? 0x04 : 0)), quint8(mIndex), quint8(mIndex >> 8), mSub, 0, 0, 0, 0 };
    qToLittleEndian<quint32>(quint32(value.size()), answer + 4);
    respond(answer);
    mTimeoutTimer->start(mTimeoutMs);
}

void SimSdoServer::sendUploadSubBlock()
{
    mSubBlockStart = mOffset;
    mSegmentsSent = 0;
    mState = State_BlockUpload;
    sendUploadSegments();
}

void SimSdoServer::sendUploadSegments()
{
    if (mState != State_BlockUpload)
        return;
    quint8 segment[8];
    // Back to back until the sub-block is full or the last segment is out.
    while (mSegmentsSent < mSubBlockSize && (mSegmentsSent == 0 || mOffset < mData.size())) {
        const int chunk = qMin(7, int(mData.size()) - mOffset);
        const bool last = mOffset + chunk >= mData.size();
        segment[0] = quint8((mSegmentsSent + 1) | (last ? 0x80 : 0));
        std::memcpy(segment + 1, mData.constData() + mOffset, size_t(chunk));
        std::memset(segment + 1 + chunk, 0, size_t(7 - chunk));
        if (mScript.delayMs > 0) {
            respond(segment);
        } else if (send(segment) == CAN::RetType_NotReady) {
            mSegmentTimer->start();
            return;
        } else {
            ++mFramesAnswered;
        }
        ++mSegmentsSent;
        mOffset += chunk;
    }
    mTimeoutTimer->start(mTimeoutMs);
}

void SimSdoServer::blockUploadCommand(const quint8 *d)
{
    const quint8 cs = d[0] & 0x03;
    if (cs == 3 && mState == State_BlockUploadStart) { // start
        sendUploadSubBlock();
        return;
    }
    if (cs == 1 && mState == State_BlockUploadEnd) { // end response
        endTransfer();
        mData.clear();
        emit transferCompleted(mIndex, mSub, false);
        return;
    }
    if (cs != 2 || mState != State_BlockUpload) {
        sendAbort(mState == State_Idle ? 0 : mIndex, mState == State_Idle ? 0 : mSub, 0x05040001);
        return;
    }
    // Acknowledgement: the last segment received in sequence and the next block size.
    const quint8 acked = d[1];
    if (d[2] == 0 || d[2] > 127) {
        sendAbort(mIndex, mSub, 0x05040002);
        return;
    }
    if (acked > mSegmentsSent) {
        sendAbort(mIndex, mSub, 0x05040003);
        return;
    }
    mSubBlockSize = d[2];
    if (acked < mSegmentsSent) {
        mOffset = mSubBlockStart + acked * 7; // repeat what the client did not get
        sendUploadSubBlock();
        return;
    }
    if (mOffset < mData.size()) {
        sendUploadSubBlock();
        return;
    }
    // 110 n 0 1, CRC: n bytes of the last segment carried no data.
    const int rest = mData.size() % 7;
    const int n = mData.isEmpty() ? 7 : (rest == 0 ? 0 : 7 - rest);
    quint8 answer[8] = { quint8(0xC1 | (n << 2)), 0, 0, 0, 0, 0, 0, 0 };
    if (mCrc)
        qToLittleEndian<quint16>(blockCrc(mData), answer + 1);
    mState = State_BlockUploadEnd;
    respond(answer);
    mTimeoutTimer->start(mTimeoutMs);
}
