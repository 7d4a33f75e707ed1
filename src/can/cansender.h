#pragma once

#include "canrxmessage.h"
#include "vendrel_export.h"

#include <QObject>

/// Delivers the received frames of one identifier. Obtained from CanScheduler::registerCanId;
/// connect received() to the service's slot. Owned by the scheduler.
class VENDREL_EXPORT CanSender : public QObject
{
    Q_OBJECT
public:
    /// The identifier (without a format marker).
    quint32 canId() const { return mCanId; }
    /// True for a 29-bit identifier.
    bool isExtended() const { return mExtended; }

signals:
    /// One emission per received frame with this identifier.
    void received(const CAN::CanRxMessage &message);

private:
    friend class CanScheduler;
    CanSender(quint32 canId, bool extended, QObject *parent);

    quint32 mCanId;
    bool mExtended;
    int mUsers = 0;
};
