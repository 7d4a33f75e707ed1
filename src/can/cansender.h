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
    quint32 canId() const { return mCanId; }

signals:
    /// One emission per received frame with this identifier.
    void received(const CAN::CanRxMessage &message);

private:
    friend class CanScheduler;
    explicit CanSender(quint32 canId, QObject *parent);

    quint32 mCanId;
    int mUsers = 0;
};
