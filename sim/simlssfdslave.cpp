#include "simlssfdslave.h"

#include "simcanopennode.h"

namespace {
constexpr quint32 LssMasterId = 0x7E5;
constexpr quint32 LssSlaveId = 0x7E4;
constexpr quint32 ScanAnswerFirstId = 0x7D0;
constexpr quint8 Unconfigured = 0xFF;
constexpr int FdFrameLength = 20;
constexpr quint8 LastScanStep = 32;

quint32 readBigEndian(const quint8 *at)
{
    return quint32(at[0]) << 24 | quint32(at[1]) << 16 | quint32(at[2]) << 8 | quint32(at[3]);
}

void putLittleEndian(quint8 *at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = quint8(value >> (8 * i));
}
} // namespace

SimLssFdSlave::SimLssFdSlave(SimCanopenNode *node, QObject *parent)
    : QObject(parent ? parent : node)
    , mNode(node)
{
    if (!mNode)
        return;
    mNode->addFrameHandler(this, [this](const CAN::CanRxMessage &m) { return handleFrame(m); });
    connect(mNode, &SimCanopenNode::communicationReset, this, &SimLssFdSlave::reset);
}

SimLssFdSlave::~SimLssFdSlave()
{
    if (mNode)
        mNode->removeFrameHandlers(this);
}

void SimLssFdSlave::setStoreError(quint8 errorCode, quint8 specificError)
{
    mStoreError = errorCode;
    mStoreSpecificError = specificError;
}

void SimLssFdSlave::reset()
{
    // Reset communication: the configured network-ID takes effect, LSS starts waiting.
    mNetworkId = mPendingNetworkId;
    setState(LssState_Waiting);
}

void SimLssFdSlave::setState(LssState state)
{
    if (state == mState)
        return;
    mState = state;
    emit lssStateChanged(state);
}

void SimLssFdSlave::answer(const quint8 *bytes, int length, quint32 id)
{
    CAN::CanMessage frame;
    frame.id = id;
    frame.length = quint8(length);
    if (length > 0)
        std::memcpy(frame.data, bytes, size_t(length));
    frame.fd = frame.bitRateSwitch = length > 8;
    mNode->send(frame);
}

void SimLssFdSlave::switchTo(LssState state)
{
    const bool takeNodeId = mState == LssState_Configuration && state == LssState_Waiting
        && mNode->nodeId() == Unconfigured && mNode->pendingNodeId() != Unconfigured;
    setState(state);
    // A device that had no node-ID starts with the configured one at once.
    if (takeNodeId)
        mNode->resetCommunication();
}

bool SimLssFdSlave::handleFrame(const CAN::CanRxMessage &message)
{
    if (message.id != LssMasterId || message.remote || !mNode)
        return false;
    if (message.length < 1)
        return true;
    const quint8 *b = message.data;
    const int n = message.length;
    switch (b[0]) {
    case 0x04: // classic switch state global: waiting or configuration
        if (n >= 2 && b[1] <= 1)
            switchTo(LssState(b[1]));
        return true;
    case 0x81: // FD switch state global: 0..3, anything else is not a state
        if (n >= 2 && b[1] <= 3)
            switchTo(LssState(b[1]));
        return true;
    case 0x64:
    case 0x65:
        if (n >= FdFrameLength)
            handleSelective(message);
        return true;
    case 0x89: { // identify non-configured device: only devices without any node-ID answer
        if (mNode->isLssNonConfigured() && (mState == LssState_Waiting || mState == LssState_Configuration)) {
            const quint8 a[1] = { 0x8A };
            answer(a, 1);
        }
        return true;
    }
    case 0x91:
    case 0xD1:
        if (n >= FdFrameLength && mState == LssState_Waiting)
            handleScan(message);
        return true;
    default:
        if (mState == LssState_Configuration)
            handleConfiguration(message);
        return true;
    }
}

void SimLssFdSlave::handleSelective(const CAN::CanRxMessage &message)
{
    // Byte 2 says which of the four address values must match (bit 0 vendor-ID .. bit 3
    // serial number); none at all addresses every device.
    const quint8 selector = message.data[2];
    for (int i = 0; i < 4; ++i) {
        if ((selector & (1u << i)) && readBigEndian(message.data + 4 + 4 * i) != mNode->lssAddress(i))
            return;
    }
    switchTo(message.data[0] == 0x65 ? LssState_Configuration : LssState_Waiting);
    const quint8 a[1] = { 0x44 };
    answer(a, 1);
}

void SimLssFdSlave::handleScan(const CAN::CanRxMessage &message)
{
    if (message.data[0] == 0x91 && !mNode->isLssNonConfigured())
        return;
    const quint8 step = message.data[2];
    if (step > LastScanStep)
        return;
    // The first `step` nibbles of the 128-bit address (vendor-ID first, most significant
    // nibble first) must be those of the query.
    for (int entry = 0; entry * 8 < step; ++entry) {
        const int known = qMin(8, step - entry * 8);
        const quint32 mask = known == 8 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> (4 * known));
        if ((readBigEndian(message.data + 4 + 4 * entry) ^ mNode->lssAddress(entry)) & mask)
            return;
    }
    if (step == LastScanStep) {
        // The complete address is ours: confirm and wait for configuration.
        answer(nullptr, 0);
        setState(LssState_Configuration);
        return;
    }
    const quint8 nibble = quint8((mNode->lssAddress(step / 8) >> (4 * (7 - step % 8))) & 0x0F);
    ++mScanAnswers;
    answer(nullptr, 0, ScanAnswerFirstId + nibble);
}

void SimLssFdSlave::handleConfiguration(const CAN::CanRxMessage &message)
{
    const quint8 *b = message.data;
    const int n = message.length;
    switch (b[0]) {
    case 0x83: { // configure node-ID (1..127, 0xFF removes it) and network-ID (1..127)
        if (n < 3)
            return;
        const quint8 nodeId = b[1];
        const quint8 networkId = b[2];
        quint8 error = 0;
        if (!((nodeId >= 1 && nodeId <= 127) || nodeId == Unconfigured))
            error = 1;
        else if (networkId < 1 || networkId > 127)
            error = 2;
        if (error == 0) {
            mNode->setPendingNodeId(nodeId);
            mPendingNetworkId = networkId;
        }
        const quint8 a[2] = { 0x83, error };
        answer(a, 2);
        return;
    }
    case 0x85: { // store configuration
        if (mStoreError != 0) {
            const quint8 a[3] = { 0x85, mStoreError, mStoreSpecificError };
            answer(a, 3);
            return;
        }
        mStoredNodeId = mNode->pendingNodeId();
        mStoredNetworkId = mPendingNetworkId;
        mStoredBitTiming = mPendingBitTiming;
        ++mStoreCount;
        const quint8 a[3] = { 0x85, 0, 0 };
        answer(a, 3);
        emit configurationStored(mStoredNodeId, mStoredNetworkId);
        return;
    }
    case 0x87: { // inquire LSS address
        quint8 a[FdFrameLength] = { 0x87 };
        for (int i = 0; i < 4; ++i)
            putLittleEndian(a + 4 + 4 * i, mNode->lssAddress(i));
        answer(a, FdFrameLength);
        return;
    }
    case 0x93: { // configure bit timing: table selector, table index
        if (n < 3)
            return;
        const bool supported = b[1] == 0 && mSupportedBitTimings.contains(b[2]);
        if (supported)
            mPendingBitTiming = b[2];
        const quint8 a[3] = { 0x93, quint8(supported ? 0 : 1), 0 };
        answer(a, 3);
        return;
    }
    case 0x97: { // inquire node-ID: active and pending node-ID and network-ID
        const quint8 a[5] = { 0x97, mNode->nodeId(), mNetworkId, mNode->pendingNodeId(), mPendingNetworkId };
        answer(a, 5);
        return;
    }
    case 0xD3: { // activate bit timing after the switch delay (little-endian); no answer
        if (n < 3)
            return;
        const quint16 delay = quint16(b[1] | b[2] << 8);
        if (mPendingBitTiming >= 0) {
            mActiveBitTiming = mPendingBitTiming;
            emit bitTimingActivated(mActiveBitTiming, delay);
        }
        return;
    }
    default:
        return;
    }
}
