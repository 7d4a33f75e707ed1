#include "simsyncconsumer.h"

#include "simcanopennode.h"
#include "simobjectdictionary.h"

SimSyncConsumer::SimSyncConsumer(SimCanopenNode *node, QObject *parent)
    : QObject(parent ? parent : node)
    , mNode(node)
{
    if (!mNode)
        return;
    if (!mNode->od()->contains(0x1005, 0))
        mNode->od()->addValue(
            0x1005, 0, SimObjectDictionary::Unsigned32, SimObjectDictionary::ReadWrite, 0x80);
    mNode->addFrameHandler(this, [this](const CAN::CanRxMessage &m) {
        if (!mNode || m.remote || m.id != (mNode->od()->unsignedValue(0x1005, 0) & 0x1FFFFFFFu))
            return false;
        const SimCanopenNode::NmtState state = mNode->nmtState();
        if (state != SimCanopenNode::NmtState_PreOperational && state != SimCanopenNode::NmtState_Operational)
            return false;
        Sync sync;
        sync.time = m.timeStamp;
        sync.length = m.length;
        sync.counter = m.length >= 1 ? m.data[0] : -1;
        mSyncs.append(sync);
        emit syncReceived(sync.counter);
        return false; // other components of the node may act on the SYNC too
    });
}

QList<int> SimSyncConsumer::counters() const
{
    QList<int> list;
    list.reserve(mSyncs.size());
    for (const Sync &s : mSyncs)
        list.append(s.counter);
    return list;
}

QList<double> SimSyncConsumer::periodsMs() const
{
    QList<double> list;
    for (int i = 1; i < mSyncs.size(); ++i)
        list.append(double(mSyncs.at(i).time.toUSecs() - mSyncs.at(i - 1).time.toUSecs()) / 1000.0);
    return list;
}

double SimSyncConsumer::meanPeriodMs() const
{
    if (mSyncs.size() < 2)
        return 0;
    return double(mSyncs.last().time.toUSecs() - mSyncs.first().time.toUSecs()) / 1000.0
        / (mSyncs.size() - 1);
}
