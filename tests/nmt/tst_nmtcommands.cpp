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
// The five commands, in the order of the table below, for all nodes and for one node.
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
} // namespace

class tst_NmtCommands : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { CANopenService::mUseCANopenFD = false; }

    // Each command for all nodes and for node 0x12 (18), as classic frames and, with CANopen FD
    // on, as FD frames, and through a gateway as lines.
    void commands_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QByteArray>("command"); // the command byte
        QTest::addColumn<int>("expectedState"); // operational 3, stopped 4, pre-operational 2
        QTest::addColumn<QString>("line"); // the gateway's command word
        QTest::newRow("start") << 0 << QByteArray("01") << 3 << "start";
        QTest::newRow("stop") << 1 << QByteArray("02") << 4 << "stop";
        QTest::newRow("preop") << 2 << QByteArray("80") << 2 << "preop";
        QTest::newRow("reset application") << 3 << QByteArray("81") << 2 << "reset node";
        QTest::newRow("reset communication") << 4 << QByteArray("82") << 2 << "reset comm";
    }
    void commands()
    {
        QFETCH(int, which);
        QFETCH(QByteArray, command);
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
            for (const char *node : { "00", "12" }) {
                const CAN::CanRxMessage m = peer.takeFrame();
                QVERIFY(m.id == 0 && m.fd == fd && m.bitRateSwitch == fd && !m.remote && !m.extended);
                QCOMPARE(frameHex(m), command + node);
            }
        }
        QCOMPARE(int(slave.getExpectedNodeState()), expectedState);
        QCOMPARE(int(slave.getCurrentNodeState()), int(NMTSlave::NmtState_Unknown));

        // Through a gateway: request lines, no frames; the expected state is left alone.
        RecordingAdapter gateway;
        gateway.setGateway(true);
        scheduler.setCanAdapter(&gateway);
        NMTSlave slave18(18, &scheduler, nullptr);
        QCOMPARE((network.*Commands[which].network)(), CAN::RetType_OK);
        QCOMPARE((slave18.*Commands[which].slave)(), CAN::RetType_OK);
        QCOMPARE(gateway.requestLines, (QStringList { "0 " + line, "18 " + line }));
        QCOMPARE(gateway.sequenceIn, (QList<quint16> { 0xFFFF, 0xFFFF }));
        QVERIFY(gateway.frames.isEmpty() && gateway.lines.isEmpty());
        QCOMPARE(slave18.getExpectedNodeState(), NMTSlave::NmtState_Unknown);
    }

    // Adapter and gateway refusals pass through, yet the expected state is set.
    void refusals()
    {
        RecordingAdapter adapter;
        adapter.result = CAN::RetType_NotReady;
        CanScheduler scheduler(&adapter);
        NMTSlave slave(0x12, &scheduler, nullptr);
        NMTNetwork network(&scheduler);
        QCOMPARE(slave.stopNode(), CAN::RetType_NotReady);
        QCOMPARE(slave.getExpectedNodeState(), NMTSlave::NmtState_Stopped);
        QCOMPARE(frameHex(adapter.frames.last()), QByteArray("0212"));
        adapter.result = CAN::RetType(42); // other adapter codes pass through unchanged
        QCOMPARE(int(slave.startNode()), 42);
        adapter.setGateway(true);
        adapter.result = CAN::RetType_NoLink;
        QCOMPARE(slave.sendCiA309Command(NMT_Start), CAN::RetType_NoLink);
        QCOMPARE(network.sendCiA309Command(NmtCommands(0x55)), CAN::RetType_InvalidRequest);
    }

    // No scheduler, a destroyed one, one without adapter: refused, nothing sent.
    void guard()
    {
        for (int setup = 0; setup < 3; ++setup) {
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
            QVERIFY(adapter.frames.isEmpty() && adapter.requestLines.isEmpty());
            if (setup != 1)
                delete scheduler;
        }
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
        QCOMPARE(boot.takeFirst().first().value<NMTSlave::HeartbeatGuardingState>(),
            NMTSlave::HeartbeatGuardingState_BootUp);
        QCOMPARE(node.nmtState(), SimCanopenNode::NmtState_PreOperational);
        slave.startNode();
        QTRY_COMPARE(node.nmtState(), SimCanopenNode::NmtState_Operational);
        network.stop();
        QTRY_COMPARE(node.nmtState(), SimCanopenNode::NmtState_Stopped);
        slave.resetCommunication();
        QTRY_COMPARE(boot.count(), 1); // boot-up again
        QCOMPARE(node.nmtState(), SimCanopenNode::NmtState_PreOperational);
    }
};

QTEST_GUILESS_MAIN(tst_NmtCommands)
#include "tst_nmtcommands.moc"
