// The LSS FD manager against simulated CANopen FD devices on a virtual CAN FD bus: the FD scan
// with none, one and two devices, the services, and commissioning a device that has no node-ID.

#include "canscheduler.h"
#include "lssfd_manager.h"
#include "serialbuscanadapter.h"
#include "simcanopennode.h"
#include "simlssfdslave.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCanBus>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
using M = LSSFD_Manager;
using Address = QList<quint32>;

// Between them the addresses use every nibble value; B differs from A in its first nibble,
// C only in its last one.
const Address A = { 0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210 };
const Address B = { 0x11234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210 };
const Address C = { 0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x7654321F };

struct FdNetwork
{
    VirtualCanBus bus;
    QObject devices; // node adapters, nodes and slaves; gone before the bus
    VirtualCanAdapter masterAdapter { &bus };
    CanScheduler scheduler { &masterAdapter };
    M manager { &scheduler };
    QSignalSpy results { &manager, &M::lssfdResult };
    QList<CAN::CanRxMessage> traffic; // every frame on the bus

    FdNetwork()
    {
        masterAdapter.setCanFdCapable(true);
        manager.setTimeout(100);
        QObject::connect(
            &bus, &VirtualCanBus::frameDelivered, [this](const CAN::CanRxMessage &m) { traffic.append(m); });
    }

    SimLssFdSlave *addSlave(quint8 nodeId, const Address &a)
    {
        auto *adapter = new VirtualCanAdapter(&bus, &devices);
        adapter->setCanFdCapable(true);
        auto *node = new SimCanopenNode(adapter, nodeId, adapter);
        node->setIdentity(a[0], a[1], a[2], a[3]);
        auto *slave = new SimLssFdSlave(node);
        node->powerOn();
        return slave;
    }

    /// Runs one request to its result: "result value", a list as hex joined by commas.
    QString run(const std::function<CAN::RetType()> &request)
    {
        const int before = results.count();
        if (request() != CAN::RetType_OK)
            return QStringLiteral("refused");
        // A running event loop, not qWaitFor: its 10 ms sleeps would outlast a scan window.
        if (results.count() == before && !results.wait(5000))
            return QStringLiteral("no result");
        const QList<QVariant> r = results.last();
        QStringList parts;
        if (r.at(2).type() == QVariant::List)
            for (const QVariant &e : r.at(2).toList())
                parts << QString::number(e.toULongLong(), 16);
        else
            parts << r.at(2).toString();
        return QStringLiteral("%1 %2").arg(r.at(1).toInt()).arg(parts.join(','));
    }
};

QString found(const Address &a)
{
    return QStringLiteral("0 %1,%2,%3,%4")
        .arg(a[0], 0, 16)
        .arg(a[1], 0, 16)
        .arg(a[2], 0, 16)
        .arg(a[3], 0, 16);
}

/// The first `step` nibbles of an address, the rest 0.
Address known(const Address &a, int step)
{
    Address k = { 0, 0, 0, 0 };
    for (int s = 0; s < step; ++s)
        k[s / 8] |= a[s / 8] & (0xFu << (4 * (7 - s % 8)));
    return k;
}
} // namespace

class TestSimLssFdSlave : public QObject
{
    Q_OBJECT

    std::unique_ptr<FdNetwork> n;

private slots:
    void init() { n = std::make_unique<FdNetwork>(); }
    void cleanup() { n.reset(); }

    // Scans repeat until one times out; the found devices enter the configuration state and
    // take no part in the next scan, so several devices resolve one at a time.
    void scans_data()
    {
        QTest::addColumn<QList<Address>>("unconfigured");
        QTest::addColumn<bool>("withConfigured"); // a device with node-ID 7 and address B
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("window");
        QTest::addColumn<int>("startStep"); // nibbles of A taken as known
        QTest::addColumn<QStringList>("outcomes");
        const QString timeout = QStringLiteral("1 0");
        QTest::newRow("no device") << QList<Address> {} << false << 0 << 1 << 0 << QStringList { timeout };
        QTest::newRow("one device, 1 ms")
            << QList<Address> { A } << false << 0 << 1 << 0 << QStringList { found(A), timeout };
        QTest::newRow("two devices, first nibble apart")
            << QList<Address> { A, B } << false << 0 << 8 << 0 << QStringList { found(A), found(B), timeout };
        QTest::newRow("two devices, last nibble apart, start step 31") << QList<Address> { C,
            A } << false << 0 << 8 << 31 << QStringList { found(C), found(A), timeout };
        QTest::newRow("configured device not in a non-configured scan")
            << QList<Address> {} << true << 0 << 2 << 0 << QStringList { timeout };
        QTest::newRow("configured device in a scan of all devices")
            << QList<Address> { A } << true << 2 << 8 << 0 << QStringList { found(A), found(B), timeout };
    }
    void scans()
    {
        QFETCH(QList<Address>, unconfigured);
        QFETCH(bool, withConfigured);
        QFETCH(int, mode);
        QFETCH(int, window);
        QFETCH(int, startStep);
        QFETCH(QStringList, outcomes);
        for (const Address &a : unconfigured)
            n->addSlave(0xFF, a);
        if (withConfigured)
            n->addSlave(7, B);
        const Address k = known(A, startStep);
        const auto scan = [&] {
            return n->run([&] {
                return n->manager.fdScanKnownDevices(
                    M::FDScanMode(mode), k[0], k[1], k[2], k[3], quint8(startStep), quint8(window));
            });
        };
        QStringList got;
        for (int i = 0; i < outcomes.size(); ++i) {
            got << scan();
            // A loaded machine may stall the event loop past a 1 ms window (two bus hops per
            // answer): then the devices are sent back to waiting and the scan runs again.
            for (int retry = 0; window == 1 && got.last() != outcomes.at(i) && retry < 2; ++retry) {
                n->manager.switchModeGlobal(M::LssGlobalState_Waiting, M::FDProtocolVersion_FD);
                QTest::qWait(10);
                got.last() = scan();
            }
            QCOMPARE(n->scheduler.registeredCount(), 1);
        }
        QCOMPARE(got, outcomes);
    }

    // The story of a new device: found by the FD scan, given node-ID and network-ID, stored,
    // and started with them when switched back to waiting.
    void commissioning()
    {
        SimLssFdSlave *configured = n->addSlave(7, B);
        SimLssFdSlave *fresh = n->addSlave(0xFF, A);
        QCOMPARE(n->run([&] { return n->manager.fdScan(M::FDScanMode_NonConfigured, 8); }), found(A));
        QCOMPARE(fresh->lssState(), SimLssFdSlave::LssState_Configuration);
        QCOMPARE(configured->lssState(), SimLssFdSlave::LssState_Waiting);
        QCOMPARE(n->run([&] { return n->manager.configureNodeIdAndNetworkId(5, 2); }), QStringLiteral("0 0"));
        QCOMPARE(n->run([&] { return n->manager.storeConfiguration(); }), QStringLiteral("0 0"));
        QCOMPARE(fresh->storedNodeId(), quint8(5));
        QCOMPARE(fresh->storedNetworkId(), quint8(2));
        QCOMPARE(n->run([&] { return n->manager.inquireNodeId(); }), QStringLiteral("0 ff,1,5,2"));
        QCOMPARE(n->run([&] { return n->manager.inquireLssAddress(); }), found(A));
        n->traffic.clear();
        QCOMPARE(
            n->manager.switchModeGlobal(M::LssGlobalState_Waiting, M::FDProtocolVersion_FD), CAN::RetType_OK);
        QTRY_VERIFY(std::any_of(n->traffic.cbegin(), n->traffic.cend(),
            [](const CAN::CanRxMessage &m) { return m.id == 0x705 && m.length == 1 && m.data[0] == 0; }));
        QCOMPARE(fresh->node()->nodeId(), quint8(5));
        QCOMPARE(fresh->networkId(), quint8(2));
        QCOMPARE(fresh->lssState(), SimLssFdSlave::LssState_Waiting);
        // Nothing non-configured is left.
        QCOMPARE(n->run([&] { return n->manager.identifyNonConfigSlaves(); }), QStringLiteral("1 0"));
    }

    // Each service against a device in the configuration state (selected by its address),
    // including the device's refusals; outcomes as "result value".
    void services_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("outcome");
        const char *rows[][3] = {
            { "node-ID 0", "node 0 1", "2 1" },
            { "network-ID 0", "node 3 0", "2 2" },
            { "bit timing", "bittiming 0 2", "0 0" },
            { "bit timing not supported", "bittiming 0 5", "2 256" },
            { "store refused", "storeerror 2 5", "2 517" },
            { "deselect", "deselect", "0 0" },
            { "select someone else", "selectother", "1 0" },
            { "state 2 answers no configuration", "state2", "1 0" },
        };
        for (const auto &r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
    }
    void services()
    {
        QFETCH(QString, service);
        QFETCH(QString, outcome);
        SimLssFdSlave *slave = n->addSlave(0xFF, A);
        n->manager.setTimeout(40);
        // Select by vendor-ID and serial number only.
        QCOMPARE(n->run([&] { return n->manager.switchModeSelective(true, A[0], 0, 0, A[3], 40, 0x09); }),
            QStringLiteral("0 0"));
        QCOMPARE(slave->lssState(), SimLssFdSlave::LssState_Configuration);
        const QStringList w = service.split(' ');
        const auto arg = [&](int i) { return quint8(w.value(i).toUInt()); };
        QSignalSpy activated(slave, &SimLssFdSlave::bitTimingActivated);
        QString got;
        if (w[0] == QLatin1String("node")) {
            got = n->run([&] { return n->manager.configureNodeIdAndNetworkId(arg(1), arg(2)); });
        } else if (w[0] == QLatin1String("bittiming")) {
            got = n->run([&] { return n->manager.configureBitTiming(arg(1), arg(2)); });
            QCOMPARE(n->manager.activateBitTiming(0x0102), CAN::RetType_OK);
            QTRY_COMPARE(activated.count(), got == QLatin1String("0 0") ? 1 : 0);
            if (!activated.isEmpty())
                QCOMPARE(
                    QStringList({ activated.first().at(0).toString(), activated.first().at(1).toString() }),
                    QStringList({ "2", "258" }));
        } else if (w[0] == QLatin1String("storeerror")) {
            slave->setStoreError(arg(1), arg(2));
            got = n->run([&] { return n->manager.storeConfiguration(); });
            QCOMPARE(slave->storeCount(), 0);
        } else if (w[0] == QLatin1String("deselect")) {
            got = n->run([&] { return n->manager.switchModeSelective(false, 0, 0, 0, 0, 40, 0); });
            QCOMPARE(slave->lssState(), SimLssFdSlave::LssState_Waiting);
        } else if (w[0] == QLatin1String("selectother")) {
            QCOMPARE(n->manager.switchModeGlobal(M::LssGlobalState_Waiting, M::FDProtocolVersion_Classic),
                CAN::RetType_OK);
            got = n->run(
                [&] { return n->manager.switchModeSelective(true, B[0], B[1], B[2], B[3], 40, 0x0F); });
            QCOMPARE(slave->lssState(), SimLssFdSlave::LssState_Waiting);
        } else {
            QCOMPARE(n->manager.switchModeGlobal(M::LssGlobalState_FdState2, M::FDProtocolVersion_FD),
                CAN::RetType_OK);
            QTRY_COMPARE(slave->lssState(), SimLssFdSlave::LssState_FdState2);
            QCOMPARE(n->run([&] { return n->manager.fdScan(M::FDScanMode_AllDevices, 2); }),
                QStringLiteral("1 0"));
            got = n->run([&] { return n->manager.inquireNodeId(); });
        }
        QCOMPARE(got, outcome);
    }

    // The same through QtSerialBus's strict virtualcan bus: the 20-byte CAN FD frames, the
    // empty answers and the scan identifiers as real hardware carries them.
    void overVirtualCan()
    {
        if (!QCanBus::instance()->plugins().contains(QLatin1String("virtualcan")))
            QSKIP("the virtualcan plugin is not installed");
        const QString iface = QStringLiteral("tcp://127.0.0.1:%1/can0")
                                  .arg(38000 + (QCoreApplication::applicationPid() % 2000));
        SerialBusCanAdapter host(QStringLiteral("virtualcan"), iface);
        SerialBusCanAdapter device(QStringLiteral("virtualcan"), iface);
        for (SerialBusCanAdapter *a : { &host, &device }) {
            a->setCanFd(true);
            QVERIFY2(a->connectDevice(), qPrintable(a->errorString()));
        }
        QTRY_VERIFY(host.isConnected() && device.isConnected());
        CanScheduler scheduler(&host);
        M manager(&scheduler);
        manager.setTimeout(100);
        QSignalSpy results(&manager, &M::lssfdResult);
        SimCanopenNode node(&device, 0xFF);
        node.setIdentity(A[0], A[1], A[2], A[3]);
        SimLssFdSlave slave(&node);
        node.powerOn();
        // The server forwards to a client only once it has read its connect line.
        for (int i = 0;
             i < 30 && (results.isEmpty() || results.last().at(1).toInt() != M::LssfdResult_Success); ++i) {
            QCOMPARE(manager.identifyNonConfigSlaves(), CAN::RetType_OK);
            QVERIFY(results.wait(1000));
        }
        QCOMPARE(results.last().at(1).toInt(), int(M::LssfdResult_Success));
        // Windows wide enough for the trips through the bus server; the last 8 nibbles.
        const Address k = known(A, 24);
        QCOMPARE(manager.fdScanKnownDevices(M::FDScanMode_NonConfigured, k[0], k[1], k[2], k[3], 24, 50),
            CAN::RetType_OK);
        QVERIFY(results.wait(5000));
        QCOMPARE(results.last().at(1).toInt(), int(M::LssfdResult_Success));
        QCOMPARE(results.last().at(2).toList(), QVariantList({ A[0], A[1], A[2], A[3] }));
        QCOMPARE(manager.inquireLssAddress(), CAN::RetType_OK);
        QVERIFY(results.wait(1000));
        QCOMPARE(results.last().at(2).toList(), QVariantList({ A[0], A[1], A[2], A[3] }));
    }
};

QTEST_GUILESS_MAIN(TestSimLssFdSlave)
#include "tst_simlssfdslave.moc"
