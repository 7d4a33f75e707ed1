// The tool's commands run in-process against the simulated network, so that the test can
// shape the devices and look at their state afterwards.
#include "simlssslave.h"
#include "simnetwork.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"
#include "tool.h"
#include "toolbus.h"

#include <QRegularExpression>
#include <QTest>

namespace {
/// A tool on its own simulated network, its output kept.
struct Bench
{
    Tool tool;
    QString out, err;
    explicit Bench(bool json = false)
    {
        tool.out.setString(&out);
        tool.err.setString(&err);
        tool.json = json;
        int code = 0;
        tool.openBus(&code);
    }
    ~Bench() { delete tool.bus; }
    SimNetwork *sim() const { return tool.bus->simNetwork(); }
    SimSdoServer *server(quint8 node) const { return sim()->node(node)->findChild<SimSdoServer *>(); }
    void setScript(quint8 node, quint16 index, quint8 sub, quint32 abortCode)
    {
        SimSdoServer::Script abort;
        abort.abortCode = abortCode;
        server(node)->setScript(index, sub, abort);
    }
    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};
} // namespace

class tst_ToolCommands : public QObject
{
    Q_OBJECT
private slots:
    void scanFindsExactlyThePresentNodes()
    {
        Bench b;
        // Node 3 answers late (within the window), node 10 aborts the device-type read.
        SimSdoServer::Script late;
        late.delayMs = 40;
        b.server(3)->setDefaultScript(late);
        b.setScript(10, 0x1000, 0, 0x06020000);
        QCOMPARE(cmdScan(b.tool, { "--timeout", "100" }), 0);
        const QStringList lines = b.lines();
        QCOMPARE(lines.size(), 7);
        QCOMPARE(lines.at(1), "   1  0x000f0191   0x000004b1  0x00401001  0x00010003  0x1a2b0001");
        QVERIFY(lines.at(3).startsWith("   3  0x00010196 ") && lines.at(4).startsWith("   5  0x00040191 "));
        QCOMPARE(lines.at(5), "  10  -            0x00000a35  0x00000404  0x00030002  0x00beef10");
        QCOMPARE(lines.at(6), "5 node(s) found");
        // Every node-ID was asked once for the device type, the present ones once more.
        QCOMPARE(b.server(1)->requestsReceived(), quint64(6));
    }
    void pdoTableShowsWhatTheDevicesHold()
    {
        Bench b(true);
        b.setScript(1, 0x1A01, 2, 0x06040041); // a mapping entry within the count that cannot be read
        QCOMPARE(cmdScan(b.tool, { "--pdo" }), 0);
        const QStringList lines = b.lines();
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(0).count("\"pdo\""), 4);
        QVERIFY(lines.at(0).contains(R"("mapping":["0x60000208",null],"pdo":"TPDO2")"));
        QCOMPARE(lines.at(1).count("\"pdo\""), 8);
        QVERIFY(lines.at(1).contains(R"("mapping":["0x60000208","0x64010111"],"pdo":"TPDO2")"));
        // Node 5: no inhibit times, one mapped object of two filled entries, every PDO listed.
        QCOMPARE(lines.at(3),
            R"({"deviceType":"0x00040191","node":5,"pdos":[)"
            R"({"cobId":"0x00000205","eventTimer":0,"mapping":["0x60000108"],"pdo":"RPDO1","transmissionType":255},)"
            R"({"cobId":"0x00000305","eventTimer":0,"mapping":["0x60000208"],"pdo":"RPDO2","transmissionType":255},)"
            R"({"cobId":"0x00000185","eventTimer":0,"mapping":["0x60000108"],"pdo":"TPDO1","transmissionType":255},)"
            R"({"cobId":"0x00000285","eventTimer":0,"mapping":["0x60000208"],"pdo":"TPDO2","transmissionType":255}],)"
            R"("productCode":"0x00401004","revision":"0x00010001","serial":"0x00beef05","vendorId":"0x00000a35"})");
    }
    void integersPrintAsNumbers()
    {
        using D = SimObjectDictionary;
        const struct
        {
            const char *type;
            D::DataType dataType;
            quint64 stored;
            QString printed;
        } rows[] = { { "u64", D::Unsigned64, 0x1234567890ABCDEF, "1311768467294899695 (0x1234567890abcdef)" },
            { "u64", D::Unsigned64, ~quint64(0), "18446744073709551615 (0xffffffffffffffff)" },
            { "i64", D::Integer64, quint64(-1234567890123LL), "-1234567890123" },
            { "u40", D::Unsigned40, 0xFFFFFFFFFF, "1099511627775 (0xffffffffff)" },
            { "u48", D::Unsigned48, 0x123456789ABC, "20015998343868 (0x123456789abc)" } };
        for (const auto &r : rows)
            for (bool json : { false, true }) {
                Bench b(json);
                b.sim()->node(1)->od()->addValue(0x2001, 0, r.dataType, D::ReadWrite, r.stored);
                QCOMPARE(cmdSdo(b.tool, { "read", "1", "0x2001", r.type }), 0);
                QVERIFY2(json ? b.out.contains("\"value\":\"" + r.printed + '"') : b.out == r.printed + '\n',
                    qPrintable(b.out));
            }
    }
    void lssLeavesTheNetworkWaiting_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        const QStringList configure { "configure", "0x4b1", "0x00401001", "0x00010003" };
        QTest::newRow("inquire") << QStringList { "inquire" } << 0;
        QTest::newRow("identify") << QStringList { "identify" } << 0;
        QTest::newRow("bit-timing") << QStringList { "bit-timing", "0", "2" } << 0;
        QTest::newRow("bit-timing refused") << QStringList { "bit-timing", "0", "5" } << 4;
        QTest::newRow("activate-bit-timing") << QStringList { "activate-bit-timing", "10" } << 0;
        QTest::newRow("configure") << configure + QStringList { "0x1a2b00ff", "20" } << 0;
        QTest::newRow("configure nobody") << configure + QStringList { "0xdead", "20" } << 3;
        QTest::newRow("configure, store fails") << configure + QStringList { "0x1a2b00ff", "22" } << 4;
        QTest::newRow("fastscan") << QStringList { "fastscan", "21" } << 0;
        QTest::newRow("scan") << QStringList { "scan", "0x4b1", "0x00401001" } << 0;
    }
    void lssLeavesTheNetworkWaiting()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        Bench b;
        const QList<SimCanopenNode *> nodes = b.sim()->nodes();
        for (SimCanopenNode *node : nodes)
            node->findChild<SimLssSlave *>()->setStoreError(
                QByteArray(QTest::currentDataTag()).contains("fails"));
        QCOMPARE(cmdLss(b.tool, QStringList { "--timeout", "15" } + args), exitCode);
        for (SimCanopenNode *node : nodes)
            QTRY_COMPARE(node->findChild<SimLssSlave *>()->lssState(), SimLssSlave::LssState_Waiting);
    }
    void edsNamesTypesAndDictionary()
    {
        const QString file = QFINDTESTDATA("../../sim/eds/io_module.eds");
        for (const QString &spec : { file, "1=" + file, QFileInfo(file).absolutePath() }) {
            Bench b;
            QString error;
            QVERIFY2(b.tool.eds.add(spec, &error), qPrintable(error));
            QCOMPARE(cmdSdo(b.tool, { "read", "1", "Producer heartbeat time" }), 0);
            QCOMPARE(cmdSdo(b.tool, { "write", "1", "producer heartbeat time", "700" }), 0);
            QCOMPARE(cmdSdo(b.tool, { "read", "1", "0x1008" }), 0);
            QCOMPARE(cmdSdo(b.tool, { "read", "1", "No such object" }), 2);
            QCOMPARE(b.out, "1000 (0x3e8)\nwritten\nI/O module\n");
            b.out.clear();
            QCOMPARE(cmdOd(b.tool, { "1" }), 0);
            QVERIFY2(b.out.contains("0x1017:0   u16      rw     Producer heartbeat time = 700 (0x2bc)\n"),
                qPrintable(b.out));
            QVERIFY(b.out.contains(
                "0x1018:4   u32      ro     Identity object.Serial number = 439025665 (0x1a2b0001)\n"));
            QCOMPARE(b.out.count('\n'), 16);
            b.out.clear();
            QCOMPARE(cmdScan(b.tool, {}), 0);
            QVERIFY(b.out.contains("0x1a2b0001  I/O module (Tarnwick Simulation)\n"));
            QVERIFY(b.out.contains("0x1a2b0002\n")); // another product: not named
        }
    }
    void dumpFiltersAndFormats()
    {
        // The boot-up messages of the network powering on, one node's only, as JSON.
        Bench b(true);
        QCOMPARE(cmdDump(b.tool, { "--duration", "100", "--node", "3" }), 0);
        QVERIFY(!b.lines().isEmpty());
        for (const QString &line : b.lines())
            QVERIFY2(line.contains(R"("node":3,)"), qPrintable(line));
        QVERIFY2(
            QRegularExpression(R"(^\{"data":"00","id":"0x703","node":3,"protocol":"HB","state":"boot-up",)"
                               R"("text":"boot-up node 3","time":"\d+\.\d{6}"\}$)")
                .match(b.lines().first())
                .hasMatch(),
            qPrintable(b.out));
        Bench raw;
        QCOMPARE(cmdDump(raw.tool, { "--duration", "100", "--raw", "--id", "0x701,0x70a" }), 0);
        QCOMPARE(raw.lines().size(), 2);
        QVERIFY2(QRegularExpression("^\\(\\d+\\.\\d{6}\\) can0 701#00$").match(raw.lines().at(0)).hasMatch(),
            qPrintable(raw.out));
        QVERIFY(raw.lines().at(1).endsWith(" can0 70A#00"));
    }
};

QTEST_GUILESS_MAIN(tst_ToolCommands)
#include "tst_toolcommands.moc"
