#include "canmessagetransmitter.h"
#include "canscheduler.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "simsyncconsumer.h"
#include "syncproducer.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

class tst_SyncProducer : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { CANopenService::mUseCANopenFD = false; }

    void noIntervalNoScheduler();
    void transmitterPeriod_data();
    void transmitterPeriod();
    void singleSyncCounter_data();
    void singleSyncCounter();
    void stopResetsCounter();
    void cobIdWithoutStart();
    void classicFrameEvenWithFd();
    void adapterResultPassedOn();
    void destroyedScheduler();
    void schedulerHandedOverQueued();
    void periodicOnTheBus_data();
    void periodicOnTheBus();
};

static QList<int> counters(const QList<CAN::CanMessage> &frames)
{
    QList<int> list;
    for (const CAN::CanMessage &m : frames)
        list.append(m.length == 0 ? -1 : m.data[0]);
    return list;
}

void tst_SyncProducer::noIntervalNoScheduler()
{
    SYNCProducer producer;
    QCOMPARE(producer.cobId(), 0x80u);
    QCOMPARE(producer.start(), CAN::RetType_NoLink);
    QCOMPARE(producer.oneSync(), CAN::RetType_NoLink);
    QCOMPARE(producer.setCanScheduler(nullptr), CAN::RetType_NoLink);
    CanScheduler withoutAdapter;
    QCOMPARE(producer.setCanScheduler(&withoutAdapter), CAN::RetType_NoLink);
    producer.setSyncInterval(10000);
    QCOMPARE(producer.oneSync(), CAN::RetType_NoLink);
}

void tst_SyncProducer::transmitterPeriod_data()
{
    QTest::addColumn<uint>("interval");
    QTest::addColumn<uint>("period");
    QTest::newRow("10 ms") << 10000u << 10u;
    QTest::newRow("1.5 ms truncated") << 1500u << 1u;
    QTest::newRow("below 1 ms") << 999u << 0u;
}

void tst_SyncProducer::transmitterPeriod()
{
    QFETCH(uint, interval);
    QFETCH(uint, period);
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SYNCProducer producer(0x80, &scheduler, nullptr);
    QCOMPARE(producer.start(), CAN::RetType_NoLink); // interval 0
    producer.setSyncInterval(interval);
    producer.setSyncCounter(4);
    QCOMPARE(producer.start(), CAN::RetType_OK);
    auto *transmitter = producer.findChild<CanMessageTransmitter *>();
    QVERIFY(transmitter);
    QCOMPARE(transmitter->period(), period);
    QCOMPARE(transmitter->message().id, 0x80u);
    QCOMPARE(transmitter->isActive(), period > 0);
    producer.stop();
    QVERIFY(!transmitter->isActive());
}

void tst_SyncProducer::singleSyncCounter_data()
{
    QTest::addColumn<bool>("flag");
    QTest::addColumn<int>("overflow");
    QTest::addColumn<QList<int>>("sent");
    QTest::newRow("overflow 3") << true << 3 << QList<int>{1, 2, 3, 1, 2};
    QTest::newRow("flag with overflow 0") << true << 0 << QList<int>{1, 1, 1};
    QTest::newRow("overflow 240") << true << 240 << QList<int>{1, 2, 3};
    QTest::newRow("no counter") << false << 3 << QList<int>{-1, -1};
}

void tst_SyncProducer::singleSyncCounter()
{
    QFETCH(bool, flag);
    QFETCH(int, overflow);
    QFETCH(QList<int>, sent);
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SYNCProducer producer;
    QCOMPARE(producer.setCanScheduler(&scheduler), CAN::RetType_OK);
    producer.setSyncCounter(quint8(overflow));
    producer.setCounterFlag(flag);
    QSignalSpy events(&producer, &SYNCProducer::syncEvent);
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(producer.oneSync(), CAN::RetType_OK);
    QCOMPARE(counters(adapter.frames), sent);
    QCOMPARE(events.count(), sent.size());
}

void tst_SyncProducer::stopResetsCounter()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SYNCProducer producer(0x80, 0, quint8(5), nullptr);
    QVERIFY(producer.counterFlag());
    producer.setCanScheduler(&scheduler);
    producer.oneSync();
    producer.oneSync();
    QCOMPARE(producer.stop(), CAN::RetType_OK);
    producer.oneSync();
    QCOMPARE(counters(adapter.frames), QList<int>({1, 2, 1}));
}

void tst_SyncProducer::cobIdWithoutStart()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SYNCProducer producer(0x81, &scheduler, nullptr);
    QCOMPARE(producer.oneSync(), CAN::RetType_OK);
    producer.setCobId(0x1005);
    QCOMPARE(producer.oneSync(), CAN::RetType_OK);
    QCOMPARE(adapter.frames.size(), 2);
    QCOMPARE(adapter.frames.at(0).id, 0x81u);
    QCOMPARE(int(adapter.frames.at(0).length), 0);
    QCOMPARE(adapter.frames.at(1).id, 0x1005u);
}

void tst_SyncProducer::classicFrameEvenWithFd()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SYNCProducer producer(0x80, &scheduler, nullptr);
    producer.activateCANopenFD(true);
    producer.setCounterFlag(true);
    producer.oneSync();
    const CAN::CanMessage m = adapter.frames.value(0);
    QVERIFY(!m.fd && !m.bitRateSwitch && !m.remote && !m.extended);
    QCOMPARE(frameHex(m), QByteArray("01"));
}

void tst_SyncProducer::adapterResultPassedOn()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SYNCProducer producer(0x80, &scheduler, nullptr);
    QSignalSpy events(&producer, &SYNCProducer::syncEvent);
    adapter.result = CAN::RetType_NotReady;
    QCOMPARE(producer.oneSync(), CAN::RetType_NotReady);
    adapter.result = CAN::RetType_DeviceError;
    QCOMPARE(producer.oneSync(), CAN::RetType_DeviceError);
    QCOMPARE(events.count(), 0);
    adapter.result = CAN::RetType_OK;
    QCOMPARE(producer.oneSync(), CAN::RetType_OK);
    QCOMPARE(events.count(), 1);
}

void tst_SyncProducer::destroyedScheduler()
{
    RecordingAdapter adapter;
    auto *scheduler = new CanScheduler(&adapter);
    SYNCProducer producer(0x80, 10000, quint8(3), nullptr);
    producer.setCanScheduler(scheduler);
    QCOMPARE(producer.start(), CAN::RetType_OK);
    delete scheduler;
    QCOMPARE(producer.oneSync(), CAN::RetType_NoLink);
    QCOMPARE(producer.start(), CAN::RetType_NoLink);
    QCOMPARE(producer.stop(), CAN::RetType_OK);
}

void tst_SyncProducer::schedulerHandedOverQueued()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SYNCProducer producer;
    QVERIFY(QMetaObject::invokeMethod(&producer, "newCanScheduler", Qt::QueuedConnection,
                                      Q_ARG(CanScheduler *, &scheduler)));
    QCOMPARE(producer.oneSync(), CAN::RetType_NoLink);
    QTRY_COMPARE(producer.oneSync(), CAN::RetType_OK);
}

void tst_SyncProducer::periodicOnTheBus_data()
{
    QTest::addColumn<int>("overflow");
    QTest::newRow("counter up to 4") << 4;
    QTest::newRow("no counter") << 0;
}

void tst_SyncProducer::periodicOnTheBus()
{
    QFETCH(int, overflow);
    const int periodMs = 20;
    VirtualCanBus bus;
    VirtualCanAdapter master(&bus);
    VirtualCanAdapter nodeAdapter(&bus);
    CanScheduler scheduler(&master);
    SimCanopenNode node(&nodeAdapter, 9);
    SimSyncConsumer consumer(&node);
    node.powerOn();

    SYNCProducer producer(0x80, periodMs * 1000, quint8(overflow), nullptr);
    QCOMPARE(producer.setCanScheduler(&scheduler), CAN::RetType_OK);
    QCOMPARE(producer.start(), CAN::RetType_OK);
    QTRY_VERIFY_WITH_TIMEOUT(consumer.count() >= 15, 10000);
    producer.stop();
    QCoreApplication::processEvents(); // a SYNC still on its way

    const QList<int> seen = consumer.counters();
    for (int i = 0; i < seen.size(); ++i) {
        const int expected = overflow ? i % overflow + 1 : -1;
        QCOMPARE(seen.at(i), expected);
    }
    // Over many periods the timer's jitter averages out; a busy machine only makes it later.
    const double mean = consumer.meanPeriodMs();
    QVERIFY2(mean >= 0.9 * periodMs && mean <= 3.0 * periodMs, qPrintable(QString::number(mean)));

    // Stopped: nothing more. Started again: the counter begins at 1.
    const int count = consumer.count();
    QTest::qWait(4 * periodMs);
    QCOMPARE(consumer.count(), count);
    consumer.clear();
    producer.start();
    QTRY_VERIFY(consumer.count() >= 2);
    producer.stop();
    QCOMPARE(consumer.counters().first(), overflow ? 1 : -1);
}

QTEST_GUILESS_MAIN(tst_SyncProducer)
#include "tst_syncproducer.moc"
