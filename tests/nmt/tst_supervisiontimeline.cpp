// Heartbeat and node-guarding supervision of a simulated node on the virtual bus.
#include "buspeer.h"
#include "canscheduler.h"
#include "nmtslave.h"
#include "simcanopennode.h"
#include "simheartbeatproducer.h"
#include "simnodeguardingresponder.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

using HGS = NMTSlave::HeartbeatGuardingState;

class tst_SupervisionTimeline : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void heartbeatOkLostRecovered();
    void nmtStatesFromHeartbeats();
    void guardingLostThenConnectionLost();
    void lifeTimeFactorOne();
    void brokenToggle();

private:
    void bootNode();
    QList<int> history() const;
    int signalled(HGS state) const;
    CanTimeStamp entryTime(HGS state) const;
    CanTimeStamp lastFrameTime(quint8 remote);

    VirtualCanBus *mBus = nullptr;
    VirtualCanAdapter *mMaster = nullptr;
    VirtualCanAdapter *mNodeAdapter = nullptr;
    BusPeer *mPeer = nullptr;
    CanScheduler *mScheduler = nullptr;
    SimCanopenNode *mNode = nullptr;
    NMTSlave *mSlave = nullptr;
    QSignalSpy *mConnection = nullptr;
    QSignalSpy *mNodeState = nullptr;
};

void tst_SupervisionTimeline::init()
{
    mBus = new VirtualCanBus;
    mMaster = new VirtualCanAdapter(mBus);
    mNodeAdapter = new VirtualCanAdapter(mBus);
    mPeer = new BusPeer(mBus);
    mScheduler = new CanScheduler(mMaster);
    mNode = new SimCanopenNode(mNodeAdapter, 5);
    mSlave = new NMTSlave(5, mScheduler, nullptr);
    mConnection = new QSignalSpy(mSlave, &NMTSlave::HeartbeatGuardingStateChanged);
    mNodeState = new QSignalSpy(mSlave, &NMTSlave::NodeStateChanged);
}

void tst_SupervisionTimeline::cleanup()
{
    delete mNodeState;
    delete mConnection;
    delete mSlave;
    delete mNode;
    delete mScheduler;
    delete mPeer;
    delete mNodeAdapter;
    delete mMaster;
    delete mBus;
}

// Guarding starts once the boot-up is in: a boot-up byte under guarding counts as a reply
// with toggle bit 0.
void tst_SupervisionTimeline::bootNode()
{
    mNode->powerOn();
    QTRY_COMPARE(mNodeState->count(), 1);
}

QList<int> tst_SupervisionTimeline::history() const
{
    QList<int> states;
    for (const NMTSlave::StateEntry &e : mSlave->getStateList())
        states.append(e.first);
    return states;
}

int tst_SupervisionTimeline::signalled(HGS state) const
{
    int n = 0;
    for (const QList<QVariant> &args : *mConnection)
        n += args.at(0).value<HGS>() == state;
    return n;
}

CanTimeStamp tst_SupervisionTimeline::entryTime(HGS state) const
{
    for (const NMTSlave::StateEntry &e : mSlave->getStateList())
        if (e.first == state)
            return e.second;
    return CanTimeStamp();
}

// The reception time of the last node frame the peer saw (the bus stamps a frame once for all).
CanTimeStamp tst_SupervisionTimeline::lastFrameTime(quint8 remote)
{
    CanTimeStamp last;
    while (mPeer->pending() > 0) {
        const CAN::CanRxMessage m = mPeer->takeFrame(0);
        if (m.id == 0x705 && m.remote == bool(remote))
            last = m.timeStamp;
    }
    return last;
}

static bool reported(const QSignalSpy &spy, CAN::CyclicState state)
{
    for (const QList<QVariant> &args : spy)
        if (args.at(0).value<CAN::CyclicState>() == state)
            return true;
    return false;
}

void tst_SupervisionTimeline::heartbeatOkLostRecovered()
{
    SimHeartbeatProducer producer(mNode);
    producer.setProducerTime(40);
    QSignalSpy cyclic(mSlave, &NMTSlave::sigNodeStateChanged);
    quint64 heartbeatsAtOk = 0;
    connect(mSlave, &NMTSlave::HeartbeatGuardingStateChanged, this, [&](HGS s) {
        if (s == HGS::HeartbeatGuardingState_ConnectionOk && heartbeatsAtOk == 0)
            heartbeatsAtOk = producer.heartbeatsSent();
    });
    QCOMPARE(mSlave->startHeartbeatMonitoring(200), CAN::RetType_OK);
    mNode->powerOn();

    // Boot-up, then "connection OK" at the latest with the second heartbeat, and only once.
    QTRY_COMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionOk), 1);
    QVERIFY(heartbeatsAtOk >= 1 && heartbeatsAtOk <= 2);
    QCOMPARE(mConnection->first().at(0).value<HGS>(), HGS::HeartbeatGuardingState_BootUp);
    const quint64 sent = producer.heartbeatsSent();
    QTRY_VERIFY(producer.heartbeatsSent() >= sent + 5);
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionOk), 1);
    QTRY_VERIFY(reported(cyclic, CAN::CyclicState_Cyclic));

    // Silence: "connection lost" once the consumer time has passed, and once only.
    producer.setSilent(true);
    QTRY_COMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
    QVERIFY(lastFrameTime(false).msecsTo(entryTime(HGS::HeartbeatGuardingState_ConnectionLost)) >= 199);
    for (int i = 0; i < 3; ++i)
        mSlave->timerElapsed();
    QTest::qWait(450); // the timer fires twice more
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
    QVERIFY(reported(cyclic, CAN::CyclicState_Late));

    // Heartbeats resume: the second of them records "connection OK" again.
    producer.setSilent(false);
    QTRY_COMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionOk), 2);
    QCOMPARE(history(), QList<int>({0, 3, 5, 3}));
    QCOMPARE(mNodeState->count(), 2); // boot-up, pre-operational
}

void tst_SupervisionTimeline::nmtStatesFromHeartbeats()
{
    SimHeartbeatProducer producer(mNode);
    producer.setProducerTime(20);
    mSlave->startHeartbeatMonitoring(500);
    mNode->powerOn();
    QTRY_COMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_PreOperational));
    mSlave->startNode();
    QTRY_COMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Operational));
    mSlave->stopNode();
    QTRY_COMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_Stopped));
    mConnection->clear();
    mNodeState->clear();
    // Reset communication: the boot-up is reported again, then pre-operational.
    mSlave->resetCommunication();
    QTRY_COMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_PreOperational));
    QCOMPARE(mNodeState->at(0).at(0).value<NMTSlave::NmtState>(), NMTSlave::NmtState_BootUp);
    QCOMPARE(mConnection->at(0).at(0).value<HGS>(), HGS::HeartbeatGuardingState_BootUp);
    QCOMPARE(mConnection->at(1).at(0).value<HGS>(), HGS::HeartbeatGuardingState_NewState);
}

void tst_SupervisionTimeline::guardingLostThenConnectionLost()
{
    SimNodeGuardingResponder responder(mNode);
    bootNode();
    QCOMPARE(mSlave->startNodeGuarding(50, 3), CAN::RetType_OK);
    QTRY_VERIFY(responder.repliesSent() >= 3);
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_PreOperational));

    responder.setSilent(true);
    QTRY_COMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_GuardingLost), 1);
    QList<int> lost = history();
    lost.removeAll(HGS::HeartbeatGuardingState_ConnectionOk); // replies exactly one period apart may count
    QCOMPARE(lost, QList<int>({4, 5}));
    const CanTimeStamp lastReply = lastFrameTime(false);
    QVERIFY(lastReply.msecsTo(entryTime(HGS::HeartbeatGuardingState_GuardingLost)) > 70);
    QVERIFY(lastReply.msecsTo(entryTime(HGS::HeartbeatGuardingState_ConnectionLost)) >= 150);

    // The requests go on at every tick, and nothing more is recorded.
    const quint64 requests = responder.requestsReceived();
    QTRY_VERIFY(responder.requestsReceived() >= requests + 3);
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionLost), 1);
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_GuardingLost), 1);
}

void tst_SupervisionTimeline::lifeTimeFactorOne()
{
    SimNodeGuardingResponder responder(mNode);
    responder.setSilent(true);
    bootNode();
    mSlave->startNodeGuarding(30, 1);
    QTRY_VERIFY(responder.requestsReceived() >= 8);
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_GuardingLost), 0);
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_ConnectionLost), 0);
    QVERIFY(mSlave->getStateList().isEmpty());
}

void tst_SupervisionTimeline::brokenToggle()
{
    SimNodeGuardingResponder responder(mNode);
    bootNode();
    mSlave->startNodeGuarding(30, 3);
    QTRY_VERIFY(responder.repliesSent() >= 2);
    QVERIFY(!history().contains(HGS::HeartbeatGuardingState_NG_ToggleBitError));
    responder.setToggleBroken(true);
    QTRY_VERIFY(history().contains(HGS::HeartbeatGuardingState_NG_ToggleBitError));
    QCOMPARE(signalled(HGS::HeartbeatGuardingState_NG_ToggleBitError), 0);
    QCOMPARE(mNodeState->count(), 2); // boot-up and pre-operational, never the repeated state
    QCOMPARE(int(mSlave->getCurrentNodeState()), int(NMTSlave::NmtState_PreOperational));
}

QTEST_GUILESS_MAIN(tst_SupervisionTimeline)
#include "tst_supervisiontimeline.moc"
