// NMTSlave supervision driven by injected frames with chosen reception times, so that the
// judgement of each reply is exact.
#include "canscheduler.h"
#include "nmtslave.h"
#include "recordingadapter.h"

#include <QSignalSpy>
#include <QTest>

#include <climits>

using HGS = NMTSlave::HeartbeatGuardingState;

class tst_NodeMonitoring : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void nmtByte_data();
    void nmtByte();
    void timediff_data();
    void timediff();
    void stateTexts_data();
    void stateTexts();
    void ignoredFrames_data();
    void ignoredFrames();
    void bootUpEveryTime();
    void heartbeatWindow_data();
    void heartbeatWindow();
    void heartbeatLostOnceManyTicks();
    void toggleError();
    void guardingRequestFrame();
    void stopNodeGuarding();
    void newNodeIdEndsSupervision();
    void schedulerDestroyedWhileGuarding();

private:
    void inject(quint8 byte, qint64 atMs, quint8 length = 1, bool remote = false);
    QList<int> history() const;

    RecordingAdapter *mAdapter = nullptr;
    CanScheduler *mScheduler = nullptr;
    NMTSlave *mSlave = nullptr;
    QSignalSpy *mNodeState = nullptr;
    QSignalSpy *mConnection = nullptr;
    CanTimeStamp mStart;
};

void tst_NodeMonitoring::init()
{
    mAdapter = new RecordingAdapter;
    mScheduler = new CanScheduler(mAdapter);
    mSlave = new NMTSlave(5, mScheduler, nullptr);
    mNodeState = new QSignalSpy(mSlave, &NMTSlave::NodeStateChanged);
    mConnection = new QSignalSpy(mSlave, &NMTSlave::HeartbeatGuardingStateChanged);
    // Whole milliseconds: timediff works on ms fractions in floating point, which would blur
    // the one-millisecond boundaries tested here.
    const CanTimeStamp now = CanTimeStamp::now();
    mStart = CanTimeStamp(now.seconds(), now.microseconds() / 1000 * 1000);
}

void tst_NodeMonitoring::cleanup()
{
    delete mConnection;
    delete mNodeState;
    delete mSlave;
    delete mScheduler;
    delete mAdapter;
    CANopenService::mUseCANopenFD = false;
}

void tst_NodeMonitoring::inject(quint8 byte, qint64 atMs, quint8 length, bool remote)
{
    CAN::CanRxMessage m;
    m.timeStamp = mStart;
    m.timeStamp.addMSecs(atMs);
    m.id = 0x705;
    m.length = length;
    m.remote = remote;
    m.data[0] = byte;
    mAdapter->inject(m);
}

QList<int> tst_NodeMonitoring::history() const
{
    QList<int> states;
    for (const NMTSlave::StateEntry &e : mSlave->getStateList())
        states.append(e.first);
    return states;
}

static QList<int> spyStates(const QSignalSpy &spy)
{
    QList<int> states;
    for (const QList<QVariant> &args : spy)
        states.append(args.at(0).toInt());
    return states;
}

void tst_NodeMonitoring::nmtByte_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("state");
    QTest::newRow("boot-up") << 0x00 << int(NMTSlave::NmtState_BootUp);
    QTest::newRow("stopped") << 0x04 << int(NMTSlave::NmtState_Stopped);
    QTest::newRow("stopped, toggle") << 0x84 << int(NMTSlave::NmtState_Stopped);
    QTest::newRow("operational") << 0x05 << int(NMTSlave::NmtState_Operational);
    QTest::newRow("operational, toggle") << 0x85 << int(NMTSlave::NmtState_Operational);
    QTest::newRow("pre-operational") << 0x7F << int(NMTSlave::NmtState_PreOperational);
    QTest::newRow("pre-operational, toggle") << 0xFF << int(NMTSlave::NmtState_PreOperational);
    QTest::newRow("toggle alone") << 0x80 << int(NMTSlave::NmtState_Unknown);
    QTest::newRow("reserved") << 0x01 << int(NMTSlave::NmtState_Unknown);
}

void tst_NodeMonitoring::nmtByte()
{
    QFETCH(int, byte);
    QFETCH(int, state);
    QCOMPARE(int(NMTSlave::nmtByte2State(quint8(byte))), state);
    // The same decoding applies to a received reply.
    inject(quint8(byte), 0);
    QCOMPARE(int(mSlave->getCurrentNodeState()), state);
}

void tst_NodeMonitoring::timediff_data()
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

void tst_NodeMonitoring::timediff()
{
    QFETCH(CanTimeStamp, later);
    QFETCH(CanTimeStamp, earlier);
    QFETCH(int, ms);
    QCOMPARE(NMTSlave::timediff(later, earlier), ms);
}

void tst_NodeMonitoring::stateTexts_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "Device State unknown";
    QTest::newRow("1") << 1 << "Boot up received";
    QTest::newRow("2") << 2 << "New NMT state received";
    QTest::newRow("3") << 3 << "Connection OK";
    QTest::newRow("4") << 4 << "Node guarding lost";
    QTest::newRow("5") << 5 << "Connection lost";
    QTest::newRow("6") << 6 << "NG Toggle bit error";
    QTest::newRow("no text") << 7 << QString();
}

void tst_NodeMonitoring::stateTexts()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QCOMPARE(NMTSlave::stateToString(HGS(state)), text);
}

void tst_NodeMonitoring::ignoredFrames_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("remote");
    QTest::newRow("length 8") << 8 << false;
    QTest::newRow("length 0") << 0 << false;
    QTest::newRow("length 2") << 2 << false;
    QTest::newRow("remote request") << 1 << true;
}

void tst_NodeMonitoring::ignoredFrames()
{
    QFETCH(int, length);
    QFETCH(bool, remote);
    mSlave->startHeartbeatMonitoring(10000);
    inject(0x05, 0, quint8(length), remote);
    inject(0x05, 10, quint8(length), remote);
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Unknown));
    QCOMPARE(mNodeState->count(), 0);
    QCOMPARE(mConnection->count(), 0);
    QCOMPARE(history(), QList<int>{0});
    // A proper heartbeat afterwards is taken.
    inject(0x05, 20);
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Operational));
}

void tst_NodeMonitoring::bootUpEveryTime()
{
    QStringList order;
    connect(mSlave, &NMTSlave::NodeStateChanged, this, [&](NMTSlave::NmtState s) { order << QString("node %1").arg(s); });
    connect(mSlave, &NMTSlave::HeartbeatGuardingStateChanged, this,
            [&](HGS s) { order << QString("conn %1").arg(s); });
    for (int i = 0; i < 3; ++i)
        inject(0x00, 100 * i);
    QCOMPARE(order, QStringList({"node 1", "conn 1", "node 1", "conn 1", "node 1", "conn 1"}));
    // A repeated state is reported once; a new one with "new state".
    inject(0x7F, 300);
    inject(0x7F, 400);
    QCOMPARE(order.mid(6), QStringList({"node 2", "conn 2"}));
    QCOMPARE(int(mSlave->getPreviousNodeState()), int(NMTSlave::NmtState_PreOperational));
    QVERIFY(mSlave->getStateList().isEmpty()); // reporting states writes no history
}

void tst_NodeMonitoring::heartbeatWindow_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<bool>("ok");
    QTest::newRow("half the consumer time") << 50 << true;
    QTest::newRow("exactly the consumer time") << 100 << true;
    QTest::newRow("one ms more") << 101 << false;
}

void tst_NodeMonitoring::heartbeatWindow()
{
    QFETCH(int, gap);
    QFETCH(bool, ok);
    mSlave->startHeartbeatMonitoring(100);
    inject(0x7F, 0);
    QCOMPARE(history(), QList<int>{0}); // the first reply has no predecessor
    inject(0x7F, gap);
    QCOMPARE(history(), ok ? QList<int>({0, 3}) : QList<int>{0});
    QCOMPARE(mConnection->count(), ok ? 2 : 1); // "new state", then perhaps "connection OK"
    if (ok) {
        // Only once while the node keeps its rhythm; the entry carries the reply's time.
        inject(0x7F, 2 * gap);
        QCOMPARE(history(), QList<int>({0, 3}));
        CanTimeStamp replyTime = mStart;
        replyTime.addMSecs(gap);
        QVERIFY(replyTime.msecsTo(mSlave->getStateList().last().second) < 1000);
        QVERIFY(!(mSlave->getStateList().last().second < replyTime));
    }
}

void tst_NodeMonitoring::heartbeatLostOnceManyTicks()
{
    mSlave->startHeartbeatMonitoring(10000);
    for (int i = 0; i < 4; ++i)
        mSlave->timerElapsed();
    QCOMPARE(spyStates(*mConnection), QList<int>{5});
    QCOMPARE(history(), QList<int>({0, 5}));
    QVERIFY(mAdapter->frames.isEmpty()); // heartbeat consumption sends nothing
    inject(0x05, 0);
    inject(0x05, 10);
    QCOMPARE(history(), QList<int>({0, 5, 3}));
    QCOMPARE(mSlave->startHeartbeatMonitoring(0), CAN::RetType_OK);
    QVERIFY(!mSlave->isHeartbeatActive());
    QCOMPARE(history(), QList<int>({0, 5, 3, 0}));
}

void tst_NodeMonitoring::toggleError()
{
    QCOMPARE(mSlave->startNodeGuarding(10000, 3), CAN::RetType_OK);
    inject(0x85, 0);
    inject(0x05, 20);
    inject(0x05, 40); // toggle bit repeated
    QCOMPARE(history(), QList<int>({3, 6, 3}));
    QCOMPARE(spyStates(*mConnection), QList<int>({2, 3, 3})); // the toggle error itself is silent
    QCOMPARE(spyStates(*mNodeState), QList<int>{3});
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Operational));

    // Repeated again, but too late for "connection OK".
    inject(0x05, 20000);
    QCOMPARE(history(), QList<int>({3, 6, 3, 6}));
    QCOMPARE(int(mSlave->getLastState()), 6);
}

void tst_NodeMonitoring::guardingRequestFrame()
{
    mSlave->startNodeGuarding(20, 3);
    QTRY_VERIFY(!mAdapter->frames.isEmpty());
    CAN::CanMessage request = mAdapter->frames.first();
    QCOMPARE(request.id, 0x705u);
    QCOMPARE(int(request.length), 1);
    QVERIFY(request.remote && !request.fd && !request.bitRateSwitch && !request.extended);

    mSlave->activateCANopenFD(true);
    const int sent = mAdapter->frames.size();
    QTRY_VERIFY(mAdapter->frames.size() > sent);
    request = mAdapter->frames.at(sent);
    QVERIFY(request.remote && request.fd && request.bitRateSwitch);
}

void tst_NodeMonitoring::stopNodeGuarding()
{
    QCOMPARE(mSlave->stopNodeGuarding(), CAN::RetType_NoLink);
    QCOMPARE(mSlave->startNodeGuarding(0, 3), CAN::RetType_OK); // guard time 0: nothing
    QVERIFY(!mSlave->isGuardingActive());
    mSlave->startNodeGuarding(10, 3);
    QTRY_VERIFY(!mAdapter->frames.isEmpty());
    QCOMPARE(mSlave->stopNodeGuarding(), CAN::RetType_OK);
    mAdapter->clear();
    QTest::qWait(50); // five guard times without a request
    QVERIFY(mAdapter->frames.isEmpty());
    QCOMPARE(mSlave->stopNodeGuarding(), CAN::RetType_NoLink);
}

void tst_NodeMonitoring::newNodeIdEndsSupervision()
{
    mSlave->startHeartbeatMonitoring(10000);
    inject(0x05, 0);
    QCOMPARE(mSlave->setNodeId(5), CAN::RetType_OK); // same ID: nothing changes
    QVERIFY(mSlave->isHeartbeatActive());
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Operational));

    QCOMPARE(mSlave->setNodeId(6), CAN::RetType_OK);
    QVERIFY(!mSlave->isHeartbeatActive());
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Unknown));
    const int entries = mSlave->getStateList().size();
    mSlave->timerElapsed(); // the timer still runs, without effect
    QCOMPARE(mSlave->getStateList().size(), entries);
    inject(0x05, 10); // 0x705 no longer reaches the slave
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Unknown));
}

void tst_NodeMonitoring::schedulerDestroyedWhileGuarding()
{
    // Guard time 40, life time 160: the silent node is judged at the ticks, requests or not.
    mSlave->startNodeGuarding(40, 4);
    QTRY_VERIFY(!mAdapter->frames.isEmpty());
    delete mScheduler;
    mScheduler = nullptr;
    mAdapter->clear();
    QTRY_COMPARE(history(), QList<int>({4, 5}));
    QVERIFY(mAdapter->frames.isEmpty());
    QCOMPARE(mSlave->setNodeId(7), CAN::RetType_NoLink);
}

QTEST_GUILESS_MAIN(tst_NodeMonitoring)
#include "tst_nodemonitoring.moc"
