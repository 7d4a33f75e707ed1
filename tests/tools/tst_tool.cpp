// The tarnwick tool end to end, as a user runs it: in-process networks, and tarnwick-sim over
// QtSerialBus's virtualcan plugin (classic and CAN FD) and through a CiA 309-3 gateway; and its
// commands run in-process against the simulated network, so that the test can shape the devices
// and look at their state afterwards.
#include "simlssslave.h"
#include "simnetwork.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"
#include "tool.h"
#include "toolbus.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <random>

/// One run of the tool: its arguments ("%bus" the simulator's bus, "%/" the test's directory),
/// its exit code and a text on stdout after success, else on stderr (stdout then empty).
struct Step
{
    QStringList args;
    int exitCode;
    QString text;
};
Q_DECLARE_METATYPE(QList<Step>)

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
    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};
} // namespace

class tst_Tool : public QObject
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
        b.server(10)->setScript(0x1000, 0, { 0x06020000 });
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
        b.server(1)->setScript(
            0x1A01, 2, { 0x06040041 }); // a mapping entry within the count that cannot be read
        QCOMPARE(cmdScan(b.tool, { "--pdo" }), 0);
        const QStringList lines = b.lines();
        QVERIFY(lines.size() == 5 && lines.at(0).count("\"pdo\"") == 4 && lines.at(1).count("\"pdo\"") == 8);
        QVERIFY(lines.at(0).contains(R"("mapping":["0x60000208",null],"pdo":"TPDO2")"));
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
        QVERIFY2(raw.lines().size() == 2 && raw.lines().at(1).endsWith(" can0 70A#00")
                && QRegularExpression("^\\(\\d+\\.\\d{6}\\) can0 701#00$")
                       .match(raw.lines().at(0))
                       .hasMatch(),
            qPrintable(raw.out));
    }
    void initTestCase()
    {
        const QString build = qEnvironmentVariable("TARNWICK_BUILD_DIR");
        QVERIFY2(!build.isEmpty(), "TARNWICK_BUILD_DIR is not set (run through ctest)");
        mTool = build + QStringLiteral("/tools/tarnwick");
        mSim = build + QStringLiteral("/tools/tarnwick-sim");
        QVERIFY2(QFile::exists(mTool), qPrintable(mTool));
        std::mt19937 random(7);
        for (char &c : mImage)
            c = char(random());
        for (const auto &[name, data] :
            { std::pair { "image.bin", mImage }, { "small.bin", QByteArray(300, 'Z') } }) {
            QFile f(mDir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
        }
    }
    void commands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("texts"); // on stdout after success, else on stderr (stdout empty)
        auto row = [](const char *name, QStringList args, int exitCode, QStringList texts) {
            QTest::newRow(name) << args << exitCode << texts;
        };
        // clang-format off
        // Node 3's PDO has no inhibit time: the parameter phase ends at its sub-index 3.
        row("scan json", {"--json", "scan", "--pdo"}, 0, {"\"mapping\":[\"0x60000108\",\"0x64010110\"]",
            "\"node\":3,\"pdos\":[{\"cobId\":\"0x00000183\",\"eventTimer\":0,\"mapping\"", "RPDO4"});
        row("sdo write u16", {"sdo", "write", "1", "0x1017", "u16", "250"}, 0, {"written"});
        row("sdo abort", {"sdo", "read", "1", "0x2000", "u32"}, 4, {"0x06020000 Object does not exist"});
        row("sdo absent node", {"sdo", "--timeout", "100", "read", "42", "0x1000", "u32"}, 3, {"did not answer"});
        // A file is written only on success: "file:" its contents, "nofile" none.
        row("sdo upload", {"sdo", "upload", "1", "0x1008", "%/name.bin"}, 0, {"file:I/O module"});
        row("sdo upload aborted", {"sdo", "upload", "1", "0x2000", "%/aborted.bin"}, 4, {"nofile"});
        row("sdo upload, no directory", {"sdo", "upload", "1", "0x1008", "%/no/dir/x.bin"}, 6, {"nofile"});
        row("nmt all", {"nmt", "preop"}, 0, {"sent preop to all nodes"});
        row("nmt node", {"nmt", "reset-comm", "3"}, 0, {"sent reset-comm to node 3"});
        row("sync", {"sync", "--period", "5", "--count", "3", "--counter", "4"}, 0, {"SYNC on 0x80"});
        row("help", {"sdo", "--help"}, 0, {"Usage: tarnwick [global options] sdo"});
        row("lss scan", {"lss", "--timeout", "20", "scan", "0x4b1", "0x00401001"}, 0, {"2 device(s) found"});
        row("lss fastscan", {"lss", "--timeout", "15", "fastscan", "20"}, 0, {"node-ID 20 configured and stored"});
        row("lss fd-scan", {"--fd", "lss", "fd-scan", "30"}, 0,
            {"found vendor 0x000004b1 product 0x00401f01", "node-ID 30 (network 1) configured and stored; the device started with it"});
        row("lss fd inquire", {"--fd", "lss", "inquire"}, 0, {"node-ID 20 network 1", "serial 0x1a2c0014"});
        row("lss fd configure", {"--fd", "lss", "--network", "4", "configure", "0x4b1", "0x401f01", "0x10001", "0x1a2c00ff", "31"},
            0, {"node-ID 31 (network 4) configured and stored"});
        row("uds dtc", {"uds", "dtc"}, 0, {"DTC 0x012345 status 0x09"});
        row("monitor", {"monitor", "--duration", "1200", "--nodes", "1,2"}, 0, {"node   1  Connection OK"});
        row("no command", {}, 2, {"Usage"});
        row("unknown command", {"frobnicate"}, 2, {"unknown command"});
        row("unknown option", {"--frob", "scan"}, 2, {"unknown option"});
        row("bad node", {"sdo", "read", "128", "0x1000", "u32"}, 2, {"node-ID must be 1..127"});
        row("node zero", {"nmt", "start", "0"}, 2, {"node-ID"});
        row("bad type", {"sdo", "read", "1", "0x1000", "float"}, 2, {"unknown data type"});
        row("bad number", {"sdo", "write", "1", "0x1017", "u16", "0x1FFFF"}, 2, {"not a valid u16"});
        row("bad object", {"sdo", "read", "1", "0x10000", "u32"}, 2, {"bad object"});
        row("bad nmt", {"nmt", "jump"}, 2, {"unknown NMT command"});
        row("unreadable file", {"sdo", "download", "1", "0x1008", "/nonexistent/file"}, 6, {"cannot read"});
        row("no such plugin", {"--bus", "nosuchplugin:can0", "scan"}, 5, {"not available"});
        row("malformed bus", {"--bus", "can0", "scan"}, 2, {"bad bus"});
        row("uds bad action", {"uds", "explode"}, 2, {"unknown action"});
        row("lss bad node", {"lss", "fastscan", "300"}, 2, {"fastscan takes"});
        row("lss fd-scan bad node", {"--fd", "lss", "fd-scan", "200"}, 2, {"node-ID 1..127"});
        row("lss fd window", {"--fd", "lss", "--window", "100", "fd-scan"}, 2, {"1..99 ms"});
        row("usdo read", {"--fd", "sdo", "--usdo", "read", "2", "0x1018:2", "u32"}, 0, {"4202512 (0x402010)"});
        row("usdo abort", {"--fd", "sdo", "--usdo", "read", "1", "0x2000", "u32"}, 4,
            {"0x33 Object does not exist in the object dictionary"});
        row("usdo broadcast", {"--fd", "sdo", "--usdo", "--all", "read", "0x1018:1", "u32"}, 0,
            {"node 1: 1201 (0x4b1)\nnode 2: 1201 (0x4b1)\nnode 3: 2613 (0xa35)\nnode 10: 2613 (0xa35)\nnode 5: 2613 (0xa35)\nnode 20: 1201 (0x4b1)\n6 node(s) answered"});
        row("usdo without fd", {"sdo", "--usdo", "read", "2", "0x1000", "u32"}, 2, {"--usdo needs CAN FD"});
        row("usdo broadcast write", {"--fd", "sdo", "--usdo", "--all", "write", "0x2000", "u8", "1"}, 2, {"--all is a USDO"});
        row("od without eds", {"od", "1"}, 2, {"needs the node's EDS or DCF file"});
        row("name without eds", {"sdo", "read", "1", "Device type"}, 2, {"or name it with --eds"});
        row("missing eds", {"--eds", "/nonexistent/device.eds", "scan"}, 6, {"/nonexistent/device.eds: "});
        row("dump bad filter", {"dump", "--node", "200"}, 2, {"--node needs node-IDs"});
        // clang-format on
    }
    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QStringList, texts);
        const Run r = tarnwick(args);
        QVERIFY2(r.exitCode == exitCode, qPrintable(r.err));
        const QString file
            = QString(args.value(args.size() - 1)).replace(QStringLiteral("%/"), mDir.path() + '/');
        for (const QString &text : texts) {
            if (text.startsWith(QLatin1String("file:")))
                QCOMPARE(readFile(file), text.mid(5).toUtf8());
            else if (text == QLatin1String("nofile"))
                QVERIFY(!QFile::exists(file));
            else
                QVERIFY2((exitCode == 0 ? r.out : r.err).contains(text), qPrintable(r.out + r.err));
        }
        // No progress bar when stderr is not a terminal; nothing on stdout after an error.
        QVERIFY(exitCode == 0 ? r.err.isEmpty() : r.out.isEmpty());
    }
    void againstTheSimulator_data()
    {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QStringList>("beside"); // a tool run beside the steps, started first
        QTest::addColumn<QStringList>("shows"); // what it prints: the first before the steps begin
        QTest::addColumn<QList<Step>>("steps");
        // Files the steps write: "copy*" must equal image.bin, "domain*" node 1's 64 KiB domain 0x2F00.
        const QStringList uds { "--fd", "uds", "--security", "1" }, usdo { "--fd", "sdo", "--usdo" };
        const QString gatewayOnly = " is not offered through a CiA 309 gateway";
        // clang-format off
        // tarnwick-sim hosts the virtualcan server; a dump beside it decodes what the tool's SDO, block
        // and UDS transfers put on the bus, also the abort of a timed-out request before the tool ends.
        QTest::newRow("virtualcan") << QStringList { "--bus", "%bus" } << QStringList { "dump" }
            << QStringList { "heartbeat node", "SDO answer node 10: upload 0x1000:0 expedited: 94 01 02 00",
                   "SDO answer node 2: upload 0x1008:0 segmented, 11 bytes", "SDO answer node 2: upload segment toggle 1 last: 72 69 76 65",
                   "SDO request node 99: abort 0x1000:0 0x05040000 SDO Protocol timed out", "UDS 0x7e8 positive response RequestDownload",
                   "UDS 0x7e8 positive response TransferData", "UDS 0x7e8 positive response RequestTransferExit" }
            << QList<Step> { { { "sdo", "read", "2", "0x1018:2", "u32" }, 0, "(0x402010)" },
                   { { "uds", "--security", "1", "read-memory", "0x10000", "4" }, 0, "63 ff ff ff ff" },
                   { { "sdo", "--timeout", "200", "read", "99", "0x1000", "u32" }, 3, "did not answer" },
                   { { "sdo", "--block", "download", "2", "0x1F50:1", "%/image.bin" }, 0, "65536 bytes downloaded" },
                   { { "sdo", "--block", "upload", "2", "0x1F50:1", "%/copy1.bin" }, 0, "65536 bytes uploaded" },
                   { { "scan", "--timeout", "200" }, 0, "5 node(s) found" },
                   { { "sdo", "upload", "2", "0x1008", "%/name.bin" }, 0, "11 bytes uploaded" },
                   { { "uds", "--security", "1", "flash", "%/small.bin", "0x10000" }, 0, "" } };
        // A 17-byte VIN (a padded single frame) and a 64 KiB flash over ISO-TP on CAN FD; USDO
        // segmented to node 2 and bulk to node 3, each read back segmented.
        QTest::newRow("virtualcan, CAN FD") << QStringList { "--fd", "--bus", "%bus" } << QStringList() << QStringList()
            << QList<Step> { { uds + QStringList { "write-did", "0xF190", "575441524e5749434b3030303030303137" }, 0, "" },
                   { { "--fd", "uds", "read-did", "0xF190" }, 0, "\"WTARNWICK00000017\"" },
                   { uds + QStringList { "flash", "%/image.bin", "0x10000" }, 0, "" },
                   { uds + QStringList { "dump", "%/copy1.bin", "0x10000", "65536" }, 0, "" },
                   { usdo + QStringList { "download", "2", "0x1F50:1", "%/image.bin" }, 0, "" },
                   { usdo + QStringList { "upload", "2", "0x1F50:1", "%/copy2.bin" }, 0, "" },
                   { usdo + QStringList { "--block", "download", "3", "0x1F50:1", "%/image.bin" }, 0, "" },
                   { usdo + QStringList { "upload", "3", "0x1F50:1", "%/copy3.bin" }, 0, "" } };
        // Its network behind a gateway on a free port it names; a reset node boots up again (the
        // monitor has nothing to show before).
        QTest::newRow("gateway") << QStringList { "--gateway", "0" } << QStringList { "monitor", "--duration", "60000", "--nodes", "3" }
            << QStringList { "", "node   3  NMT boot-up" }
            << QList<Step> { { { "scan", "--timeout", "20" }, 0, "5 node(s) found" },
                   { { "sdo", "read", "1", "0x1018:1", "u32" }, 0, "1201 (0x4b1)" },
                   { { "sdo", "read", "2", "0x1008", "string" }, 0, "servo drive" },
                   { { "sdo", "read", "1", "0x2000", "u32" }, 4, "0x06020000 Object does not exist" },
                   { { "sdo", "upload", "1", "0x2F00", "%/domain1.bin" }, 0, "65536 bytes uploaded" },
                   { { "nmt", "start", "2" }, 0, "sent start to node 2" },
                   { { "lss", "configure", "0x4b1", "0x00401001", "0x00010003", "0x1a2b00ff", "21" }, 0, "node-ID 21 configured and stored" },
                   { { "lss", "configure", "0x4b1", "0x00401001", "0x00010003", "0x1a2b0099", "22" }, 1, "gateway answered with an error" },
                   { { "nmt", "reset-node", "3" }, 0, "" },
                   { { "lss", "fastscan" }, 2, "lss fastscan" + gatewayOnly },
                   { { "uds", "dtc" }, 2, "UDS" + gatewayOnly },
                   { { "--fd", "lss", "fd-scan" }, 2, "lss fd-scan" + gatewayOnly } };
        // The gateway in front of a network on virtualcan, a strict bus of its own.
        QTest::newRow("gateway on virtualcan") << QStringList { "--bus", "%bus", "--gateway", "0" } << QStringList() << QStringList()
            << QList<Step> { { { "sdo", "upload", "1", "0x2F00", "%/domain2.bin" }, 0, "65536 bytes uploaded" } };
        // clang-format on
    }
    void againstTheSimulator()
    {
        QFETCH(QStringList, simArgs);
        QFETCH(QStringList, beside);
        QFETCH(QStringList, shows);
        QFETCH(QList<Step>, steps);
        static int rows = 0;
        const QString virtualBus
            = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0")
                  .arg(40000 + 1000 * rows++ + int(QCoreApplication::applicationPid() % 5000));
        QProcess sim;
        sim.start(mSim, simArgs.replaceInStrings(QStringLiteral("%bus"), virtualBus));
        QByteArray simOut;
        QVERIFY(sim.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT((simOut += sim.readAllStandardOutput()).contains("ready"), 10000);
        const QString port
            = QRegularExpression(QStringLiteral("gateway on 127.0.0.1:(\\d+)")).match(simOut).captured(1);
        const QString bus = port.isEmpty() ? virtualBus : QStringLiteral("cia309:127.0.0.1:") + port;
        QProcess side;
        QByteArray seen;
        if (!beside.isEmpty()) {
            side.start(mTool, QStringList { "--bus", bus } + beside);
            QTRY_VERIFY_WITH_TIMEOUT(
                (seen += side.readAllStandardOutput()).contains(shows.first().toUtf8()), 10000);
        }
        for (const Step &step : steps) {
            const Run r = tarnwick(QStringList { "--bus", "%bus" } + step.args, bus);
            QVERIFY2(r.exitCode == step.exitCode && (step.exitCode ? r.err : r.out).contains(step.text),
                qPrintable(step.args.join(' ') + ": " + r.out + r.err));
        }
        for (const QString &text : shows)
            QTRY_VERIFY2_WITH_TIMEOUT(
                (seen += side.readAllStandardOutput()).contains(text.toUtf8()), qPrintable(text), 10000);
        side.terminate();
        QVERIFY(beside.isEmpty() || side.waitForFinished(5000));
        QByteArray domain(64 * 1024, '\0');
        for (int i = 0; i < domain.size(); ++i)
            domain[i] = char(i * 7 + (i >> 8));
        for (const QFileInfo &file : QDir(mDir.path()).entryInfoList({ "copy*", "domain*" })) {
            QVERIFY2(readFile(file.filePath()) == (file.fileName().startsWith("copy") ? mImage : domain),
                qPrintable(file.fileName()));
            QFile::remove(file.filePath());
        }
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 0);
        if (!port.isEmpty()) // the gateway is gone
            QCOMPARE(tarnwick({ "--bus", bus, "sdo", "read", "1", "0x1000", "u32" }).exitCode, 5);
    }
    void frameLog()
    {
        // Off by default (the other tests see an empty stderr).
        const Run r = tarnwick({ "sdo", "read", "1", "0x1018:1", "u32" }, {},
            { "QT_LOGGING_RULES=tarnwick.can.frames.debug=true" });
        QVERIFY2(r.exitCode == 0 && r.err.contains("TX  601   [8]  40 18 10 01 00 00 00 00\n")
                && r.err.contains("RX  581   [8]  43 18 10 01 B1 04 00 00\n"),
            qPrintable(r.err));
    }

private:
    struct Run
    {
        int exitCode;
        QString out, err;
    };
    Run tarnwick(QStringList args, const QString &bus = {}, const QStringList &environment = {});
    static QByteArray readFile(const QString &name)
    {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
    }
    QString mTool, mSim;
    QTemporaryDir mDir;
    QByteArray mImage = QByteArray(64 * 1024, '\0'); // random, so that no misplaced block can match
};

tst_Tool::Run tst_Tool::tarnwick(QStringList args, const QString &bus, const QStringList &environment)
{
    args.replaceInStrings("%bus", bus).replaceInStrings("%/", mDir.path() + '/');
    QProcess p;
    p.setEnvironment(QProcess::systemEnvironment() + environment);
    p.start(mTool, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return { -1, {}, "timed out" };
    }
    return { p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2, p.readAllStandardOutput(),
        p.readAllStandardError() };
}

QTEST_GUILESS_MAIN(tst_Tool)
#include "tst_tool.moc"
