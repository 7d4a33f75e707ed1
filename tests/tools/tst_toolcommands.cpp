// The tool's commands run in-process against the simulated network, so that the test can
// shape the devices and look at their state afterwards.
#include "simlssslave.h"
#include "simnetwork.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"
#include "tool.h"
#include "toolbus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

class tst_ToolCommands : public QObject
{
    Q_OBJECT
private slots:
    void scanFindsExactlyThePresentNodes();
    void pdoTableShowsWhatTheDevicesHold();
    void integersPrintAsNumbers_data();
    void integersPrintAsNumbers();
    void lssLeavesTheNetworkWaiting_data();
    void lssLeavesTheNetworkWaiting();
    void edsNamesTypesAndDictionary();
    void dumpFiltersAndFormats();
};

namespace {
/// A tool on its own simulated network, its output kept.
struct Bench
{
    Tool tool;
    QString out;
    QString err;
    Bench()
    {
        tool.out.setString(&out);
        tool.err.setString(&err);
        int code = 0;
        tool.openBus(&code);
    }
    ~Bench() { delete tool.bus; }
    SimNetwork *sim() const { return tool.bus->simNetwork(); }
    SimSdoServer *server(quint8 node) const { return sim()->node(node)->findChild<SimSdoServer *>(); }
    QList<QJsonObject> json() const
    {
        QList<QJsonObject> objects;
        for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            objects << QJsonDocument::fromJson(line.toUtf8()).object();
        return objects;
    }
};
} // namespace

void tst_ToolCommands::scanFindsExactlyThePresentNodes()
{
    Bench b;
    // Node 3 answers late (within the window), node 10 aborts the device-type read.
    SimSdoServer::Script late;
    late.delayMs = 40;
    b.server(3)->setDefaultScript(late);
    SimSdoServer::Script abort;
    abort.abortCode = 0x06020000;
    b.server(10)->setScript(0x1000, 0, abort);
    QCOMPARE(cmdScan(b.tool, { QStringLiteral("--timeout"), QStringLiteral("100") }), 0);
    const QStringList lines = b.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 7);
    QCOMPARE(
        lines.at(1), QStringLiteral("   1  0x000f0191   0x000004b1  0x00401001  0x00010003  0x1a2b0001"));
    QVERIFY(lines.at(3).startsWith(QLatin1String("   3  0x00010196 ")));
    QVERIFY(lines.at(4).startsWith(QLatin1String("   5  0x00040191 ")));
    QCOMPARE(
        lines.at(5), QStringLiteral("  10  -            0x00000a35  0x00000404  0x00030002  0x00beef10"));
    QCOMPARE(lines.at(6), QStringLiteral("5 node(s) found"));
    // Every node-ID was asked once for the device type, the present ones once more.
    QCOMPARE(b.server(1)->requestsReceived(), quint64(6));
}

void tst_ToolCommands::pdoTableShowsWhatTheDevicesHold()
{
    Bench b;
    b.tool.json = true;
    // A mapping entry within the count that cannot be read shows as absent.
    SimSdoServer::Script abort;
    abort.abortCode = 0x06040041;
    b.server(1)->setScript(0x1A01, 2, abort);
    QCOMPARE(cmdScan(b.tool, { QStringLiteral("--pdo") }), 0);
    const QList<QJsonObject> nodes = b.json();
    QCOMPARE(nodes.size(), 5);
    auto pdos = [&](int i) { return nodes.at(i).value(QStringLiteral("pdos")).toArray(); };
    QCOMPARE(pdos(0).size(), 4);
    QCOMPARE(pdos(0).at(3).toObject().value(QStringLiteral("mapping")).toArray(),
        QJsonArray({ QStringLiteral("0x60000208"), QJsonValue() }));
    QCOMPARE(pdos(1).size(), 8);
    QCOMPARE(pdos(1).at(5).toObject().value(QStringLiteral("pdo")).toString(), QStringLiteral("TPDO2"));
    QCOMPARE(pdos(1).at(5).toObject().value(QStringLiteral("mapping")).toArray().size(), 2);
    // Node 5: no inhibit times, one mapped object of two filled entries, every PDO listed.
    const QJsonObject node5 = nodes.at(3);
    QCOMPARE(node5.value(QStringLiteral("node")).toInt(), 5);
    QStringList names;
    for (const QJsonValue &p : pdos(3)) {
        const QJsonObject o = p.toObject();
        names << o.value(QStringLiteral("pdo")).toString();
        QVERIFY(!o.contains(QStringLiteral("inhibitTime")));
        QCOMPARE(o.value(QStringLiteral("transmissionType")).toInt(), 255);
        QCOMPARE(o.value(QStringLiteral("mapping")).toArray().size(), 1);
    }
    QCOMPARE(names, QStringList({ "RPDO1", "RPDO2", "TPDO1", "TPDO2" }));
    QCOMPARE(
        pdos(3).at(3).toObject().value(QStringLiteral("cobId")).toString(), QStringLiteral("0x00000285"));
}

void tst_ToolCommands::integersPrintAsNumbers_data()
{
    QTest::addColumn<quint16>("dataType");
    QTest::addColumn<quint64>("stored");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("printed");
    QTest::newRow("u64") << quint16(SimObjectDictionary::Unsigned64) << quint64(0x1234567890ABCDEF) << "u64"
                         << "1311768467294899695 (0x1234567890abcdef)";
    QTest::newRow("u64 max") << quint16(SimObjectDictionary::Unsigned64) << ~quint64(0) << "u64"
                             << "18446744073709551615 (0xffffffffffffffff)";
    QTest::newRow("i64") << quint16(SimObjectDictionary::Integer64) << quint64(-1234567890123LL) << "i64"
                         << "-1234567890123";
    QTest::newRow("u40") << quint16(SimObjectDictionary::Unsigned40) << quint64(0xFFFFFFFFFF) << "u40"
                         << "1099511627775 (0xffffffffff)";
    QTest::newRow("u48") << quint16(SimObjectDictionary::Unsigned48) << quint64(0x123456789ABC) << "u48"
                         << "20015998343868 (0x123456789abc)";
}

void tst_ToolCommands::integersPrintAsNumbers()
{
    QFETCH(quint16, dataType);
    QFETCH(quint64, stored);
    QFETCH(QString, type);
    QFETCH(QString, printed);
    for (bool json : { false, true }) {
        Bench b;
        b.tool.json = json;
        b.sim()->node(1)->od()->addValue(0x2001, 0, dataType, SimObjectDictionary::ReadWrite, stored);
        QCOMPARE(
            cmdSdo(b.tool, { QStringLiteral("read"), QStringLiteral("1"), QStringLiteral("0x2001"), type }),
            0);
        if (json)
            QCOMPARE(b.json().value(0).value(QStringLiteral("value")).toString(), printed);
        else
            QCOMPARE(b.out, printed + QLatin1Char('\n'));
    }
}

void tst_ToolCommands::lssLeavesTheNetworkWaiting_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("inquire") << QStringList { "inquire" } << 0;
    QTest::newRow("identify") << QStringList { "identify" } << 0;
    QTest::newRow("bit-timing") << QStringList { "bit-timing", "0", "2" } << 0;
    QTest::newRow("bit-timing refused") << QStringList { "bit-timing", "0", "5" } << 4;
    QTest::newRow("activate-bit-timing") << QStringList { "activate-bit-timing", "10" } << 0;
    QTest::newRow("configure") << QStringList { "configure", "0x4b1", "0x00401001", "0x00010003",
        "0x1a2b00ff", "20" } << 0;
    QTest::newRow("configure nobody")
        << QStringList { "configure", "0x4b1", "0x00401001", "0x00010003", "0xdead", "20" } << 3;
    QTest::newRow("configure, store fails")
        << QStringList { "configure", "0x4b1", "0x00401001", "0x00010003", "0x1a2b00ff", "22" } << 4;
    QTest::newRow("fastscan") << QStringList { "fastscan", "21" } << 0;
    QTest::newRow("scan") << QStringList { "scan", "0x4b1", "0x00401001" } << 0;
}

void tst_ToolCommands::lssLeavesTheNetworkWaiting()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    Bench b;
    if (QByteArray(QTest::currentDataTag()).contains("store fails")) {
        for (SimCanopenNode *node : b.sim()->nodes())
            node->findChild<SimLssSlave *>()->setStoreError(1);
    }
    QCOMPARE(cmdLss(b.tool, QStringList { "--timeout", "15" } + args), exitCode);
    const QList<SimCanopenNode *> nodes = b.sim()->nodes();
    for (SimCanopenNode *node : nodes)
        QTRY_COMPARE(node->findChild<SimLssSlave *>()->lssState(), SimLssSlave::LssState_Waiting);
}

void tst_ToolCommands::edsNamesTypesAndDictionary()
{
    const QString file = QFINDTESTDATA("../../sim/eds/io_module.eds");
    for (const QString &spec : { file, QStringLiteral("1=") + file, QFileInfo(file).absolutePath() }) {
        Bench b;
        QString error;
        QVERIFY2(b.tool.eds.add(spec, &error), qPrintable(error));
        QCOMPARE(
            cmdSdo(b.tool,
                { QStringLiteral("read"), QStringLiteral("1"), QStringLiteral("Producer heartbeat time") }),
            0);
        QCOMPARE(cmdSdo(b.tool,
                     { QStringLiteral("write"), QStringLiteral("1"),
                         QStringLiteral("producer heartbeat time"), QStringLiteral("700") }),
            0);
        QCOMPARE(
            cmdSdo(b.tool, { QStringLiteral("read"), QStringLiteral("1"), QStringLiteral("0x1008") }), 0);
        QCOMPARE(
            cmdSdo(b.tool, { QStringLiteral("read"), QStringLiteral("1"), QStringLiteral("No such object") }),
            2);
        QCOMPARE(b.out, QStringLiteral("1000 (0x3e8)\nwritten\nI/O module\n"));
        b.out.clear();
        QCOMPARE(cmdOd(b.tool, { QStringLiteral("1") }), 0);
        QVERIFY2(b.out.contains(
                     QLatin1String("0x1017:0   u16      rw     Producer heartbeat time = 700 (0x2bc)\n")),
            qPrintable(b.out));
        QVERIFY(b.out.contains(QLatin1String(
            "0x1018:4   u32      ro     Identity object.Serial number = 439025665 (0x1a2b0001)\n")));
        QCOMPARE(b.out.count(QLatin1Char('\n')), 16);
        b.out.clear();
        QCOMPARE(cmdScan(b.tool, {}), 0);
        QVERIFY(b.out.contains(QLatin1String("0x1a2b0001  I/O module (Tarnwick Simulation)\n")));
        QVERIFY(b.out.contains(QLatin1String("0x1a2b0002\n"))); // another product: not named
    }
}

void tst_ToolCommands::dumpFiltersAndFormats()
{
    {
        // The boot-up messages of the network powering on, one node's only, as JSON.
        Bench b;
        b.tool.json = true;
        QCOMPARE(cmdDump(b.tool,
                     { QStringLiteral("--duration"), QStringLiteral("100"), QStringLiteral("--node"),
                         QStringLiteral("3") }),
            0);
        const QList<QJsonObject> lines = b.json();
        QVERIFY(!lines.isEmpty());
        for (const QJsonObject &o : lines)
            QCOMPARE(o.value(QStringLiteral("node")).toInt(), 3);
        QCOMPARE(lines.first().value(QStringLiteral("text")).toString(), QStringLiteral("boot-up node 3"));
        QCOMPARE(lines.first().value(QStringLiteral("protocol")).toString(), QStringLiteral("HB"));
        QCOMPARE(lines.first().value(QStringLiteral("id")).toString(), QStringLiteral("0x703"));
        QCOMPARE(lines.first().value(QStringLiteral("data")).toString(), QStringLiteral("00"));
    }
    {
        Bench b;
        QCOMPARE(cmdDump(b.tool,
                     { QStringLiteral("--duration"), QStringLiteral("100"), QStringLiteral("--raw"),
                         QStringLiteral("--id"), QStringLiteral("0x701,0x70a") }),
            0);
        const QStringList lines = b.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\(\\d+\\.\\d{6}\\) can0 701#00$"))
                     .match(lines.at(0))
                     .hasMatch(),
            qPrintable(lines.at(0)));
        QVERIFY(lines.at(1).endsWith(QLatin1String(" can0 70A#00")));
    }
}

QTEST_GUILESS_MAIN(tst_ToolCommands)
#include "tst_toolcommands.moc"
