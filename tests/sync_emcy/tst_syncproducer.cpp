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

#include <memory>

namespace {
/// The counter byte of each SYNC frame, -1 for a SYNC without one.
QList<int> counters(const QList<CAN::CanMessage> &frames)
{
    QList<int> list;
    for (const CAN::CanMessage &m : frames)
        list.append(m.length == 0 ? -1 : m.data[0]);
    return list;
}
} // namespace

class tst_SyncProducer : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { CANopenService::mUseCANopenFD = false; }

    // Refusals: no interval, no scheduler or adapter, adapter results, a destroyed scheduler; a
    // scheduler handed over through the queued slot.
    void refusals()
    {
        SYNCProducer producer;
        QSignalSpy events(&producer, &SYNCProducer::syncEvent);
        CanScheduler withoutAdapter;
        QVERIFY(producer.start() == CAN::RetType_NoLink && producer.oneSync() == CAN::RetType_NoLink
            && producer.setCanScheduler(nullptr) == CAN::RetType_NoLink
            && producer.setCanScheduler(&withoutAdapter) == CAN::RetType_NoLink
            && producer.oneSync() == CAN::RetType_NoLink);
        RecordingAdapter adapter;
        auto scheduler = std::make_unique<CanScheduler>(&adapter);
        QVERIFY(QMetaObject::invokeMethod(
            &producer, "newCanScheduler", Qt::QueuedConnection, Q_ARG(CanScheduler *, scheduler.get())));
        QCOMPARE(producer.oneSync(), CAN::RetType_NoLink); // the scheduler arrives a turn later
        QTRY_COMPARE(producer.canScheduler(), scheduler.get());
        QCOMPARE(producer.oneSync(), CAN::RetType_OK);
        QVERIFY(adapter.frames.last().id == 0x80 && events.count() == 1);
        QCOMPARE(producer.setCanScheduler(scheduler.get()), CAN::RetType_OK);
        QCOMPARE(producer.start(), CAN::RetType_NoLink); // interval 0
        for (CAN::RetType code : { CAN::RetType_NotReady, CAN::RetType_DeviceError }) {
            adapter.result = code;
            QCOMPARE(producer.oneSync(), code);
        }
        QCOMPARE(events.count(), 1); // no syncEvent for a SYNC not sent
        producer.setSyncInterval(10000);
        QCOMPARE(producer.start(), CAN::RetType_OK);
        scheduler.reset();
        QVERIFY(producer.oneSync() == CAN::RetType_NoLink && producer.start() == CAN::RetType_NoLink);
        QCOMPARE(producer.stop(), CAN::RetType_OK);
    }

    // Single SYNCs: COB-ID and counter byte, always a classic frame; 0 in "calls" stands for stop().
    void singleSyncs_data()
    {
        QTest::addColumn<uint>("cobId");
        QTest::addColumn<bool>("fd");
        QTest::addColumn<bool>("flag");
        QTest::addColumn<int>("overflow");
        QTest::addColumn<QList<int>>("calls");
        QTest::newRow("overflow 3") << 0x80u << false << true << 3 << QList<int> { 1, 2, 3, 1, 2 };
        QTest::newRow("flag with overflow 0") << 0x80u << false << true << 0 << QList<int> { 1, 1, 1 };
        QTest::newRow("no counter") << 0x80u << false << false << 3 << QList<int> { -1, -1 };
        QTest::newRow("stop resets the counter") << 0x80u << false << true << 5 << QList<int> { 1, 2, 0, 1 };
        QTest::newRow("COB-ID 0x81, CANopen FD on") << 0x81u << true << true << 2 << QList<int> { 1, 2 };
    }
    void singleSyncs()
    {
        QFETCH(uint, cobId);
        QFETCH(bool, fd);
        QFETCH(bool, flag);
        QFETCH(int, overflow);
        QFETCH(QList<int>, calls);
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        CANopenService::mUseCANopenFD = fd; // on before the frame is built
        SYNCProducer producer(cobId, &scheduler, nullptr);
        producer.setSyncCounter(quint8(overflow));
        producer.setCounterFlag(flag);
        QSignalSpy events(&producer, &SYNCProducer::syncEvent);
        for (int call : calls)
            QCOMPARE(call == 0 ? producer.stop() : producer.oneSync(), CAN::RetType_OK);
        calls.removeAll(0);
        QCOMPARE(counters(adapter.frames), calls);
        QCOMPARE(events.count(), calls.size()); // none for stop()
        for (const CAN::CanMessage &m : adapter.frames)
            QVERIFY(m.id == cobId && !m.fd && !m.bitRateSwitch && !m.remote && !m.extended);
    }

    // Periodic SYNCs on the bus: the period in whole milliseconds (none below 1 ms), the counter
    // sequence, nothing after stop().
    void periodicOnTheBus_data()
    {
        QTest::addColumn<int>("intervalUs");
        QTest::addColumn<int>("overflow");
        QTest::newRow("20 ms, counter up to 4") << 20000 << 4;
        QTest::newRow("20 ms, no counter") << 20000 << 0;
        QTest::newRow("below 1 ms") << 999 << 4;
    }
    void periodicOnTheBus()
    {
        QFETCH(int, intervalUs);
        QFETCH(int, overflow);
        VirtualCanBus bus;
        VirtualCanAdapter master(&bus), nodeAdapter(&bus);
        CanScheduler scheduler(&master);
        SimCanopenNode node(&nodeAdapter, 9);
        SimSyncConsumer consumer(&node);
        node.powerOn();
        SYNCProducer producer(0x80, uint(intervalUs), quint8(overflow), nullptr);
        QCOMPARE(producer.setCanScheduler(&scheduler), CAN::RetType_OK);
        QCOMPARE(producer.start(), CAN::RetType_OK);
        const int periodMs = intervalUs / 1000;
        if (periodMs == 0) {
            QTest::qWait(50);
            QCOMPARE(consumer.count(), 0);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(consumer.count() >= 15, 10000);
        producer.stop();
        QCoreApplication::processEvents(); // a SYNC still on its way
        const QList<int> seen = consumer.counters();
        for (int i = 0; i < seen.size(); ++i)
            QCOMPARE(seen.at(i), overflow ? i % overflow + 1 : -1);
        // Over many periods the timer's jitter averages out; a busy machine only makes it later.
        const double mean = consumer.meanPeriodMs();
        QVERIFY2(mean >= 0.9 * periodMs && mean <= 3.0 * periodMs, qPrintable(QString::number(mean)));
        const int count = consumer.count();
        QTest::qWait(4 * periodMs);
        QCOMPARE(consumer.count(), count);
    }
};

QTEST_GUILESS_MAIN(tst_SyncProducer)
#include "tst_syncproducer.moc"
