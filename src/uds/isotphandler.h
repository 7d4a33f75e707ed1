#pragma once

#include "canrxmessage.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

class CanScheduler;
class CanSender;
class QTimer;

/// ISO 15765-2 (ISO-TP) transport for one diagnostic message at a time between the library
/// and one server, on classic CAN or CAN FD, with normal or extended addressing.
/// startTransfer() segments and sends a message; dataReceived() reports a complete received
/// message, which getReceivedData() copies out; timeout() reports that the peer's flow control
/// or message did not arrive in time; error() reports a transfer that ended otherwise (the
/// adapter refused a frame, a wrong sequence number, a flow control overflow or too many waits).
/// The settings are plain public members that the owning client writes directly. Identifiers
/// above 0x1FFFFFFF (or above 0x7FF) mark 29-bit identifiers.
///
/// Supervision: mTimeout bounds the wait for a flow control (N_Bs) and for the first frame of a
/// message; once a first frame has arrived, each following consecutive frame must come within
/// mConsecutiveFrameTimeout (N_Cr) of the frame before it, however long the whole message takes.
class TARNWICK_EXPORT ISOTPHandler : public QObject
{
    Q_OBJECT
public:
    enum TransportState {
        Idle = 0,
        WaitFirstFlowControl = 1,
        WaitFlowControl = 2,
        SendConsecutive = 3,
        Receive = 4,
    };
    Q_ENUM(TransportState)

    explicit ISOTPHandler(CanScheduler *scheduler, QObject *parent = nullptr);
    ~ISOTPHandler() override;

    /// Sends data; with expectResponse the transport starts receiving once the last frame is
    /// out. 0 started, 1 busy, 2 no scheduler or no receive registration (nothing sent); when the
    /// adapter refuses the single or first frame, its result (the transport stays idle).
    int startTransfer(QByteArray &data, bool expectResponse);
    /// Arms reception without sending; a non-zero timeoutMs replaces mTimeout for good.
    /// 0 armed, 1 busy, 2 no scheduler or no receive registration.
    int waitForTransfer(quint16 timeoutMs);
    /// Arms reception with the current registration. 0 armed, 1 busy.
    int waitForResponse();
    /// Registers the receive identifier with the scheduler. 0 done, 2 no scheduler/sender.
    int registerForFlowControl();
    /// Ends whatever runs, silently.
    void abortTranfer();
    /// Copies the last (or partly) received message.
    void getReceivedData(QByteArray &data) const;
    /// Replaces the scheduler only (no new registration, CAN FD capability unchanged).
    void setCanScheduler(QPointer<CanScheduler> scheduler);
    /// Switches CAN FD framing. On an adapter without CAN FD nothing changes and the result
    /// is true only for a request to switch it off.
    bool enableCANFD(bool enable);

    QPointer<CanScheduler> mScheduler;
    QPointer<CanSender> mSender;
    QPointer<QTimer> mTimer;
    bool mIgnoreSTmin = false;
    quint16 mTimeout = 500;
    /// N_Cr: longest gap before each consecutive frame received, in ms.
    quint16 mConsecutiveFrameTimeout = 1000;
    /// N_WFTmax: flow control WAIT frames accepted in a row before the transfer ends in error().
    quint8 mMaxWaitFrames = 10;
    /// Pause before sending a consecutive frame again that the adapter refused with 7, in ms;
    /// the transfer gives up with error() after about mConsecutiveFrameTimeout of refusals.
    quint8 mRetryDelay = 10;
    quint32 mBlockSize = 16;
    quint8 mSTmin = 0;
    quint8 mGapOffset = 1;
    quint8 mFlowControlSTmin = 0;
    quint8 mSequenceNumber = 0;
    bool mExpectResponse = false;
    int mState = Idle;
    quint32 mPayloadLength = 0;
    quint8 mFrameCounter = 0;
    quint32 mTxCanId = 0x7E0;
    quint32 mRxCanId = 0x7E8;
    bool mTxExtAddressing = false;
    bool mRxExtAddressing = false;
    quint8 mTxExtAddress = 0;
    quint8 mRxExtAddress = 0;
    QByteArray mBuffer;
    int mSendPosition = 0;
    bool mCanFDCapable = false;
    bool mCanFDEnabled = false;

signals:
    /// A complete message is in the buffer.
    void dataReceived(quint32 deviceId);
    /// No flow control or no (complete) message within mTimeout.
    void timeout(quint32 deviceId);
    /// The transfer ended without its message: the adapter refused a frame, a consecutive frame
    /// came with a wrong sequence number, the peer answered overflow, an invalid flow status or
    /// more than mMaxWaitFrames waits in a row.
    void error(quint32 deviceId);

public slots:
    /// Feeds one received frame (normally connected to the CanSender of mRxCanId).
    void newCanMessageReceived(const CAN::CanRxMessage &message);

private slots:
    void timeoutTimer();
    void sendNextBlock();

private:
    int startReception();
    CAN::RetType sendFrame(CAN::CanMessage &frame);
    void prepareFrame(CAN::CanMessage &frame) const;
    bool sendFlowControl(bool afterFirstFrame);
    void handleFlowControl(const quint8 *d, int len, int e);
    void failTransfer(const char *reason);
    bool rxExtendedId() const;

    // Set by a first frame of the running reception; a consecutive frame without one is ignored.
    bool mFirstFrameSeen = false;
    // Sequence number the next consecutive frame received must carry (low 4 bits).
    quint8 mExpectedSequence = 1;
    // Flow control WAIT frames received in a row.
    quint8 mWaitFrames = 0;
};
