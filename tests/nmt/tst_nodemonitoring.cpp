// NMTSlave supervision: the judgement of injected replies with chosen reception times, exact to
// the millisecond, and heartbeat and guarding timelines against a simulated node on the virtual bus.
#include "buspeer.h"
#include "canscheduler.h"
#include "nmtslave.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "simheartbeatproducer.h"
#include "simnodeguardingresponder.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

#include <climits>
#include <memory>

using HGS = NMTSlave::HeartbeatGuardingState;

namespace {
QList<int> states(const QSignalSpy &spy)
{
    QList<int> list;
    for (const QList<QVariant> &args : spy)
        list.append(args.at(0).toInt());
    return list;
}

QList<int> history(const NMTSlave &slave)
{
    QList<int> list;
    for (const NMTSlave::StateEntry &e : slave.getStateList())
        list.append(e.first);
    return list;
}

/// Frames injected with chosen reception times.
struct Bench
{
    RecordingAdapter adapter;
    std::unique_ptr<CanScheduler> scheduler = std::make_unique<CanScheduler>(&adapter);
    NMTSlave slave { 5, scheduler.get(), nullptr };
    QSignalSpy nodeState { &slave, &NMTSlave::NodeStateChanged };
    QSignalSpy connection { &slave, &NMTSlave::HeartbeatGuardingStateChanged };
    // Whole milliseconds: timediff works on ms fractions in floating point, which would blur the
    // one-millisecond boundaries tested here.
    const CanTimeStamp now = CanTimeStamp::now();
    const CanTimeStamp start { now.seconds(), now.microseconds() / 1000 * 1000 };

    void inject(quint8 byte, qint64 atMs, quint8 length = 1, bool remote = false, quint32 id = 0x705)
    {
        CAN::CanRxMessage m;
        m.timeStamp = start;
        m.timeStamp.addMSecs(atMs);
        m.id = id;
        m.length = length;
        m.remote = remote;
        m.data[0] = byte;
        adapter.inject(m);
    }
    int current() const { return slave.getCurrentNodeState(); }
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
    QSignalSpy connection { &slave, &NMTSlave::HeartbeatGuardingStateChanged };
    QSignalSpy nodeState { &slave, &NMTSlave::NodeStateChanged };
    CanTimeStamp lastFrame[2];

    int signalled(HGS state) const { return states(connection).count(state); }
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
} // namespace

class tst_NodeMonitoring : public QObject
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

    // A reply's state byte, and frames that are no reply (other lengths, remote requests).
    void replies_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("remote");
        QTest::addColumn<int>("state"); // boot-up 1, pre-operational 2, operational 3, stopped 4
        const int table[][2] = { { 0x00, 1 }, { 0x04, 4 }, { 0x84, 4 }, { 0x05, 3 }, { 0x85, 3 }, { 0x7F, 2 },
            { 0xFF, 2 }, { 0x80, 0 }, { 0x01, 0 } };
        for (const auto &row : table)
            QTest::addRow("0x%02x", row[0]) << row[0] << 1 << false << row[1];
        for (int length : { 0, 2, 8 })
            QTest::addRow("length %d", length) << 0x05 << length << false << 0;
        QTest::newRow("remote request") << 0x05 << 1 << true << 0;
    }
    void replies()
    {
        QFETCH(int, byte);
        QFETCH(int, length);
        QFETCH(bool, remote);
        QFETCH(int, state);
        const bool reply = length == 1 && !remote;
        if (reply)
            QCOMPARE(int(NMTSlave::nmtByte2State(quint8(byte))), state);
        b->slave.startHeartbeatMonitoring(10000);
        b->inject(quint8(byte), 0, quint8(length), remote);
        b->inject(quint8(byte), 10, quint8(length), remote);
        QCOMPARE(b->current(), state);
        if (reply)
            return;
        QCOMPARE(b->nodeState.count() + b->connection.count(), 0);
        QCOMPARE(history(b->slave), QList<int> { 0 });
        b->inject(0x05, 20); // a proper heartbeat afterwards is taken
        QCOMPARE(b->current(), int(NMTSlave::NmtState_Operational));
    }

    void timediff_data()
    {
        QTest::addColumn<CanTimeStamp>("later");
        QTest::addColumn<CanTimeStamp>("earlier");
        QTest::addColumn<int>("ms");
        QTest::newRow("same second") << CanTimeStamp(10, 500000) << CanTimeStamp(10, 0) << 500;
        QTest::newRow("across a second") << CanTimeStamp(11, 0) << CanTimeStamp(10, 999000) << 1;
        QTest::newRow("sub-ms truncated") << CanTimeStamp(10, 999) << CanTimeStamp(10, 0) << 0;
        QTest::newRow("fractions per stamp") << CanTimeStamp(11, 1500) << CanTimeStamp(10, 999) << 1000;
        QTest::newRow("negative") << CanTimeStamp(10, 0) << CanTimeStamp(11, 250000) << -1250;
        QTest::newRow("against an unset stamp") << CanTimeStamp(1700000000, 0) << CanTimeStamp() << INT_MAX;
    }
    void timediff()
    {
        QFETCH(CanTimeStamp, later);
        QFETCH(CanTimeStamp, earlier);
        QFETCH(int, ms);
        QCOMPARE(NMTSlave::timediff(later, earlier), ms);
    }

    void stateTexts()
    {
        QStringList texts;
        for (int s = 0; s <= 7; ++s)
            texts << NMTSlave::stateToString(HGS(s));
        QCOMPARE(texts,
            QStringList({ "Device State unknown", "Boot up received", "New NMT state received",
                "Connection OK", "Node guarding lost", "Connection lost", "NG Toggle bit error", "" }));
    }

    void bootUpEveryTime()
    {
        QStringList order;
        connect(
            &b->slave, &NMTSlave::NodeStateChanged, this, [&](int s) { order << QString("node %1").arg(s); });
        connect(&b->slave, &NMTSlave::HeartbeatGuardingStateChanged, this,
            [&](int s) { order << QString("conn %1").arg(s); });
        // Every boot-up is reported; a repeated state once, a new one with "new state".
        for (int i = 0; i < 5; ++i)
            b->inject(i < 3 ? 0x00 : 0x7F, 100 * i);
        QCOMPARE(order,
            QStringList({ "node 1", "conn 1", "node 1", "conn 1", "node 1", "conn 1", "node 2", "conn 2" }));
        QCOMPARE(int(b->slave.getPreviousNodeState()), int(NMTSlave::NmtState_PreOperational));
        QVERIFY(b->slave.getStateList().isEmpty()); // reporting states writes no history
    }

    void heartbeatWindow_data()
    {
        QTest::addColumn<int>("gap");
        QTest::addColumn<bool>("ok");
        QTest::newRow("half the consumer time") << 50 << true;
        QTest::newRow("exactly the consumer time") << 100 << true;
        QTest::newRow("one ms more") << 101 << false;
    }
    void heartbeatWindow()
    {
        QFETCH(int, gap);
        QFETCH(bool, ok);
        b->slave.startHeartbeatMonitoring(100);
        b->inject(0x7F, 0); // the first reply has no predecessor
        b->inject(0x7F, gap);
        QCOMPARE(history(b->slave), ok ? QList<int>({ 0, 3 }) : QList<int> { 0 });
        QCOMPARE(states(b->connection), ok ? QList<int>({ 2, 3 }) : QList<int> { 2 });
        if (!ok)
            return;
        // Only once while the node keeps its rhythm; the entry carries the reply's time.
        b->inject(0x7F, 2 * gap);
        QCOMPARE(history(b->slave), QList<int>({ 0, 3 }));
        CanTimeStamp replyTime = b->start;
        replyTime.addMSecs(gap);
        const qint64 entryDelay = replyTime.msecsTo(b->slave.getStateList().last().second);
        QVERIFY(entryDelay >= 0 && entryDelay < 1000);
        QCOMPARE(b->slave.startHeartbeatMonitoring(0), CAN::RetType_OK); // ends supervision
        QCOMPARE(history(b->slave), QList<int>({ 0, 3, 0 }));
    }

    void toggleError()
    {
        QCOMPARE(b->slave.startNodeGuarding(10000, 3), CAN::RetType_OK);
        for (int i = 0; i < 3; ++i)
            b->inject(i == 0 ? 0x85 : 0x05, 20 * i); // the toggle bit repeated at the third
        QCOMPARE(history(b->slave), QList<int>({ 3, 6, 3 }));
        QCOMPARE(states(b->connection), QList<int>({ 2, 3, 6, 3 })); // the host hears of the toggle error
        QCOMPARE(states(b->nodeState), QList<int> { 3 });
        b->inject(0x05, 20000); // repeated again, but too late for "connection OK"
        QCOMPARE(history(b->slave), QList<int>({ 3, 6, 3, 6 }));
        QCOMPARE(int(b->slave.getLastState()), 6);
    }

    void guardingRequests()
    {
        QCOMPARE(b->slave.stopNodeGuarding(), CAN::RetType_NoLink);
        QCOMPARE(b->slave.startNodeGuarding(0, 3), CAN::RetType_OK); // guard time 0: nothing
        QVERIFY(!b->slave.isGuardingActive());
        b->slave.startNodeGuarding(20, 3);
        QTRY_VERIFY(!b->adapter.frames.isEmpty());
        const CAN::CanMessage classic = b->adapter.frames.first();
        QVERIFY(classic.id == 0x705 && classic.length == 1 && classic.remote && !classic.fd
            && !classic.bitRateSwitch && !classic.extended);
        b->slave.activateCANopenFD(true);
        const int sent = b->adapter.frames.size();
        QTRY_VERIFY(b->adapter.frames.size() > sent);
        QVERIFY(b->adapter.frames.at(sent).remote && b->adapter.frames.at(sent).fd
            && b->adapter.frames.at(sent).bitRateSwitch);
        QTRY_COMPARE(history(b->slave), QList<int>({ 4, 5 })); // the node stays silent

        QCOMPARE(b->slave.stopNodeGuarding(), CAN::RetType_OK);
        b->adapter.clear();
        QTest::qWait(100); // five guard times without a request
        QVERIFY(b->adapter.frames.isEmpty());
        QCOMPARE(b->slave.stopNodeGuarding(), CAN::RetType_NoLink);
        // Without scheduler the silent node is still judged at the ticks, life time 4 x 20 ms.
        b->slave.startNodeGuarding(20, 4);
        b->scheduler.reset();
        QTRY_COMPARE(history(b->slave), QList<int>({ 4, 5, 4, 5 }));
        QVERIFY(b->adapter.frames.isEmpty());
    }

    // setNodeId with the same ID keeps everything; with another one it resets the states, ends
    // supervision and registers anew. setCanScheduler moves the registration; destruction ends it.
    void nodeIdAndSchedulerChanges()
    {
        b->slave.startHeartbeatMonitoring(10000);
        b->inject(0x05, 0);
        QCOMPARE(b->slave.setNodeId(5), CAN::RetType_OK);
        QVERIFY(b->slave.isHeartbeatActive());
        QCOMPARE(b->current(), int(NMTSlave::NmtState_Operational));

        QCOMPARE(b->slave.setNodeId(6), CAN::RetType_OK);
        QVERIFY(!b->slave.isHeartbeatActive());
        QCOMPARE(b->current(), int(NMTSlave::NmtState_Unknown));
        b->inject(0x05, 10); // 0x705 no longer reaches the slave
        QCOMPARE(b->current(), int(NMTSlave::NmtState_Unknown));
        b->inject(0x04, 20, 1, false, 0x706);
        QCOMPARE(b->current(), int(NMTSlave::NmtState_Stopped));

        RecordingAdapter otherAdapter;
        CanScheduler other(&otherAdapter);
        QCOMPARE(b->slave.setCanScheduler(&other), CAN::RetType_OK);
        QCOMPARE(b->scheduler->registeredCount(), 0);
        b->inject(0x05, 30, 1, false, 0x706);
        otherAdapter.injectFrame(0x706, QByteArray::fromHex("7f"));
        QCOMPARE(b->current(), int(NMTSlave::NmtState_PreOperational));
        QCOMPARE(b->slave.startNode(), CAN::RetType_OK);
        NMTSlave noId(&other, nullptr); // node ID 0: nothing is sent
        QCOMPARE(noId.startNode(), CAN::RetType_NoLink);
        QCOMPARE(otherAdapter.frames.size(), 1);
        QCOMPARE(b->slave.setCanScheduler(nullptr), CAN::RetType_OK);
        QCOMPARE(other.registeredCount(), 0);
        QCOMPARE(b->slave.startNode(), CAN::RetType_NoLink);
        QCOMPARE(b->slave.setNodeId(7), CAN::RetType_NoLink);
        QCOMPARE(b->slave.getNodeId(), quint8(7));
        delete new NMTSlave(8, &other, nullptr);
        QCOMPARE(other.registeredCount(), 0);
    }

    void heartbeatOkLostRecovered()
    {
        SimBench s;
        SimHeartbeatProducer producer(&s.node);
        producer.setProducerTime(40);
        QSignalSpy cyclic(&s.slave, &NMTSlave::sigNodeStateChanged);
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
        QCOMPARE(states(s.connection).first(), int(HGS::HeartbeatGuardingState_BootUp));
        QTRY_VERIFY(producer.heartbeatsSent() >= heartbeatsAtOk + 5);
        QTRY_VERIFY(states(cyclic).contains(CAN::CyclicState_Cyclic));

        // Silence: "connection lost" once the consumer time has passed, and once only.
        producer.setSilent(true);
        QTRY_COMPARE(s.signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
        QVERIFY(s.sinceLastFrame(false, HGS::HeartbeatGuardingState_ConnectionLost) >= 199);
        for (int i = 0; i < 3; ++i)
            s.slave.timerElapsed();
        QTest::qWait(450); // the timer fires twice more
        QVERIFY(states(cyclic).contains(CAN::CyclicState_Late));

        // Heartbeats resume: the second of them records "connection OK" again.
        producer.setSilent(false);
        QTRY_COMPARE(s.signalled(HGS::HeartbeatGuardingState_ConnectionOk), 2);
        QCOMPARE(history(s.slave), QList<int>({ 0, 3, 5, 3 }));
        QCOMPARE(s.nodeState.count(), 2); // boot-up, pre-operational
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
        QTRY_COMPARE(s.nodeState.count(), 1); // the boot-up, before guarding starts
        QCOMPARE(s.slave.startNodeGuarding(50, quint8(factor)), CAN::RetType_OK);
        QTRY_VERIFY(responder.requestsReceived() >= 5);
        QCOMPARE(s.slave.getCurrentNodeState(), NMTSlave::NmtState_PreOperational);
        QList<int> seen = history(s.slave);
        QCOMPARE(seen.count(3), seen.size()); // a punctual node is never judged lost

        responder.setSilent(true);
        QTRY_COMPARE(s.signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
        QCOMPARE(history(s.slave).mid(seen.size()), QList<int>({ 4, 5 }));
        QCOMPARE(states(s.connection).mid(states(s.connection).size() - 2), QList<int>({ 4, 5 }));
        QVERIFY(s.sinceLastFrame(false, HGS::HeartbeatGuardingState_GuardingLost) > 70);
        QVERIFY(s.sinceLastFrame(false, HGS::HeartbeatGuardingState_ConnectionLost) >= 50 * factor);
        const quint64 requests = responder.requestsReceived();
        QTRY_VERIFY(responder.requestsReceived() >= requests + 3);
        QCOMPARE(history(s.slave).mid(seen.size()), QList<int>({ 4, 5 }));
    }
};

QTEST_GUILESS_MAIN(tst_NodeMonitoring)
#include "tst_nodemonitoring.moc"
