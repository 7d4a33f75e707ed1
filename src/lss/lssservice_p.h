#pragma once

#include "canopenservice.h"
#include "cantypes.h"
#include "lssmaster.h"

#include <QPointer>
#include <QVariant>

class LSSClassicalScan;
class LSSFastScan;

/// The transport behind LSSMaster. This base offers nothing (every request returns 6); the
/// implementations speak LSS with CAN frames or through a CiA 309 gateway.
class LSSService : public CANopenService
{
    Q_OBJECT
public:
    explicit LSSService(QObject *parent = nullptr);
    ~LSSService() override;

    /// Answer time-out and fastscan step time-out, also of the scan objects that exist.
    void setTimeout(quint16 ms);
    void setMessageGap(quint16 ms);
    quint16 getTimeout() const { return mTimeout; }
    quint16 getMessageGap() const { return mMessageGap; }
    quint16 getScanTimeout() const { return mScanTimeout; }
    LSSMaster::LssAction getPendingAction() const { return mPendingAction; }
    /// Takes over the time settings of the service this one replaces.
    void copySettings(const LSSService &other);

public slots:
    virtual CAN::RetType switchModeGlobal(LSSMaster::LssGlobalState state);
    virtual CAN::RetType storeConfiguration();
    virtual CAN::RetType configureNodeId(quint8 nodeId);
    virtual CAN::RetType identifyNonConfigSlaves();
    virtual CAN::RetType switchModeSelective(
        quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber);
    virtual CAN::RetType fastScan(quint32 vendorId, quint32 productCode, quint32 revisionNumber,
        quint32 serialNumber, bool knownIdentity);
    virtual CAN::RetType classicalScan(quint32 vendorId, quint32 productCode);
    virtual CAN::RetType classicalScan(quint32 vendorId, quint32 productCode, quint32 revisionLow,
        quint32 revisionHigh, quint32 serialLow, quint32 serialHigh);
    virtual CAN::RetType getFastScanValues(
        quint32 *vendorId, quint32 *productCode, quint32 *revisionNumber, quint32 *serialNumber) const;
    virtual CAN::RetType activateBitTiming(quint16 switchDelay);
    virtual CAN::RetType inquireNodeId();
    virtual CAN::RetType configureBitTiming(quint8 tableSelector, quint8 tableIndex);
    virtual CAN::RetType abortClassicalScan();
    virtual void setCanScheduler(CanScheduler *scheduler);

signals:
    void lssResult(LSSMaster::LssAction lastAction, LSSMaster::LssResult resultType, QVariant resultValue);

protected:
    LSSMaster::LssAction mPendingAction = LSSMaster::LssAction_None;
    quint16 mTimeout = 500;
    quint16 mMessageGap = 1;
    quint16 mScanTimeout = 90;
    QPointer<LSSFastScan> mFastScan;
    QPointer<LSSClassicalScan> mClassicalScan;
};
