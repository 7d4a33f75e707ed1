// NMT: the commands of NMTNetwork and NMTSlave on the bus and through a gateway, and NMTSlave's
// supervision: the judgement of injected replies with chosen reception times, exact to the
// millisecond, and heartbeat and guarding timelines against a simulated node on the virtual bus.
#include "buspeer.h"
#include "canscheduler.h"
#include "nmtnetwork.h"
#include "nmtslave.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "simheartbeatproducer.h"
#include "simnodeguardingresponder.h"
#include "virtualcanbus.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <climits>
#include <memory>

using HGS = NMTSlave::HeartbeatGuardingState;

namespace {
/// The states of the supervision's history, as "0 3 5".
QByteArray history(const NMTSlave &slave)
{
    QByteArrayList list;
    for (const NMTSlave::StateEntry &e : slave.getStateList())
        list << QByteArray::number(e.first);
    return list.join(' ');
}

/// Logs a slave's signals as text: "n<state>" for NodeStateChanged, "c<state>" for
/// HeartbeatGuardingStateChanged and "y<state>" for the cyclic judgement of its frames.
void logSignals(NMTSlave &slave, QByteArray &log)
{
    QObject::connect(
        &slave, &NMTSlave::NodeStateChanged, [&](int s) { log += "n" + QByteArray::number(s) + ' '; });
    QObject::connect(&slave, &NMTSlave::HeartbeatGuardingStateChanged,
        [&](int s) { log += "c" + QByteArray::number(s) + ' '; });
    QObject::connect(
        &slave, &NMTSlave::sigNodeStateChanged, [&](int s) { log += "y" + QByteArray::number(s) + ' '; });
}

/// Frames injected with chosen reception times.
struct Bench
{
    RecordingAdapter adapter;
    std::unique_ptr<CanScheduler> scheduler = std::make_unique<CanScheduler>(&adapter);
    NMTSlave slave { 5, scheduler.get(), nullptr };
    QByteArray log; ///< see logSignals()
    // Whole milliseconds: timediff works on ms fractions in floating point, which would blur the
    // one-millisecond boundaries tested here.
    const CanTimeStamp now = CanTimeStamp::now();
    const CanTimeStamp start { now.seconds(), now.microseconds() / 1000 * 1000 };

    Bench() { logSignals(slave, log); }
    /// Plays steps: "hb<ms>" supervises heartbeats, "ng<ms>x<factor>" guards, "<byte>@<ms>" is a reply
    /// received at ms ("/<length>" of another length, "r" a remote request). Returns the signals, then
    /// the history.
    QByteArray play(const QByteArray &script)
    {
        static const QRegularExpression step("(hb|ng)(\\d+)x?(\\d*)|(..)@(\\d+)/?(\\d?)(r?)");
        for (const QString &s : QString(script).split(' ')) {
            const QRegularExpressionMatch m = step.match(s);
            if (m.captured(1) == "hb")
                slave.startHeartbeatMonitoring(m.captured(2).toUShort());
            else if (m.captured(1) == "ng")
                slave.startNodeGuarding(m.captured(2).toUShort(), quint8(m.captured(3).toUInt()));
            else {
                CAN::CanRxMessage frame;
                frame.timeStamp = start;
                frame.timeStamp.addMSecs(m.captured(5).toInt());
                frame.id = 0x705;
                frame.length = quint8(m.captured(6).isEmpty() ? 1 : m.captured(6).toUInt());
                frame.remote = !m.captured(7).isEmpty();
                frame.data[0] = quint8(m.captured(4).toUInt(nullptr, 16));
                adapter.inject(frame);
            }
        }
        return (log + "| " + history(slave)).trimmed();
    }
};

/// A simulated node on the virtual bus.
struct SimBench
{
    VirtualCanBus bus;
    VirtualCanAdapter master { &bus }, nodeAdapter { &bus };
    BusPeer peer { &bus };
    CanScheduler scheduler { &master };
    SimCanopenNode node { &nodeAdapter, 5 };
    NMTSlave slave { 5, &scheduler, nullptr };
    QByteArray log; ///< see logSignals()
    CanTimeStamp lastFrame[2];

    SimBench() { logSignals(slave, log); }
    int signalled(HGS state) const { return log.count("c" + QByteArray::number(state) + ' '); }
    /// Milliseconds from the node's last frame (remote request or not) to the history entry.
    qint64 sinceLastFrame(bool remote, HGS state)
    {
        while (peer.pending() > 0) {
            const CAN::CanRxMessage m = peer.takeFrame(0);
            if (m.id == 0x705)
                lastFrame[m.remote] = m.timeStamp;
        }
        for (const NMTSlave::StateEntry &e : slave.getStateList())
            if (e.first == state)
                return lastFrame[remote].msecsTo(e.second);
        return -1;
    }
};
// The five commands for all nodes and for one node: the command byte, the state a node is then
// expected in (operational 3, stopped 4, pre-operational 2) and the gateway's command word.
const struct
{
    const char *name;
    CAN::RetType (NMTNetwork::*network)();
    CAN::RetType (NMTSlave::*slave)();
    QByteArray byte;
    int state;
    QString line;
} Commands[] = {
    { "start", &NMTNetwork::start, &NMTSlave::startNode, "01", 3, "start" },
    { "stop", &NMTNetwork::stop, &NMTSlave::stopNode, "02", 4, "stop" },
    { "preop", &NMTNetwork::preop, &NMTSlave::preopNode, "80", 2, "preop" },
    { "reset application", &NMTNetwork::resetAppl, &NMTSlave::resetApplication, "81", 2, "reset node" },
    { "reset communication", &NMTNetwork::resetComm, &NMTSlave::resetCommunication, "82", 2, "reset comm" },
};
} // namespace

class tst_Nmt : public QObject
{
    Q_OBJECT

    std::unique_ptr<Bench> b;

private slots:
    void init() { b = std::make_unique<Bench>(); }
    void cleanup()
    {
        b.reset();
        CANopenService::mUseCANopenFD = false;
    }

    // Each command for all nodes and for node 5, through a gateway as lines, then as classic
    // frames and, with CANopen FD on, as FD frames.
    void commands_data()
    {
        QTest::addColumn<int>("which");
        for (int i = 0; i < 5; ++i)
            QTest::newRow(Commands[i].name) << i;
    }
    void commands()
    {
        QFETCH(int, which);
        const auto &c = Commands[which];
        SimBench s; // the node stays off
        NMTNetwork network(&s.scheduler);
        // The gateway path leaves the expected state alone.
        RecordingAdapter gateway;
        gateway.setGateway(true);
        s.scheduler.setCanAdapter(&gateway);
        QVERIFY((network.*c.network)() == CAN::RetType_OK && (s.slave.*c.slave)() == CAN::RetType_OK);
        QCOMPARE(gateway.requestLines, (QStringList { "0 " + c.line, "5 " + c.line }));
        QVERIFY(gateway.sequenceIn == (QList<quint16> { 0xFFFF, 0xFFFF }) && gateway.frames.isEmpty()
            && gateway.lines.isEmpty() && s.slave.getExpectedNodeState() == NMTSlave::NmtState_Unknown);

        s.scheduler.setCanAdapter(&s.master);
        s.master.setCanFdCapable(true);
        for (bool fd : { false, true }) {
            s.slave.activateCANopenFD(fd); // one switch for all services
            QVERIFY((network.*c.network)() == CAN::RetType_OK && (s.slave.*c.slave)() == CAN::RetType_OK);
            for (const char *node : { "00", "05" }) {
                const CAN::CanRxMessage m = s.peer.takeFrame();
                QVERIFY(m.id == 0 && m.fd == fd && m.bitRateSwitch == fd && !m.remote && !m.extended);
                QCOMPARE(frameHex(m), c.byte + node);
            }
        }
        QVERIFY(s.slave.getExpectedNodeState() == c.state
            && s.slave.getCurrentNodeState() == NMTSlave::NmtState_Unknown);
    }

    // Adapter and gateway refusals pass through, yet the expected state is set.
    void refusals()
    {
        NMTNetwork network(b->scheduler.get());
        b->adapter.result = CAN::RetType_NotReady;
        QVERIFY(b->slave.stopNode() == CAN::RetType_NotReady
            && b->slave.getExpectedNodeState() == NMTSlave::NmtState_Stopped);
        QCOMPARE(frameHex(b->adapter.frames.last()), QByteArray("0205"));
        b->adapter.result = CAN::RetType(42); // other adapter codes pass through unchanged
        QCOMPARE(int(b->slave.startNode()), 42);
        b->adapter.setGateway(true);
        b->adapter.result = CAN::RetType_NoLink;
        QVERIFY(b->slave.sendCiA309Command(NMT_Start) == CAN::RetType_NoLink
            && network.sendCiA309Command(NmtCommands(0x55)) == CAN::RetType_InvalidRequest);
        // No scheduler, a destroyed one, one without adapter: refused, nothing sent.
        for (int setup = 0; setup < 3; ++setup) {
            RecordingAdapter adapter;
            auto *scheduler = new CanScheduler(setup == 2 ? nullptr : &adapter);
            NMTNetwork network(setup == 0 ? nullptr : scheduler);
            NMTSlave slave(7, setup == 0 ? nullptr : scheduler, nullptr);
            if (setup == 1)
                delete scheduler;
            QVERIFY(network.start() == CAN::RetType_NoLink
                && network.sendCiA309Command(NMT_Start) == CAN::RetType_NoLink
                && slave.startNode() == CAN::RetType_NoLink
                && slave.sendCiA309Command(NMT_Stop) == CAN::RetType_NoLink && adapter.frames.isEmpty()
                && adapter.requestLines.isEmpty());
            if (setup != 1)
                delete scheduler;
        }
    }

    // Replies with chosen reception times: the signals (see logSignals(); y1: the cyclic judgement
    // starts learning) and then the history of the supervision.
    void supervision_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("expected");
        // Every boot-up is reported; a repeated state once, a new one with "new state"; no history.
        QTest::newRow("boot-ups") << QByteArray("00@0 00@100 00@200 7f@300 7f@400")
                                  << QByteArray("n1 c1 n1 c1 n1 c1 n2 c2 |");
        // "Connection OK" once while the node keeps its rhythm; ending supervision is recorded.
        QTest::newRow("heartbeat at the consumer time")
            << QByteArray("hb100 7f@0 7f@100 7f@200 hb0") << QByteArray("n2 c2 y1 c3 | 0 3 0");
        QTest::newRow("heartbeat one ms late")
            << QByteArray("hb100 7f@0 7f@101") << QByteArray("n2 c2 y1 | 0");
        // The toggle bit repeated: an error the host hears of; too late for "connection OK" then.
        QTest::newRow("toggle error")
            << QByteArray("ng10000x3 85@0 05@20 05@40 05@20000") << QByteArray("n3 c2 c3 c6 c3 c6 | 3 6 3 6");
        // A reply's state byte: boot-up 1, stopped 4, operational 3, pre-operational 2 (the toggle bit
        // aside); an unknown state reports no node state, but the heartbeat counts.
        const char *const replies[][2] = { { "00", "n1 c1 y1 n1 c1 c3" }, { "04", "n4 c2 y1 c3" },
            { "84", "n4 c2 y1 c3" }, { "05", "n3 c2 y1 c3" }, { "85", "n3 c2 y1 c3" },
            { "7f", "n2 c2 y1 c3" }, { "ff", "n2 c2 y1 c3" }, { "80", "y1 c3" }, { "01", "y1 c3" } };
        for (const auto &r : replies)
            QTest::addRow("0x%s", r[0])
                << QByteArray("hb10000 ") + r[0] + "@0 " + r[0] + "@10" << QByteArray(r[1]) + " | 0 3";
        // Frames that are no reply are ignored; a proper heartbeat afterwards is taken.
        for (const char *frame : { "05@0/0 05@10/0", "05@0/2 05@10/2", "05@0/8 05@10/8", "05@0r 05@10r" })
            QTest::newRow(frame) << "hb10000 " + QByteArray(frame) + " 05@20" << QByteArray("n3 c2 y1 | 0");
    }
    void supervision()
    {
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, expected);
        QCOMPARE(b->play(script), expected);
    }

    // A heartbeat's entry carries the reply's time.
    void times()
    {
        b->play("hb100 7f@0 7f@100");
        const qint64 entryDelay = b->start.msecsTo(b->slave.getStateList().last().second) - 100;
        QVERIFY(entryDelay >= 0 && entryDelay < 1000);
        QCOMPARE(int(b->slave.getPreviousNodeState()), int(NMTSlave::NmtState_PreOperational));
        // timediff across a second, sub-ms truncated, fractions per stamp, negative, against an unset stamp.
        const struct
        {
            CanTimeStamp later, earlier;
            int ms;
        } rows[] = { { { 11, 0 }, { 10, 999000 }, 1 }, { { 10, 999 }, { 10, 0 }, 0 },
            { { 11, 1500 }, { 10, 999 }, 1000 }, { { 10, 0 }, { 11, 250000 }, -1250 },
            { { 1700000000, 0 }, {}, INT_MAX } };
        for (const auto &r : rows)
            QCOMPARE(NMTSlave::timediff(r.later, r.earlier), r.ms);
    }

    void stateTexts()
    {
        const char *texts[] = { "Device State unknown", "Boot up received", "New NMT state received",
            "Connection OK", "Node guarding lost", "Connection lost", "NG Toggle bit error", "" };
        for (int s = 0; s <= 7; ++s)
            QCOMPARE(NMTSlave::stateToString(HGS(s)), QString(texts[s]));
    }

    void guardingRequests()
    {
        QCOMPARE(b->slave.stopNodeGuarding(), CAN::RetType_NoLink);
        QVERIFY(
            b->slave.startNodeGuarding(0, 3) == CAN::RetType_OK && !b->slave.isGuardingActive()); // time 0
        b->slave.startNodeGuarding(20, 3);
        QTRY_VERIFY(!b->adapter.frames.isEmpty());
        const CAN::CanMessage classic = b->adapter.frames.first();
        QVERIFY(classic.id == 0x705 && classic.length == 1 && classic.remote && !classic.fd
            && !classic.bitRateSwitch && !classic.extended);
        b->slave.activateCANopenFD(true);
        b->adapter.clear();
        QTRY_VERIFY(!b->adapter.frames.isEmpty());
        QVERIFY(b->adapter.frames[0].remote && b->adapter.frames[0].fd && b->adapter.frames[0].bitRateSwitch);
        QTRY_COMPARE(history(b->slave), QByteArray("4 5")); // the node stays silent

        QCOMPARE(b->slave.stopNodeGuarding(), CAN::RetType_OK);
        b->adapter.clear();
        QTest::qWait(100); // five guard times without a request
        QVERIFY(b->adapter.frames.isEmpty() && b->slave.stopNodeGuarding() == CAN::RetType_NoLink);
        // Without scheduler the silent node is still judged at the ticks, life time 4 x 20 ms.
        b->slave.startNodeGuarding(20, 4);
        b->scheduler.reset();
        QTRY_COMPARE(history(b->slave), QByteArray("4 5 4 5"));
        QVERIFY(b->adapter.frames.isEmpty());
    }

    // setNodeId with the same ID keeps everything; with another one it resets the states, ends
    // supervision and registers anew. setCanScheduler moves the registration; destruction ends it.
    void nodeIdAndSchedulerChanges()
    {
        b->play("hb10000 05@0");
        QVERIFY(b->slave.setNodeId(5) == CAN::RetType_OK && b->slave.isHeartbeatActive());
        QVERIFY(b->slave.setNodeId(6) == CAN::RetType_OK && !b->slave.isHeartbeatActive());
        QCOMPARE(b->slave.getCurrentNodeState(), NMTSlave::NmtState_Unknown);
        b->play("05@10"); // 0x705 no longer reaches the slave
        b->adapter.injectFrame(0x706, QByteArray::fromHex("04"));

        RecordingAdapter otherAdapter;
        CanScheduler other(&otherAdapter);
        QCOMPARE(b->slave.setCanScheduler(&other), CAN::RetType_OK);
        QCOMPARE(b->scheduler->registeredCount(), 0);
        b->adapter.injectFrame(0x706, QByteArray::fromHex("05"));
        otherAdapter.injectFrame(0x706, QByteArray::fromHex("7f"));
        QCOMPARE(b->log, QByteArray("n3 c2 y1 n4 c2 n2 c2 "));
        QCOMPARE(b->slave.startNode(), CAN::RetType_OK);
        NMTSlave noId(&other, nullptr); // node ID 0: nothing is sent
        QCOMPARE(noId.startNode(), CAN::RetType_NoLink);
        QCOMPARE(otherAdapter.frames.size(), 1);
        QVERIFY(b->slave.setCanScheduler(nullptr) == CAN::RetType_OK && other.registeredCount() == 0);
        QCOMPARE(b->slave.startNode(), CAN::RetType_NoLink);
        QVERIFY(b->slave.setNodeId(7) == CAN::RetType_NoLink && b->slave.getNodeId() == 7);
        delete new NMTSlave(8, &other, nullptr);
        QCOMPARE(other.registeredCount(), 0);
    }

    void heartbeatAndCommandsWithSimulatedNode()
    {
        SimBench s;
        SimHeartbeatProducer producer(&s.node);
        producer.setProducerTime(40);
        quint64 heartbeatsAtOk = 0;
        connect(&s.slave, &NMTSlave::HeartbeatGuardingStateChanged, this, [&](HGS state) {
            if (state == HGS::HeartbeatGuardingState_ConnectionOk && heartbeatsAtOk == 0)
                heartbeatsAtOk = producer.heartbeatsSent();
        });
        QCOMPARE(s.slave.startHeartbeatMonitoring(200), CAN::RetType_OK);
        s.node.powerOn();

        // Boot-up, then "connection OK" at the latest with the second heartbeat, and only once.
        QTRY_COMPARE(s.signalled(HGS::HeartbeatGuardingState_ConnectionOk), 1);
        QVERIFY(heartbeatsAtOk >= 1 && heartbeatsAtOk <= 2);
        QVERIFY(s.log.startsWith("n1 c1 "));
        QTRY_VERIFY(producer.heartbeatsSent() >= heartbeatsAtOk + 5);
        QTRY_VERIFY(s.log.contains("y" + QByteArray::number(CAN::CyclicState_Cyclic)));

        // Silence: "connection lost" once the consumer time has passed, and once only.
        producer.setSilent(true);
        QTRY_COMPARE(s.signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
        QVERIFY(s.sinceLastFrame(false, HGS::HeartbeatGuardingState_ConnectionLost) >= 199);
        for (int i = 0; i < 3; ++i)
            s.slave.timerElapsed();
        QTest::qWait(450); // the timer fires twice more
        QVERIFY(s.log.contains("y" + QByteArray::number(CAN::CyclicState_Late)));

        // Heartbeats resume: the second of them records "connection OK" again.
        producer.setSilent(false);
        QTRY_COMPARE(s.signalled(HGS::HeartbeatGuardingState_ConnectionOk), 2);
        QCOMPARE(history(s.slave), QByteArray("0 3 5 3"));
        QVERIFY(s.signalled(HGS::HeartbeatGuardingState_ConnectionLost) == 1 && s.log.count('n') == 2);

        // After a reset of communication the node boots anew.
        s.slave.startNode();
        QTRY_COMPARE(s.node.nmtState(), SimCanopenNode::NmtState_Operational);
        s.slave.resetCommunication();
        QTRY_COMPARE(s.log.count("c1 "), 2);
        QCOMPARE(s.node.nmtState(), SimCanopenNode::NmtState_PreOperational);
    }

    // A node answering every request, then falling silent: "guarding lost", then "connection
    // lost" after the life time, once; the requests go on at every tick.
    void guardingLost_data()
    {
        QTest::addColumn<int>("factor");
        QTest::newRow("life time factor 3") << 3;
        QTest::newRow("life time factor 1") << 1;
    }
    void guardingLost()
    {
        QFETCH(int, factor);
        SimBench s;
        SimNodeGuardingResponder responder(&s.node);
        s.node.powerOn();
        QTRY_COMPARE(s.log.count('n'), 1); // the boot-up, before guarding starts
        QCOMPARE(s.slave.startNodeGuarding(50, quint8(factor)), CAN::RetType_OK);
        QTRY_VERIFY(responder.requestsReceived() >= 5);
        QCOMPARE(s.slave.getCurrentNodeState(), NMTSlave::NmtState_PreOperational);
        const QByteArray seen = history(s.slave);
        QVERIFY(!seen.contains('4') && !seen.contains('5')); // a punctual node is never judged lost

        responder.setSilent(true);
        QTRY_COMPARE(s.signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
        QVERIFY(s.sinceLastFrame(false, HGS::HeartbeatGuardingState_GuardingLost) > 70);
        QVERIFY(s.sinceLastFrame(false, HGS::HeartbeatGuardingState_ConnectionLost) >= 50 * factor);
        const quint64 requests = responder.requestsReceived();
        QTRY_VERIFY(responder.requestsReceived() >= requests + 3);
        QVERIFY(s.log.endsWith("c4 c5 ") && s.signalled(HGS::HeartbeatGuardingState_GuardingLost) == 1);
        QCOMPARE(history(s.slave), (seen + " 4 5").trimmed());
    }
};

QTEST_GUILESS_MAIN(tst_Nmt)
#include "tst_nmt.moc"
