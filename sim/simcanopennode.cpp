#include "simcanopennode.h"

#include "abstractcanadapter.h"
#include "simobjectdictionary.h"

#include <QTimer>

#include <algorithm>

SimCanopenNode::SimCanopenNode(AbstractCanAdapter *adapter, quint8 nodeId, QObject *parent)
    : QObject(parent)
    , mAdapter(adapter)
    , mOd(new SimObjectDictionary(this))
    , mNodeId(nodeId)
    , mPendingNodeId(nodeId)
{
    using OD = SimObjectDictionary;
    mOd->addValue(0x1000, 0, OD::Unsigned32, OD::ReadOnly, 0x00000000);
    mOd->addValue(0x1001, 0, OD::Unsigned8, OD::ReadOnly, 0);
    mOd->addValue(0x1017, 0, OD::Unsigned16, OD::ReadWrite, 0);
    mOd->addRecord(0x1018,
        { { OD::Unsigned32, 0 }, { OD::Unsigned32, 0 }, { OD::Unsigned32, 0 }, { OD::Unsigned32, 0 } });
    if (mAdapter)
        connect(mAdapter, &AbstractCanAdapter::messageReceived, this, &SimCanopenNode::frameReceived);
}

SimCanopenNode::~SimCanopenNode() = default;

void SimCanopenNode::setIdentity(quint32 vendor, quint32 product, quint32 revision, quint32 serial)
{
    mOd->setUnsigned(0x1018, 1, vendor);
    mOd->setUnsigned(0x1018, 2, product);
    mOd->setUnsigned(0x1018, 3, revision);
    mOd->setUnsigned(0x1018, 4, serial);
}

quint32 SimCanopenNode::vendorId() const
{
    return quint32(mOd->unsignedValue(0x1018, 1));
}
quint32 SimCanopenNode::productCode() const
{
    return quint32(mOd->unsignedValue(0x1018, 2));
}
quint32 SimCanopenNode::revisionNumber() const
{
    return quint32(mOd->unsignedValue(0x1018, 3));
}
quint32 SimCanopenNode::serialNumber() const
{
    return quint32(mOd->unsignedValue(0x1018, 4));
}

quint32 SimCanopenNode::lssAddress(int entry) const
{
    return quint32(mOd->unsignedValue(0x1018, quint8(qBound(0, entry, 3) + 1)));
}

void SimCanopenNode::powerOn()
{
    mPoweredOn = true;
    boot();
}

void SimCanopenNode::powerOff()
{
    mPoweredOn = false;
    mBootScheduled = false;
    setState(NmtState_Initialising);
}

void SimCanopenNode::resetCommunication()
{
    if (!mPoweredOn || mBootScheduled)
        return;
    setState(NmtState_Initialising);
    emit communicationReset();
    // The device reinitialises before it announces itself again.
    mBootScheduled = true;
    QTimer::singleShot(0, this, [this] {
        if (mBootScheduled)
            boot();
    });
}

void SimCanopenNode::resetApplication()
{
    resetCommunication();
}

void SimCanopenNode::boot()
{
    mBootScheduled = false;
    if (!mPoweredOn)
        return;
    mNodeId = mPendingNodeId;
    if (isConfigured())
        sendFrame(0x700u + mNodeId, QByteArray(1, '\0'));
    setState(NmtState_PreOperational);
    emit booted(mNodeId);
}

void SimCanopenNode::setState(NmtState state)
{
    if (state == mState)
        return;
    mState = state;
    emit nmtStateChanged(state);
}

CAN::RetType SimCanopenNode::send(CAN::CanMessage &message)
{
    if (!mAdapter)
        return CAN::RetType_NoLink;
    return mAdapter->sendCanMessage(message);
}

CAN::RetType SimCanopenNode::sendFrame(quint32 id, const QByteArray &bytes, bool remote)
{
    CAN::CanMessage m;
    m.id = id;
    m.remote = remote;
    m.setPayload(bytes.constData(), qMin(8, int(bytes.size())));
    return send(m);
}

void SimCanopenNode::addFrameHandler(QObject *owner, FrameHandler handler)
{
    mHandlers.push_back({ owner, std::make_shared<FrameHandler>(std::move(handler)) });
}

void SimCanopenNode::removeFrameHandlers(QObject *owner)
{
    mHandlers.erase(std::remove_if(mHandlers.begin(), mHandlers.end(),
                        [owner](const Handler &h) { return h.owner == owner || !h.owner; }),
        mHandlers.end());
}

void SimCanopenNode::frameReceived(const CAN::CanRxMessage &message)
{
    if (!mPoweredOn)
        return;
    if (message.id == 0 && !message.remote) {
        // NMT: command specifier, node-ID (0 = all nodes). Only exact 2-byte frames count.
        if (message.length != 2 || !isConfigured())
            return;
        if (message.data[1] != 0 && message.data[1] != mNodeId)
            return;
        const quint8 command = message.data[0];
        emit nmtCommandReceived(command);
        switch (command) {
        case 0x01:
            if (mState != NmtState_Initialising)
                setState(NmtState_Operational);
            break;
        case 0x02:
            if (mState != NmtState_Initialising)
                setState(NmtState_Stopped);
            break;
        case 0x80:
            if (mState != NmtState_Initialising)
                setState(NmtState_PreOperational);
            break;
        case 0x81:
            resetApplication();
            break;
        case 0x82:
            resetCommunication();
            break;
        default:
            break;
        }
        return;
    }
    // Handlers may add or remove handlers; iterate over a snapshot by index.
    for (size_t i = 0; i < mHandlers.size(); ++i) {
        if (!mHandlers[i].owner)
            continue;
        const std::shared_ptr<FrameHandler> handler = mHandlers[i].handler;
        if ((*handler)(message))
            return;
    }
}
