#include "lssservice_p.h"

#include "lssclassicalscan_p.h"
#include "lssfastscan_p.h"

LSSService::LSSService(QObject *parent)
    : CANopenService(parent)
{
}

LSSService::~LSSService() = default;

void LSSService::setTimeout(quint16 ms)
{
    mTimeout = ms;
    mScanTimeout = ms;
    if (mClassicalScan)
        mClassicalScan->setTimeout(ms);
    if (mFastScan)
        mFastScan->setStepTimeout(ms);
}

void LSSService::setMessageGap(quint16 ms)
{
    mMessageGap = ms;
}

void LSSService::copySettings(const LSSService &other)
{
    mTimeout = other.mTimeout;
    mMessageGap = other.mMessageGap;
    mScanTimeout = other.mScanTimeout;
}

CAN::RetType LSSService::switchModeGlobal(LSSMaster::LssGlobalState)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::storeConfiguration()
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::configureNodeId(quint8)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::identifyNonConfigSlaves()
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::switchModeSelective(quint32, quint32, quint32, quint32)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::fastScan(quint32, quint32, quint32, quint32, bool)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::classicalScan(quint32, quint32)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::classicalScan(quint32, quint32, quint32, quint32, quint32, quint32)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::getFastScanValues(quint32 *, quint32 *, quint32 *, quint32 *) const
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::activateBitTiming(quint16)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::inquireNodeId()
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::configureBitTiming(quint8, quint8)
{
    return CAN::RetType_NoLink;
}

CAN::RetType LSSService::abortClassicalScan()
{
    return CAN::RetType_NoLink;
}

void LSSService::setCanScheduler(CanScheduler *) { }
