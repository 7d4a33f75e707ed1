#pragma once

#include "canrxmessage.h"
#include "vendrel_export.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

class AbstractCanAdapter;
class CanSender;

/// Owns the link to one CAN adapter and distributes its received frames by identifier and
/// format. Services register the identifiers they listen to and connect the returned sender.
/// An identifier up to 0x7FF names an 11-bit frame; one with a bit above bit 28 set (the
/// convention of the ISO-TP transport), or with the extended flag, or above 0x7FF names a
/// 29-bit frame of its low 29 bits. So 0x581 receives 11-bit frames 0x581 only, 0x80000581 and
/// registerCanId(0x581, true) receive 29-bit frames 0x581 only.
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
    QPointer<CanSender> registerCanId(quint32 canId, bool extended = false);
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
    // Key: the identifier, with bit 31 set for a 29-bit one.
    static quint32 senderKey(quint32 canId, bool extended);
    QHash<quint32, CanSender *> mSenders;
};

Q_DECLARE_METATYPE(CanScheduler *)
