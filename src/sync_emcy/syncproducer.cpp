#include "syncproducer.h"

#include "abstractcanadapter.h"
#include "canmessagetransmitter.h"
#include "canscheduler.h"
#include "tarnwicklogging_p.h"

static void registerSyncTypes()
{
    qRegisterMetaType<CanScheduler *>("CanScheduler*");
}
Q_CONSTRUCTOR_FUNCTION(registerSyncTypes)

SYNCProducer::SYNCProducer(QObject *parent)
    : CANopenService(parent)
{
    initValues();
}

SYNCProducer::SYNCProducer(unsigned int cobId, CanScheduler *scheduler, QObject *parent)
    : CANopenService(parent)
{
    initValues();
    mCobId = cobId;
    mScheduler = scheduler;
    rebuildFrame();
}

SYNCProducer::SYNCProducer(unsigned int cobId, unsigned int syncInterval, QObject *parent)
    : CANopenService(parent)
{
    initValues();
    mCobId = cobId;
    mSyncInterval = syncInterval;
    rebuildFrame();
}

SYNCProducer::SYNCProducer(
    unsigned int cobId, unsigned int syncInterval, unsigned char counterOverflow, QObject *parent)
    : CANopenService(parent)
{
    initValues();
    mCobId = cobId;
    mSyncInterval = syncInterval;
    mCounterOverflow = counterOverflow;
    mCounterFlag = counterOverflow != 0;
    rebuildFrame();
}

void SYNCProducer::initValues()
{
    mCobId = 0x80;
    mSyncInterval = 0;
    mCounter = 0;
    mCounterOverflow = 0;
    mCounterFlag = false;
    mScheduler.clear();
    mSyncMessage = CAN::CanMessage();
    rebuildFrame();
    if (mTransmitter)
        mTransmitter->stopTransmission();
    else
        mTransmitter = new CanMessageTransmitter(0, this);
}

void SYNCProducer::rebuildFrame()
{
    // CiA 301: the SYNC carries no data, or exactly the counter byte. Never a CAN FD frame.
    mSyncMessage.id = mCobId;
    mSyncMessage.length = mCounterFlag ? 1 : 0;
    mSyncMessage.data[0] = mCounter;
    mSyncMessage.fd = false;
    mSyncMessage.bitRateSwitch = false;
}

CAN::RetType SYNCProducer::setSyncInterval(unsigned int syncInterval)
{
    mSyncInterval = syncInterval;
    return CAN::RetType_OK;
}

CAN::RetType SYNCProducer::setCobId(unsigned int cobId)
{
    mCobId = cobId;
    rebuildFrame();
    return CAN::RetType_OK;
}

CAN::RetType SYNCProducer::setCounterFlag(bool counterOn)
{
    mCounterFlag = counterOn;
    rebuildFrame();
    return CAN::RetType_OK;
}

CAN::RetType SYNCProducer::setSyncCounter(unsigned char counterOverflow)
{
    mCounterOverflow = counterOverflow;
    mCounterFlag = counterOverflow != 0;
    rebuildFrame();
    return CAN::RetType_OK;
}

CAN::RetType SYNCProducer::setCanScheduler(CanScheduler *scheduler)
{
    mScheduler = scheduler;
    AbstractCanAdapter *adapter = scheduler ? scheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    if (mTransmitter)
        mTransmitter->setCanAdapter(adapter);
    return CAN::RetType_OK;
}

void SYNCProducer::newCanScheduler(CanScheduler *pNewScheduler)
{
    mScheduler = pNewScheduler;
}

CAN::RetType SYNCProducer::start()
{
    if (mSyncInterval == 0 || !mScheduler || !mTransmitter)
        return CAN::RetType_NoLink;
    mSyncMessage.id = mCobId;
    mTransmitter->setCanAdapter(mScheduler->canAdapter());
    mTransmitter->setTranmissionParameter(mSyncMessage, mSyncInterval / 1000, 0);
    mTransmitter->setSyncValues(mCounterFlag, mCounterOverflow);
    if (!mTransmitter->operate())
        qCDebug(lcSync) << "SYNC transmitter not started: period" << mSyncInterval / 1000 << "ms";
    return CAN::RetType_OK;
}

CAN::RetType SYNCProducer::stop()
{
    if (mTransmitter)
        mTransmitter->stopTransmission();
    mCounter = 0;
    mSyncMessage.data[0] = 0;
    return CAN::RetType_OK;
}

void SYNCProducer::buildNextSyncMessage()
{
    if (!mCounterFlag)
        return;
    // Counted in int: an overflow value of 255 must not wrap the byte to 0.
    const int next = int(mCounter) + 1;
    mCounter = next > mCounterOverflow ? 1 : static_cast<unsigned char>(next);
    mSyncMessage.data[0] = mCounter;
}

CAN::RetType SYNCProducer::oneSync()
{
    buildNextSyncMessage();
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    mSyncMessage.id = mCobId;
    // The adapter may pad or stamp what it is given; our frame stays as built.
    CAN::CanMessage frame = mSyncMessage;
    const CAN::RetType result = adapter->sendCanMessage(frame);
    if (result == CAN::RetType_OK)
        emit syncEvent();
    return result;
}

void SYNCProducer::timerElapsed()
{
    oneSync();
}
