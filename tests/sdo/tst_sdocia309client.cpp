// The SDO client of a CiA 309-3 gateway: the command line of every request kind and type word,
// and every answer form (the gateway's value, OK, error and Base64 lines).
#include "canscheduler.h"
#include "recordingadapter.h"
#include "sdocia309client.h"
#include "sdoclient.h"
#include "sdotestbench.h"

#include <QSignalSpy>
#include <QTest>

struct Bench
{
    Bench()
    {
        adapter.setGateway(true);
        client.setCanScheduler(&scheduler);
    }
    RecordingAdapter adapter;
    CanScheduler scheduler { &adapter };
    SDOCiA309Client client;
};

class tst_SdoCiA309Client : public QObject
{
    Q_OBJECT
private slots:
    void commandLines()
    {
        // The other type words, and the values of their answers, travel through the simulated
        // gateway's round trips.
        const struct
        {
            CAN::CANopenDataType type;
            QVariant value; // invalid for a read
            const char *line;
        } rows[] = {
            { CAN::TIME_OF_DAY, QVariant(), "5 r 0x1018 1 t" },
            { CAN::REAL64, 0.1, "5 w 0x2000 0 r64 0.1" },
            { CAN::VISIBLE_STRING, QStringLiteral("hello  world"), "5 w 0x2000 0 vs hello  world" },
        };
        for (const auto &r : rows) {
            Bench b;
            QCOMPARE(b.adapter.lines, QStringList { QStringLiteral("set sdo_timeout 2000") });
            QCOMPARE(r.value.isValid() ? b.client.write(5, 0x2000, 0, r.type, r.value)
                                       : b.client.read(5, 0x1018, 1, r.type),
                CAN::RetType_OK);
            QCOMPARE(b.adapter.requestLines, QStringList { QString::fromUtf8(r.line) });
            QCOMPARE(b.adapter.sequenceIn, QList<quint16> { 0xFFFF });
        }
    }

    void refusals()
    {
        Bench b;
        QCOMPARE(b.client.write(5, 0x2000, 0, CAN::TIME_OF_DAY, 12), CAN::RetType_NoLink); // no value text
        QCOMPARE(b.client.read(5, 0x2000, 0, CAN::UNICODE_STRING), CAN::RetType_Busy); // no type word
        QCOMPARE(b.client.write(5, 0x2000, 0, CAN::UNSIGNED8, QVariant::fromValue(QStringList())),
            CAN::RetType_Busy);
        QCOMPARE(b.client.write(5, 0x2000, 0, CAN::VISIBLE_STRING, QString()), CAN::RetType_NoLink);
        b.adapter.result = CAN::RetType_NotReady; // the refusal is the outcome; the client stays free
        QCOMPARE(b.client.read(5, 0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NotReady);
        QVERIFY(!b.client.isBusy());
        b.adapter.result = CAN::RetType_OK;
        QCOMPARE(b.client.read(5, 0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
        QCOMPARE(b.client.read(5, 0x1000, 0, CAN::UNSIGNED32), CAN::RetType_Busy);
        QCOMPARE(b.client.setCanScheduler(&b.scheduler), CAN::RetType_Busy);

        SDOCiA309Client unlinked;
        QCOMPARE(unlinked.read(5, 0x1000, 0, CAN::UNSIGNED32), CAN::RetType_Busy);
        QCOMPARE(unlinked.setCanScheduler(nullptr), CAN::RetType_Busy);

        b.client.abort(0);
        QCOMPARE(b.client.setSdoTimeout(750), CAN::RetType_OK);
        QCOMPARE(b.adapter.requestLines.last(), QStringLiteral("set sdo_timeout 750"));
    }

    void answers_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<CAN::CANopenDataType>("type");
        QTest::addColumn<QStringList>("texts"); // each one newCiA309Response; sequence 1 is ours
        QTest::addColumn<QByteArray>(
            "outcome"); // "type value" (see describeValue), or the error code; progress
        const auto U32 = CAN::UNSIGNED32, D = CAN::DOMAIN, VS = CAN::VISIBLE_STRING;
        // A value row's outcome is its value as the SDO bench describes it, an error row's the code in hex;
        // then the progress in percent.
        auto value = [](const char *name, bool write, CAN::CANopenDataType type, const QStringList &texts,
                         const QVariant &v, const char *progress = "") {
            QTest::newRow(name) << write << type << texts << describeValue(v) + progress;
        };
        auto error = [](const char *name, bool write, CAN::CANopenDataType type, const QStringList &texts,
                         uint code) {
            QTest::newRow(name) << write << type << texts
                                << QByteArray::number(code, 16).rightJustified(8, '0');
        };
        value("hex value", false, U32, { "[1] 0x0000017A" }, 378u);
        value("decimal value", false, U32, { "[1] 305419896" }, 305419896u);
        value("CR LF kept by a reader", false, U32, { "[1] 42\r" }, 42u);
        value("r32", false, CAN::REAL32, { "[1] 1.5" }, 1.5f);
        value("quote inside", false, VS, { "[1] \"say \"\"hi\"\"\"" }, QStringLiteral("say \"hi\""));
        value("string saying OK", false, VS, { "[1] \"OK, no error\"" }, QStringLiteral("OK, no error"));
        value("other sequence first", false, U32, { "[7] 99\n[1] 5" }, 5u);
        value("unnumbered lines ignored", false, U32, { "OK", "1 BOOT_UP", "[1] 6" }, 6u);
        error("error, code as next word", false, U32, { "[1] ERROR: 0x06020000" }, 0x06020000u);
        error("error, code joined, comment", false, U32, { "[1] ERROR:0x06020000 #Object does not exist." },
            0x06020000u);
        error("gateway error in decimal", true, U32, { "[1] ERROR:100 #Request not supported." }, 100u);
        error("error in lower case", false, U32, { "[1] error: 0x05040000" }, 0x05040000u);
        error("error without code", false, U32, { "[1] ERROR" }, 0u);
        error("silent gateway: timeout", false, U32, {}, 0x05040000u);
        error("error of a domain read", false, D, { "[1] ERROR:0x08000024" }, 0x08000024u);
        value("Base64 over lines", false, D, { "[1] SGVsbG8s", "IHdvcmxk", "" }, QByteArray("Hello, world"),
            " 100");
        value("Base64 lines in one text", false, D, { "[1] SGVsbG8s\nIHdvcmxkIQ==\n" },
            QByteArray("Hello, world!"), " 100");
        value("one padded line, then empty", false, D, { "[1] SGk=", "" }, QByteArray("Hi"), " 100");
        value("empty domain", false, D, { "[1]" }, QByteArray(), " 100");
        value("read with BLOCK progress", false, D,
            { "[1] BLOCK upload 1 4", "[1] BLOCK upload 4 4", "[1] SGk=" }, QByteArray("Hi"), " 25 100");
        error("short BLOCK line", false, D, { "[1] BLOCK 1" }, 0u);
        value("write with BLOCK progress", true, D,
            { "[1] BLOCK download 2 4", "[1] BLOCK download 4 4", "[1] OK" }, 0, " 50 100");
    }

    void answers()
    {
        QFETCH(bool, write);
        QFETCH(CAN::CANopenDataType, type);
        QFETCH(QStringList, texts);
        QFETCH(QByteArray, outcome);
        Bench b;
        QSignalSpy results(&b.client, &SDOCiA309Client::resultReceived);
        QSignalSpy errors(&b.client, &SDOCiA309Client::errorReceived);
        QSignalSpy progress(&b.client, &SDOCiA309Client::progress);
        if (texts.isEmpty())
            b.client.setSdoTimeout(20);
        const QVariant value = type == CAN::DOMAIN ? QVariant(QByteArray("Hi")) : QVariant(1);
        QCOMPARE(write ? b.client.write(5, 0x2000, 3, type, value) : b.client.read(5, 0x2000, 3, type),
            CAN::RetType_OK);
        for (const QString &text : texts)
            b.adapter.injectGateway(text);
        QTRY_COMPARE(results.count() + errors.count(), 1);
        const QList<QVariant> got = results.isEmpty() ? errors.at(0) : results.at(0);
        QCOMPARE(got.at(0).toUInt() * 256 + got.at(1).toUInt(), 0x200003u); // object 2000/3
        QByteArray seen = results.isEmpty()
            ? QByteArray::number(got.at(2).toUInt(), 16).rightJustified(8, '0')
            : describeValue(got.at(2).value<QVariant>());
        for (const auto &args : progress)
            seen += ' ' + QByteArray::number(args.at(0).toInt());
        QCOMPARE(seen, outcome);
        QVERIFY(!b.client.isBusy());
        // Nothing more comes of later lines, nor of the settling time.
        b.adapter.injectGateway(QStringLiteral("[1] 7\n\n[1] ERROR:0x08000000"));
        QTest::qWait(type == CAN::DOMAIN ? 150 : 0); // a domain's settling time
        QCOMPARE(results.count() + errors.count(), 1);
    }

    void facadeUsesTheGatewayClient()
    {
        Bench b;
        SDOClient sdo(0x585, 0x605, &b.scheduler);
        QSignalSpy results(&sdo, &SDOClient::resultReceived);
        QSignalSpy errors(&sdo, &SDOClient::errorReceived);
        QSignalSpy progress(&sdo, &SDOClient::progress);
        b.adapter.clear();
        QCOMPARE(sdo.setSdoTimeout(300), CAN::RetType_OK);
        QCOMPARE(sdo.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
        QCOMPARE(b.adapter.requestLines,
            (QStringList { QStringLiteral("set sdo_timeout 300"), QStringLiteral("5 r 0x1018 1 u32") }));
        QVERIFY(b.adapter.frames.isEmpty());
        b.adapter.injectGateway(QStringLiteral("[2] 1201"));
        QCOMPARE(results.value(0).mid(2, 2), (QVariantList { 1201u, 0x585u }));

        QCOMPARE(sdo.read(0x2F00, 0, CAN::DOMAIN), CAN::RetType_OK);
        b.adapter.injectGateway(QStringLiteral("[3] SGVsbG8s"));
        QCOMPARE(sdo.getCurrentlyReceivedData(), QByteArray("Hello,"));
        QCOMPARE(sdo.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_Busy);
        QTRY_COMPARE(results.count(), 2);
        QCOMPARE(results.at(1).at(2), QVariant(QByteArray("Hello,")));
        QCOMPARE(progress.count(), 1);

        QCOMPARE(sdo.write(0x1017, 0, CAN::UNSIGNED16, 250), CAN::RetType_OK);
        QCOMPARE(b.adapter.requestLines.last(), QStringLiteral("5 w 0x1017 0 u16 250"));
        QCOMPARE(sdo.abort(0x08000000), CAN::RetType_OK);
        QVERIFY(!sdo.isBusy());
        b.adapter.injectGateway(QStringLiteral("[4] OK")); // the gateway's late answer changes nothing
        b.adapter.injectGateway(QStringLiteral("[4] ERROR:0x06020000"));
        QCOMPARE(results.count() + errors.count(), 3);
        QCOMPARE(errors.value(0), (QList<QVariant> { quint16(0x1017), quint8(0), 0x08000000u }));
    }
};

QTEST_GUILESS_MAIN(tst_SdoCiA309Client)
#include "tst_sdocia309client.moc"
