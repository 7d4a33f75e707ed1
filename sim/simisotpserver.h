#pragma once

#include "canrxmessage.h"
#include "tarnwicksim_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

class AbstractCanAdapter;
class QTimer;

/// The server (ECU) end of an ISO 15765-2 connection on any CAN adapter: it reassembles the
/// tester's requests (answering first frames with its own flow control) and segments its
/// responses, obeying the tester's flow control. Block size, STmin, CAN FD (TX_DL 64),
/// extended addressing and 11- or 29-bit identifiers are configurable, and a number of
/// flow-control "wait" frames can be sent before the clear-to-send.
class TARNWICKSIM_EXPORT SimIsoTpServer : public QObject
{
    Q_OBJECT
public:
    explicit SimIsoTpServer(AbstractCanAdapter *adapter, QObject *parent = nullptr);
    ~SimIsoTpServer() override;

    /// Identifier the requests arrive on and identifier of the responses; extendedIds selects
    /// 29-bit frames for both.
    void setIds(quint32 rxId, quint32 txId, bool extendedIds = false);
    quint32 rxId() const { return mRxId; }
    quint32 txId() const { return mTxId; }
    /// Extended addressing: rxAddress must lead every received frame, txAddress leads every
    /// frame sent.
    void setExtendedAddressing(bool on, quint8 rxAddress = 0, quint8 txAddress = 0);
    /// Block size and raw STmin byte put into the flow control this server sends.
    void setBlockSize(quint8 blockSize) { mBlockSize = blockSize; }
    void setSTmin(quint8 stmin) { mSTminRaw = stmin; }
    /// CAN FD frames of up to 64 bytes for everything this server sends.
    void setCanFd(bool on) { mCanFd = on; }
    bool canFd() const { return mCanFd; }
    /// Byte used to fill frames (ISO 15765-2 recommends 0xCC).
    void setPaddingByte(quint8 value) { mPadding = value; }
    /// Largest request accepted; a first frame announcing more is answered with overflow.
    void setMaxRequestLength(quint32 bytes) { mMaxRequestLength = bytes; }
    /// Flow-control "wait" frames to send before each clear-to-send.
    void setWaitFrames(int count) { mWaitFrames = count; }
    /// N_Cr and N_Bs in ms (default 1000).
    void setTimeouts(int receiveMs, int flowControlMs);
    /// Accept single frames only, as on a functional address.
    void setSingleFramesOnly(bool on) { mSingleFramesOnly = on; }

    /// Sends one message; false while a previous one is still being sent or it is empty.
    bool send(const QByteArray &message);
    bool isSending() const { return mTxState != TxState::Idle; }

    quint64 framesSent() const { return mFramesSent; }
    quint64 framesReceived() const { return mFramesReceived; }

signals:
    /// A complete request.
    void messageReceived(const QByteArray &message);
    /// The last frame of a response was handed to the adapter.
    void messageSent();
    /// A reception or transmission broke off (timeout, overflow, bad sequence number).
    void transferFailed(const QString &reason);

private:
    enum class RxState { Idle, Receiving };
    enum class TxState { Idle, WaitFlowControl, Sending };

    void frameReceived(const CAN::CanRxMessage &frame);
    void handleFlowControl(const quint8 *pci, int available);
    void sendFlowControl(quint8 status);
    void sendNextConsecutive();
    bool sendFrame(const quint8 *bytes, int length);
    int txDataLength() const { return mCanFd ? 64 : 8; }
    void failRx(const QString &reason);
    void failTx(const QString &reason);

    QPointer<AbstractCanAdapter> mAdapter;
    quint32 mRxId = 0x7E0;
    quint32 mTxId = 0x7E8;
    bool mExtendedIds = false;
    bool mExtAddressing = false;
    quint8 mRxAddress = 0;
    quint8 mTxAddress = 0;
    quint8 mBlockSize = 0;
    quint8 mSTminRaw = 0;
    bool mCanFd = false;
    quint8 mPadding = 0xCC;
    quint32 mMaxRequestLength = 64 * 1024;
    int mWaitFrames = 0;
    bool mSingleFramesOnly = false;

    // Reception
    RxState mRxState = RxState::Idle;
    QByteArray mRxBuffer;
    quint32 mRxExpected = 0;
    quint8 mRxSequence = 0;
    int mRxBlockCount = 0;
    int mRxDataLength = 8; // RX_DL learnt from the first frame
    QTimer *mRxTimer; // N_Cr
    int mWaitFramesLeft = 0;
    QTimer *mWaitTimer; // spacing of wait frames

    // Transmission
    TxState mTxState = TxState::Idle;
    QByteArray mTxBuffer;
    int mTxPosition = 0;
    quint8 mTxSequence = 0;
    int mTxBlockSize = 0;
    int mTxBlockCount = 0;
    int mTxSTminMs = 0;
    QTimer *mTxTimer; // N_Bs while waiting for flow control
    QTimer *mPaceTimer; // STmin between consecutive frames, and retries of a full queue

    quint64 mFramesSent = 0;
    quint64 mFramesReceived = 0;
};
