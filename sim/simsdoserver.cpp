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
{
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
    mMuted = false;
    mData.clear();
    mOffset = 0;
    mTimeoutTimer->stop();
}

void SimSdoServer::endTransfer()
{
    mState = State_Idle;
    mTimeoutTimer->stop();
}

void SimSdoServer::send(const quint8 bytes[8])
{
    if (!mNode)
        return;
    CAN::CanMessage frame;
    frame.id = 0x580u + mNode->nodeId();
    frame.length = 8;
    std::memcpy(frame.data, bytes, 8);
    ++mAnswers;
    mNode->send(frame);
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
    const quint8 ccs = d[0] >> 5;

    if (ccs == 4) { // abort transfer: no answer
        reset();
        emit abortReceived(qFromLittleEndian<quint16>(d + 1), d[3], qFromLittleEndian<quint32>(d + 4));
        return true;
    }
    if (mHandlers[ccs] && mHandlers[ccs](message))
        return true;

    const bool initiate = ccs == 1 || ccs == 2;
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
    default:
        // Block transfers (5, 6) and anything else this server does not offer.
        sendAbort(qFromLittleEndian<quint16>(d + 1), d[3], 0x05040001);
        break;
    }
    return true;
}

void SimSdoServer::initiateDownload(const quint8 *d)
{
    if (!mOd) {
        sendAbort(mIndex, mSub, OD::Abort_NoObject);
        return;
    }
    const OD::Entry *entry = mOd->entry(mIndex, mSub);
    if (!entry) {
        sendAbort(mIndex, mSub, mOd->hasIndex(mIndex) ? OD::Abort_NoSubIndex : OD::Abort_NoObject);
        return;
    }
    if (entry->access == OD::ReadOnly || entry->access == OD::Const) {
        sendAbort(mIndex, mSub, OD::Abort_ReadOnly);
        return;
    }
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
    if (mExpectedSize >= 0) {
        if (typeSize > 0 && mExpectedSize != typeSize) {
            sendAbort(
                mIndex, mSub, mExpectedSize > typeSize ? OD::Abort_LengthTooHigh : OD::Abort_LengthTooLow);
            return;
        }
        if (mExpectedSize > qint64(maxSize(mIndex, mSub))) {
            sendAbort(mIndex, mSub, OD::Abort_LengthTooHigh);
            return;
        }
        mData.reserve(int(mExpectedSize));
    }
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
