#pragma once

#include "canrxmessage.h"
#include "lssservice_p.h"

#include <QPointer>
#include <QTimer>

class CanSender;

/// LSS over CAN frames (CiA 305): requests on 0x7E5, slave answers on 0x7E4. One request at a
/// time; the two scan engines report through it.
class LSSCiA305Service : public LSSService
{
    Q_OBJECT
public:
    explicit LSSCiA305Service(QObject *parent = nullptr);
    ~LSSCiA305Service() override;

    CAN::RetType switchModeGlobal(LSSMaster::LssGlobalState state) override;
    CAN::RetType storeConfiguration() override;
    CAN::RetType configureNodeId(quint8 nodeId) override;
    CAN::RetType identifyNonConfigSlaves() override;
    CAN::RetType switchModeSelective(
        quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber) override;
    CAN::RetType fastScan(quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber,
        bool knownIdentity) override;
    CAN::RetType classicalScan(quint32 vendorId, quint32 productCode) override;
    CAN::RetType classicalScan(quint32 vendorId, quint32 productCode, quint32 revisionLow,
        quint32 revisionHigh, quint32 serialLow, quint32 serialHigh) override;
    CAN::RetType getFastScanValues(quint32 *vendorId, quint32 *productCode, quint32 *revisionNumber,
        quint32 *serialNumber) const override;
    CAN::RetType activateBitTiming(quint16 switchDelay) override;
    CAN::RetType inquireNodeId() override;
    CAN::RetType configureBitTiming(quint8 tableSelector, quint8 tableIndex) override;
    CAN::RetType abortClassicalScan() override;
    void setCanScheduler(CanScheduler *scheduler) override;

public slots:
    void scanNodeFound(quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber);
    void sendNextMessage();
    void fastScanTimeout(quint8 timeoutInfo);
    void timeout();
    void newCanMessageReceived(const CAN::CanRxMessage &message);

private:
    /// Sends one request frame: command byte, then valueBytes of value little-endian. The frame
    /// is 8 bytes long, or fdLength with CANopen FD on. awaitAnswer starts the answer timer.
    CAN::RetType singleFrameRequest(LSSMaster::LssAction action, quint8 command, quint32 value,
        int valueBytes, quint8 fdLength, bool awaitAnswer);
    CAN::RetType sendFrame(quint8 command, quint32 value, int valueBytes, quint8 length);
    /// Handles an answer carrying an error code in byte 1.
    void codeAnswer(LSSMaster::LssAction action, quint8 code);
    /// Ends the pending request and reports it; nothing touches the object after the signal.
    void finish(LSSMaster::LssAction action, LSSMaster::LssResult result, const QVariant &value);
    /// True when a queued report of a scan object belongs to the scan that is pending.
    bool fromPendingScan() const;

    quint8 mSelectiveStep = 0;
    quint32 mSelectiveIdentity[4] = {};
    QPointer<CanSender> mSender;
    QTimer mAnswerTimer;
    QTimer mGapTimer;
};
