#pragma once

#include "tarnwicksim_export.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class SimCanopenNode;

/// The heartbeat producer of a simulated node (CiA 301): after the boot-up message the node
/// sends its NMT state (0x04, 0x05 or 0x7F) on 0x700 + node-ID every producer heartbeat time,
/// object 0x1017 in ms (0: no heartbeat). Writing 0x1017 takes effect at once. A test can make
/// the node fall silent without leaving its state, and resume.
class TARNWICKSIM_EXPORT SimHeartbeatProducer : public QObject
{
    Q_OBJECT
public:
    /// The parent defaults to the node.
    explicit SimHeartbeatProducer(SimCanopenNode *node, QObject *parent = nullptr);

    /// Writes 0x1017 (as an SDO download would) and applies it.
    void setProducerTime(quint16 ms);
    quint16 producerTime() const;

    /// While silent the node sends no heartbeat; the period keeps running, so heartbeats
    /// resume in step.
    void setSilent(bool silent) { mSilent = silent; }
    bool isSilent() const { return mSilent; }

    quint64 heartbeatsSent() const { return mSent; }

signals:
    void heartbeatSent(quint8 stateByte);

private:
    void apply();
    void tick();

    QPointer<SimCanopenNode> mNode;
    QTimer mTimer;
    bool mSilent = false;
    quint64 mSent = 0;
};
