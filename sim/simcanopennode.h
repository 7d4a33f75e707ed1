#pragma once

#include "canrxmessage.h"
#include "cantypes.h"
#include "tarnwicksim_export.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

#include "abstractcanadapter.h"
class SimObjectDictionary;

/// A simulated CANopen device on any CAN adapter (usually a VirtualCanAdapter). It owns an
/// object dictionary with the mandatory entries (0x1000, 0x1001, 0x1017, 0x1018), follows the
/// NMT state machine of CiA 301 (boot-up message, start/stop/pre-operational, reset node and
/// reset communication) and hands every other received frame to the protocol components that
/// attached a frame handler (SDO server, heartbeat, LSS slave, ...).
class TARNWICKSIM_EXPORT SimCanopenNode : public QObject
{
    Q_OBJECT
public:
    enum NmtState : quint8 {
        NmtState_Initialising = 0x00,
        NmtState_Stopped = 0x04,
        NmtState_Operational = 0x05,
        NmtState_PreOperational = 0x7F,
    };
    Q_ENUM(NmtState)

    /// A handler returns true when it consumed the frame.
    using FrameHandler = std::function<bool(const CAN::CanRxMessage &)>;

    /// nodeId 1..127, or 0xFF for an unconfigured node (it then waits for LSS and sends no
    /// boot-up). The node starts powered off: call powerOn().
    SimCanopenNode(AbstractCanAdapter *adapter, quint8 nodeId, QObject *parent = nullptr);
    ~SimCanopenNode() override;

    AbstractCanAdapter *adapter() const { return mAdapter.data(); }
    SimObjectDictionary *od() const { return mOd; }

    quint8 nodeId() const { return mNodeId; }
    /// The node-ID taken over at the next reset communication (set by LSS configure node-ID).
    quint8 pendingNodeId() const { return mPendingNodeId; }
    void setPendingNodeId(quint8 nodeId) { mPendingNodeId = nodeId; }
    bool isConfigured() const { return mNodeId >= 1 && mNodeId <= 127; }

    NmtState nmtState() const { return mState; }
    bool isPoweredOn() const { return mPoweredOn; }

    /// Boots: takes the pending node-ID, sends the boot-up message (configured nodes only) and
    /// enters pre-operational.
    void powerOn();
    /// Goes silent: ignores every frame until powerOn().
    void powerOff();
    /// Reset communication as NMT does it (boot-up on a later event-loop turn).
    void resetCommunication();
    /// Reset application: the dictionary's values are kept (a simple device stores nothing).
    void resetApplication();

    /// Sends a frame through the adapter; the adapter's result.
    CAN::RetType send(CAN::CanMessage &message);
    /// Sends id/bytes as a classic frame.
    CAN::RetType sendFrame(quint32 id, const QByteArray &bytes, bool remote = false);

    /// Components attach here; handlers are tried in order until one consumes the frame.
    void addFrameHandler(QObject *owner, FrameHandler handler);
    void removeFrameHandlers(QObject *owner);

    /// Sets the identity object 0x1018.
    void setIdentity(quint32 vendor, quint32 product, quint32 revision, quint32 serial);
    quint32 vendorId() const;
    quint32 productCode() const;
    quint32 revisionNumber() const;
    quint32 serialNumber() const;
    /// The LSS address entry 0..3 (vendor-ID, product code, revision, serial number).
    quint32 lssAddress(int entry) const;
    /// No node-ID, neither in use nor configured for the next reset (0xFF both): what LSS
    /// calls a non-configured device.
    bool isLssNonConfigured() const { return mNodeId == 0xFF && mPendingNodeId == 0xFF; }

signals:
    void nmtStateChanged(SimCanopenNode::NmtState state);
    /// Emitted after the boot-up message went out (or would have, for an unconfigured node).
    void booted(quint8 nodeId);
    /// Reset communication happened (components reset their protocol state).
    void communicationReset();
    /// Every NMT command addressed to this node (or to all nodes).
    void nmtCommandReceived(quint8 command);

private slots:
    void frameReceived(const CAN::CanRxMessage &message);

private:
    void setState(NmtState state);
    void boot();

    struct Handler
    {
        QPointer<QObject> owner;
        std::shared_ptr<FrameHandler> handler;
    };

    QPointer<AbstractCanAdapter> mAdapter;
    SimObjectDictionary *mOd;
    quint8 mNodeId;
    quint8 mPendingNodeId;
    NmtState mState = NmtState_Initialising;
    bool mPoweredOn = false;
    bool mBootScheduled = false;
    std::vector<Handler> mHandlers;
};
