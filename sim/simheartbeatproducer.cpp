#include "simheartbeatproducer.h"

#include "simcanopennode.h"
#include "simobjectdictionary.h"

SimHeartbeatProducer::SimHeartbeatProducer(SimCanopenNode *node, QObject *parent)
    : QObject(parent ? parent : node)
    , mNode(node)
{
    mTimer.setTimerType(Qt::PreciseTimer);
    connect(&mTimer, &QTimer::timeout, this, &SimHeartbeatProducer::tick);
    if (!mNode)
        return;
    // The boot-up message is the first heartbeat; the next follows one period later.
    connect(mNode, &SimCanopenNode::booted, this, &SimHeartbeatProducer::apply);
    connect(mNode, &SimCanopenNode::communicationReset, &mTimer, &QTimer::stop);
    connect(mNode->od(), &SimObjectDictionary::entryWritten, this, [this](quint16 index, quint8 sub) {
        if (index == 0x1017 && sub == 0)
            apply();
    });
    apply();
}

quint16 SimHeartbeatProducer::producerTime() const
{
    return mNode ? quint16(mNode->od()->unsignedValue(0x1017, 0)) : 0;
}

void SimHeartbeatProducer::setProducerTime(quint16 ms)
{
    if (!mNode)
        return;
    const char bytes[2] = { char(ms & 0xFF), char(ms >> 8) };
    mNode->od()->write(0x1017, 0, QByteArray(bytes, 2));
}

void SimHeartbeatProducer::apply()
{
    const quint16 period = producerTime();
    if (!mNode || !mNode->isPoweredOn() || mNode->nmtState() == SimCanopenNode::NmtState_Initialising
        || period == 0) {
        mTimer.stop();
        return;
    }
    mTimer.start(period);
}

void SimHeartbeatProducer::tick()
{
    if (!mNode || !mNode->isPoweredOn() || mNode->nmtState() == SimCanopenNode::NmtState_Initialising) {
        mTimer.stop();
        return;
    }
    if (mSilent)
        return;
    const quint8 state = quint8(mNode->nmtState());
    if (mNode->sendFrame(0x700u + mNode->nodeId(), QByteArray(1, char(state))) == CAN::RetType_OK) {
        ++mSent;
        emit heartbeatSent(state);
    }
}
