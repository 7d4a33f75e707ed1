// Round trips through the simulated CiA 309-3 gateway: the library's gateway adapter over TCP,
// the gateway, a virtual bus and the simulated network, all in this process.
#include "canscheduler.h"
#include "cia309gatewayadapter.h"
#include "emcyconsumer.h"
#include "sdoclient.h"
#include "simcia309gateway.h"
#include "simemcyproducer.h"
#include "simnetwork.h"
#include "simobjectdictionary.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>

#include <QTest>

using OD = SimObjectDictionary;

class tst_SimCiA309Gateway : public QObject
{
    Q_OBJECT

    struct Setup
    {
        Setup()
        {
            network.addDefaultDevices();
            network.powerOn();
            QVERIFY(gateway.listen());
            QSignalSpy connected(&adapter, &CiA309GatewayAdapter::connected);
            adapter.connectToGateway(QStringLiteral("127.0.0.1"), gateway.serverPort());
            QVERIFY(connected.wait(5000));
            sdo.setCanScheduler(&scheduler);
            sdo.setNodeId(1);
            sdo.setSdoTimeout(300);
        }
        /// Sends a raw line and returns the gateway's answer without its sequence number.
        QString ask(const QString &line)
        {
            QSignalSpy answers(&adapter, &CiA309GatewayAdapter::newCiA309Response);
            quint16 sequence = 0xFFFF;
            adapter.sendCiA309Request(line, sequence);
            const QString prefix = QStringLiteral("[%1] ").arg(sequence);
            for (int i = 0; i < 200; answers.wait(20), ++i) {
                for (const auto &a : answers) {
                    if (a.at(0).toString().startsWith(prefix))
                        return a.at(0).toString().mid(prefix.size());
                }
            }
            return QStringLiteral("no answer");
        }
        VirtualCanBus bus;
        VirtualCanAdapter devices { &bus };
        VirtualCanAdapter gatewayCan { &bus };
        SimNetwork network { &devices };
        SimCiA309Gateway gateway { &gatewayCan };
        CiA309GatewayAdapter adapter;
        CanScheduler scheduler { &adapter };
        SDOClient sdo;
    };

private slots:
    // Strings and domains go block between gateway and node (client command specifier 5 or 6).
    void sdoRoundTrips_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("odType");
        QTest::addColumn<QVariant>("written");
        QTest::addColumn<QVariant>("read");
        auto row = [](const char *name, CAN::CANopenDataType t, OD::DataType od, const QVariant &w,
                       const QVariant &r) { QTest::newRow(name) << int(t) << int(od) << w << r; };
        const qulonglong u40 = 1099511627775ull, u48 = 281474976710655ull, u64 = 18446744073709551615ull;
        row("b", CAN::BOOLEAN, OD::Boolean, true, 1u);
        row("i8", CAN::INTEGER8, OD::Integer8, -5, -5);
        row("u8", CAN::UNSIGNED8, OD::Unsigned8, 200, 200u);
        row("i16", CAN::INTEGER16, OD::Integer16, -30000, -30000);
        row("u16", CAN::UNSIGNED16, OD::Unsigned16, 65535, 65535u);
        row("i24", CAN::INTEGER24, OD::Integer24, -70000, -70000);
        row("u24", CAN::UNSIGNED24, OD::Unsigned24, 0xABCDEF, 0xABCDEFu);
        row("i32", CAN::INTEGER32, OD::Integer32, -2000000000, -2000000000);
        row("u32", CAN::UNSIGNED32, OD::Unsigned32, 4294967295u, 4294967295u);
        row("i64", CAN::INTEGER64, OD::Integer64, qlonglong(-9000000000ll), qlonglong(-9000000000ll));
        row("u40", CAN::UNSIGNED40, OD::Unsigned40, u40, u40);
        row("u48", CAN::UNSIGNED48, OD::Unsigned48, u48, u48);
        row("u64", CAN::UNSIGNED64, OD::Unsigned64, u64, u64);
        row("r32", CAN::REAL32, OD::Real32, 1.5, 1.5f);
        row("r64", CAN::REAL64, OD::Real64, 0.25, 0.25f);
        row("vs", CAN::VISIBLE_STRING, OD::VisibleString, QStringLiteral("say \"hi\"  twice"),
            QStringLiteral("say \"hi\" twice")); // the answer line is read word by word
        row("os", CAN::OCTET_STRING, OD::OctetString, QStringLiteral("0a1b2c"), QStringLiteral("0a1b2c"));
        QByteArray big(3000, Qt::Uninitialized);
        for (int i = 0; i < big.size(); ++i)
            big[i] = char(i * 13);
        row("d", CAN::DOMAIN, OD::Domain, big, big);
    }
    void sdoRoundTrips()
    {
        QFETCH(int, type);
        QFETCH(int, odType);
        QFETCH(QVariant, written);
        QFETCH(QVariant, read);
        Setup s;
        QList<quint8> commands;
        connect(&s.gatewayCan, &VirtualCanAdapter::frameSent, this,
            [&commands](const CAN::CanMessage &m) { commands << quint8(m.data[0] >> 5); });
        const int size = OD::typeSize(quint16(odType));
        s.network.node(1)->od()->add(0x2100, 7, quint16(odType), OD::ReadWrite, QByteArray(size, '\0'));
        QSignalSpy results(&s.sdo, &SDOClient::resultReceived);
        QCOMPARE(s.sdo.write(0x2100, 7, CAN::CANopenDataType(type), written), CAN::RetType_OK);
        QTRY_COMPARE(results.count(), 1);
        QCOMPARE(s.sdo.read(0x2100, 7, CAN::CANopenDataType(type)), CAN::RetType_OK);
        QTRY_COMPARE(results.count(), 2);
        QCOMPARE(results.at(1).at(2), read);
        QCOMPARE(commands.contains(6) && commands.contains(5), type == CAN::DOMAIN); // block down and up
    }

    void gatewayAnswers_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("answer"); // to the last line
        QTest::addColumn<int>("node"); // whose NMT state is checked afterwards (0: none)
        QTest::addColumn<int>("state");
        auto row = [](const char *name, const QStringList &lines, const char *answer, int node = 0,
                       int state = 0) { QTest::newRow(name) << lines << QString(answer) << node << state; };
        row("value with net", { "1 1 r 0x1018 1 u32" }, "1201");
        row("hex and octal numbers", { "0x1 r 010000 0x0 u32" }, "983441");
        row("abort", { "1 w 0x1000 0 u32 1" }, "ERROR:0x06010002 #Attempt to write a read only object");
        row("length mismatch", { "1 r 0x1018 1 u16" },
            "ERROR:0x06070012 #Data type does not match: length too high");
        row("unknown command", { "lss_fastscan" }, "ERROR:100 #Request not supported");
        row("unknown word", { "1 frobnicate" }, "ERROR:100 #Request not supported");
        row("missing type", { "1 r 0x1000 0" }, "ERROR:101 #Syntax error");
        row("value out of range", { "1 w 0x1017 0 u16 70000" }, "ERROR:101 #Syntax error");
        row("bad Base64", { "1 w 0x1008 0 d ***" }, "ERROR:101 #Syntax error");
        row("no default node", { "r 0x1000 0 u32" }, "ERROR:105 #No default node set");
        row("default node", { "set node 2", "r 0x1018 2 u32" }, "4202512");
        row("bad node", { "200 r 0x1000 0 u32" }, "ERROR:107 #Unsupported node");
        row("other net", { "2 1 start" }, "ERROR:106 #Unsupported net");
        row("zero time-out", { "set sdo_timeout 0" }, "ERROR:101 #Syntax error");
        row("time-out", { "set sdo_timeout 40", "99 r 0x1000 0 u32" },
            "ERROR:0x05040000 #SDO Protocol timed out");
        row("nmt stop", { "2 stop" }, "OK", 2, SimCanopenNode::NmtState_Stopped);
        row("nmt start all", { "2 stop", "0 start" }, "OK", 2, SimCanopenNode::NmtState_Operational);
        row("LSS without an answer", { "lss_get_node" }, "ERROR:103 #Time-out");
        row("LSS without an answer needed", { "lss_switch_glob 0" }, "OK");
        row("LSS node-ID 0", { "lss_set_node 0" }, "ERROR:502 #LSS node-ID not supported");
    }
    void gatewayAnswers()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, answer);
        QFETCH(int, node);
        QFETCH(int, state);
        Setup s;
        s.gateway.setLssTimeout(50);
        QString last;
        for (const QString &line : lines)
            last = s.ask(line);
        QCOMPARE(last, answer);
        if (node)
            QTRY_COMPARE(int(s.network.node(quint8(node))->nmtState()), state);
    }

    // Whatever arrives, every numbered line is answered and the gateway keeps working.
    void garbageLines()
    {
        Setup s;
        QTcpSocket raw;
        raw.connectToHost(QStringLiteral("127.0.0.1"), s.gateway.serverPort());
        QVERIFY(raw.waitForConnected(5000));
        const QStringList words { "[", "]", "[3]", "[x]", "r", "w", "0x1018", "1", "-1", "u32", "vs", "d",
            "os", "t", "set", "node", "sdo_timeout", "lss_set_node", "lss_switch_sel", "lss_identity",
            "reset", "comm", "start", "\"", "#", "0x", "99999999999", "\t", "ERROR", "OK" };
        QRandomGenerator random(12);
        QByteArray junk;
        int numbered = 0;
        for (int i = 0; i < 300; ++i) {
            QStringList line;
            if (i % 2 == 0)
                line << QStringLiteral("[%1]").arg(++numbered);
            const int n = random.bounded(7);
            for (int k = 0; k < n; ++k)
                line << words.at(random.bounded(words.size()));
            junk += line.join(QLatin1Char(' ')).toUtf8() + (i % 3 ? "\r\n" : "\n");
            if (i % 50 == 0)
                junk += QByteArray(random.bounded(40), char(random.bounded(256))) + "\n";
        }
        raw.write(junk);
        QByteArray answers;
        QTRY_VERIFY_WITH_TIMEOUT(
            (answers += raw.readAll()).contains(QStringLiteral("[%1] ").arg(numbered).toUtf8()), 20000);
        QCOMPARE(s.ask(QStringLiteral("1 r 0x1018 1 u32")), QStringLiteral("1201"));
    }

    void emcyLines()
    {
        Setup s;
        EMCYConsumer consumer(0x83, &s.scheduler);
        QSignalSpy emcys(&consumer, &EMCYConsumer::newEmcyData);
        auto *producer = s.network.node(3)->findChild<SimEmcyProducer *>();
        QCOMPARE(producer->sendEmergency(0x8110, 0x11, QByteArray::fromHex("0102030405")), CAN::RetType_OK);
        QTRY_COMPARE(emcys.count(), 1);
        const auto d = emcys.at(0).at(0).value<EMCYConsumer::EMCYData>();
        QCOMPARE(QByteArray::number(d.errorCode, 16) + ' ' + QByteArray::number(d.errorRegister, 16) + ' '
                + QByteArray(reinterpret_cast<const char *>(d.manufacturerData), 5).toHex(),
            QByteArray("8110 11 0102030405"));
    }
};

QTEST_GUILESS_MAIN(tst_SimCiA309Gateway)
#include "tst_simcia309gateway.moc"
