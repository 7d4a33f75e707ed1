#include "simusdoserver.h"

#include "cantypes.h"
#include "simcanopennode.h"
#include "simobjectdictionary.h"

#include <QTimer>
#include <QtEndian>

#include <cstring>

using OD = SimObjectDictionary;

// CiA 1301 USDO command specifiers as the client sends them; answers add 0x20.
namespace {
constexpr quint8 kExpeditedDownload = 0x01;
constexpr quint8 kSegmentedDownload = 0x02;
constexpr quint8 kDownloadSegment = 0x03;
constexpr quint8 kLastDownloadSegment = 0x04;
constexpr quint8 kBulkDownload = 0x06;
constexpr quint8 kBulkSegment = 0x07;
constexpr quint8 kLastBulkSegment = 0x08;
constexpr quint8 kUpload = 0x11;
constexpr quint8 kUploadSegment = 0x13;
constexpr quint8 kAbort = 0x7F;
constexpr quint8 kRouted = 0x80;
constexpr int kSegmentBytes = 60;
constexpr int kExpeditedBytes = 56;
constexpr int kRoutedBytes = 52;

// USDO abort codes this server sends.
constexpr quint8 kProtocolError = 0x11;
constexpr quint8 kTimeout = 0x12;
constexpr quint8 kUnknownCommand = 0x13;
constexpr quint8 kBadCounter = 0x14;
constexpr quint8 kNetworkUnknown = 0x1A;
constexpr quint8 kNodeUnknown = 0x1B;
constexpr quint8 kUnexpectedLength = 0x1E;
constexpr quint8 kReadOnly = 0x32;
constexpr quint8 kNoObject = 0x33;
constexpr quint8 kNoSubIndex = 0x34;
constexpr quint8 kTypeMismatch = 0x36;
constexpr quint8 kTooLong = 0x37;
constexpr quint8 kTooShort = 0x38;
}

SimUsdoServer::SimUsdoServer(SimCanopenNode *node, QObject *parent)
    : QObject(parent)
    , mNode(node)
    , mOd(node ? node->od() : nullptr)
    , mTimeoutTimer(new QTimer(this))
    , mDelayTimer(new QTimer(this))
{
    mTimeoutTimer->setSingleShot(true);
    connect(mTimeoutTimer, &QTimer::timeout, this, &SimUsdoServer::serverTimeout);
    mDelayTimer->setSingleShot(true);
    connect(mDelayTimer, &QTimer::timeout, this, &SimUsdoServer::sendDueAnswers);
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

SimUsdoServer::~SimUsdoServer()
{
    if (mNode)
        mNode->removeFrameHandlers(this);
}

void SimUsdoServer::setDictionary(SimObjectDictionary *od)
{
    reset();
    mOd = od;
}

void SimUsdoServer::setScript(quint16 index, quint8 sub, const Script &script)
{
    mScripts.insert(OD::key(index, sub), script);
}

void SimUsdoServer::clearScripts()
{
    mScripts.clear();
    mDefaultScript = Script();
}

void SimUsdoServer::setRoutedNode(quint8 network, quint8 node, SimObjectDictionary *od)
{
    const quint16 key = quint16((network << 8) | node);
    if (od)
        mRouted.insert(key, od);
    else
        mRouted.remove(key);
}

const SimUsdoServer::Script &SimUsdoServer::scriptFor(quint16 index, quint8 sub) const
{
    const auto it = mScripts.constFind(OD::key(index, sub));
    return it != mScripts.constEnd() ? *it : mDefaultScript;
}

quint8 SimUsdoServer::usdoAbortCode(quint32 sdoAbortCode)
{
    switch (sdoAbortCode) {
    case 0x06010000:
        return 0x30;
    case OD::Abort_WriteOnly:
        return 0x31;
    case OD::Abort_ReadOnly:
        return kReadOnly;
    case OD::Abort_NoObject:
        return kNoObject;
    case OD::Abort_NoSubIndex:
        return kNoSubIndex;
    case OD::Abort_LengthMismatch:
        return kTypeMismatch;
    case OD::Abort_LengthTooHigh:
        return kTooLong;
    case OD::Abort_LengthTooLow:
        return kTooShort;
    case OD::Abort_ValueRange:
        return 0x40;
    case OD::Abort_OutOfMemory:
        return 0x16;
    default:
        return 0x60; // "Data cannot be transferred or stored to the application"
    }
}

void SimUsdoServer::reset()
{
    mState = State_Idle;
    mMuted = false;
    mData.clear();
    mOffset = 0;
    mTimeoutTimer->stop();
}

void SimUsdoServer::send(const quint8 *bytes, int length)
{
    if (!mNode)
        return;
    CAN::CanMessage frame;
    frame.id = 0x580u + mNode->nodeId();
    frame.fd = true;
    frame.bitRateSwitch = true;
    frame.length = quint8(length);
    std::memcpy(frame.data, bytes, size_t(length));
    ++mAnswers;
    mNode->send(frame);
}

void SimUsdoServer::answer(const quint8 *bytes, int length)
{
    if (mScript.delayMs <= 0) {
        send(bytes, length);
        return;
    }
    Delayed d;
    d.due = mClock.elapsed() + mScript.delayMs;
    d.length = length;
    std::memcpy(d.bytes, bytes, size_t(length));
    mDelayed.push_back(d);
    if (!mDelayTimer->isActive())
        mDelayTimer->start(mScript.delayMs);
}

void SimUsdoServer::sendDueAnswers()
{
    const qint64 now = mClock.elapsed();
    while (!mDelayed.empty() && mDelayed.front().due <= now) {
        const Delayed d = mDelayed.front();
        mDelayed.pop_front();
        send(d.bytes, d.length);
    }
    if (!mDelayed.empty())
        mDelayTimer->start(int(qMax<qint64>(0, mDelayed.front().due - now)));
}

void SimUsdoServer::abortTransfer(quint16 index, quint8 sub, quint8 code)
{
    const quint8 frame[7] = { mClient, kAbort, mSession, sub, quint8(index), quint8(index >> 8), code };
    mState = State_Idle;
    mTimeoutTimer->stop();
    mData.clear();
    answer(frame, 7);
    emit abortSent(index, sub, code);
}

void SimUsdoServer::superviseFromNow()
{
    // The timer runs on between frames (restarting it per frame would cost more than the
    // frame); when it fires early it waits out the rest from the last frame.
    if (mTimeoutTimer->isActive()) {
        mRemainingAtFrame = mTimeoutTimer->remainingTime();
    } else {
        mRemainingAtFrame = -1;
        mTimeoutTimer->start(mTimeoutMs);
    }
}

void SimUsdoServer::serverTimeout()
{
    // A frame came while the timer ran: wait out the rest from that frame. The timer's own
    // remaining time is the clock, so the server keeps time with the event loop.
    const int quiet = mRemainingAtFrame;
    mRemainingAtFrame = -1;
    if (mState != State_Idle && quiet >= 0 && quiet < mTimeoutMs) {
        mTimeoutTimer->start(mTimeoutMs - quiet);
        return;
    }
    if (mState != State_Idle)
        abortTransfer(mIndex, mSub, kTimeout);
}

bool SimUsdoServer::handleFrame(const CAN::CanRxMessage &message)
{
    // USDO requests: CAN FD on the client's channel 0x600 + its node-ID, addressed in byte 0.
    if (!mNode || !mNode->isConfigured() || !message.fd || message.remote || message.id <= 0x600u
        || message.id > 0x67Fu || message.length < 3)
        return false;
    const quint8 *d = message.data;
    const bool broadcast = d[0] == 0;
    if (d[0] != mNode->nodeId() && !broadcast)
        return false;
    const SimCanopenNode::NmtState nmt = mNode->nmtState();
    if (nmt != SimCanopenNode::NmtState_PreOperational && nmt != SimCanopenNode::NmtState_Operational)
        return true;
    ++mRequests;
    const quint8 client = quint8(message.id - 0x600u);
    const quint8 cmd = d[1];
    if ((cmd & kAbort) == kAbort) {
        // The client ends its transfer: no answer.
        if ((mState != State_Idle || mMuted) && client == mClient && d[2] == mSession) {
            const quint8 code = message.length >= 7 ? d[6] : 0;
            const quint16 index = mIndex;
            const quint8 sub = mSub;
            reset();
            emit abortReceived(index, sub, code);
        }
        return true;
    }
    if (cmd & kRouted) {
        if (!broadcast)
            handleRouted(message);
        return true;
    }
    const bool initiate
        = cmd == kUpload || cmd == kExpeditedDownload || cmd == kSegmentedDownload || cmd == kBulkDownload;
    const bool segment = cmd == kDownloadSegment || cmd == kLastDownloadSegment || cmd == kBulkSegment
        || cmd == kLastBulkSegment || cmd == kUploadSegment;
    if (!initiate && !segment) {
        if (!broadcast) {
            const bool object = message.length >= 6;
            const quint8 frame[7] = { client, kAbort, d[2], object ? d[3] : quint8(0),
                object ? d[4] : quint8(0), object ? d[5] : quint8(0), kUnknownCommand };
            send(frame, 7);
        }
        return true;
    }
    if (broadcast && cmd != kUpload && cmd != kExpeditedDownload)
        return true; // only expedited requests reach all nodes at once
    if (initiate) {
        if (message.length < 6) {
            const quint8 frame[7] = { client, kAbort, d[2], 0, 0, 0, kUnexpectedLength };
            send(frame, 7);
            return true;
        }
        // A new request replaces whatever ran before.
        reset();
        mClient = client;
        mSession = d[2];
        mSub = d[3];
        mIndex = qFromLittleEndian<quint16>(d + 4);
        mScript = scriptFor(mIndex, mSub);
        mFramesAnswered = 0;
    } else if (mState == State_Idle || client != mClient || d[2] != mSession) {
        // A segment outside the running transfer (or of another client or session).
        if (mMuted && client == mClient && d[2] == mSession)
            return true;
        const quint8 frame[7] = { client, kAbort, d[2], 0, 0, 0, kProtocolError };
        send(frame, 7);
        return true;
    }
    if (mMuted)
        return true;
    if (mScript.silent || (mScript.answerFrames >= 0 && mFramesAnswered >= mScript.answerFrames)) {
        // The device stops talking: no answers and no timeout abort for this transfer.
        mState = State_Idle;
        mTimeoutTimer->stop();
        mMuted = true;
        return true;
    }
    if (mScript.abortCode != 0 && mFramesAnswered >= mScript.abortAtFrame) {
        abortTransfer(mIndex, mSub, mScript.abortCode);
        return true;
    }
    ++mFramesAnswered;
    switch (cmd) {
    case kUpload:
        expeditedUpload(mOd, broadcast);
        break;
    case kExpeditedDownload:
        expeditedDownload(mOd, message);
        break;
    case kSegmentedDownload:
    case kBulkDownload:
        initiateDownload(message, cmd == kBulkDownload);
        break;
    case kDownloadSegment:
    case kLastDownloadSegment:
    case kBulkSegment:
    case kLastBulkSegment:
        downloadSegment(message);
        break;
    case kUploadSegment:
        uploadSegment(message);
        break;
    default:
        break;
    }
    return true;
}

quint8 SimUsdoServer::checkWrite(
    SimObjectDictionary *od, quint16 index, quint8 sub, quint8 type, qint64 size) const
{
    const OD::Entry *entry = od ? od->entry(index, sub) : nullptr;
    if (!entry)
        return od && od->hasIndex(index) ? kNoSubIndex : kNoObject;
    if (entry->access == OD::ReadOnly || entry->access == OD::Const)
        return kReadOnly;
    const int typeSize = OD::typeSize(entry->dataType);
    const bool givenVariable = type == OD::VisibleString || type == OD::OctetString || type == OD::Domain;
    if (typeSize > 0) {
        if (type != entry->dataType)
            return kTypeMismatch;
        if (size != typeSize)
            return size > typeSize ? kTooLong : kTooShort;
        return 0;
    }
    if (!givenVariable)
        return kTypeMismatch;
    const qint64 limit = entry->maxSize > 0 ? entry->maxSize : (1 << 20) + 1024;
    return size > limit ? kTooLong : 0;
}

void SimUsdoServer::expeditedUpload(SimObjectDictionary *od, bool broadcast)
{
    QByteArray value;
    const quint32 code = od ? od->read(mIndex, mSub, &value) : quint32(OD::Abort_NoObject);
    if (code != 0)
        return abortTransfer(mIndex, mSub, usdoAbortCode(code));
    const OD::Entry *entry = od->entry(mIndex, mSub);
    quint8 frame[64] = { mClient, 0, mSession, mSub, quint8(mIndex), quint8(mIndex >> 8),
        quint8(entry ? entry->dataType : 0), 0 };
    if (value.size() <= kExpeditedBytes) {
        frame[1] = kUpload | 0x20;
        frame[7] = quint8(value.size());
        std::memcpy(frame + 8, value.constData(), size_t(value.size()));
        answer(frame, 8 + int(value.size()));
        emit transferCompleted(mIndex, mSub, false);
        return;
    }
    if (broadcast)
        return abortTransfer(mIndex, mSub, kTooLong); // a broadcast gets one frame per node
    // Too long for one frame: the segmented upload starts, announcing the size.
    frame[1] = 0x32;
    qToLittleEndian<quint32>(quint32(value.size()), frame + 8);
    mData = value;
    mOffset = 0;
    mCounter = 0;
    mState = State_SegmentedUpload;
    answer(frame, 12);
    superviseFromNow();
}

void SimUsdoServer::expeditedDownload(SimObjectDictionary *od, const CAN::CanRxMessage &message)
{
    const quint8 *d = message.data;
    if (message.length < 8 || d[7] > message.length - 8 || d[7] > kExpeditedBytes)
        return abortTransfer(mIndex, mSub, kUnexpectedLength);
    const quint8 check = checkWrite(od, mIndex, mSub, d[6], d[7]);
    if (check != 0)
        return abortTransfer(mIndex, mSub, check);
    const quint32 code = od->write(mIndex, mSub, QByteArray(reinterpret_cast<const char *>(d + 8), d[7]));
    if (code != 0)
        return abortTransfer(mIndex, mSub, usdoAbortCode(code));
    const quint8 frame[8]
        = { mClient, kExpeditedDownload | 0x20, mSession, mSub, quint8(mIndex), quint8(mIndex >> 8), 0, 0 };
    answer(frame, 8);
    emit transferCompleted(mIndex, mSub, true);
}

void SimUsdoServer::initiateDownload(const CAN::CanRxMessage &message, bool bulk)
{
    const quint8 *d = message.data;
    if (message.length < 12)
        return abortTransfer(mIndex, mSub, kUnexpectedLength);
    const quint32 size = qFromLittleEndian<quint32>(d + 8);
    const quint8 check = checkWrite(mOd, mIndex, mSub, d[6], qint64(size));
    if (check != 0)
        return abortTransfer(mIndex, mSub, check);
    mExpectedSize = size;
    mData.clear();
    mData.reserve(int(size));
    mCounter = 0;
    mState = bulk ? State_BulkDownload : State_SegmentedDownload;
    quint8 frame[8] = { mClient, quint8((bulk ? kBulkDownload : kSegmentedDownload) | 0x20), mSession, mSub,
        quint8(mIndex), quint8(mIndex >> 8), 0, 0 };
    if (bulk)
        qToLittleEndian<quint16>(mBulkSpacing, frame + 6); // the pace of the segments
    answer(frame, 8);
    superviseFromNow();
}

void SimUsdoServer::downloadSegment(const CAN::CanRxMessage &message)
{
    const quint8 *d = message.data;
    const quint8 cmd = d[1];
    const bool bulk = cmd == kBulkSegment || cmd == kLastBulkSegment;
    if (mState != (bulk ? State_BulkDownload : State_SegmentedDownload))
        return abortTransfer(mIndex, mSub, kProtocolError);
    const bool last = cmd == kLastDownloadSegment || cmd == kLastBulkSegment;
    if (!last) {
        if (message.length != 64)
            return abortTransfer(mIndex, mSub, kUnexpectedLength);
        if (d[3] != mCounter)
            return abortTransfer(mIndex, mSub, kBadCounter);
        ++mCounter;
        mData.append(reinterpret_cast<const char *>(d + 4), kSegmentBytes);
        if (mData.size() >= mExpectedSize) // the last segment must carry the rest
            return abortTransfer(mIndex, mSub, kTooLong);
        superviseFromNow();
        if (!bulk) {
            const quint8 frame[4] = { mClient, kDownloadSegment | 0x20, mSession, d[3] };
            answer(frame, 4);
        }
        return;
    }
    if (d[3] > kSegmentBytes || message.length < 4 + d[3])
        return abortTransfer(mIndex, mSub, kUnexpectedLength);
    mData.append(reinterpret_cast<const char *>(d + 4), d[3]);
    if (mData.size() != mExpectedSize)
        return abortTransfer(mIndex, mSub, mData.size() > mExpectedSize ? kTooLong : kTooShort);
    completeDownload();
    const quint8 frame[4] = { mClient, quint8(cmd | 0x20), mSession, 0 };
    answer(frame, 4);
}

void SimUsdoServer::completeDownload()
{
    const quint32 code = mOd ? mOd->write(mIndex, mSub, mData) : quint32(OD::Abort_NoObject);
    if (code != 0)
        return abortTransfer(mIndex, mSub, usdoAbortCode(code));
    mState = State_Idle;
    mTimeoutTimer->stop();
    mData.clear();
    emit transferCompleted(mIndex, mSub, true);
}

void SimUsdoServer::uploadSegment(const CAN::CanRxMessage &message)
{
    if (mState != State_SegmentedUpload)
        return abortTransfer(mIndex, mSub, kProtocolError);
    const quint8 *d = message.data;
    if (message.length < 4)
        return abortTransfer(mIndex, mSub, kUnexpectedLength);
    if (d[3] != mCounter)
        return abortTransfer(mIndex, mSub, kBadCounter);
    ++mCounter;
    quint8 frame[64];
    frame[0] = mClient;
    frame[2] = mSession;
    const int left = int(mData.size()) - mOffset;
    if (left > kSegmentBytes) {
        frame[1] = 0x33;
        frame[3] = d[3];
        std::memcpy(frame + 4, mData.constData() + mOffset, kSegmentBytes);
        mOffset += kSegmentBytes;
        superviseFromNow();
        answer(frame, 64);
        return;
    }
    frame[1] = 0x34;
    frame[3] = quint8(left);
    std::memcpy(frame + 4, mData.constData() + mOffset, size_t(left));
    mState = State_Idle;
    mTimeoutTimer->stop();
    mData.clear();
    answer(frame, 4 + left);
    emit transferCompleted(mIndex, mSub, false);
}

void SimUsdoServer::handleRouted(const CAN::CanRxMessage &message)
{
    // As a gateway: destination network and node, source network and node, then the object
    // and the expedited value four bytes later than in an unrouted request.
    const quint8 *d = message.data;
    if (message.length < 10)
        return;
    const quint8 cmd = quint8(d[1] & ~kRouted);
    const quint8 destNetwork = d[3];
    const quint8 destNode = d[4];
    const quint8 sub = d[7];
    const quint16 index = qFromLittleEndian<quint16>(d + 8);
    quint8 frame[64] = { quint8(message.id - 0x600u), 0, d[2], d[5], d[6], destNetwork, destNode, sub,
        quint8(index), quint8(index >> 8) };
    auto routedAbort = [&](quint8 code) {
        frame[1] = kAbort | kRouted;
        frame[10] = code;
        send(frame, 11);
    };
    const auto it = mRouted.constFind(quint16((destNetwork << 8) | destNode));
    if (it == mRouted.constEnd() || !*it) {
        bool networkKnown = false;
        for (auto r = mRouted.constBegin(); r != mRouted.constEnd(); ++r)
            networkKnown = networkKnown || (r.key() >> 8) == destNetwork;
        return routedAbort(networkKnown ? kNodeUnknown : kNetworkUnknown);
    }
    SimObjectDictionary *od = it->data();
    if (cmd == kUpload) {
        QByteArray value;
        const quint32 code = od->read(index, sub, &value);
        if (code != 0)
            return routedAbort(usdoAbortCode(code));
        if (value.size() > kRoutedBytes)
            return routedAbort(kTooLong);
        const OD::Entry *entry = od->entry(index, sub);
        frame[1] = kUpload | 0x20 | kRouted;
        frame[10] = quint8(entry ? entry->dataType : 0);
        frame[11] = quint8(value.size());
        std::memcpy(frame + 12, value.constData(), size_t(value.size()));
        send(frame, 12 + int(value.size()));
        return;
    }
    if (cmd == kExpeditedDownload) {
        if (message.length < 12 || d[11] > message.length - 12)
            return routedAbort(kUnexpectedLength);
        const quint8 check = checkWrite(od, index, sub, d[10], d[11]);
        if (check != 0)
            return routedAbort(check);
        const quint32 code = od->write(index, sub, QByteArray(reinterpret_cast<const char *>(d + 12), d[11]));
        if (code != 0)
            return routedAbort(usdoAbortCode(code));
        frame[1] = kExpeditedDownload | 0x20 | kRouted;
        send(frame, 12);
        return;
    }
    routedAbort(kUnknownCommand);
}
