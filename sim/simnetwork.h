#pragma once

#include "tarnwicksim_export.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "simcanopennode.h"
#include "simudsecu.h"

class AbstractCanAdapter;
class SimObjectDictionary;

/// A ready-made simulated network on one CAN adapter: CANopen nodes with realistic identities,
/// PDO objects, SDO server, heartbeat producer, node-guarding responder, EMCY producer, SYNC
/// consumer and LSS slave each, an unconfigured node waiting for LSS, and a UDS ECU. The
/// `tarnwick` tool uses it as its default network; tests and hosts can use it as a test bench.
class TARNWICKSIM_EXPORT SimNetwork : public QObject
{
    Q_OBJECT
public:
    struct NodeSpec
    {
        quint8 nodeId;       ///< 1..127, or 0xFF for an unconfigured node
        QString name;
        quint32 deviceType;
        quint32 vendorId;
        quint32 productCode;
        quint32 revision;
        quint32 serial;
        int receivePdos;     ///< number of receive PDOs (communication 0x1400.., mapping 0x1600..)
        int transmitPdos;    ///< number of transmit PDOs (0x1800.., 0x1A00..)
        bool inhibitTime;    ///< PDO communication objects have sub-index 3
        quint16 heartbeatMs; ///< producer heartbeat time (0x1017)
        int mappedObjects = 2; ///< mapping count (sub-index 0); two entries are always filled
    };

    /// The nodes of the default network.
    static QList<NodeSpec> defaultNodes();
    /// UDS ECU identifiers of the default network: request, response, functional.
    static constexpr quint32 kUdsRequestId = 0x7E0;
    static constexpr quint32 kUdsResponseId = 0x7E8;
    static constexpr quint32 kUdsFunctionalId = 0x7DF;
    static constexpr quint32 kUdsMemoryBase = 0x00010000;
    static constexpr int kUdsMemorySize = 0x10000;

    /// All devices share the adapter (on a virtual bus, give the network its own adapter).
    explicit SimNetwork(AbstractCanAdapter *adapter, QObject *parent = nullptr);
    ~SimNetwork() override;

    /// CAN FD (CANopen FD): nodes added from now on, and those already there, also serve USDO
    /// (CiA 1301) and hold a writable program-data domain 0x1F50:1. Give the network an FD-capable
    /// adapter. Off by default.
    void setCanFd(bool on);
    bool isCanFd() const { return mCanFd; }

    /// Adds a node with all its protocol components.
    SimCanopenNode *addNode(const NodeSpec &spec);
    /// Adds the default nodes and the UDS ECU. Node 2 also has a writable domain, 0x1F50:1
    /// (program data, up to 1 MiB).
    void addDefaultDevices();
    /// Adds the UDS ECU with its memory image.
    SimUdsEcu *addUdsEcu();
    /// Powers every node on (boot-up messages go out).
    void powerOn();

    QList<SimCanopenNode *> nodes() const;
    /// The configured node with this node-ID, or null.
    SimCanopenNode *node(quint8 nodeId) const;
    SimUdsEcu *udsEcu() const { return mEcu.data(); }

    /// Adds PDO communication and mapping objects to a dictionary.
    static void addPdoObjects(SimObjectDictionary *od, quint8 nodeId, int receivePdos, int transmitPdos,
                              bool inhibitTime, int mappedObjects = 2);

private:
    QPointer<AbstractCanAdapter> mAdapter;
    QList<QPointer<SimCanopenNode>> mNodes;
    QPointer<SimUdsEcu> mEcu;
    bool mCanFd = false;

    void addCanFdServices(SimCanopenNode *node);
};
