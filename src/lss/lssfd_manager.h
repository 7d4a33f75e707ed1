#pragma once

#include "canopenservice.h"
#include "canrxmessage.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QList>
#include <QMetaType>
#include <QPointer>
#include <QTimer>
#include <QVariant>

class CanScheduler;
class CanSender;

/// LSS master for CANopen FD devices: the layer setting services in their CAN FD form
/// (requests on 0x7E5, answers on 0x7E4) and the LSS FD scan, which reads a device's 128-bit
/// LSS address four bits per step from the identifier (0x7D0..0x7DF) the device answers on.
/// CAN frames only. One request at a time; every accepted request ends in one lssfdResult.
class TARNWICK_EXPORT LSSFD_Manager : public CANopenService
{
    Q_OBJECT
public:
    /// The request a result belongs to (6 and 7 are not used here).
    enum LssAction {
        LssAction_None = 0,
        LssAction_SwitchModeGlobal = 1,
        LssAction_SwitchModeSelective = 2,
        LssAction_ConfigureNodeIdAndNetworkId = 3,
        LssAction_StoreConfiguration = 4,
        LssAction_IdentifyNonConfigSlaves = 5,
        LssAction_InquireNodeId = 8,
        LssAction_ActivateBitTiming = 9,
        LssAction_ConfigureBitTiming = 10,
        LssAction_InquireLssAddress = 11,
        LssAction_FdScan = 12,
    };
    Q_ENUM(LssAction)

    enum LssfdResult {
        LssfdResult_Success = 0, ///< the device confirmed, or the scan completed
        LssfdResult_Timeout = 1, ///< no answer in time (value 0)
        LssfdResult_Error = 2, ///< the device answered with an error code (the value)
    };
    Q_ENUM(LssfdResult)

    /// Target of switchModeGlobal. 2 and 3 exist only in the FD protocol and are carried as
    /// the number; the classic command (version 0) cannot carry them.
    enum LssGlobalState : int {
        LssGlobalState_Waiting = 0,
        LssGlobalState_Configuration = 1,
        LssGlobalState_FdState2 = 2,
        LssGlobalState_FdState3 = 3,
    };
    Q_ENUM(LssGlobalState)

    /// 0 sends the classic switch command (0x04), any other value the FD one (0x81).
    enum FDProtocolVersion : int {
        FDProtocolVersion_Classic = 0,
        FDProtocolVersion_FD = 1,
    };
    Q_ENUM(FDProtocolVersion)

    /// Which devices the FD scan asks: 0 the non-configured ones (scan command 0x91), 2 every
    /// device in the waiting state (0xD1). Other values are refused.
    enum FDScanMode : int {
        FDScanMode_NonConfigured = 0,
        FDScanMode_AllDevices = 2,
    };
    Q_ENUM(FDScanMode)

    explicit LSSFD_Manager(QObject *parent = nullptr);
    LSSFD_Manager(CanScheduler *scheduler, QObject *parent = nullptr);
    ~LSSFD_Manager() override;

    /// Listens for answers (0x7E4) on the new scheduler; null only clears the link.
    void setCanScheduler(CanScheduler *scheduler);
    /// Answer time-out of the requests that await an answer, in ms (default 500).
    void setTimeout(quint16 ms);

    /// The requests. 0: sent (an answer, if awaited, follows as lssfdResult); 1: a request is
    /// pending; 6: no scheduler or adapter, or a state the classic command cannot carry;
    /// other values: the adapter's refusal. switchModeGlobal and activateBitTiming await no
    /// answer and report nothing.
    CAN::RetType switchModeGlobal(LssGlobalState state, FDProtocolVersion version);
    /// selectFlag true selects, false deselects the addressed devices; selector says which
    /// of the four address values the devices compare (bit 0 vendor-ID .. bit 3 serial
    /// number; 0 addresses every device, and the values are not sent). windowMs is how long
    /// the manager waits for the confirmation.
    CAN::RetType switchModeSelective(bool selectFlag, quint32 vendorId, quint32 productCode,
        quint32 revisionNumber, quint32 serialNumber, quint8 windowMs, quint8 selector);
    CAN::RetType configureNodeIdAndNetworkId(quint8 nodeId, quint8 networkId);
    CAN::RetType configureBitTiming(quint8 tableSelector, quint8 tableIndex);
    CAN::RetType activateBitTiming(quint16 switchDelay);
    CAN::RetType storeConfiguration();
    /// Success carries the four values the device reports (a QList<QVariant> of int).
    CAN::RetType inquireNodeId();
    /// Success carries vendor-ID, product code, revision and serial number (QList<QVariant>).
    CAN::RetType inquireLssAddress();
    /// The first non-configured device that answers ends the request with Success.
    CAN::RetType identifyNonConfigSlaves();

    /// LSS FD scan with a window of windowMs (1..99) per step: 33 steps at most. Success
    /// carries the found address (QList<QVariant> of four unsigned values); the found device
    /// confirmed the complete address. Timeout: no device answered (or none confirmed).
    CAN::RetType fdScan(FDScanMode mode, quint8 windowMs);
    /// Continues from a known partial address: startStep (0..32) nibbles of the address are
    /// taken as known, most significant nibble of the vendor-ID first; the other nibbles
    /// must be 0. startStep 32 only confirms the given address.
    CAN::RetType fdScanKnownDevices(FDScanMode mode, quint32 vendorId, quint32 productCode,
        quint32 revisionNumber, quint32 serialNumber, quint8 startStep, quint8 windowMs);
    /// Sends the scan query of the current scan state and starts its window.
    CAN::RetType reqFdScan();
    /// Registers the scan identifiers 0x7D0..0x7DF (once) / releases them again.
    void setupScanReception();
    void teardownScanReception();

signals:
    void lssfdResult(
        LSSFD_Manager::LssAction lastAction, LSSFD_Manager::LssfdResult resultType, QVariant resultValue);

public slots:
    void timeout();
    void newCanMessageReceived(CAN::CanRxMessage message);
    void scanTimeout();
    void scanAnswerReceived(CAN::CanRxMessage message);

private:
    CAN::RetType send(LssAction action, const quint8 *bytes, quint8 length, int answerTimeoutMs);
    void finish(LssAction action, LssfdResult result, const QVariant &value);
    void finishScan(LssfdResult result, const QVariant &value);

    LssAction pendingAction = LssAction_None;
    quint16 timeoutMs = 500;
    QPointer<CanSender> mAnswerSender;
    QTimer mAnswerTimer;

    // LSS FD scan state.
    quint8 scanCommand = 0x91;
    quint8 scanStep = 0; ///< address nibbles already known (0..32)
    quint8 scanWindow = 1; ///< ms
    quint32 scanAddress[4] = {}; ///< vendor-ID, product code, revision number, serial number
    bool scanAnswered = false;
    quint8 scanNibble = 0;
    QList<QPointer<CanSender>> mScanSenders;
    QTimer mScanTimer;
};

Q_DECLARE_METATYPE(LSSFD_Manager::LssAction)
Q_DECLARE_METATYPE(LSSFD_Manager::LssfdResult)
