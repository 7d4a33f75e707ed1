#pragma once

#include "canopenservice.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QMetaType>
#include <QPointer>
#include <QVariant>

class CanScheduler;
class LSSService;

/// LSS master (CiA 305 layer setting services): switches the LSS state of slaves, configures
/// and stores node-ID and bit timing, inquires the node-ID, identifies non-configured slaves
/// and finds devices by LSS fastscan or by a classical identify scan. The protocol work is
/// done by a service chosen from the adapter each time a scheduler is set; asynchronous
/// outcomes arrive as lssResult().
class TARNWICK_EXPORT LSSMaster : public CANopenService
{
    Q_OBJECT
public:
    /// Target of switchModeGlobal.
    enum LssGlobalState {
        LssGlobalState_Waiting = 0, ///< all slaves to the LSS waiting state
        LssGlobalState_Configuration = 1, ///< all slaves to the LSS configuration state
    };
    Q_ENUM(LssGlobalState)

    /// The request a result belongs to.
    enum LssAction {
        LssAction_None = 0,
        LssAction_SwitchModeGlobal = 1,
        LssAction_SwitchModeSelective = 2,
        LssAction_ConfigureNodeId = 3,
        LssAction_StoreConfiguration = 4,
        LssAction_IdentifyNonConfigSlaves = 5,
        LssAction_FastScan = 6,
        LssAction_ClassicalScan = 7,
        LssAction_InquireNodeId = 8,
        LssAction_ActivateBitTiming = 9,
        LssAction_ConfigureBitTiming = 10,
    };
    Q_ENUM(LssAction)

    enum LssResult {
        LssResult_Success = 0, ///< the slave confirmed, or the scan found a device
        LssResult_Timeout = 1, ///< no answer within the time-out
        LssResult_Error = 2, ///< the slave answered with an error code, or a frame failed to go out
    };
    Q_ENUM(LssResult)

    /// Without a scheduler every request returns 6. A bare `LSSMaster(nullptr)` is ambiguous
    /// between the two constructors: write `LSSMaster()` (or
    /// `LSSMaster(static_cast<QObject *>(nullptr))`) for no parent, and
    /// `LSSMaster(static_cast<CanScheduler *>(nullptr), parent)` for no scheduler yet.
    explicit LSSMaster(QObject *parent = nullptr);
    LSSMaster(CanScheduler *scheduler, QObject *parent = nullptr);
    ~LSSMaster() override;

    /// Chooses the service for the scheduler's adapter (LSS frames, or a CiA 309 gateway) and
    /// carries the time settings over. Null only clears the master's own link.
    void setCanScheduler(CanScheduler *scheduler);

    /// Answer time-out of single requests and step time-out of the fastscan, in ms (500 and 90
    /// by default); the classical scan waits this long for each range query.
    void setTimeout(quint16 ms);
    /// Pause between the frames of switchModeSelective, in ms (default 1).
    void setMessageGap(quint16 ms);
    /// The current settings (0 without a service).
    quint16 getTimeout() const;
    quint16 getMessageGap() const;
    quint16 getScanTimeout() const;

    /// The requests. 0: sent (the outcome follows as lssResult); 1: another request is pending;
    /// 6: no scheduler, or not offered by the transport; other values: the adapter's refusal.
    CAN::RetType switchModeGlobal(LssGlobalState state);
    CAN::RetType storeConfiguration();
    CAN::RetType configureNodeId(quint8 nodeId);
    /// Every non-configured slave answers with its own success result; nothing stays pending.
    CAN::RetType identifyNonConfigSlaves();
    CAN::RetType switchModeSelective(
        quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber);
    /// Searches one non-configured slave bit by bit from the given values upwards (pass 0 for a
    /// search from scratch), or, with knownIdentity, confirms exactly the given address. The
    /// found slave is left in the configuration state; read its address with getFastScanValues.
    CAN::RetType fastScan(quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber,
        bool knownIdentity = false);
    /// Finds every slave of the vendor and product, over all revisions and serial numbers, or
    /// within the given ranges (bounds included). Each device arrives as a success carrying a
    /// QStringList of its four values in decimal; a final success whose first element is
    /// "4294967295" ends the scan.
    CAN::RetType classicalScan(quint32 vendorId, quint32 productCode);
    CAN::RetType classicalScan(quint32 vendorId, quint32 productCode, quint32 revisionLow,
        quint32 revisionHigh, quint32 serialLow, quint32 serialHigh);
    /// The address of the last fastscan; 6 when no fastscan ran. Null pointers are skipped.
    CAN::RetType getFastScanValues(
        quint32 *vendorId, quint32 *productCode, quint32 *revisionNumber, quint32 *serialNumber) const;
    /// Slaves switch to the configured bit timing; there is no answer, so the request always
    /// ends with a timeout result.
    CAN::RetType activateBitTiming(quint16 switchDelay);
    CAN::RetType inquireNodeId();
    CAN::RetType configureBitTiming(quint8 tableSelector, quint8 tableIndex);
    /// Ends a running classical scan with a timeout result; 1 when no scan was started.
    CAN::RetType abortClassicalScan();

signals:
    /// The outcome of a request; resultValue carries the node-ID, the slave's error code, the
    /// fastscan's unanswered entry or the classical scan's device (see the requests), else 0.
    void lssResult(LSSMaster::LssAction lastAction, LSSMaster::LssResult resultType, QVariant resultValue);

private:
    QPointer<LSSService> mService;
};

Q_DECLARE_METATYPE(LSSMaster::LssGlobalState)
Q_DECLARE_METATYPE(LSSMaster::LssAction)
Q_DECLARE_METATYPE(LSSMaster::LssResult)
