#pragma once

#include "canrxmessage.h"
#include "tarnwicksim_export.h"

#include <QList>
#include <QObject>
#include <QPointer>

class SimCanopenNode;

/// The LSS slave of a simulated node, as CiA 305 describes it: the waiting and configuration
/// states, switch state global and selective, configure node-ID and bit timing, activate bit
/// timing, store configuration, inquire identity and node-ID, identify remote slave over
/// revision and serial ranges, identify non-configured slave and fastscan. It listens on
/// 0x7E5 and answers on 0x7E4 with 8-byte frames. Several slaves on one bus answer each on
/// its own, so a master sees one answer frame per slave.
///
/// A new node-ID becomes the node's pending node-ID; a node that had none (0xFF) takes it
/// with a reset communication when it is switched back to the waiting state.
class TARNWICKSIM_EXPORT SimLssSlave : public QObject
{
    Q_OBJECT
public:
    enum LssState {
        LssState_Waiting = 0,
        LssState_Configuration = 1,
    };
    Q_ENUM(LssState)

    /// Attaches to node; the node is the parent when parent is null.
    explicit SimLssSlave(SimCanopenNode *node, QObject *parent = nullptr);
    ~SimLssSlave() override;

    SimCanopenNode *node() const { return mNode.data(); }
    LssState lssState() const { return mState; }

    /// Store configuration answers with this error code (0 = stored; CiA 305: 1 not
    /// supported, 2 storage media access error, 0xFF implementation-specific in specificError).
    void setStoreError(quint8 errorCode, quint8 specificError = 0);
    /// Indices of the CiA 301 bit timing table (selector 0) the device accepts; by default
    /// all defined ones (0..4, 6..8).
    void setSupportedBitTimings(const QList<quint8> &tableIndices) { mSupportedBitTimings = tableIndices; }

    /// Values kept by the last successful store; 0xFF / -1 before any.
    quint8 storedNodeId() const { return mStoredNodeId; }
    int storedBitTiming() const { return mStoredBitTiming; }
    int storeCount() const { return mStoreCount; }
    /// Bit timing configured (not yet active) and in use: table indices, -1 for none.
    int pendingBitTiming() const { return mPendingBitTiming; }
    int activeBitTiming() const { return mActiveBitTiming; }
    /// Fastscan position (LSSPos): the identity entry the slave compares next.
    quint8 fastScanPosition() const { return mFastScanPos; }

signals:
    void lssStateChanged(SimLssSlave::LssState state);
    void bitTimingActivated(int tableIndex, quint16 switchDelay);
    void configurationStored(quint8 nodeId);

private:
    bool handleFrame(const CAN::CanRxMessage &message);
    void handleSwitchGlobal(quint8 mode);
    void handleSwitchSelective(quint8 command, quint32 value);
    void handleIdentifyRemote(quint8 command, quint32 value);
    void handleFastScan(quint32 idNumber, quint8 bitChecked, quint8 lssSub, quint8 lssNext);
    void handleConfiguration(const CAN::CanRxMessage &message);
    void setState(LssState state);
    void answer(quint8 command, quint8 b1 = 0, quint8 b2 = 0, quint32 value = 0, bool withValue = false);
    void reset();

    QPointer<SimCanopenNode> mNode;
    LssState mState = LssState_Waiting;
    quint8 mSelectiveNext = 0x40; ///< next expected switch-selective frame
    quint8 mIdentifyNext = 0x46; ///< next expected identify-remote-slave frame
    quint8 mFastScanPos = 0;
    quint8 mStoreError = 0;
    quint8 mStoreSpecificError = 0;
    quint8 mStoredNodeId = 0xFF;
    int mStoredBitTiming = -1;
    int mStoreCount = 0;
    int mPendingBitTiming = -1;
    int mActiveBitTiming = -1;
    QList<quint8> mSupportedBitTimings = { 0, 1, 2, 3, 4, 6, 7, 8 };
};
