#include "virtualcanadapter.h"

#include "virtualcanbus.h"

#include "canlogging_p.h"

VirtualCanAdapter::VirtualCanAdapter(VirtualCanBus *bus, QObject *parent)
    : AbstractCanAdapter(parent), mBus(bus)
{
    if (mBus)
        mBus->attach(this);
}

VirtualCanAdapter::~VirtualCanAdapter()
{
    leaveBus();
}

void VirtualCanAdapter::leaveBus()
{
    if (mBus)
        mBus->detach(this);
    mBus.clear();
    mQueue.clear();
}

void VirtualCanAdapter::setTransmitPaused(bool paused)
{
    mPaused = paused;
    if (!paused && mBus && !mQueue.empty())
        mBus->frameQueued();
}

CAN::RetType VirtualCanAdapter::sendCanMessage(CAN::CanMessage &message)
{
    if (!mBus)
        return CAN::RetType_Offline;
    if (!CAN::hasValidIdentifier(message))
        return CAN::RetType_InvalidRequest; // an 11-bit identifier above 0x7FF is no 29-bit one
    if (message.length > 64 || (message.length > 8 && !message.fd))
        return CAN::RetType_InvalidFrame;
    if (message.fd && !mCanFdCapable)
        return CAN::RetType_InvalidFrame;
    if (message.fd && message.remote)
        return CAN::RetType_InvalidFrame; // CAN FD has no remote frames
    if (mQueueLimit > 0 && int(mQueue.size()) >= mQueueLimit)
        return CAN::RetType_NotReady;
    mQueue.push_back({message, mBus->mQueueSerial++});
    CAN::CanMessage &queued = mQueue.back().message;
    // A CAN FD frame only has the lengths 12, 16, 20, 24, 32, 48 and 64 above 8.
    CAN::padToCanFdLength(queued);
    CAN::logFrame(queued);
    emit frameSent(queued);
    if (!mPaused)
        mBus->frameQueued();
    return CAN::RetType_OK;
}
