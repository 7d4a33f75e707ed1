#pragma once

#include "abstractcanadapter.h"
#include "vendrel_export.h"

#include <QPointer>

#include <deque>

#include "virtualcanbus.h"

/// A CAN adapter on a VirtualCanBus. Sent frames queue in the adapter and travel on a later
/// event-loop turn. Results of sendCanMessage: 0 accepted; 2 an 11-bit identifier above 0x7FF;
/// 3 length above 64, or above 8 without the CAN FD flag, or a CAN FD frame while FD is off;
/// 4 not on a bus; 7 transmit queue full. A CAN FD frame whose length is no CAN FD data length
/// is padded with 0xCC up to the next one, as a CAN FD controller must.
class VENDREL_EXPORT VirtualCanAdapter : public AbstractCanAdapter
{
    Q_OBJECT
public:
    explicit VirtualCanAdapter(VirtualCanBus *bus, QObject *parent = nullptr);
    ~VirtualCanAdapter() override;

    CAN::RetType sendCanMessage(CAN::CanMessage &message) override;

    VirtualCanBus *bus() const { return mBus.data(); }
    /// Leaves the bus; sending then answers 4. Queued frames are discarded.
    void leaveBus();

    void setCanFdCapable(bool capable) { mCanFdCapable = capable; }
    /// Bound of the transmit queue; 0 means unbounded (the default).
    void setTransmitQueueLimit(int frames) { mQueueLimit = qMax(0, frames); }
    int transmitQueueLimit() const { return mQueueLimit; }
    int pendingFrames() const { return int(mQueue.size()); }
    /// While paused, queued frames stay in the queue (a congested bus).
    void setTransmitPaused(bool paused);

signals:
    /// Tap: every frame this adapter accepted for sending, at the moment it was accepted.
    void frameSent(const CAN::CanMessage &message);

private:
    friend class VirtualCanBus;
    struct Queued
    {
        CAN::CanMessage message;
        quint64 serial;
    };
    QPointer<VirtualCanBus> mBus;
    std::deque<Queued> mQueue;
    int mQueueLimit = 0;
    bool mPaused = false;
};
