#pragma once

#include "canrxmessage.h"
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
/// or message did not arrive within mTimeout. The settings are plain public members that the
/// owning client writes directly. Identifiers above 0x1FFFFFFF mark 29-bit identifiers.
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
    /// out. 0 started, 1 busy, 2 no scheduler or no receive registration (nothing sent).
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
    /// Reserved; this transport does not emit it.
    void error(quint32 deviceId);

public slots:
    /// Feeds one received frame (normally connected to the CanSender of mRxCanId).
    void newCanMessageReceived(const CAN::CanRxMessage &message);

private slots:
    void timeoutTimer();
    void sendNextBlock();

private:
    int startReception();
    void sendFrame(CAN::CanMessage &frame);
    void prepareFrame(CAN::CanMessage &frame) const;
    void sendFlowControl(bool afterFirstFrame);

    // Set by a first frame of the running reception; a consecutive frame without one is ignored.
    bool mFirstFrameSeen = false;
};
