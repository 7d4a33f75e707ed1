#include "buspeer.h"
#include "canscheduler.h"
#include "nmtnetwork.h"
#include "nmtslave.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

namespace {
// The five commands, in the order of the tables below, for all nodes and for one node.
const struct
{
    CAN::RetType (NMTNetwork::*network)();
    CAN::RetType (NMTSlave::*slave)();
} Commands[] = {
    { &NMTNetwork::start, &NMTSlave::startNode },
    { &NMTNetwork::stop, &NMTSlave::stopNode },
    { &NMTNetwork::preop, &NMTSlave::preopNode },
    { &NMTNetwork::resetAppl, &NMTSlave::resetApplication },
    { &NMTNetwork::resetComm, &NMTSlave::resetCommunication },
};

/// The command through a gateway: request lines, no frames, the refusals passed on.
void gatewayLines(int which, const QString &networkLine, const QString &slaveLine)
{
    RecordingAdapter adapter;
    adapter.setGateway(true);
    CanScheduler scheduler(&adapter);
    NMTNetwork network(&scheduler);
    NMTSlave slave(18, &scheduler, nullptr);
    QCOMPARE((network.*Commands[which].network)(), CAN::RetType_OK);
    QCOMPARE((slave.*Commands[which].slave)(), CAN::RetType_OK);
    QCOMPARE(adapter.requestLines, (QStringList { networkLine, slaveLine }));
    QCOMPARE(adapter.sequenceIn, (QList<quint16> { 0xFFFF, 0xFFFF }));
    QVERIFY(adapter.frames.isEmpty());
    QVERIFY(adapter.lines.isEmpty());
    // The gateway path leaves the expected state alone.
    QCOMPARE(slave.getExpectedNodeState(), NMTSlave::NmtState_Unknown);
    // Gateway refusal is passed on.
    adapter.result = CAN::RetType_NoLink;
    QCOMPARE(slave.sendCiA309Command(NMT_Start), CAN::RetType_NoLink);
    QCOMPARE(network.sendCiA309Command(NmtCommands(0x55)), CAN::RetType_InvalidRequest);
}
} // namespace

class tst_NmtCommands : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { CANopenService::mUseCANopenFD = false; }

    // Each command for all nodes and for node 0x12 (18), as classic frames and, with CANopen FD
    // on, as FD frames, and through a gateway as lines.
    void frames_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QByteArray>("networkBytes");
        QTest::addColumn<QByteArray>("slaveBytes");
        QTest::addColumn<int>("expectedState"); // operational 3, stopped 4, pre-operational 2
        QTest::addColumn<QString>("line"); // the gateway's command word
        QTest::newRow("start") << 0 << QByteArray("0100") << QByteArray("0112") << 3 << "start";
        QTest::newRow("stop") << 1 << QByteArray("0200") << QByteArray("0212") << 4 << "stop";
        QTest::newRow("preop") << 2 << QByteArray("8000") << QByteArray("8012") << 2 << "preop";
        QTest::newRow("reset application")
            << 3 << QByteArray("8100") << QByteArray("8112") << 2 << "reset node";
        QTest::newRow("reset communication")
            << 4 << QByteArray("8200") << QByteArray("8212") << 2 << "reset comm";
    }
    void frames()
    {
        QFETCH(int, which);
        QFETCH(QByteArray, networkBytes);
        QFETCH(QByteArray, slaveBytes);
        QFETCH(int, expectedState);
        QFETCH(QString, line);
        VirtualCanBus bus;
        VirtualCanAdapter adapter(&bus);
        adapter.setCanFdCapable(true);
        BusPeer peer(&bus);
        CanScheduler scheduler(&adapter);
        NMTNetwork network(&scheduler);
        NMTSlave slave(0x12, &scheduler, nullptr);
        for (bool fd : { false, true }) {
            slave.activateCANopenFD(fd); // one switch for all services
            QCOMPARE((network.*Commands[which].network)(), CAN::RetType_OK);
            QCOMPARE((slave.*Commands[which].slave)(), CAN::RetType_OK);
            for (const QByteArray &bytes : { networkBytes, slaveBytes }) {
                const CAN::CanRxMessage m = peer.takeFrame();
                QCOMPARE(m.id, 0u);
                QCOMPARE(frameHex(m), bytes);
                QVERIFY(m.fd == fd && m.bitRateSwitch == fd && !m.remote && !m.extended);
            }
        }
        QCOMPARE(int(slave.getExpectedNodeState()), expectedState);
        QCOMPARE(int(slave.getCurrentNodeState()), int(NMTSlave::NmtState_Unknown));
        gatewayLines(which, "0 " + line, "18 " + line);
    }

    void expectedStateEvenWhenRefused()
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

    void guard_data()
    {
        QTest::addColumn<int>("setup");
        QTest::newRow("no scheduler") << 0;
        QTest::newRow("scheduler destroyed") << 1;
        QTest::newRow("scheduler without adapter") << 2;
    }
    void guard()
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

    void roundTripWithSimulatedNode()
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
        boot.clear();
        slave.resetCommunication();
        QTRY_COMPARE(boot.count(), 1); // boot-up again
        QCOMPARE(node.nmtState(), SimCanopenNode::NmtState_PreOperational);
    }
};

QTEST_GUILESS_MAIN(tst_NmtCommands)
#include "tst_nmtcommands.moc"
