#include "canscheduler.h"
#include "emcyconsumer.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "simemcyproducer.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

using EMCYData = EMCYConsumer::EMCYData;

class tst_EmcyConsumer : public QObject
{
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void otherCobIdIgnored();
    void cobIdAndSchedulerChanges();
    void gatewayLine_data();
    void gatewayLine();
    void severalLinesInOneResponse();
    void gatewayDecidedAtAttach();
    void queuedDelivery();
    void roundTripWithSimulatedNode();
};

static EMCYData emcy(quint16 code, quint8 reg, const char *mfrHex)
{
    EMCYData d;
    d.errorCode = code;
    d.errorRegister = reg;
    const QByteArray mfr = QByteArray::fromHex(mfrHex);
    for (int i = 0; i < 5 && i < mfr.size(); ++i)
        d.manufacturerData[i] = quint8(mfr.at(i));
    return d;
}

static EMCYData taken(const QSignalSpy &spy, int i)
{
    return spy.at(i).at(0).value<EMCYData>();
}

void tst_EmcyConsumer::frames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<EMCYData>("expected");
    QTest::newRow("generic example") << QByteArray("1081011122334455") << emcy(0x8110, 0x01, "1122334455");
    QTest::newRow("error reset") << QByteArray("0000000000000000") << emcy(0, 0, "");
    QTest::newRow("short frame") << QByteArray("0010") << emcy(0x1000, 0, "");
    QTest::newRow("empty frame") << QByteArray() << emcy(0, 0, "");
}

void tst_EmcyConsumer::frames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(EMCYData, expected);
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    EMCYConsumer consumer(0x81, &scheduler, nullptr);
    QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
    adapter.injectFrame(0x81, QByteArray::fromHex(bytes));
    QCOMPARE(spy.count(), 1);
    QVERIFY(taken(spy, 0) == expected);
}

void tst_EmcyConsumer::otherCobIdIgnored()
{
    EMCYConsumer consumer(0x81);
    QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
    CAN::CanRxMessage m(makeFrame(0x82, "1081011122334455"), CanTimeStamp::now());
    consumer.newCanMessageReceived(m);
    QCOMPARE(spy.count(), 0);
    EMCYConsumer unset;
    QCOMPARE(unset.cobId(), 0x80000000u);
}

void tst_EmcyConsumer::cobIdAndSchedulerChanges()
{
    RecordingAdapter first, second;
    CanScheduler one(&first), two(&second);
    EMCYConsumer consumer(0x81);
    QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
    consumer.setCanScheduler(&one);
    first.injectFrame(0x81, QByteArray::fromHex("0110010000000000"));
    consumer.setCobId(0x85);
    first.injectFrame(0x81, QByteArray::fromHex("0210010000000000"));
    first.injectFrame(0x85, QByteArray::fromHex("0310010000000000"));
    consumer.setCanScheduler(&two);
    first.injectFrame(0x85, QByteArray::fromHex("0410010000000000"));
    second.injectFrame(0x85, QByteArray::fromHex("0510010000000000"));
    QCOMPARE(spy.count(), 3);
    QCOMPARE(taken(spy, 0).errorCode, quint16(0x1001));
    QCOMPARE(taken(spy, 1).errorCode, quint16(0x1003));
    QCOMPARE(taken(spy, 2).errorCode, quint16(0x1005));
    QCOMPARE(one.registeredCount(), 0);
    consumer.setCanScheduler(nullptr);
    second.injectFrame(0x85, QByteArray::fromHex("0610010000000000"));
    QCOMPARE(spy.count(), 3);
}

void tst_EmcyConsumer::gatewayLine_data()
{
    QTest::addColumn<uint>("cobId");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("reported");
    QTest::addColumn<EMCYData>("expected");
    const QString nine = "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44 0x55";
    QTest::newRow("nine tokens") << 0x81u << nine << true << emcy(0x8110, 1, "1122334455");
    QTest::newRow("another node") << 0x82u << nine << false << EMCYData();
    QTest::newRow("lower case") << 0x81u << "1 emcy 0x8110 0x01 0x11 0x22 0x33 0x44 0x55" << true
                                << emcy(0x8110, 1, "1122334455");
    QTest::newRow("without the word") << 0x81u << "1 XXXX 0x8110 0x01 0x11 0x22 0x33 0x44 0x55" << false
                                      << EMCYData();
    QTest::newRow("seven tokens") << 0x81u << "1 EMCY 0x8110 0x01 0x11 0x22 0x33" << false << EMCYData();
    QTest::newRow("eight tokens") << 0x81u << "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44" << true
                                  << emcy(0x8110, 1, "1122334400");
    QTest::newRow("decimal, octal, hexadecimal") << 0x82u << "0x02 EMCY 33040 1 017 0 255 256 0x1FF" << true
                                                 << emcy(0x8110, 1, "0f00ff00ff");
    QTest::newRow("node ID low byte") << 0x81u << "257 EMCY 0x1000 0x0 0 0 0 0 0" << true << emcy(0x1000, 0, "");
    QTest::newRow("unreadable node ID is 0") << 0x80u << "x EMCY 0x1000 0x0 0 0 0 0 0" << true
                                             << emcy(0x1000, 0, "");
    // Two spaces make an empty token: every field after it moves one place.
    QTest::newRow("double space") << 0x81u << "1  EMCY 0x8110 0x01 0x11 0x22 0x33 0x44" << true
                                  << emcy(0, 0x10, "0111223344");
}

void tst_EmcyConsumer::gatewayLine()
{
    QFETCH(uint, cobId);
    QFETCH(QString, line);
    QFETCH(bool, reported);
    QFETCH(EMCYData, expected);
    RecordingAdapter adapter;
    adapter.setGateway(true);
    CanScheduler scheduler(&adapter);
    EMCYConsumer consumer(cobId, &scheduler, nullptr);
    QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
    adapter.injectGateway(line);
    QCOMPARE(spy.count(), reported ? 1 : 0);
    if (reported)
        QVERIFY(taken(spy, 0) == expected);
}

void tst_EmcyConsumer::severalLinesInOneResponse()
{
    RecordingAdapter adapter;
    adapter.setGateway(true);
    CanScheduler scheduler(&adapter);
    EMCYConsumer node1(0x81, &scheduler, nullptr);
    EMCYConsumer node2(0x82);
    node2.setCanScheduler(&scheduler);
    QSignalSpy spy1(&node1, &EMCYConsumer::newEmcyData);
    QSignalSpy spy2(&node2, &EMCYConsumer::newEmcyData);
    adapter.injectGateway("1 EMCY 0x1000 0x01 1 2 3 4 5\n"
                          "2 EMCY 0x2000 0x01 1 2 3 4 5\n"
                          "[7] OK\n"
                          "1 EMCY 0x3000 0x01 1 2 3 4 5\n");
    QCOMPARE(spy1.count(), 2);
    QCOMPARE(taken(spy1, 0).errorCode, quint16(0x1000));
    QCOMPARE(taken(spy1, 1).errorCode, quint16(0x3000));
    QCOMPARE(spy2.count(), 1);
    QCOMPARE(taken(spy2, 0).errorCode, quint16(0x2000));
}

void tst_EmcyConsumer::gatewayDecidedAtAttach()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    EMCYConsumer consumer(0x81, &scheduler, nullptr);
    QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
    adapter.setGateway(true);
    adapter.injectGateway("1 EMCY 0x1000 0x01 1 2 3 4 5");
    QCOMPARE(spy.count(), 0);
    consumer.setCanScheduler(&scheduler);
    consumer.setCanScheduler(&scheduler); // attached twice: still one signal a line
    adapter.injectGateway("1 EMCY 0x1000 0x01 1 2 3 4 5");
    QCOMPARE(spy.count(), 1);
    // Another scheduler: the old gateway's lines are no longer ours.
    RecordingAdapter other;
    CanScheduler otherScheduler(&other);
    consumer.setCanScheduler(&otherScheduler);
    adapter.injectGateway("1 EMCY 0x1000 0x01 1 2 3 4 5");
    QCOMPARE(spy.count(), 1);
}

void tst_EmcyConsumer::queuedDelivery()
{
    QVERIFY(QMetaType::type("EMCYConsumer::EMCYData") != QMetaType::UnknownType);
    EMCYConsumer consumer(0x81);
    QObject receiver;
    QList<EMCYData> got;
    connect(&consumer, &EMCYConsumer::newEmcyData, &receiver, [&](const EMCYData &d) { got << d; },
            Qt::QueuedConnection);
    consumer.handleResponseLine("1 EMCY 0xFF00 0x80 1 2 3 4 5");
    QTRY_COMPARE(got.size(), 1);
    QVERIFY(got.first() == emcy(0xFF00, 0x80, "0102030405"));
}

void tst_EmcyConsumer::roundTripWithSimulatedNode()
{
    VirtualCanBus bus;
    VirtualCanAdapter master(&bus);
    VirtualCanAdapter nodeAdapter(&bus);
    CanScheduler scheduler(&master);
    SimCanopenNode node(&nodeAdapter, 3);
    SimEmcyProducer producer(&node);
    EMCYConsumer consumer(0x83, &scheduler, nullptr);
    QSignalSpy spy(&consumer, &EMCYConsumer::newEmcyData);
    QCOMPARE(producer.sendEmergency(0x5000, 0x81), CAN::RetType_InvalidRequest); // powered off
    node.powerOn();
    QCOMPARE(producer.cobId(), 0x83u);
    QCOMPARE(producer.sendEmergency(0x5000, 0x81, QByteArray::fromHex("0102030405")), CAN::RetType_OK);
    QCOMPARE(producer.sendErrorReset(), CAN::RetType_OK);
    QTRY_COMPARE(spy.count(), 2);
    QVERIFY(taken(spy, 0) == emcy(0x5000, 0x81, "0102030405"));
    QVERIFY(taken(spy, 1) == EMCYData());
}

QTEST_GUILESS_MAIN(tst_EmcyConsumer)
#include "tst_emcyconsumer.moc"
