#include "simlssslave.h"

#include "simcanopennode.h"

namespace {
constexpr quint32 LssMasterId = 0x7E5;
constexpr quint32 LssSlaveId = 0x7E4;
constexpr quint8 Unconfigured = 0xFF;

quint32 readU32(const CAN::CanRxMessage &m, int at)
{
    return quint32(m.data[at]) | quint32(m.data[at + 1]) << 8 | quint32(m.data[at + 2]) << 16
        | quint32(m.data[at + 3]) << 24;
}
} // namespace

SimLssSlave::SimLssSlave(SimCanopenNode *node, QObject *parent)
    : QObject(parent ? parent : node)
    , mNode(node)
{
    if (!mNode)
        return;
    mNode->addFrameHandler(this, [this](const CAN::CanRxMessage &m) { return handleFrame(m); });
    // NMT reset communication restarts the LSS state machine in the waiting state.
    connect(mNode, &SimCanopenNode::communicationReset, this, &SimLssSlave::reset);
}

SimLssSlave::~SimLssSlave()
{
    if (mNode)
        mNode->removeFrameHandlers(this);
}

void SimLssSlave::setStoreError(quint8 errorCode, quint8 specificError)
{
    mStoreError = errorCode;
    mStoreSpecificError = specificError;
}

void SimLssSlave::reset()
{
    mSelectiveNext = 0;
    mIdentifyNext = 0;
    mFastScanPos = 0;
    setState(LssState_Waiting);
}

void SimLssSlave::setState(LssState state)
{
    if (state == mState)
        return;
    mState = state;
    emit lssStateChanged(state);
}

void SimLssSlave::answer(quint8 command, quint8 b1, quint8 b2, quint32 value, bool withValue)
{
    CAN::CanMessage frame;
    frame.id = LssSlaveId;
    frame.length = 8;
    frame.data[0] = command;
    if (withValue) {
        for (int i = 0; i < 4; ++i)
            frame.data[1 + i] = quint8(value >> (8 * i));
    } else {
        frame.data[1] = b1;
        frame.data[2] = b2;
    }
    mNode->send(frame);
}

bool SimLssSlave::handleFrame(const CAN::CanRxMessage &message)
{
    if (message.id != LssMasterId || message.remote || !mNode)
        return false;
    if (message.length < 1)
        return true;
    // A frame too short for its command is ignored; CANopen FD masters send shorter frames.
    const quint8 command = message.data[0];
    const int n = message.length;
    if (command == 0x04) {
        if (n >= 2)
            handleSwitchGlobal(message.data[1]);
        return true;
    }
    if (command >= 0x46 && command <= 0x4B) {
        if (n >= 5)
            handleIdentifyRemote(command, readU32(message, 1));
        return true;
    }
    if (command == 0x4C) {
        // Identify non-configured remote slave: only slaves without any node-ID answer.
        if (mNode->isLssNonConfigured())
            answer(0x50);
        return true;
    }
    if (mState == LssState_Waiting) {
        if (command >= 0x40 && command <= 0x43 && n >= 5)
            handleSwitchSelective(command, readU32(message, 1));
        else if (command == 0x51 && n >= 8)
            handleFastScan(readU32(message, 1), message.data[5], message.data[6], message.data[7]);
        return true;
    }
    handleConfiguration(message);
    return true;
}

void SimLssSlave::handleSwitchGlobal(quint8 mode)
{
    mSelectiveNext = 0;
    mIdentifyNext = 0;
    if (mode == 1) {
        setState(LssState_Configuration);
        return;
    }
    if (mode != 0)
        return;
    const bool takeNodeId = mState == LssState_Configuration && mNode->nodeId() == Unconfigured
        && mNode->pendingNodeId() != Unconfigured;
    setState(LssState_Waiting);
    // A device that had no node-ID starts with the configured one at once.
    if (takeNodeId)
        mNode->resetCommunication();
}

void SimLssSlave::handleSwitchSelective(quint8 command, quint32 value)
{
    // The four frames must come in order, each matching; anything else starts over.
    if (command != 0x40 && command != mSelectiveNext) {
        mSelectiveNext = 0;
        return;
    }
    if (value != mNode->lssAddress(command - 0x40)) {
        mSelectiveNext = 0;
        return;
    }
    if (command < 0x43) {
        mSelectiveNext = quint8(command + 1);
        return;
    }
    mSelectiveNext = 0;
    setState(LssState_Configuration);
    answer(0x44);
}

void SimLssSlave::handleIdentifyRemote(quint8 command, quint32 value)
{
    if (command != 0x46 && command != mIdentifyNext) {
        mIdentifyNext = 0;
        return;
    }
    bool match = false;
    switch (command) {
    case 0x46:
        match = value == mNode->vendorId();
        break;
    case 0x47:
        match = value == mNode->productCode();
        break;
    case 0x48:
        match = value <= mNode->revisionNumber();
        break;
    case 0x49:
        match = mNode->revisionNumber() <= value;
        break;
    case 0x4A:
        match = value <= mNode->serialNumber();
        break;
    default:
        match = mNode->serialNumber() <= value;
        break;
    }
    if (!match) {
        mIdentifyNext = 0;
        return;
    }
    if (command < 0x4B) {
        mIdentifyNext = quint8(command + 1);
        return;
    }
    mIdentifyNext = 0;
    answer(0x4F);
}

void SimLssSlave::handleFastScan(quint32 idNumber, quint8 bitChecked, quint8 lssSub, quint8 lssNext)
{
    // Only non-configured slaves take part.
    if (!mNode->isLssNonConfigured())
        return;
    if ((bitChecked > 31 && bitChecked != 0x80) || lssSub > 3 || lssNext > 3)
        return;
    if (bitChecked == 0x80) {
        mFastScanPos = 0;
        answer(0x4F);
        return;
    }
    if (lssSub != mFastScanPos)
        return;
    // Bits bitChecked..31 of the entry must match.
    const quint32 mask = 0xFFFFFFFFu << bitChecked;
    if ((idNumber ^ mNode->lssAddress(lssSub)) & mask)
        return;
    mFastScanPos = lssNext;
    const bool selected = bitChecked == 0 && lssNext < lssSub;
    answer(0x4F);
    if (selected)
        setState(LssState_Configuration);
}

void SimLssSlave::handleConfiguration(const CAN::CanRxMessage &message)
{
    const quint8 command = message.data[0];
    const int n = message.length;
    switch (command) {
    case 0x11: { // configure node-ID: 1..127, or 0xFF to remove it
        if (n < 2)
            return;
        const quint8 nodeId = message.data[1];
        if ((nodeId >= 1 && nodeId <= 127) || nodeId == Unconfigured) {
            mNode->setPendingNodeId(nodeId);
            answer(0x11, 0);
        } else {
            answer(0x11, 1); // node-ID out of range
        }
        return;
    }
    case 0x13: { // configure bit timing: table selector, table index
        if (n < 3)
            return;
        const quint8 selector = message.data[1];
        const quint8 index = message.data[2];
        if (selector == 0 && mSupportedBitTimings.contains(index)) {
            mPendingBitTiming = index;
            answer(0x13, 0);
        } else {
            answer(0x13, 1); // bit timing not supported
        }
        return;
    }
    case 0x15: { // activate bit timing: switch delay; no answer
        if (n < 3)
            return;
        const quint16 delay = quint16(message.data[1] | message.data[2] << 8);
        if (mPendingBitTiming >= 0) {
            mActiveBitTiming = mPendingBitTiming;
            emit bitTimingActivated(mActiveBitTiming, delay);
        }
        return;
    }
    case 0x17: // store configuration
        if (mStoreError != 0) {
            answer(0x17, mStoreError, mStoreSpecificError);
            return;
        }
        mStoredNodeId = mNode->pendingNodeId();
        mStoredBitTiming = mPendingBitTiming;
        ++mStoreCount;
        answer(0x17, 0);
        emit configurationStored(mStoredNodeId);
        return;
    case 0x5A:
    case 0x5B:
    case 0x5C:
    case 0x5D: // inquire identity: vendor-ID, product code, revision, serial number
        answer(command, 0, 0, mNode->lssAddress(command - 0x5A), true);
        return;
    case 0x5E: // inquire node-ID: the active one
        answer(0x5E, mNode->nodeId());
        return;
    default:
        return;
    }
}
