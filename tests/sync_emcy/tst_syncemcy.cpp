// SYNC production, single and periodic, and EMCY consumption from frames and gateway lines.
#include "canscheduler.h"
#include "emcyconsumer.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "simemcyproducer.h"
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

using EMCYData = EMCYConsumer::EMCYData;

/// An emergency as the eight bytes of its CAN frame, in hex: error code, register, manufacturer data.
QByteArray hex(const EMCYData &d)
{
    const char head[3] = { char(d.errorCode & 0xFF), char(d.errorCode >> 8), char(d.errorRegister) };
    return (QByteArray(head, 3) + QByteArray(reinterpret_cast<const char *>(d.manufacturerData), 5)).toHex();
}

QList<QByteArray> reported(const QSignalSpy &spy)
{
    QList<QByteArray> list;
    for (const QList<QVariant> &args : spy)
        list.append(hex(args.at(0).value<EMCYData>()));
    return list;
}
} // namespace

class tst_SyncEmcy : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { CANopenService::mUseCANopenFD = false; }

    // Refusals: no interval, no scheduler or adapter, adapter results, a destroyed scheduler; a
    // scheduler handed over through the queued slot.
    void syncRefusals()
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
        QVERIFY(
            producer.oneSync() == CAN::RetType_OK && adapter.frames.last().id == 0x80 && events.count() == 1);
        QVERIFY(producer.setCanScheduler(scheduler.get()) == CAN::RetType_OK
            && producer.start() == CAN::RetType_NoLink); // interval 0
        for (CAN::RetType code : { CAN::RetType_NotReady, CAN::RetType_DeviceError }) {
            adapter.result = code;
            QCOMPARE(producer.oneSync(), code);
        }
        QCOMPARE(events.count(), 1); // no syncEvent for a SYNC not sent
        producer.setSyncInterval(10000);
        QCOMPARE(producer.start(), CAN::RetType_OK);
        scheduler.reset();
        QVERIFY(producer.oneSync() == CAN::RetType_NoLink && producer.start() == CAN::RetType_NoLink
            && producer.stop() == CAN::RetType_OK);
    }

    // Single SYNCs: COB-ID and counter byte, always a classic frame; 0 in "calls" stands for stop().
    void singleSyncs_data()
    {
        QTest::addColumn<uint>("cobId");
        QTest::addColumn<int>("flags"); // 1: the counter flag, 2: CANopen FD on
        QTest::addColumn<int>("overflow");
        QTest::addColumn<QList<int>>("calls");
        QTest::newRow("overflow 3") << 0x80u << 1 << 3 << QList<int> { 1, 2, 3, 1, 2 };
        QTest::newRow("flag with overflow 0") << 0x80u << 1 << 0 << QList<int> { 1, 1, 1 };
        QTest::newRow("no counter") << 0x80u << 0 << 3 << QList<int> { -1, -1 };
        QTest::newRow("stop resets the counter") << 0x80u << 1 << 5 << QList<int> { 1, 2, 0, 1 };
        QTest::newRow("COB-ID 0x81, CANopen FD on") << 0x81u << 3 << 2 << QList<int> { 1, 2 };
    }
    void singleSyncs()
    {
        QFETCH(uint, cobId);
        QFETCH(int, flags);
        QFETCH(int, overflow);
        QFETCH(QList<int>, calls);
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        CANopenService::mUseCANopenFD = flags & 2; // on before the frame is built
        SYNCProducer producer(cobId, &scheduler, nullptr);
        producer.setSyncCounter(quint8(overflow));
        producer.setCounterFlag(flags & 1);
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
        QVERIFY(
            producer.setCanScheduler(&scheduler) == CAN::RetType_OK && producer.start() == CAN::RetType_OK);
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

    // What a consumer reports, as frame bytes, for a frame on its COB-ID or for a gateway response.
    void emcyReports_data()
    {
        QTest::addColumn<uint>("cobId");
        QTest::addColumn<QString>("input"); // a frame's hex bytes, or a gateway's lines
        QTest::addColumn<QByteArray>("expected"); // space-separated
        auto row = [](const char *name, uint cobId, const char *input, const char *expected) {
            QTest::newRow(name) << cobId << QString(input) << QByteArray(expected);
        };
        row("frame", 0x81, "1081011122334455", "1081011122334455");
        row("short frame", 0x81, "0010", "0010000000000000");
        row("empty frame", 0x81, "", "0000000000000000");
        row("nine tokens", 0x81, "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "1081011122334455");
        row("another node", 0x82, "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "");
        row("lower case", 0x81, "1 emcy 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "1081011122334455");
        row("without the word", 0x81, "1 XXXX 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "");
        row("seven tokens", 0x81, "1 EMCY 0x8110 0x01 0x11 0x22 0x33", "");
        row("eight tokens", 0x81, "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44", "1081011122334400");
        row("decimal, octal, hexadecimal", 0x82, "0x02 EMCY 33040 1 017 0 255 256 0x1FF", "1081010f00ff00ff");
        row("node ID low byte", 0x81, "257 EMCY 0x1000 0x0 0 0 0 0 0", "0010000000000000");
        row("unreadable node ID is 0", 0x80, "x EMCY 0x1000 0x0 0 0 0 0 0", "0010000000000000");
        // Two spaces make an empty token: every field after it moves one place.
        row("double space", 0x81, "1  EMCY 0x8110 0x01 0x11 0x22 0x33 0x44", "0000100111223344");
        row("several lines", 0x81,
            "1 EMCY 0x1000 0x01 1 2 3 4 5\n2 EMCY 0x2000 0x01 1 2 3 4 5\n[7] OK\n1 EMCY 0x3000 0x01 1 2 3 4 "
            "5\n",
            "0010010102030405 0030010102030405");
    }
    void emcyReports()
    {
        QFETCH(uint, cobId);
        QFETCH(QString, input);
        QFETCH(QByteArray, expected);
        const bool gateway = input.contains(' ');
        RecordingAdapter adapter;
        adapter.setGateway(gateway);
        CanScheduler scheduler(&adapter);
        EMCYConsumer consumer(cobId, &scheduler, nullptr);
        QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
        if (gateway)
            adapter.injectGateway(input);
        else
            adapter.injectFrame(cobId, QByteArray::fromHex(input.toLatin1()));
        QCOMPARE(reported(spy), expected.isEmpty() ? QList<QByteArray>() : expected.split(' '));
    }

    // A new COB-ID or scheduler moves the registration; whether the adapter is a gateway is read
    // when the scheduler is given, and a consumer given the same scheduler twice reports a line once.
    void emcyAttachment()
    {
        RecordingAdapter first, second;
        CanScheduler one(&first), two(&second);
        EMCYConsumer consumer(0x81);
        QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
        const QString line = "5 EMCY 0x1004 0x01 0 0 0 0 0";
        consumer.setCanScheduler(&one);
        first.injectFrame(0x81, QByteArray::fromHex("0110010000000000"));
        consumer.setCobId(0x85);
        first.injectFrame(0x81, QByteArray::fromHex("0210010000000000"));
        first.injectFrame(0x85, QByteArray::fromHex("0310010000000000"));
        first.setGateway(true);
        first.injectGateway(line);
        consumer.setCanScheduler(&one);
        consumer.setCanScheduler(&one);
        first.injectGateway(line);
        consumer.setCanScheduler(&two);
        first.injectFrame(0x85, QByteArray::fromHex("0510010000000000"));
        first.injectGateway(line);
        second.injectFrame(0x85, QByteArray::fromHex("0610010000000000"));
        // A frame of another identifier handed to the slot is not taken.
        consumer.newCanMessageReceived(
            CAN::CanRxMessage(makeFrame(0x81, "0710010000000000"), CanTimeStamp()));
        consumer.setCanScheduler(nullptr);
        second.injectFrame(0x85, QByteArray::fromHex("0810010000000000"));
        QCOMPARE(reported(spy),
            QList<QByteArray>(
                { "0110010000000000", "0310010000000000", "0410010000000000", "0610010000000000" }));
        QCOMPARE(one.registeredCount() + two.registeredCount(), 0);
    }

    // From a simulated node's producer: an emergency and the error reset.
    void emcyFromSimulatedNode()
    {
        VirtualCanBus bus;
        VirtualCanAdapter master(&bus), nodeAdapter(&bus);
        CanScheduler scheduler(&master);
        SimCanopenNode node(&nodeAdapter, 3);
        SimEmcyProducer producer(&node);
        EMCYConsumer consumer(0x83, &scheduler, nullptr);
        QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
        QCOMPARE(producer.sendEmergency(0x5000, 0x81), CAN::RetType_InvalidRequest); // powered off
        node.powerOn();
        QVERIFY(producer.sendEmergency(0x5000, 0x81, QByteArray::fromHex("0102030405")) == CAN::RetType_OK
            && producer.sendErrorReset() == CAN::RetType_OK);
        QTRY_COMPARE(reported(spy), QList<QByteArray>({ "0050810102030405", "0000000000000000" }));
    }
};

QTEST_GUILESS_MAIN(tst_SyncEmcy)
#include "tst_syncemcy.moc"
