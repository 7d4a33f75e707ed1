#include "buspeer.h"
#include "canscheduler.h"
#include "nmtnetwork.h"
#include "nmtslave.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

class tst_NmtCommands : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { CANopenService::mUseCANopenFD = false; }

    void networkFrames_data();
    void networkFrames();
    void slaveFrames_data();
    void slaveFrames();
    void expectedStateEvenWhenRefused();
    void gatewayLines_data();
    void gatewayLines();
    void fdFlagFollowsTheSwitch();
    void guard_data();
    void guard();
    void nodeIdChanges();
    void schedulerChange();
    void roundTripWithSimulatedNode();
};

using Command = CAN::RetType (*)(NMTNetwork &);

void tst_NmtCommands::networkFrames_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("start") << 0 << QByteArray("0100");
    QTest::newRow("stop") << 1 << QByteArray("0200");
    QTest::newRow("preop") << 2 << QByteArray("8000");
    QTest::newRow("reset application") << 3 << QByteArray("8100");
    QTest::newRow("reset communication") << 4 << QByteArray("8200");
}

static CAN::RetType networkCommand(NMTNetwork &n, int which)
{
    switch (which) {
    case 0: return n.start();
    case 1: return n.stop();
    case 2: return n.preop();
    case 3: return n.resetAppl();
    default: return n.resetComm();
    }
}

static CAN::RetType slaveCommand(NMTSlave &s, int which)
{
    switch (which) {
    case 0: return s.startNode();
    case 1: return s.stopNode();
    case 2: return s.preopNode();
    case 3: return s.resetApplication();
    default: return s.resetCommunication();
    }
}

void tst_NmtCommands::networkFrames()
{
    QFETCH(int, which);
    QFETCH(QByteArray, bytes);
    VirtualCanBus bus;
    VirtualCanAdapter adapter(&bus);
    BusPeer peer(&bus);
    CanScheduler scheduler(&adapter);
    NMTNetwork network(&scheduler);
    QCOMPARE(networkCommand(network, which), CAN::RetType_OK);
    const CAN::CanRxMessage m = peer.takeFrame();
    QCOMPARE(m.id, 0u);
    QCOMPARE(frameHex(m), bytes);
    QVERIFY(!m.fd && !m.bitRateSwitch && !m.remote && !m.extended);
}

void tst_NmtCommands::slaveFrames_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expectedState");
    QTest::newRow("start") << 0 << QByteArray("0112") << int(NMTSlave::NmtState_Operational);
    QTest::newRow("stop") << 1 << QByteArray("0212") << int(NMTSlave::NmtState_Stopped);
    QTest::newRow("preop") << 2 << QByteArray("8012") << int(NMTSlave::NmtState_PreOperational);
    QTest::newRow("reset application") << 3 << QByteArray("8112") << int(NMTSlave::NmtState_PreOperational);
    QTest::newRow("reset communication") << 4 << QByteArray("8212") << int(NMTSlave::NmtState_PreOperational);
}

void tst_NmtCommands::slaveFrames()
{
    QFETCH(int, which);
    QFETCH(QByteArray, bytes);
    QFETCH(int, expectedState);
    VirtualCanBus bus;
    VirtualCanAdapter adapter(&bus);
    BusPeer peer(&bus);
    CanScheduler scheduler(&adapter);
    NMTSlave slave(0x12, &scheduler, nullptr);
    QCOMPARE(slaveCommand(slave, which), CAN::RetType_OK);
    const CAN::CanRxMessage m = peer.takeFrame();
    QCOMPARE(m.id, 0u);
    QCOMPARE(frameHex(m), bytes);
    QCOMPARE(int(slave.getExpectedNodeState()), expectedState);
    QCOMPARE(int(slave.getCurrentNodeState()), int(NMTSlave::NmtState_Unknown));
}

void tst_NmtCommands::expectedStateEvenWhenRefused()
{
    RecordingAdapter adapter;
    adapter.result = CAN::RetType_NotReady;
    CanScheduler scheduler(&adapter);
    NMTSlave slave(0x12, &scheduler, nullptr);
    QCOMPARE(slave.stopNode(), CAN::RetType_NotReady);
    QCOMPARE(slave.getExpectedNodeState(), NMTSlave::NmtState_Stopped);
    QCOMPARE(frameHex(adapter.frames.last()), QByteArray("0212"));
    adapter.result = CAN::RetType(42); // other adapter codes pass through unchanged
    QCOMPARE(int(slave.startNode()), 42);
}

void tst_NmtCommands::gatewayLines_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("networkLine");
    QTest::addColumn<QString>("slaveLine");
    QTest::newRow("start") << 0 << "0 start" << "18 start";
    QTest::newRow("stop") << 1 << "0 stop" << "18 stop";
    QTest::newRow("preop") << 2 << "0 preop" << "18 preop";
    QTest::newRow("reset node") << 3 << "0 reset node" << "18 reset node";
    QTest::newRow("reset comm") << 4 << "0 reset comm" << "18 reset comm";
}

void tst_NmtCommands::gatewayLines()
{
    QFETCH(int, which);
    QFETCH(QString, networkLine);
    QFETCH(QString, slaveLine);
    RecordingAdapter adapter;
    adapter.setGateway(true);
    CanScheduler scheduler(&adapter);
    NMTNetwork network(&scheduler);
    NMTSlave slave(18, &scheduler, nullptr);
    QCOMPARE(networkCommand(network, which), CAN::RetType_OK);
    QCOMPARE(slaveCommand(slave, which), CAN::RetType_OK);
    QCOMPARE(adapter.requestLines, (QStringList{networkLine, slaveLine}));
    QCOMPARE(adapter.sequenceIn, (QList<quint16>{0xFFFF, 0xFFFF}));
    QVERIFY(adapter.frames.isEmpty());
    QVERIFY(adapter.lines.isEmpty());
    // The gateway path leaves the expected state alone.
    QCOMPARE(slave.getExpectedNodeState(), NMTSlave::NmtState_Unknown);
    // Gateway refusal is passed on.
    adapter.result = CAN::RetType_NoLink;
    QCOMPARE(slave.sendCiA309Command(NMT_Start), CAN::RetType_NoLink);
    QCOMPARE(network.sendCiA309Command(NmtCommands(0x55)), CAN::RetType_InvalidRequest);
}

void tst_NmtCommands::fdFlagFollowsTheSwitch()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    NMTNetwork network(&scheduler);
    NMTSlave slave(5, &scheduler, nullptr);
    NMTNetwork other;
    other.activateCANopenFD(true); // any service switches it for all
    network.start();
    slave.startNode();
    QVERIFY(adapter.frames[0].fd && adapter.frames[0].bitRateSwitch);
    QVERIFY(adapter.frames[1].fd && adapter.frames[1].bitRateSwitch);
    slave.activateCANopenFD(false);
    network.stop();
    QVERIFY(!adapter.frames[2].fd && !adapter.frames[2].bitRateSwitch);
}

void tst_NmtCommands::guard_data()
{
    QTest::addColumn<int>("setup");
    QTest::newRow("no scheduler") << 0;
    QTest::newRow("scheduler destroyed") << 1;
    QTest::newRow("scheduler without adapter") << 2;
}

void tst_NmtCommands::guard()
{
    QFETCH(int, setup);
    RecordingAdapter adapter;
    auto *scheduler = new CanScheduler(setup == 2 ? nullptr : &adapter);
    NMTNetwork network(setup == 0 ? nullptr : scheduler);
    NMTSlave slave(7, setup == 0 ? nullptr : scheduler, nullptr);
    if (setup == 1)
        delete scheduler;
    QCOMPARE(network.start(), CAN::RetType_NoLink);
    QCOMPARE(network.sendCiA309Command(NMT_Start), CAN::RetType_NoLink);
    QCOMPARE(slave.startNode(), CAN::RetType_NoLink);
    QCOMPARE(slave.sendCiA309Command(NMT_Stop), CAN::RetType_NoLink);
    QVERIFY(adapter.frames.isEmpty());
    QVERIFY(adapter.requestLines.isEmpty());
    if (setup != 1)
        delete scheduler;
}

void tst_NmtCommands::nodeIdChanges()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    NMTSlave noId(&scheduler, nullptr);
    QCOMPARE(noId.startNode(), CAN::RetType_NoLink); // node ID 0
    QVERIFY(adapter.frames.isEmpty());

    NMTSlave slave(3, &scheduler, nullptr);
    QSignalSpy stateSpy(&slave, &NMTSlave::NodeStateChanged);
    adapter.injectFrame(0x703, QByteArray::fromHex("05"));
    QCOMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_Operational);
    slave.startNode();
    QCOMPARE(slave.setNodeId(3), CAN::RetType_OK); // same ID: states kept
    QCOMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_Operational);
    QCOMPARE(slave.getExpectedNodeState(), NMTSlave::NmtState_Operational);

    QCOMPARE(slave.setNodeId(4), CAN::RetType_OK); // new ID: states reset, re-registered
    QCOMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_Unknown);
    QCOMPARE(slave.getExpectedNodeState(), NMTSlave::NmtState_Unknown);
    adapter.injectFrame(0x703, QByteArray::fromHex("04"));
    QCOMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_Unknown);
    adapter.injectFrame(0x704, QByteArray::fromHex("04"));
    QCOMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_Stopped);
    QCOMPARE(stateSpy.count(), 2);

    QObject parent;
    NMTSlave unlinked((unsigned char)9, &parent);
    QCOMPARE(unlinked.setNodeId(10), CAN::RetType_NoLink);
    QCOMPARE(unlinked.getNodeId(), (unsigned char)10);
}

void tst_NmtCommands::schedulerChange()
{
    RecordingAdapter a, b;
    CanScheduler first(&a), second(&b);
    NMTSlave slave(6, &first, nullptr);
    QCOMPARE(slave.setCanScheduler(&second), CAN::RetType_OK);
    QCOMPARE(first.registeredCount(), 0);
    a.injectFrame(0x706, QByteArray::fromHex("05"));
    QCOMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_Unknown);
    b.injectFrame(0x706, QByteArray::fromHex("05"));
    QCOMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_Operational);
    slave.startNode();
    QCOMPARE(b.frames.size(), 1);
    QCOMPARE(slave.setCanScheduler(nullptr), CAN::RetType_OK);
    QCOMPARE(second.registeredCount(), 0);
    QCOMPARE(slave.startNode(), CAN::RetType_NoLink);
    {
        NMTSlave shortLived(8, &second, nullptr);
        QCOMPARE(second.registeredCount(), 1);
    }
    QCOMPARE(second.registeredCount(), 0); // the destructor unregisters
}

void tst_NmtCommands::roundTripWithSimulatedNode()
{
    VirtualCanBus bus;
    VirtualCanAdapter hostAdapter(&bus), deviceAdapter(&bus);
    CanScheduler scheduler(&hostAdapter);
    SimCanopenNode node(&deviceAdapter, 0x21);
    NMTSlave slave(0x21, &scheduler, nullptr);
    NMTNetwork network(&scheduler);
    QSignalSpy boot(&slave, &NMTSlave::HeartbeatGuardingStateChanged);

    node.powerOn();
    QTRY_COMPARE(slave.getCurrentNodeState(), NMTSlave::NmtState_BootUp);
    QCOMPARE(boot.first().first().value<NMTSlave::HeartbeatGuardingState>(),
             NMTSlave::HeartbeatGuardingState_BootUp);
    QCOMPARE(node.nmtState(), SimCanopenNode::NmtState_PreOperational);

    slave.startNode();
    QTRY_COMPARE(node.nmtState(), SimCanopenNode::NmtState_Operational);
    network.stop();
    QTRY_COMPARE(node.nmtState(), SimCanopenNode::NmtState_Stopped);
    NMTSlave(0x22, &scheduler, nullptr).startNode(); // another node: ignored
    QTest::qWait(5);
    QCOMPARE(node.nmtState(), SimCanopenNode::NmtState_Stopped);
    boot.clear();
    slave.resetCommunication();
    QTRY_COMPARE(boot.count(), 1); // boot-up again
    QCOMPARE(node.nmtState(), SimCanopenNode::NmtState_PreOperational);
}

QTEST_GUILESS_MAIN(tst_NmtCommands)
#include "tst_nmtcommands.moc"
