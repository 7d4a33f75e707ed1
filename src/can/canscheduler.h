#pragma once

#include "canrxmessage.h"
#include "vendrel_export.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

class AbstractCanAdapter;
class CanSender;

/// Owns the link to one CAN adapter and distributes its received frames by identifier.
/// Services register the identifiers they listen to and connect the returned sender.
class VENDREL_EXPORT CanScheduler : public QObject
{
    Q_OBJECT
public:
    explicit CanScheduler(AbstractCanAdapter *adapter = nullptr, QObject *parent = nullptr);
    ~CanScheduler() override;

    /// The adapter, or null when none is set or it was destroyed.
    AbstractCanAdapter *canAdapter() const;
    /// Replaces the adapter; the scheduler never owns it.
    void setCanAdapter(AbstractCanAdapter *adapter);

    /// The sender of an identifier; every call counts one more user of it.
    QPointer<CanSender> registerCanId(quint32 canId);
    /// Registers each identifier from first to last (inclusive); an empty list when last < first.
    QList<QPointer<CanSender>> registerCanIdRange(quint32 first, quint32 last);
    /// Stops delivery from sender to receiver and drops one user of the sender; the sender
    /// is deleted when its last user is gone.
    void unregisterCan(const QPointer<CanSender> &sender, QObject *receiver);

    /// Number of identifiers with a live sender.
    int registeredCount() const { return mSenders.size(); }

public slots:
    /// Hands one received frame to the sender of its identifier.
    void dispatch(const CAN::CanRxMessage &message);

signals:
    /// Every frame the adapter received, before dispatch (for monitors and traces).
    void messageReceived(const CAN::CanRxMessage &message);

private:
    QPointer<AbstractCanAdapter> mAdapter;
    QHash<quint32, CanSender *> mSenders;
};

Q_DECLARE_METATYPE(CanScheduler *)
