#include "canscheduler.h"

#include "abstractcanadapter.h"
#include "canlogging_p.h"
#include "cansender.h"

CanSender::CanSender(quint32 canId, bool extended, QObject *parent)
    : QObject(parent)
    , mCanId(canId)
    , mExtended(extended)
{
}

namespace {
constexpr quint32 kExtendedKey = 0x80000000u;
}

quint32 CanScheduler::senderKey(quint32 canId, bool extended)
{
    return extended ? ((canId & CAN::MaxExtendedId) | kExtendedKey) : canId;
}

CanScheduler::CanScheduler(AbstractCanAdapter *adapter, QObject *parent) : QObject(parent)
{
    setCanAdapter(adapter);
}

CanScheduler::~CanScheduler() = default;

AbstractCanAdapter *CanScheduler::canAdapter() const
{
    return mAdapter.data();
}

void CanScheduler::setCanAdapter(AbstractCanAdapter *adapter)
{
    if (mAdapter == adapter)
        return;
    if (mAdapter)
        disconnect(mAdapter, nullptr, this, nullptr);
    mAdapter = adapter;
    if (mAdapter)
        connect(mAdapter, &AbstractCanAdapter::messageReceived, this, &CanScheduler::dispatch);
}

QPointer<CanSender> CanScheduler::registerCanId(quint32 canId, bool extended)
{
    extended = extended || canId > CAN::MaxStandardId;
    const quint32 key = senderKey(canId, extended);
    CanSender *&sender = mSenders[key];
    if (!sender)
        sender = new CanSender(canId & CAN::MaxExtendedId, extended, this);
    ++sender->mUsers;
    return sender;
}

QList<QPointer<CanSender>> CanScheduler::registerCanIdRange(quint32 first, quint32 last)
{
    QList<QPointer<CanSender>> senders;
    if (last < first)
        return senders;
    senders.reserve(int(last - first + 1));
    for (quint32 id = first;; ++id) {
        senders.append(registerCanId(id));
        if (id == last)
            break;
    }
    return senders;
}

void CanScheduler::unregisterCan(const QPointer<CanSender> &sender, QObject *receiver)
{
    CanSender *s = sender.data();
    if (!s || s->parent() != this)
        return;
    if (receiver)
        disconnect(s, nullptr, receiver, nullptr);
    if (--s->mUsers > 0)
        return;
    mSenders.remove(senderKey(s->mCanId, s->mExtended));
    // Deleted later: unregistering from inside the sender's own delivery must stay safe.
    s->deleteLater();
    s->blockSignals(true);
}

void CanScheduler::dispatch(const CAN::CanRxMessage &message)
{
    CAN::logFrame(message);
    emit messageReceived(message);
    // An 11-bit frame above 0x7FF is malformed and reaches nobody.
    const quint32 key = message.extended   ? senderKey(message.id, true)
        : message.id <= CAN::MaxStandardId ? message.id
                                           : 0xFFFFFFFFu;
    const auto it = mSenders.constFind(key);
    if (it != mSenders.constEnd())
        emit (*it)->received(message);
}

static void registerSchedulerTypes()
{
    qRegisterMetaType<CanScheduler *>("CanScheduler*");
    qRegisterMetaType<AdapterOption>("AdapterOption");
}
Q_CONSTRUCTOR_FUNCTION(registerSchedulerTypes)
