#pragma once

#include "canrxmessage.h"
#include "vendrel_export.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>
#include <random>

class VirtualCanAdapter;

/// An in-process CAN bus. Every frame an attached adapter sends reaches every other attached
/// adapter on a later event-loop turn, stamped with its time of delivery. Frames are delivered
/// in the order they were sent. Faults can be injected to test robustness reproducibly.
class VENDREL_EXPORT VirtualCanBus : public QObject
{
    Q_OBJECT
public:
    /// What happens to one frame on its way.
    enum Fault { Fault_None, Fault_Drop, Fault_Duplicate };
    /// Decides the fate of one frame: the frame and the running number of frames sent on the bus.
    using FaultRule = std::function<Fault(const CAN::CanMessage &, quint64)>;

    explicit VirtualCanBus(QObject *parent = nullptr);
    ~VirtualCanBus() override;

    QList<VirtualCanAdapter *> adapters() const { return mAdapters; }

    /// Drops and duplicates frames at random with the given probabilities (0..1), from a
    /// generator seeded with seed, so a run can be repeated exactly. Both 0 switch it off.
    void setRandomFaults(quint32 seed, double dropProbability, double duplicateProbability);
    /// A rule of the test's own; replaces the random faults. An empty rule switches it off.
    void setFaultRule(FaultRule rule);

    /// Where reception time stamps come from: CanTimeStamp::now() unless set. A test that runs
    /// on a clock of its own (a simulated event loop) gives it here, so that time measured from
    /// the frames agrees with its timers. An empty clock restores the default.
    using Clock = std::function<CanTimeStamp()>;
    void setClock(Clock clock) { mClock = std::move(clock); }

    quint64 framesSent() const { return mFrameCount; }
    quint64 framesDropped() const { return mDropped; }

signals:
    /// Every frame as it is delivered (after fault injection), with its sender.
    void frameDelivered(const CAN::CanRxMessage &message, VirtualCanAdapter *from);

private:
    friend class VirtualCanAdapter;
    void attach(VirtualCanAdapter *adapter);
    void detach(VirtualCanAdapter *adapter);
    /// Called by an adapter that queued a frame; schedules one delivery pass.
    void frameQueued();
    void deliverPending();
    Fault faultFor(const CAN::CanMessage &message);

    QList<VirtualCanAdapter *> mAdapters;
    // Delivery passes run from a zero-interval timer that keeps running while frames wait: one
    // pass per event-loop turn, without posting an event (and waking the loop) for each frame.
    QTimer mDeliveryTimer;
    quint64 mFrameCount = 0;
    quint64 mDropped = 0;
    quint64 mQueueSerial = 0;
    quint64 mGeneration = 0;
    FaultRule mRule;
    Clock mClock;
    std::mt19937 mRandom;
    double mDropProbability = 0;
    double mDuplicateProbability = 0;
};
