#include "isotphandler.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "tarnwicklogging_p.h"

#include <QEventLoop>
#include <QTimer>

#include <cstring>

namespace {
constexpr quint32 kIdMask = 0x1FFFFFFF;
constexpr quint8 kPadding = 0xCC;
constexpr quint8 kFlowControlBlockSize = 16;
// Flow status of a flow control frame (ISO 15765-2).
enum FlowStatus : quint8 {
    FlowStatus_ContinueToSend = 0x30,
    FlowStatus_Wait = 0x31,
    FlowStatus_Overflow = 0x32,
};
} // namespace

ISOTPHandler::ISOTPHandler(CanScheduler *scheduler, QObject *parent)
    : QObject(parent)
    , mScheduler(scheduler)
{
    mTimer = new QTimer(this);
    mTimer->setInterval(mTimeout);
    connect(mTimer.data(), &QTimer::timeout, this, &ISOTPHandler::timeoutTimer);
    if (mScheduler && mScheduler->canAdapter())
        mCanFDCapable = mScheduler->canAdapter()->mCanFdCapable;
}

ISOTPHandler::~ISOTPHandler() = default;

void ISOTPHandler::prepareFrame(CAN::CanMessage &frame) const
{
    frame.id = mTxCanId & kIdMask;
    frame.extended = mTxCanId > kIdMask;
    frame.fd = mCanFDEnabled;
    frame.bitRateSwitch = mCanFDEnabled;
    if (mTxExtAddressing)
        frame.data[0] = mTxExtAddress;
}

bool ISOTPHandler::rxExtendedId() const
{
    return mRxCanId > kIdMask || mRxCanId > CAN::MaxStandardId;
}

CAN::RetType ISOTPHandler::sendFrame(CAN::CanMessage &frame)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    return adapter->sendCanMessage(frame);
}

void ISOTPHandler::failTransfer(const char *reason)
{
    qCDebug(lcIsoTp) << "ISOTPHandler: transfer ended:" << reason << mRxCanId;
    // Idle before the signal, so that a receiver may start the next transfer at once.
    mState = Idle;
    if (mTimer)
        mTimer->stop();
    emit error(mRxCanId);
}

int ISOTPHandler::startTransfer(QByteArray &data, bool expectResponse)
{
    if (mState != Idle)
        return 1;
    mExpectResponse = expectResponse;
    mBuffer = data;
    mPayloadLength = quint32(data.size());

    const int e = mTxExtAddressing ? 1 : 0;
    const quint32 n = mPayloadLength;
    enum class Kind { Single, Escape, First } kind = Kind::First;
    if (n <= 7) {
        if (n <= quint32(7 - e))
            kind = Kind::Single;
        else if (mCanFDEnabled)
            kind = Kind::Escape; // 7 bytes behind an address byte on CAN FD
    } else if (n <= 62 && mCanFDEnabled && n <= quint32(62 - e)) {
        kind = Kind::Escape;
    }

    const int registered = registerForFlowControl();
    if (registered != 0)
        return registered;

    CAN::CanMessage frame;
    prepareFrame(frame);
    const char *payload = mBuffer.constData();
    switch (kind) {
    case Kind::Single:
        frame.length = 8;
        frame.data[e] = quint8(n);
        std::memcpy(frame.data + e + 1, payload, n);
        if (mCanFDEnabled)
            std::memset(frame.data + e + 1 + n, kPadding, 8 - (e + 1 + n));
        break;
    case Kind::Escape:
        // ISO 15765-2 CAN FD single frame: PCI 0x00, then the length in the next byte. The
        // adapter picks the data length code that holds the exact byte count.
        frame.length = quint8(n + 2 + e);
        frame.data[e] = 0x00;
        frame.data[e + 1] = quint8(n);
        std::memcpy(frame.data + e + 2, payload, n);
        break;
    case Kind::First: {
        const int frameLength = mCanFDEnabled ? 64 : 8;
        int header;
        if (n <= 0xFFF) {
            frame.data[e] = quint8(0x10 | (n >> 8));
            frame.data[e + 1] = quint8(n & 0xFF);
            header = e + 2;
        } else {
            // Escape for messages above 4095 bytes: 12-bit length 0, then 32 bits big-endian.
            frame.data[e] = 0x10;
            frame.data[e + 1] = 0x00;
            frame.data[e + 2] = quint8(n >> 24);
            frame.data[e + 3] = quint8(n >> 16);
            frame.data[e + 4] = quint8(n >> 8);
            frame.data[e + 5] = quint8(n);
            header = e + 6;
        }
        const int carried = qMin<qint64>(frameLength - header, n);
        std::memcpy(frame.data + header, payload, size_t(carried));
        frame.length = quint8(frameLength);
        mSendPosition = carried - 1;
        mWaitFrames = 0;
        mTimer->start(mTimeout);
        mState = WaitFirstFlowControl;
        const CAN::RetType sent = sendFrame(frame);
        if (sent != CAN::RetType_OK) {
            // Refused: nothing is on the way, so nothing is waited for.
            mTimer->stop();
            mState = Idle;
        }
        return sent;
    }
    }

    const CAN::RetType sent = sendFrame(frame);
    mState = Idle;
    if (sent != CAN::RetType_OK)
        return sent;
    if (mExpectResponse)
        startReception();
    return 0;
}

int ISOTPHandler::waitForTransfer(quint16 timeoutMs)
{
    if (mState != Idle)
        return 1;
    if (timeoutMs != 0)
        mTimeout = timeoutMs;
    if (!mScheduler || registerForFlowControl() != 0)
        return 2;
    return startReception();
}

int ISOTPHandler::waitForResponse()
{
    if (mState != Idle)
        return 1;
    return startReception();
}

int ISOTPHandler::registerForFlowControl()
{
    if (!mScheduler)
        return 2;
    const quint32 id = mRxCanId & kIdMask;
    // Keep one registration as long as identifier and scheduler stay the same, so that the
    // scheduler's user count does not grow with every message.
    const bool extended = rxExtendedId();
    if (!mSender || mSender->canId() != id || mSender->isExtended() != extended
        || mSender->parent() != mScheduler.data()) {
        if (mSender) {
            disconnect(mSender.data(), nullptr, this, nullptr);
            mScheduler->unregisterCan(mSender, this);
        }
        mSender = mScheduler->registerCanId(id, extended);
    }
    if (!mSender)
        return 2;
    connect(mSender.data(), &CanSender::received, this, &ISOTPHandler::newCanMessageReceived,
        Qt::UniqueConnection);
    return 0;
}

int ISOTPHandler::startReception()
{
    mBuffer.clear();
    mFirstFrameSeen = false;
    mState = Receive;
    mTimer->start(mTimeout);
    return 0;
}

void ISOTPHandler::abortTranfer()
{
    mState = Idle;
    if (mTimer)
        mTimer->stop();
}

void ISOTPHandler::getReceivedData(QByteArray &data) const
{
    data = mBuffer;
}

void ISOTPHandler::setCanScheduler(QPointer<CanScheduler> scheduler)
{
    mScheduler = scheduler;
}

bool ISOTPHandler::enableCANFD(bool enable)
{
    if (!mCanFDCapable)
        return !enable;
    mCanFDEnabled = enable;
    return true;
}

bool ISOTPHandler::sendFlowControl(bool afterFirstFrame)
{
    const int e = mTxExtAddressing ? 1 : 0;
    CAN::CanMessage frame;
    prepareFrame(frame);
    frame.length = 8;
    frame.data[e] = 0x30;
    frame.data[e + 1] = kFlowControlBlockSize;
    frame.data[e + 2] = mFlowControlSTmin;
    std::memset(frame.data + e + 3, afterFirstFrame ? 0x00 : kPadding, size_t(5 - e));
    if (e == 0)
        frame.data[7] = kPadding;
    if (sendFrame(frame) == CAN::RetType_OK)
        return true;
    // Without the flow control the sender never goes on: the reception cannot complete.
    failTransfer("flow control refused by the adapter");
    return false;
}

void ISOTPHandler::handleFlowControl(const quint8 *d, int len, int e)
{
    const quint8 pci = d[e];
    if ((pci & 0xF0) != 0x30 || len < e + 3)
        return; // not a flow control
    switch (pci) {
    case FlowStatus_ContinueToSend:
        break;
    case FlowStatus_Wait:
        // The receiver needs time: supervise the next flow control afresh, a bounded number
        // of times (N_WFTmax).
        if (++mWaitFrames > mMaxWaitFrames) {
            failTransfer("too many flow control waits");
            return;
        }
        mTimer->start(mTimeout);
        return;
    case FlowStatus_Overflow:
        failTransfer("receiver overflow");
        return;
    default:
        failTransfer("invalid flow status");
        return;
    }
    mWaitFrames = 0;
    const quint8 bs = d[e + 1];
    mBlockSize = bs == 0 ? 0xFFFFFFFFu : bs;
    if (mState == WaitFirstFlowControl)
        mSequenceNumber = 1;
    const quint8 stmin = d[e + 2];
    if (mIgnoreSTmin || stmin == 0)
        mSTmin = 0;
    else if (stmin <= 0x7F)
        mSTmin = quint8(stmin + mGapOffset);
    else
        mSTmin = 1; // reserved values and the 100..900 us codes 0xF1..0xF9
    mState = SendConsecutive;
    mTimer->stop();
    QTimer::singleShot(mSTmin, this, &ISOTPHandler::sendNextBlock);
}

void ISOTPHandler::newCanMessageReceived(const CAN::CanRxMessage &message)
{
    if (message.id != (mRxCanId & kIdMask) || message.extended != rxExtendedId())
        return;
    switch (TransportState(mState)) {
    case Idle:
    case SendConsecutive:
        return;
    case WaitFirstFlowControl:
    case WaitFlowControl:
    case Receive:
        break;
    }

    const int len = qMin<int>(message.length, 64);
    const int e = mRxExtAddressing ? 1 : 0;
    if (len < e + 1)
        return;
    if (e == 1 && message.data[0] != mRxExtAddress)
        return;
    const quint8 *d = message.data;
    const quint8 pci = d[e];

    if (mState == WaitFirstFlowControl || mState == WaitFlowControl) {
        handleFlowControl(d, len, e);
        return;
    }

    switch (pci >> 4) {
    case 0x0: {
        int start = e + 1;
        int n = pci & 0x0F;
        if (pci == 0x00) {
            if (len < e + 2)
                return;
            n = d[e + 1] & 0x3F;
            start = e + 2;
        }
        if (start + n > len) {
            qCDebug(lcIsoTp) << "void ISOTPHandler::newCanMessageReceived(CAN::CanRxMessage)"
                             << "single frame length beyond the frame:" << n;
            return;
        }
        mBuffer.append(reinterpret_cast<const char *>(d + start), n);
        mTimer->stop();
        mState = Idle;
        emit dataReceived(mRxCanId);
        return;
    }
    case 0x1: {
        if (len < e + 2)
            return;
        quint32 n = quint32(pci & 0x0F) << 8 | d[e + 1];
        int start = e + 2;
        if (n == 0) {
            if (len < e + 6)
                return;
            n = quint32(d[e + 2]) << 24 | quint32(d[e + 3]) << 16 | quint32(d[e + 4]) << 8 | d[e + 5];
            start = e + 6;
        }
        mPayloadLength = n;
        qCDebug(lcIsoTp) << "void ISOTPHandler::newCanMessageReceived(CAN::CanRxMessage)"
                         << "mPayloadLength =" << mPayloadLength;
        // A new first frame starts the message again. Nothing is reserved for the announced
        // length: the buffer only grows with the frames that really arrive.
        mBuffer.clear();
        mBuffer.append(reinterpret_cast<const char *>(d + start), len - start);
        mFirstFrameSeen = true;
        mExpectedSequence = 1;
        mBlockSize = kFlowControlBlockSize;
        mFrameCounter = 0;
        // From now on each consecutive frame is supervised on its own (N_Cr).
        mTimer->start(mConsecutiveFrameTimeout);
        sendFlowControl(true);
        return;
    }
    case 0x2: {
        if (!mFirstFrameSeen)
            return;
        if ((pci & 0x0F) != mExpectedSequence) {
            // A lost, repeated or reordered frame: the message would come out corrupted.
            failTransfer("wrong sequence number");
            return;
        }
        mExpectedSequence = (mExpectedSequence + 1) & 0x0F;
        ++mFrameCounter;
        const int m = (message.fd && mCanFDEnabled) ? 63 : 7;
        const int last = qMin(len - 1, m);
        if (last >= e + 1)
            mBuffer.append(reinterpret_cast<const char *>(d + e + 1), last - e);
        if (quint32(mBuffer.size()) >= mPayloadLength) {
            mState = Idle;
            mTimer->stop();
            mBuffer.truncate(int(mPayloadLength));
            emit dataReceived(mRxCanId);
            return;
        }
        mTimer->start(mConsecutiveFrameTimeout);
        if (mFrameCounter >= mBlockSize) {
            mFrameCounter = 0;
            sendFlowControl(false);
        }
        return;
    }
    default:
        return;
    }
}

void ISOTPHandler::sendNextBlock()
{
    // A block scheduled before an abort finds the transport doing something else.
    if (mState != SendConsecutive)
        return;
    const int e = mTxExtAddressing ? 1 : 0;
    const int frameLength = mCanFDEnabled ? 64 : 8;
    const int perFrame = frameLength - 1 - e;
    QPointer<ISOTPHandler> self(this);

    for (quint32 k = 1;; ++k) {
        CAN::CanMessage frame;
        prepareFrame(frame);
        frame.length = quint8(frameLength);
        frame.data[e] = quint8(0x20 | (mSequenceNumber & 0x0F));
        ++mSequenceNumber;
        const qint64 remaining = qint64(mPayloadLength) - mSendPosition - 1;
        const int count = int(qBound<qint64>(0, remaining, perFrame));
        if (count > 0)
            std::memcpy(frame.data + e + 1, mBuffer.constData() + mSendPosition + 1, size_t(count));
        mSendPosition += perFrame;

        if (mSTmin > 0) {
            // The pause keeps the host's events flowing; whatever they do to this transport
            // (abort, destruction) is checked afterwards.
            QEventLoop loop;
            QTimer::singleShot(mSTmin, &loop, &QEventLoop::quit);
            loop.exec();
            if (!self || mState != SendConsecutive)
                return;
        }

        AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
        if (!adapter) {
            abortTranfer();
            return;
        }
        CAN::RetType sent = adapter->sendCanMessage(frame);
        // A full transmit queue (7) is waited out for about N_Cr, in short pauses that keep
        // the host's events flowing; any other refusal ends the transfer.
        const int maxRetries = mRetryDelay == 0 ? 0 : mConsecutiveFrameTimeout / mRetryDelay;
        for (int retry = 0; sent == CAN::RetType_NotReady && retry < maxRetries; ++retry) {
            QEventLoop loop;
            QTimer::singleShot(mRetryDelay, &loop, &QEventLoop::quit);
            loop.exec();
            if (!self || mState != SendConsecutive)
                return;
            adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
            if (!adapter) {
                abortTranfer();
                return;
            }
            sent = adapter->sendCanMessage(frame);
        }
        if (sent != CAN::RetType_OK) {
            qCDebug(lcIsoTp) << "void ISOTPHandler::sendNextBlock()"
                             << "can write error" << int(sent);
            failTransfer("consecutive frame refused by the adapter");
            return;
        }

        if (qint64(mSendPosition) >= qint64(mPayloadLength) - 1) {
            mTimer->stop();
            mState = Idle;
            if (mExpectResponse)
                startReception();
            return;
        }
        if (k >= mBlockSize) {
            mState = WaitFlowControl;
            mTimer->start(mTimeout);
            return;
        }
    }
}

void ISOTPHandler::timeoutTimer()
{
    const int state = mState;
    qCDebug(lcIsoTp) << "void ISOTPHandler::timeoutTimer()" << state << mRxCanId;
    // Idle before the signal, so that a receiver may start the next transfer at once.
    mState = Idle;
    switch (TransportState(state)) {
    case WaitFirstFlowControl:
    case WaitFlowControl:
    case Receive:
        mTimer->stop();
        emit timeout(mRxCanId);
        break;
    case Idle:
    case SendConsecutive:
        break;
    }
}
