#include "simnetwork.h"

#include "abstractcanadapter.h"
#include "simcanopennode.h"
#include "simemcyproducer.h"
#include "simheartbeatproducer.h"
#include "simlssslave.h"
#include "simnodeguardingresponder.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"
#include "simsyncconsumer.h"
#include "simudsecu.h"
#include "simusdoserver.h"

QList<SimNetwork::NodeSpec> SimNetwork::defaultNodes()
{
    // CiA 401 I/O module, CiA 402 drive, CiA 406 encoder, CiA 404 sensor, and one device
    // without a node-ID that waits to be configured by LSS.
    return {
        {1, QStringLiteral("I/O module"), 0x000F0191, 0x000004B1, 0x00401001, 0x00010003, 0x1A2B0001, 2, 2, true, 1000},
        {2, QStringLiteral("servo drive"), 0x00020192, 0x000004B1, 0x00402010, 0x00020001, 0x1A2B0002, 4, 4, true, 1000},
        {3, QStringLiteral("absolute encoder"), 0x00010196, 0x00000A35, 0x00000406, 0x00010000, 0x00C0FFEE, 0, 1, false, 500},
        {10, QStringLiteral("temperature sensor"), 0x00020194, 0x00000A35, 0x00000404, 0x00030002, 0x00BEEF10, 1, 1, false, 2000},
        // PDOs without inhibit time whose mappings hold one entry more than they map.
        {5, QStringLiteral("analog input module"), 0x00040191, 0x00000A35, 0x00401004, 0x00010001, 0x00BEEF05, 2, 2, false, 1000, 1},
        {0xFF, QStringLiteral("unconfigured I/O module"), 0x000F0191, 0x000004B1, 0x00401001, 0x00010003, 0x1A2B00FF, 2, 2, true, 1000},
    };
}

SimNetwork::SimNetwork(AbstractCanAdapter *adapter, QObject *parent) : QObject(parent), mAdapter(adapter) {}

SimNetwork::~SimNetwork() = default;

void SimNetwork::addPdoObjects(SimObjectDictionary *od, quint8 nodeId, int receivePdos, int transmitPdos,
                               bool inhibitTime, int mappedObjects)
{
    using OD = SimObjectDictionary;
    auto addComm = [&](quint16 index, quint32 cobId) {
        od->addValue(index, 0, OD::Unsigned8, OD::Const, 5);
        od->addValue(index, 1, OD::Unsigned32, OD::ReadWrite, cobId);
        od->addValue(index, 2, OD::Unsigned8, OD::ReadWrite, 0xFF);
        if (inhibitTime)
            od->addValue(index, 3, OD::Unsigned16, OD::ReadWrite, 100);
        od->addValue(index, 5, OD::Unsigned16, OD::ReadWrite, 0);
    };
    auto addMapping = [&](quint16 index, int pdo) {
        // Two objects of the manufacturer area per PDO: 0x6000/0x6200 style, 8 and 16 bits.
        const quint32 entries[2] = {0x60000108u + (quint32(pdo) << 8), 0x64010110u + quint32(pdo)};
        od->addValue(index, 0, OD::Unsigned8, OD::ReadWrite, quint32(mappedObjects));
        od->addValue(index, 1, OD::Unsigned32, OD::ReadWrite, entries[0]);
        od->addValue(index, 2, OD::Unsigned32, OD::ReadWrite, entries[1]);
    };
    for (int i = 0; i < receivePdos; ++i) {
        const quint32 cob = i < 4 ? 0x200u + 0x100u * quint32(i) + nodeId : 0x80000000u;
        addComm(quint16(0x1400 + i), cob);
        addMapping(quint16(0x1600 + i), i);
    }
    for (int i = 0; i < transmitPdos; ++i) {
        const quint32 cob = i < 4 ? 0x180u + 0x100u * quint32(i) + nodeId : 0x80000000u;
        addComm(quint16(0x1800 + i), cob);
        addMapping(quint16(0x1A00 + i), i);
    }
}

SimCanopenNode *SimNetwork::addNode(const NodeSpec &spec)
{
    auto *node = new SimCanopenNode(mAdapter, spec.nodeId, this);
    node->setObjectName(spec.name);
    node->setIdentity(spec.vendorId, spec.productCode, spec.revision, spec.serial);
    SimObjectDictionary *od = node->od();
    od->setUnsigned(0x1000, 0, spec.deviceType);
    od->setUnsigned(0x1017, 0, spec.heartbeatMs);
    od->add(0x1008, 0, SimObjectDictionary::VisibleString, SimObjectDictionary::Const, spec.name.toUtf8());
    od->add(0x1009, 0, SimObjectDictionary::VisibleString, SimObjectDictionary::Const, QByteArrayLiteral("1.0"));
    od->add(0x100A, 0, SimObjectDictionary::VisibleString, SimObjectDictionary::Const, QByteArrayLiteral("2.3.1"));
    addPdoObjects(od, spec.nodeId == 0xFF ? 0 : spec.nodeId, spec.receivePdos, spec.transmitPdos, spec.inhibitTime,
                  spec.mappedObjects);
    new SimSdoServer(node, node);
    new SimHeartbeatProducer(node, node);
    new SimNodeGuardingResponder(node, node);
    new SimEmcyProducer(node, node);
    new SimSyncConsumer(node, node);
    new SimLssSlave(node, node);
    if (mCanFd)
        addCanFdServices(node);
    mNodes.append(node);
    return node;
}

void SimNetwork::setCanFd(bool on)
{
    mCanFd = on;
    if (!on)
        return;
    for (const auto &node : qAsConst(mNodes))
        if (node && !node->findChild<SimUsdoServer *>(QString(), Qt::FindDirectChildrenOnly))
            addCanFdServices(node);
}

void SimNetwork::addCanFdServices(SimCanopenNode *node)
{
    // CiA 302 program data: a large domain to download by USDO segmented or bulk transfer.
    using OD = SimObjectDictionary;
    node->od()->add(0x1F50, 0, OD::Unsigned8, OD::Const, QByteArray(1, '\x01'));
    node->od()->add(0x1F50, 1, OD::Domain, OD::ReadWrite, QByteArray());
    new SimUsdoServer(node, node);
}

SimUdsEcu *SimNetwork::addUdsEcu()
{
    auto *ecu = new SimUdsEcu(mAdapter, this);
    ecu->setIds(kUdsRequestId, kUdsResponseId, kUdsFunctionalId);
    QByteArray image(kUdsMemorySize, '\xFF');
    ecu->setMemory(kUdsMemoryBase, image);
    ecu->setDataIdentifier(
        0xF190, QByteArrayLiteral("TWK0SIMULATED0001"), true, true); // VIN, written unlocked
    ecu->setDataIdentifier(0xF18C, QByteArrayLiteral("ECU-000042"), false);          // ECU serial number
    ecu->setDataIdentifier(0xF195, QByteArrayLiteral("1.4.2"), false);               // software version
    ecu->setDataIdentifier(0x0100, QByteArray::fromHex("00000000"), true);           // a calibration value
    ecu->addDtc(0x012345, 0x09);
    mEcu = ecu;
    return ecu;
}

void SimNetwork::addDefaultDevices()
{
    for (const NodeSpec &spec : defaultNodes()) {
        SimCanopenNode *node = addNode(spec);
        if (spec.nodeId == 2) {
            // Program data (CiA 302): a writable domain of up to 1 MiB, for block transfers.
            SimObjectDictionary *od = node->od();
            od->addValue(0x1F50, 0, SimObjectDictionary::Unsigned8, SimObjectDictionary::Const, 1);
            od->add(0x1F50, 1, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
        }
    }
    // On CAN FD (setCanFd) the nodes above also serve USDO; FD-only devices join here.
    addUdsEcu();
}

void SimNetwork::powerOn()
{
    for (const auto &node : qAsConst(mNodes))
        if (node)
            node->powerOn();
}

QList<SimCanopenNode *> SimNetwork::nodes() const
{
    QList<SimCanopenNode *> list;
    for (const auto &node : mNodes)
        if (node)
            list.append(node);
    return list;
}

SimCanopenNode *SimNetwork::node(quint8 nodeId) const
{
    for (const auto &node : mNodes)
        if (node && node->isConfigured() && node->nodeId() == nodeId)
            return node;
    return nullptr;
}
