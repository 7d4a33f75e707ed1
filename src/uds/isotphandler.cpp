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

void ISOTPHandler::sendFrame(CAN::CanMessage &frame)
{
    // SF, FF and FC: the adapter's result is not examined; the supervision timer decides.
    if (mScheduler && mScheduler->canAdapter())
        mScheduler->canAdapter()->sendCanMessage(frame);
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
        mTimer->start(mTimeout);
        mState = WaitFirstFlowControl;
        sendFrame(frame);
        return 0;
    }
    }

    sendFrame(frame);
    mState = Idle;
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
    if (!mSender || mSender->canId() != id || mSender->parent() != mScheduler.data()) {
        if (mSender) {
            disconnect(mSender.data(), nullptr, this, nullptr);
            mScheduler->unregisterCan(mSender, this);
        }
        mSender = mScheduler->registerCanId(id);
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

void ISOTPHandler::sendFlowControl(bool afterFirstFrame)
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
    sendFrame(frame);
}

void ISOTPHandler::newCanMessageReceived(const CAN::CanRxMessage &message)
{
    if (message.id != (mRxCanId & kIdMask))
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
        // Only "continue to send" is acted on; wait (0x31) and overflow (0x32) leave the
        // supervision timer running.
        if (pci != 0x30 || len < e + 3)
            return;
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
        mBlockSize = kFlowControlBlockSize;
        sendFlowControl(true);
        mFrameCounter = 0;
        return;
    }
    case 0x2: {
        if (!mFirstFrameSeen)
            return;
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
        } else if (mFrameCounter >= mBlockSize) {
            sendFlowControl(false);
            mFrameCounter = 0;
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
        if (adapter->sendCanMessage(frame) != CAN::RetType_OK)
            qCDebug(lcIsoTp) << "void ISOTPHandler::sendNextBlock()"
                             << "can write error";

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
