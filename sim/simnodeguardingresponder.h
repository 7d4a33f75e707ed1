#pragma once

#include "tarnwicksim_export.h"

#include <QObject>
#include <QPointer>

class SimCanopenNode;

/// The node-guarding side of a simulated node (CiA 301): a remote request on 0x700 + node-ID
/// is answered with one byte, the toggle bit (bit 7, 0 in the first answer after boot-up and
/// alternating from then on) and the NMT state (0x04, 0x05 or 0x7F). A node that produces a
/// heartbeat (0x1017 not 0) does not answer guarding requests. A test can make the node ignore
/// requests, or break the toggle so that it repeats its bit.
class TARNWICKSIM_EXPORT SimNodeGuardingResponder : public QObject
{
    Q_OBJECT
public:
    /// The parent defaults to the node.
    explicit SimNodeGuardingResponder(SimCanopenNode *node, QObject *parent = nullptr);

    /// While silent, requests are counted but not answered.
    void setSilent(bool silent) { mSilent = silent; }
    bool isSilent() const { return mSilent; }
    /// While broken, the toggle bit stays as it was in the last answer.
    void setToggleBroken(bool broken) { mToggleBroken = broken; }

    quint64 requestsReceived() const { return mRequests; }
    quint64 repliesSent() const { return mReplies; }

signals:
    void replySent(quint8 byte);

private:
    QPointer<SimCanopenNode> mNode;
    bool mSilent = false;
    bool mToggleBroken = false;
    quint8 mToggle = 0;
    quint64 mRequests = 0;
    quint64 mReplies = 0;
};
