#include "simisotpserver.h"

#include "abstractcanadapter.h"
#include "cantypes.h"

#include <QTimer>

#include <cstring>

namespace {
constexpr int kWaitFrameSpacingMs = 10;

enum PciType : quint8 { Pci_Single = 0x0, Pci_First = 0x1, Pci_Consecutive = 0x2, Pci_FlowControl = 0x3 };
enum FlowStatus : quint8 { Flow_ContinueToSend = 0, Flow_Wait = 1, Flow_Overflow = 2 };

/// ISO 15765-2 STmin byte in ms for a sender: 0x00..0x7F ms; 0xF1..0xF9 are 100..900 us,
/// rounded up to the 1 ms a timer can do; reserved values count as the longest time, 127 ms.
int stminToMs(quint8 raw)
{
    if (raw <= 0x7F)
        return raw;
    if (raw >= 0xF1 && raw <= 0xF9)
        return 1;
    return 0x7F;
}
} // namespace

SimIsoTpServer::SimIsoTpServer(AbstractCanAdapter *adapter, QObject *parent)
    : QObject(parent)
    , mAdapter(adapter)
    , mRxTimer(new QTimer(this))
    , mWaitTimer(new QTimer(this))
    , mTxTimer(new QTimer(this))
    , mPaceTimer(new QTimer(this))
{
    for (QTimer *t : { mRxTimer, mWaitTimer, mTxTimer, mPaceTimer })
        t->setSingleShot(true);
    mRxTimer->setInterval(1000);
    mTxTimer->setInterval(1000);
    mWaitTimer->setInterval(kWaitFrameSpacingMs);
    connect(mRxTimer, &QTimer::timeout, this, [this] { failRx(QStringLiteral("N_Cr timeout")); });
    connect(mTxTimer, &QTimer::timeout, this, [this] { failTx(QStringLiteral("N_Bs timeout")); });
    connect(mWaitTimer, &QTimer::timeout, this, [this] {
        if (mRxState != RxState::Receiving)
            return;
        if (mWaitFramesLeft > 0) {
            --mWaitFramesLeft;
            sendFlowControl(Flow_Wait);
            mWaitTimer->start();
        } else {
            sendFlowControl(Flow_ContinueToSend);
            mRxTimer->start();
        }
    });
    connect(mPaceTimer, &QTimer::timeout, this, &SimIsoTpServer::sendNextConsecutive);
    if (mAdapter)
        connect(mAdapter.data(), &AbstractCanAdapter::messageReceived, this, &SimIsoTpServer::frameReceived);
}

SimIsoTpServer::~SimIsoTpServer() = default;

void SimIsoTpServer::setIds(quint32 rxId, quint32 txId, bool extendedIds)
{
    mRxId = rxId;
    mTxId = txId;
    mExtendedIds = extendedIds;
}

void SimIsoTpServer::setExtendedAddressing(bool on, quint8 rxAddress, quint8 txAddress)
{
    mExtAddressing = on;
    mRxAddress = rxAddress;
    mTxAddress = txAddress;
}

void SimIsoTpServer::setTimeouts(int receiveMs, int flowControlMs)
{
    mRxTimer->setInterval(receiveMs);
    mTxTimer->setInterval(flowControlMs);
}

bool SimIsoTpServer::sendFrame(const quint8 *bytes, int length)
{
    if (!mAdapter)
        return false;
    CAN::CanMessage frame;
    frame.id = mTxId;
    frame.extended = mExtendedIds;
    frame.fd = mCanFd;
    frame.bitRateSwitch = mCanFd;
    int dl = mCanFd ? CAN::canFdLengthFor(length) : 8;
    if (mExtAddressing) {
        frame.data[0] = mTxAddress;
        dl = mCanFd ? CAN::canFdLengthFor(length + 1) : 8;
        std::memcpy(frame.data + 1, bytes, size_t(length));
        std::memset(frame.data + 1 + length, mPadding, size_t(dl - 1 - length));
    } else {
        std::memcpy(frame.data, bytes, size_t(length));
        std::memset(frame.data + length, mPadding, size_t(dl - length));
    }
    frame.length = quint8(dl);
    if (mAdapter->sendCanMessage(frame) != CAN::RetType_OK)
        return false;
    ++mFramesSent;
    return true;
}

void SimIsoTpServer::sendFlowControl(quint8 status)
{
    const quint8 fc[3] = { quint8(0x30 | status), mBlockSize, mSTminRaw };
    sendFrame(fc, 3);
}

void SimIsoTpServer::failRx(const QString &reason)
{
    mRxTimer->stop();
    mWaitTimer->stop();
    if (mRxState == RxState::Idle)
        return;
    mRxState = RxState::Idle;
    mRxBuffer.clear();
    emit transferFailed(reason);
}

void SimIsoTpServer::failTx(const QString &reason)
{
    mTxTimer->stop();
    mPaceTimer->stop();
    if (mTxState == TxState::Idle)
        return;
    mTxState = TxState::Idle;
    emit transferFailed(reason);
}

void SimIsoTpServer::frameReceived(const CAN::CanRxMessage &frame)
{
    if (frame.id != mRxId || frame.extended != mExtendedIds || frame.remote)
        return;
    const int e = mExtAddressing ? 1 : 0;
    const int canDl = qMin<int>(frame.length, 64);
    if (canDl < 1 + e || (e && frame.data[0] != mRxAddress))
        return;
    ++mFramesReceived;
    const quint8 *pci = frame.data + e;
    const int available = canDl - e; // PCI and data bytes

    switch (PciType(pci[0] >> 4)) {
    case Pci_Single: {
        int length = pci[0] & 0x0F;
        int start = 1;
        if (canDl <= 8) {
            if (length == 0 || length > 7 - e)
                return;
        } else {
            // CAN FD: only the escape form with its length byte is valid above 8 bytes.
            if (length != 0 || available < 2)
                return;
            length = pci[1];
            start = 2;
            if (length < 8 - e || length > available - 2)
                return;
        }
        if (start + length > available)
            return;
        // A single frame during a segmented reception ends that reception (ISO 15765-2).
        mRxTimer->stop();
        mWaitTimer->stop();
        mRxState = RxState::Idle;
        emit messageReceived(QByteArray(reinterpret_cast<const char *>(pci + start), length));
        return;
    }
    case Pci_First: {
        if (mSingleFramesOnly || available < 2)
            return;
        quint32 length = quint32(pci[0] & 0x0F) << 8 | pci[1];
        int start = 2;
        if (length == 0) {
            if (available < 6)
                return;
            length = quint32(pci[2]) << 24 | quint32(pci[3]) << 16 | quint32(pci[4]) << 8 | pci[5];
            start = 6;
        }
        // RX_DL is the first frame's length; a first frame must be full.
        if (canDl != 8 && (canDl < 12 || CAN::canFdLengthFor(canDl) != canDl))
            return;
        const quint32 smallest = canDl == 8 ? quint32(8 - e) : quint32(canDl - 1 - e);
        if (length < smallest)
            return;
        if (length > mMaxRequestLength) {
            sendFlowControl(Flow_Overflow);
            return;
        }
        mRxDataLength = canDl;
        mRxExpected = length;
        mRxBuffer = QByteArray(reinterpret_cast<const char *>(pci + start), available - start);
        mRxSequence = 1;
        mRxBlockCount = 0;
        mRxState = RxState::Receiving;
        mWaitFramesLeft = mWaitFrames;
        if (mWaitFramesLeft > 0) {
            --mWaitFramesLeft;
            sendFlowControl(Flow_Wait);
            mWaitTimer->start();
        } else {
            sendFlowControl(Flow_ContinueToSend);
            mRxTimer->start();
        }
        return;
    }
    case Pci_Consecutive: {
        if (mRxState != RxState::Receiving || mWaitTimer->isActive())
            return;
        if ((pci[0] & 0x0F) != (mRxSequence & 0x0F)) {
            failRx(QStringLiteral("wrong sequence number"));
            return;
        }
        ++mRxSequence;
        const int remaining = int(mRxExpected) - mRxBuffer.size();
        mRxBuffer.append(reinterpret_cast<const char *>(pci + 1), qMin(remaining, available - 1));
        if (quint32(mRxBuffer.size()) >= mRxExpected) {
            mRxTimer->stop();
            mRxState = RxState::Idle;
            const QByteArray message = mRxBuffer;
            mRxBuffer.clear();
            emit messageReceived(message);
            return;
        }
        if (mBlockSize != 0 && ++mRxBlockCount >= mBlockSize) {
            mRxBlockCount = 0;
            sendFlowControl(Flow_ContinueToSend);
        }
        mRxTimer->start();
        return;
    }
    case Pci_FlowControl:
        handleFlowControl(pci, available);
        return;
    }
}

void SimIsoTpServer::handleFlowControl(const quint8 *pci, int available)
{
    if (mTxState != TxState::WaitFlowControl || available < 3)
        return;
    switch (pci[0] & 0x0F) {
    case Flow_ContinueToSend:
        mTxTimer->stop();
        mTxBlockSize = pci[1];
        mTxBlockCount = 0;
        mTxSTminMs = stminToMs(pci[2]);
        mTxState = TxState::Sending;
        mPaceTimer->start(mTxSTminMs);
        return;
    case Flow_Wait:
        mTxTimer->start();
        return;
    case Flow_Overflow:
        failTx(QStringLiteral("overflow"));
        return;
    default:
        failTx(QStringLiteral("invalid flow status"));
        return;
    }
}

bool SimIsoTpServer::send(const QByteArray &message)
{
    if (mTxState != TxState::Idle || message.isEmpty())
        return false;
    const int e = mExtAddressing ? 1 : 0;
    const int n = message.size();
    const auto *data = reinterpret_cast<const quint8 *>(message.constData());
    quint8 frame[64];

    if (n <= 7 - e || (mCanFd && n <= 62 - e)) {
        int length;
        if (n <= 7 - e) {
            frame[0] = quint8(n);
            std::memcpy(frame + 1, data, size_t(n));
            length = n + 1;
        } else {
            frame[0] = 0x00;
            frame[1] = quint8(n);
            std::memcpy(frame + 2, data, size_t(n));
            length = n + 2;
        }
        if (!sendFrame(frame, length))
            return false;
        emit messageSent();
        return true;
    }

    const int txDl = txDataLength() - e;
    int header;
    if (n <= 0xFFF) {
        frame[0] = quint8(0x10 | (n >> 8));
        frame[1] = quint8(n & 0xFF);
        header = 2;
    } else {
        frame[0] = 0x10;
        frame[1] = 0x00;
        frame[2] = quint8(quint32(n) >> 24);
        frame[3] = quint8(n >> 16);
        frame[4] = quint8(n >> 8);
        frame[5] = quint8(n);
        header = 6;
    }
    const int carried = txDl - header;
    std::memcpy(frame + header, data, size_t(carried));
    mTxBuffer = message;
    mTxPosition = carried;
    mTxSequence = 1;
    if (!sendFrame(frame, txDl))
        return false;
    mTxState = TxState::WaitFlowControl;
    mTxTimer->start();
    return true;
}

void SimIsoTpServer::sendNextConsecutive()
{
    if (mTxState != TxState::Sending)
        return;
    const int e = mExtAddressing ? 1 : 0;
    const int perFrame = txDataLength() - 1 - e;
    quint8 frame[64];
    do {
        const int count = qMin(perFrame, mTxBuffer.size() - mTxPosition);
        frame[0] = quint8(0x20 | (mTxSequence & 0x0F));
        std::memcpy(frame + 1, mTxBuffer.constData() + mTxPosition, size_t(count));
        // The last frame may be shorter; classic frames are padded to 8 anyway.
        if (!sendFrame(frame, 1 + count)) {
            // Transmit queue full: try the same frame again shortly.
            mPaceTimer->start(1);
            return;
        }
        ++mTxSequence;
        mTxPosition += count;
        if (mTxPosition >= mTxBuffer.size()) {
            mTxState = TxState::Idle;
            mTxBuffer.clear();
            emit messageSent();
            return;
        }
        if (mTxBlockSize != 0 && ++mTxBlockCount >= mTxBlockSize) {
            mTxState = TxState::WaitFlowControl;
            mTxTimer->start();
            return;
        }
    } while (mTxSTminMs == 0);
    mPaceTimer->start(mTxSTminMs);
}
