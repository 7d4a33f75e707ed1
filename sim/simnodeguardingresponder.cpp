#include "simnodeguardingresponder.h"

#include "simcanopennode.h"
#include "simobjectdictionary.h"

SimNodeGuardingResponder::SimNodeGuardingResponder(SimCanopenNode *node, QObject *parent)
    : QObject(parent ? parent : node)
    , mNode(node)
{
    if (!mNode)
        return;
    connect(mNode, &SimCanopenNode::communicationReset, this, [this] { mToggle = 0; });
    connect(mNode, &SimCanopenNode::booted, this, [this] { mToggle = 0; });
    mNode->addFrameHandler(this, [this](const CAN::CanRxMessage &m) {
        if (!mNode || !m.remote || m.id != 0x700u + mNode->nodeId() || !mNode->isConfigured())
            return false;
        if (mNode->nmtState() == SimCanopenNode::NmtState_Initialising
            || mNode->od()->unsignedValue(0x1017, 0) != 0)
            return true;
        ++mRequests;
        if (mSilent)
            return true;
        const quint8 byte = quint8(mToggle << 7) | quint8(mNode->nmtState());
        if (mNode->sendFrame(m.id, QByteArray(1, char(byte))) == CAN::RetType_OK) {
            ++mReplies;
            if (!mToggleBroken)
                mToggle ^= 1;
            emit replySent(byte);
        }
        return true;
    });
}
