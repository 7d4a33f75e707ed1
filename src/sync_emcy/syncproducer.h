#pragma once

#include "canmessage.h"
#include "canopenservice.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QPointer>

class CanMessageTransmitter;

/// Producer of the CANopen SYNC object: periodic SYNCs through a CanMessageTransmitter
/// (start/stop), or one SYNC at a time (oneSync), with an optional counter byte that runs
/// 1, 2, ..., overflow, 1, ... SYNC frames are always classic CAN frames.
class TARNWICK_EXPORT SYNCProducer : public CANopenService
{
    Q_OBJECT
public:
    explicit SYNCProducer(QObject *parent = nullptr);
    /// `SYNCProducer(&scheduler)`: the defaults of SYNCProducer(parent) on that scheduler.
    template<typename T, IfScheduler<T> = 0>
    explicit SYNCProducer(T *scheduler, QObject *parent = nullptr)
        : SYNCProducer(parent)
    {
        setCanScheduler(scheduler);
    }
    /// COB-ID and scheduler; the transmitter receives the adapter at start().
    SYNCProducer(unsigned int cobId, CanScheduler *scheduler, QObject *parent = nullptr);
    /// COB-ID and SYNC interval in microseconds.
    SYNCProducer(unsigned int cobId, unsigned int syncInterval, QObject *parent = nullptr);
    /// COB-ID, SYNC interval in microseconds and counter overflow value (0: no counter).
    SYNCProducer(unsigned int cobId, unsigned int syncInterval, unsigned char counterOverflow,
        QObject *parent = nullptr);

    /// Back to the defaults: COB-ID 0x80, interval 0, no counter, no scheduler.
    void initValues();

    /// Each setter returns 0 and changes the next SYNC built; a running transmission keeps
    /// the frame and period it was started with.
    CAN::RetType setSyncInterval(unsigned int syncInterval);
    CAN::RetType setCobId(unsigned int cobId);
    CAN::RetType setCounterFlag(bool counterOn);
    /// Sets the counter overflow value; 0 switches the counter off, any other value on.
    CAN::RetType setSyncCounter(unsigned char counterOverflow);

    /// 6 when null or without adapter, else 0.
    CAN::RetType setCanScheduler(CanScheduler *scheduler);

    /// Starts periodic SYNCs (interval / 1000 ms). 6 with interval 0 or without scheduler.
    CAN::RetType start();
    /// Stops periodic SYNCs and resets the counter. Always 0.
    CAN::RetType stop();
    /// Sends one SYNC now: 6 without scheduler or adapter, else the adapter's result.
    CAN::RetType oneSync();
    /// Advances the counter (when on) into the SYNC frame.
    void buildNextSyncMessage();

    unsigned int cobId() const { return mCobId; }
    unsigned int syncInterval() const { return mSyncInterval; }
    unsigned char counter() const { return mCounter; }
    unsigned char counterOverflow() const { return mCounterOverflow; }
    bool counterFlag() const { return mCounterFlag; }

signals:
    /// A single SYNC was accepted by the adapter.
    void syncEvent();

public slots:
    /// Only stores the scheduler (for queued hand-over); the transmitter gets it at start().
    void newCanScheduler(CanScheduler *pNewScheduler);

private slots:
    void timerElapsed();

private:
    void rebuildFrame();

    unsigned int mCobId = 0x80;
    unsigned int mSyncInterval = 0;
    unsigned char mCounter = 0;
    unsigned char mCounterOverflow = 0;
    bool mCounterFlag = false;
    CAN::CanMessage mSyncMessage;
    QPointer<CanMessageTransmitter> mTransmitter;
};
