#include "simemcyproducer.h"

#include "simcanopennode.h"
#include "simobjectdictionary.h"

SimEmcyProducer::SimEmcyProducer(SimCanopenNode *node, QObject *parent)
    : QObject(parent ? parent : node)
    , mNode(node)
{
    if (!mNode)
        return;
    SimObjectDictionary *od = mNode->od();
    if (!od->contains(0x1014, 0))
        od->addValue(0x1014, 0, SimObjectDictionary::Unsigned32, SimObjectDictionary::ReadWrite,
            0x80u + mNode->nodeId());
    connect(od, &SimObjectDictionary::entryWritten, this, [this](quint16 index, quint8 sub) {
        if (index == 0x1014 && sub == 0)
            mCobIdWritten = true;
    });
    // The default COB-ID follows a node-ID changed by LSS.
    connect(mNode, &SimCanopenNode::booted, this, [this](quint8 nodeId) {
        if (!mCobIdWritten && mNode)
            mNode->od()->setUnsigned(0x1014, 0, 0x80u + nodeId);
    });
}

quint32 SimEmcyProducer::cobId() const
{
    return mNode ? quint32(mNode->od()->unsignedValue(0x1014, 0)) : 0x80000000u;
}

CAN::RetType SimEmcyProducer::sendEmergency(
    quint16 errorCode, quint8 errorRegister, const QByteArray &manufacturerData)
{
    if (!mNode)
        return CAN::RetType_NoLink;
    const quint32 cob = cobId();
    const SimCanopenNode::NmtState state = mNode->nmtState();
    if ((cob & 0x80000000u) || !mNode->isPoweredOn()
        || (state != SimCanopenNode::NmtState_PreOperational
            && state != SimCanopenNode::NmtState_Operational))
        return CAN::RetType_InvalidRequest;
    mNode->od()->setUnsigned(0x1001, 0, errorRegister);
    QByteArray bytes(8, '\0');
    bytes[0] = char(errorCode & 0xFF);
    bytes[1] = char(errorCode >> 8);
    bytes[2] = char(errorRegister);
    for (int i = 0; i < 5 && i < manufacturerData.size(); ++i)
        bytes[3 + i] = manufacturerData.at(i);
    const CAN::RetType result = mNode->sendFrame(cob & 0x1FFFFFFFu, bytes);
    if (result == CAN::RetType_OK)
        ++mSent;
    return result;
}
