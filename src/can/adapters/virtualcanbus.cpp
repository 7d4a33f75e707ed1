#include "virtualcanbus.h"

#include "virtualcanadapter.h"

#include <QMetaObject>

VirtualCanBus::VirtualCanBus(QObject *parent)
    : QObject(parent)
{
    mDeliveryTimer.setInterval(0);
    connect(&mDeliveryTimer, &QTimer::timeout, this, &VirtualCanBus::deliverPending);
}

VirtualCanBus::~VirtualCanBus()
{
    const auto adapters = mAdapters;
    for (VirtualCanAdapter *a : adapters)
        a->leaveBus();
}

void VirtualCanBus::setRandomFaults(quint32 seed, double dropProbability, double duplicateProbability)
{
    mRandom.seed(seed);
    mDropProbability = qBound(0.0, dropProbability, 1.0);
    mDuplicateProbability = qBound(0.0, duplicateProbability, 1.0);
    mRule = nullptr;
}

void VirtualCanBus::setFaultRule(FaultRule rule)
{
    mRule = std::move(rule);
    mDropProbability = mDuplicateProbability = 0;
}

void VirtualCanBus::attach(VirtualCanAdapter *adapter)
{
    if (!mAdapters.contains(adapter)) {
        mAdapters.append(adapter);
        ++mGeneration;
    }
}

void VirtualCanBus::detach(VirtualCanAdapter *adapter)
{
    if (mAdapters.removeAll(adapter) > 0)
        ++mGeneration;
}

void VirtualCanBus::frameQueued()
{
    if (!mDeliveryTimer.isActive())
        mDeliveryTimer.start();
}

VirtualCanBus::Fault VirtualCanBus::faultFor(const CAN::CanMessage &message)
{
    const quint64 n = mFrameCount++;
    if (mRule)
        return mRule(message, n);
    if (mDropProbability <= 0 && mDuplicateProbability <= 0)
        return Fault_None;
    std::uniform_real_distribution<double> dist(0.0, 1.0);
    const double r = dist(mRandom);
    if (r < mDropProbability)
        return Fault_Drop;
    if (r < mDropProbability + mDuplicateProbability)
        return Fault_Duplicate;
    return Fault_None;
}

void VirtualCanBus::deliverPending()
{
    const quint64 limit = mQueueSerial;
    // Frames of one pass arrive at one time.
    const CanTimeStamp now = mClock ? mClock() : CanTimeStamp::now();
    // Take what is queued now; frames sent by receivers during delivery go in the next pass.
    // Frames of all adapters are delivered in the order they were queued.
    for (;;) {
        VirtualCanAdapter *from = nullptr;
        quint64 best = 0;
        for (VirtualCanAdapter *a : qAsConst(mAdapters)) {
            if (a->mPaused || a->mQueue.empty())
                continue;
            if (!from || a->mQueue.front().serial < best) {
                from = a;
                best = a->mQueue.front().serial;
            }
        }
        if (!from || best >= limit)
            break;
        const Fault fault = faultFor(from->mQueue.front().message);
        if (fault == Fault_Drop) {
            from->mQueue.pop_front();
            ++mDropped;
            continue;
        }
        const CAN::CanRxMessage rx(from->mQueue.front().message, now);
        from->mQueue.pop_front();
        const int copies = fault == Fault_Duplicate ? 2 : 1;
        for (int c = 0; c < copies; ++c) {
            emit frameDelivered(rx, from);
            // Receivers may attach, leave or delete adapters while handling a frame: the copy
            // of the list is cheap (shared), and after a change each target is checked again.
            const QList<VirtualCanAdapter *> targets = mAdapters;
            const quint64 generation = mGeneration;
            for (VirtualCanAdapter *target : targets) {
                if (generation != mGeneration && !mAdapters.contains(target))
                    continue;
                if (target != from)
                    emit target->messageReceived(rx);
            }
        }
    }
    // Frames queued during this pass go in the next one; with nothing left the timer rests.
    for (VirtualCanAdapter *a : qAsConst(mAdapters)) {
        if (!a->mPaused && !a->mQueue.empty())
            return;
    }
    mDeliveryTimer.stop();
}
