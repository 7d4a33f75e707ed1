#include "lssmaster.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "lsscia305service_p.h"
#include "lsscia309service_p.h"
#include "lssservice_p.h"

static void registerLssTypes()
{
    qRegisterMetaType<LSSMaster::LssGlobalState>("LSSMaster::LssGlobalState");
    qRegisterMetaType<LSSMaster::LssAction>("LSSMaster::LssAction");
    qRegisterMetaType<LSSMaster::LssResult>("LSSMaster::LssResult");
}

LSSMaster::LSSMaster(QObject *parent)
    : CANopenService(parent)
    , mService(new LSSService(this))
{
    registerLssTypes();
}

LSSMaster::LSSMaster(CanScheduler *scheduler, QObject *parent)
    : LSSMaster(parent)
{
    setCanScheduler(scheduler);
}

LSSMaster::~LSSMaster() = default;

void LSSMaster::setCanScheduler(CanScheduler *scheduler)
{
    registerLssTypes();
    mScheduler = scheduler;
    if (!scheduler)
        return; // the current service keeps the scheduler it was given

    const AbstractCanAdapter *adapter = scheduler->canAdapter();
    const bool gateway = adapter && adapter->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool();
    LSSService *service = gateway ? static_cast<LSSService *>(new LSSCiA309Service(this))
                                  : static_cast<LSSService *>(new LSSCiA305Service(this));
    if (mService)
        service->copySettings(*mService);
    LSSService *previous = mService.data();
    // A request of the replaced service would never be answered: it ends here, in error.
    const LssAction dropped = previous ? previous->getPendingAction() : LssAction_None;
    mService = service;
    delete previous;
    service->setCanScheduler(scheduler);
    connect(service, &LSSService::lssResult, this, &LSSMaster::lssResult);
    if (dropped != LssAction_None)
        emit lssResult(dropped, LssResult_Error, QVariant());
}

void LSSMaster::setTimeout(quint16 ms)
{
    if (mService)
        mService->setTimeout(ms);
}

void LSSMaster::setMessageGap(quint16 ms)
{
    if (mService)
        mService->setMessageGap(ms);
}

quint16 LSSMaster::getTimeout() const
{
    return mService ? mService->getTimeout() : 0;
}

quint16 LSSMaster::getMessageGap() const
{
    return mService ? mService->getMessageGap() : 0;
}

quint16 LSSMaster::getScanTimeout() const
{
    return mService ? mService->getScanTimeout() : 0;
}

CAN::RetType LSSMaster::switchModeGlobal(LssGlobalState state)
{
    return mService ? mService->switchModeGlobal(state) : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::storeConfiguration()
{
    return mService ? mService->storeConfiguration() : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::configureNodeId(quint8 nodeId)
{
    return mService ? mService->configureNodeId(nodeId) : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::identifyNonConfigSlaves()
{
    return mService ? mService->identifyNonConfigSlaves() : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::switchModeSelective(
    quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber)
{
    return mService ? mService->switchModeSelective(vendorId, productCode, revisionNumber, serialNumber)
                    : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::fastScan(
    quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber, bool knownIdentity)
{
    return mService ? mService->fastScan(vendorId, productCode, revisionNumber, serialNumber, knownIdentity)
                    : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::classicalScan(quint32 vendorId, quint32 productCode)
{
    return mService ? mService->classicalScan(vendorId, productCode) : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::classicalScan(quint32 vendorId, quint32 productCode, quint32 revisionLow,
    quint32 revisionHigh, quint32 serialLow, quint32 serialHigh)
{
    return mService
        ? mService->classicalScan(vendorId, productCode, revisionLow, revisionHigh, serialLow, serialHigh)
        : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::getFastScanValues(
    quint32 *vendorId, quint32 *productCode, quint32 *revisionNumber, quint32 *serialNumber) const
{
    return mService ? mService->getFastScanValues(vendorId, productCode, revisionNumber, serialNumber)
                    : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::activateBitTiming(quint16 switchDelay)
{
    return mService ? mService->activateBitTiming(switchDelay) : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::inquireNodeId()
{
    return mService ? mService->inquireNodeId() : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::configureBitTiming(quint8 tableSelector, quint8 tableIndex)
{
    return mService ? mService->configureBitTiming(tableSelector, tableIndex) : CAN::RetType_NoLink;
}

CAN::RetType LSSMaster::abortClassicalScan()
{
    return mService ? mService->abortClassicalScan() : CAN::RetType_NoLink;
}
