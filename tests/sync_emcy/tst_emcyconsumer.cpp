#include "canscheduler.h"
#include "emcyconsumer.h"
#include "recordingadapter.h"
#include "simcanopennode.h"
#include "simemcyproducer.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

namespace {
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

class tst_EmcyConsumer : public QObject
{
    Q_OBJECT
private slots:
    // What a consumer reports, as frame bytes, for a frame on its COB-ID or for a gateway response.
    void reports_data()
    {
        QTest::addColumn<bool>("gateway");
        QTest::addColumn<uint>("cobId");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("expected"); // space-separated
        const struct
        {
            const char *row;
            bool gateway;
            uint cobId;
            const char *input, *expected;
        } rows[] = {
            { "frame", false, 0x81, "1081011122334455", "1081011122334455" },
            { "short frame", false, 0x81, "0010", "0010000000000000" },
            { "empty frame", false, 0x81, "", "0000000000000000" },
            { "nine tokens", true, 0x81, "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "1081011122334455" },
            { "another node", true, 0x82, "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "" },
            { "lower case", true, 0x81, "1 emcy 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "1081011122334455" },
            { "without the word", true, 0x81, "1 XXXX 0x8110 0x01 0x11 0x22 0x33 0x44 0x55", "" },
            { "seven tokens", true, 0x81, "1 EMCY 0x8110 0x01 0x11 0x22 0x33", "" },
            { "eight tokens", true, 0x81, "1 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44", "1081011122334400" },
            { "decimal, octal, hexadecimal", true, 0x82, "0x02 EMCY 33040 1 017 0 255 256 0x1FF",
                "1081010f00ff00ff" },
            { "node ID low byte", true, 0x81, "257 EMCY 0x1000 0x0 0 0 0 0 0", "0010000000000000" },
            { "unreadable node ID is 0", true, 0x80, "x EMCY 0x1000 0x0 0 0 0 0 0", "0010000000000000" },
            // Two spaces make an empty token: every field after it moves one place.
            { "double space", true, 0x81, "1  EMCY 0x8110 0x01 0x11 0x22 0x33 0x44", "0000100111223344" },
            { "several lines", true, 0x81,
                "1 EMCY 0x1000 0x01 1 2 3 4 5\n2 EMCY 0x2000 0x01 1 2 3 4 5\n"
                "[7] OK\n1 EMCY 0x3000 0x01 1 2 3 4 5\n",
                "0010010102030405 0030010102030405" },
        };
        for (const auto &r : rows)
            QTest::newRow(r.row) << r.gateway << r.cobId << QString(r.input) << QByteArray(r.expected);
    }
    void reports()
    {
        QFETCH(bool, gateway);
        QFETCH(uint, cobId);
        QFETCH(QString, input);
        QFETCH(QByteArray, expected);
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
    void attachment()
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

    // From a simulated node's producer, delivered also through a queued connection.
    void roundTripWithSimulatedNode()
    {
        VirtualCanBus bus;
        VirtualCanAdapter master(&bus), nodeAdapter(&bus);
        CanScheduler scheduler(&master);
        SimCanopenNode node(&nodeAdapter, 3);
        SimEmcyProducer producer(&node);
        EMCYConsumer consumer(0x83, &scheduler, nullptr);
        QList<QByteArray> got;
        connect(
            &consumer, &EMCYConsumer::newEmcyData, this, [&](const EMCYData &d) { got << hex(d); },
            Qt::QueuedConnection);
        QCOMPARE(producer.sendEmergency(0x5000, 0x81), CAN::RetType_InvalidRequest); // powered off
        node.powerOn();
        QCOMPARE(producer.sendEmergency(0x5000, 0x81, QByteArray::fromHex("0102030405")), CAN::RetType_OK);
        QCOMPARE(producer.sendErrorReset(), CAN::RetType_OK);
        QTRY_COMPARE(got, QList<QByteArray>({ "0050810102030405", "0000000000000000" }));
    }
};

QTEST_GUILESS_MAIN(tst_EmcyConsumer)
#include "tst_emcyconsumer.moc"
