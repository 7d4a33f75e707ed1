#pragma once

#include "canrxmessage.h"
#include "tarnwicksim_export.h"

#include <QList>
#include <QObject>
#include <QPointer>

class SimCanopenNode;

/// The LSS slave of a simulated CANopen FD device (on a CAN FD capable adapter). It listens
/// on 0x7E5 and answers on 0x7E4: switch state global (classic 0x04 and FD 0x81), select and
/// deselect by LSS address (0x65/0x64), configure node-ID and network-ID (0x83), configure
/// and activate bit timing (0x93/0xD3), store (0x85), inquire LSS address (0x87) and node-ID
/// (0x97), identify non-configured device (0x89), and the LSS FD scan (0x91 for
/// non-configured devices, 0xD1 for every device in the waiting state): a device whose
/// address starts with the nibbles of the query answers on 0x7D0 + its next nibble, and
/// confirms the complete address with an empty frame on 0x7E4, entering the configuration
/// state. Several devices answer each on its own, so a scan resolves one device at a time.
///
/// Requests carry big-endian values; the inquired address is answered little-endian in a
/// 20-byte CAN FD frame, the other answers are short classic frames. A new node-ID becomes
/// the pending one; a device without node-ID takes it with a reset communication when it is
/// switched back to the waiting state (the network-ID likewise).
class TARNWICKSIM_EXPORT SimLssFdSlave : public QObject
{
    Q_OBJECT
public:
    /// 2 and 3 exist only in the FD protocol; in them the device answers switch commands only.
    enum LssState {
        LssState_Waiting = 0,
        LssState_Configuration = 1,
        LssState_FdState2 = 2,
        LssState_FdState3 = 3,
    };
    Q_ENUM(LssState)

    /// Attaches to node; the node is the parent when parent is null.
    explicit SimLssFdSlave(SimCanopenNode *node, QObject *parent = nullptr);
    ~SimLssFdSlave() override;

    SimCanopenNode *node() const { return mNode.data(); }
    LssState lssState() const { return mState; }

    /// Network-ID in use and the one configured for the next reset communication (1 by default).
    quint8 networkId() const { return mNetworkId; }
    quint8 pendingNetworkId() const { return mPendingNetworkId; }

    /// Store answers with this error code and specific code (0 = stored).
    void setStoreError(quint8 errorCode, quint8 specificError = 0);
    /// Bit timing table indices of selector 0 the device accepts (default 0..4, 6..8).
    void setSupportedBitTimings(const QList<quint8> &tableIndices) { mSupportedBitTimings = tableIndices; }

    /// Values kept by the last successful store: node-ID 0xFF and -1 before any.
    quint8 storedNodeId() const { return mStoredNodeId; }
    quint8 storedNetworkId() const { return mStoredNetworkId; }
    int storedBitTiming() const { return mStoredBitTiming; }
    int storeCount() const { return mStoreCount; }
    int pendingBitTiming() const { return mPendingBitTiming; }
    int activeBitTiming() const { return mActiveBitTiming; }
    /// Scan queries this device answered on a scan identifier since it was created.
    int scanAnswers() const { return mScanAnswers; }

signals:
    void lssStateChanged(SimLssFdSlave::LssState state);
    void bitTimingActivated(int tableIndex, quint16 switchDelay);
    void configurationStored(quint8 nodeId, quint8 networkId);

private:
    bool handleFrame(const CAN::CanRxMessage &message);
    void switchTo(LssState state);
    void handleSelective(const CAN::CanRxMessage &message);
    void handleScan(const CAN::CanRxMessage &message);
    void handleConfiguration(const CAN::CanRxMessage &message);
    void answer(const quint8 *bytes, int length, quint32 id = 0x7E4);
    void setState(LssState state);
    void reset();

    QPointer<SimCanopenNode> mNode;
    LssState mState = LssState_Waiting;
    quint8 mNetworkId = 1;
    quint8 mPendingNetworkId = 1;
    quint8 mStoreError = 0;
    quint8 mStoreSpecificError = 0;
    quint8 mStoredNodeId = 0xFF;
    quint8 mStoredNetworkId = 0xFF;
    int mStoredBitTiming = -1;
    int mStoreCount = 0;
    int mPendingBitTiming = -1;
    int mActiveBitTiming = -1;
    int mScanAnswers = 0;
    QList<quint8> mSupportedBitTimings = { 0, 1, 2, 3, 4, 6, 7, 8 };
};
