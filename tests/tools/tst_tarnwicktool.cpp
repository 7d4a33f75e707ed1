// The tarnwick tool end to end, as a user runs it.
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class tst_TarnwickTool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void scanJsonAndPdos();
    void sdoUploadWritesTheFileOnlyOnSuccess();
    void crossProcessOverVirtualCan();
    void crossProcessThroughGateway();
    void usdoFileRoundTripsOverVirtualCan();
    void blockTransfers();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run tarnwick(const QStringList &args, int timeoutMs = 60000);
    QString mTool;
    QString mSim;
};

void tst_TarnwickTool::initTestCase()
{
    const QString build = qEnvironmentVariable("TARNWICK_BUILD_DIR");
    QVERIFY2(!build.isEmpty(), "TARNWICK_BUILD_DIR is not set (run through ctest)");
    mTool = build + QStringLiteral("/tools/tarnwick");
    mSim = build + QStringLiteral("/tools/tarnwick-sim");
    QVERIFY2(QFile::exists(mTool), qPrintable(mTool));
}

tst_TarnwickTool::Run tst_TarnwickTool::tarnwick(const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.start(mTool, args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("timed out");
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

void tst_TarnwickTool::scanJsonAndPdos()
{
    const Run r = tarnwick({QStringLiteral("--json"), QStringLiteral("scan"), QStringLiteral("--pdo")});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    // Node 3's PDO has no inhibit time: the parameter phase ends at its sub-index 3.
    QVERIFY(lines.at(2).contains(QLatin1String("\"pdo\":\"TPDO1\"")));
    QVERIFY(!lines.at(2).contains(QLatin1String("inhibitTime")));
    QVERIFY(lines.at(1).contains(QLatin1String("RPDO4")));
    QVERIFY(lines.at(0).contains(QLatin1String("\"mapping\":[\"0x60000108\",\"0x64010110\"]")));
}

void tst_TarnwickTool::commands_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("texts"); // on stdout after success, else on stderr (stdout empty)
    auto row = [](const char *name, QStringList args, int exitCode, QStringList texts) {
        QTest::newRow(name) << args << exitCode << texts;
    };
    // clang-format off
    row("scan", {"scan"}, 0, {"   1  0x000f0191   0x000004b1  0x00401001  0x00010003  0x1a2b0001",
        "  10  0x00020194", "4 node(s) found"});
    row("sdo read u32", {"sdo", "read", "1", "0x1018:1", "u32"}, 0, {"1201 (0x4b1)"});
    row("sdo read string", {"sdo", "read", "2", "0x1008", "string"}, 0, {"servo drive"});
    row("sdo block read string", {"sdo", "--block", "read", "2", "0x1008", "string"}, 0, {"servo drive"});
    row("sdo write u16", {"sdo", "write", "1", "0x1017", "u16", "250"}, 0, {"written"});
    row("sdo abort", {"sdo", "read", "1", "0x2000", "u32"}, 4, {"0x06020000 Object does not exist"});
    row("sdo read-only", {"sdo", "write", "1", "0x1000", "u32", "1"}, 4, {"0x06010002"});
    row("sdo absent node", {"sdo", "--timeout", "100", "read", "42", "0x1000", "u32"}, 3, {"did not answer"});
    row("nmt all", {"nmt", "preop"}, 0, {"sent preop to all nodes"});
    row("nmt node", {"nmt", "reset-comm", "3"}, 0, {"sent reset-comm to node 3"});
    row("sync", {"sync", "--period", "5", "--count", "3", "--counter", "4"}, 0, {"SYNC on 0x80"});
    row("help", {"sdo", "--help"}, 0, {"Usage: tarnwick [global options] sdo"});
    row("lss scan", {"lss", "--timeout", "20", "scan", "0x4b1", "0x00401001"}, 0, {"2 device(s) found"});
    row("lss fastscan", {"lss", "--timeout", "15", "fastscan", "20"}, 0, {"node-ID 20 configured and stored"});
    row("uds did", {"uds", "read-did", "0xF190"}, 0, {"\"TWK0SIMULATED0001\""});
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
    row("usdo read", {"--fd", "sdo", "--usdo", "read", "2", "0x1018:2", "u32"}, 0, {"4202512 (0x402010)"});
    row("usdo string", {"--fd", "sdo", "--usdo", "read", "3", "0x1008", "string"}, 0, {"absolute encoder"});
    row("usdo abort", {"--fd", "sdo", "--usdo", "read", "1", "0x2000", "u32"}, 4,
        {"0x33 Object does not exist in the object dictionary"});
    row("usdo broadcast", {"--fd", "sdo", "--usdo", "--all", "read", "0x1018:1", "u32"}, 0,
        {"node 1: 1201 (0x4b1)\nnode 2: 1201 (0x4b1)\nnode 3: 2613 (0xa35)\nnode 10: 2613 (0xa35)\n4 node(s) answered"});
    row("usdo without fd", {"sdo", "--usdo", "read", "2", "0x1000", "u32"}, 2, {"--usdo needs CAN FD"});
    row("usdo broadcast write", {"--fd", "sdo", "--usdo", "--all", "write", "0x2000", "u8", "1"}, 2, {"--all is a USDO"});
    // clang-format on
}

void tst_TarnwickTool::commands()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QStringList, texts);
    const Run r = tarnwick(args);
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.err));
    for (const QString &text : texts)
        QVERIFY2((exitCode == 0 ? r.out : r.err).contains(text), qPrintable(r.out + r.err));
    // No progress bar when stderr is not a terminal; nothing on stdout after an error.
    QVERIFY(exitCode == 0 ? r.err.isEmpty() : r.out.isEmpty());
}

void tst_TarnwickTool::sdoUploadWritesTheFileOnlyOnSuccess()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("name.bin"));
    Run r = tarnwick({"sdo", "upload", "1", "0x1008", file});
    QCOMPARE(r.exitCode, 0);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("I/O module"));
    const QString missing = dir.filePath(QStringLiteral("missing.bin"));
    r = tarnwick({"sdo", "upload", "1", "0x2000", missing});
    QCOMPARE(r.exitCode, 4);
    QVERIFY(!QFile::exists(missing));
    r = tarnwick({"sdo", "upload", "1", "0x1008", dir.filePath(QStringLiteral("no/such/dir/x.bin"))});
    QCOMPARE(r.exitCode, 6);
}

void tst_TarnwickTool::crossProcessOverVirtualCan()
{
    // tarnwick-sim hosts the virtualcan server on a port of this test's own.
    const int port = 40000 + int(QCoreApplication::applicationPid() % 5000);
    const QString bus = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(port);
    QProcess sim;
    sim.start(mSim, {QStringLiteral("--bus"), bus});
    QVERIFY(sim.waitForStarted());
    QByteArray simOut;
    QTRY_VERIFY_WITH_TIMEOUT((simOut += sim.readAllStandardOutput()).contains("ready"), 10000);

    Run r = tarnwick({"--bus", bus, "sdo", "read", "2", "0x1018:2", "u32"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QLatin1String("(0x402010)")), qPrintable(r.out + r.err));

    r = tarnwick({"--bus", bus, "uds", "--security", "1", "read-memory", "0x10000", "4"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QLatin1String("63 ff ff ff ff")), qPrintable(r.out + r.err));

    r = tarnwick({"--bus", bus, "sdo", "--timeout", "200", "read", "99", "0x1000", "u32"});
    QCOMPARE(r.exitCode, 3);

    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
}

void tst_TarnwickTool::crossProcessThroughGateway()
{
    // tarnwick-sim serves its network through a CiA 309-3 gateway on a free port it names.
    QProcess sim;
    sim.start(mSim, { QStringLiteral("--gateway"), QStringLiteral("0") });
    QVERIFY(sim.waitForStarted());
    QByteArray simOut;
    QTRY_VERIFY_WITH_TIMEOUT((simOut += sim.readAllStandardOutput()).contains("ready"), 10000);
    const QByteArray port = simOut.mid(simOut.lastIndexOf(':') + 1).split(' ').first();
    const QString bus = QStringLiteral("cia309:127.0.0.1:") + QString::fromLatin1(port);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("domain.bin"));
    const struct
    {
        QStringList args;
        int exitCode;
        QString text; // on stdout for 0, else on stderr
    } runs[] = {
        { { "scan", "--timeout", "20" }, 0, "4 node(s) found" },
        { { "sdo", "read", "1", "0x1018:1", "u32" }, 0, "1201 (0x4b1)" },
        { { "sdo", "read", "2", "0x1008", "string" }, 0, "servo drive" },
        { { "sdo", "read", "1", "0x2000", "u32" }, 4, "0x06020000 Object does not exist" },
        { { "sdo", "upload", "1", "0x2F00", file }, 0, "65536 bytes uploaded" },
        { { "nmt", "start", "2" }, 0, "sent start to node 2" },
        { { "lss", "configure", "0x4b1", "0x00401001", "0x00010003", "0x1a2b00ff", "21" }, 0,
            "node-ID 21 configured and stored" },
        { { "lss", "configure", "0x4b1", "0x00401001", "0x00010003", "0x1a2b0099", "22" }, 1,
            "gateway answered with an error" },
        { { "lss", "fastscan" }, 2, "lss fastscan is not offered through a CiA 309 gateway" },
        { { "uds", "dtc" }, 2, "UDS is not offered through a CiA 309 gateway" },
    };
    for (const auto &run : runs) {
        const Run r = tarnwick(QStringList { "--bus", bus } + run.args);
        QVERIFY2(r.exitCode == run.exitCode, qPrintable(run.args.join(' ') + ": " + r.out + r.err));
        QVERIFY2((run.exitCode == 0 ? r.out : r.err).contains(run.text), qPrintable(r.out + r.err));
    }
    QFile uploaded(file);
    QVERIFY(uploaded.open(QIODevice::ReadOnly));
    const QByteArray data = uploaded.readAll();
    QCOMPARE(data.size(), 64 * 1024);
    QCOMPARE(data.at(300), char(300 * 7 + 1));

    // A reset node boots up again: the monitor sees its boot-up line.
    QProcess monitor;
    monitor.start(mTool, { "--bus", bus, "monitor", "--duration", "3000", "--nodes", "3" });
    QVERIFY(monitor.waitForStarted());
    QTest::qWait(500);
    QCOMPARE(tarnwick({ "--bus", bus, "nmt", "reset-node", "3" }).exitCode, 0);
    QVERIFY(monitor.waitForFinished(10000));
    QVERIFY2(monitor.readAllStandardOutput().contains("node   3  NMT boot-up"), "no boot-up seen");

    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(tarnwick({ "--bus", bus, "sdo", "read", "1", "0x1000", "u32" }).exitCode, 5); // gone

    // The gateway in front of a network on virtualcan, a strict bus of its own.
    const int canPort = 45000 + int(QCoreApplication::applicationPid() % 5000);
    QProcess onCan;
    onCan.start(mSim, { "--bus", QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(canPort), "--gateway", "0" });
    QVERIFY(onCan.waitForStarted());
    simOut.clear();
    QTRY_VERIFY_WITH_TIMEOUT((simOut += onCan.readAllStandardOutput()).contains("ready"), 10000);
    const int at = simOut.indexOf("gateway on 127.0.0.1:") + 21;
    const QString canBus = QStringLiteral("cia309:127.0.0.1:") + QString::fromLatin1(simOut.mid(at, simOut.indexOf('\n', at) - at));
    const Run r = tarnwick({ "--bus", canBus, "sdo", "upload", "1", "0x2F00", file });
    QVERIFY2(r.exitCode == 0 && r.out.contains("65536 bytes uploaded"), qPrintable(r.out + r.err));
    onCan.terminate();
    QVERIFY(onCan.waitForFinished(5000));
}

void tst_TarnwickTool::blockTransfers()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("image.bin"));
    const QString back = dir.filePath(QStringLiteral("back.bin"));
    QByteArray data(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 131) ^ (i >> 8));
    QFile f(image);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();

    // The in-process network's program-data domain, then a byte-exact round trip through that
    // of tarnwick-sim over virtualcan.
    Run r = tarnwick({"sdo", "--block", "download", "2", "0x1F50:1", image});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QLatin1String("65536 bytes downloaded")), qPrintable(r.out + r.err));

    const int port = 45000 + int(QCoreApplication::applicationPid() % 5000);
    const QString bus = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(port);
    QProcess sim;
    sim.start(mSim, {QStringLiteral("--bus"), bus});
    QVERIFY(sim.waitForStarted());
    QByteArray simOut;
    QTRY_VERIFY_WITH_TIMEOUT((simOut += sim.readAllStandardOutput()).contains("ready"), 10000);
    r = tarnwick({"--bus", bus, "sdo", "--block", "download", "2", "0x1F50:1", image});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    r = tarnwick({"--bus", bus, "sdo", "--block", "upload", "2", "0x1F50:1", back});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    QVERIFY2(r.out.contains(QLatin1String("65536 bytes uploaded")), qPrintable(r.out));
    QFile b(back);
    QVERIFY(b.open(QIODevice::ReadOnly));
    QVERIFY(b.readAll() == data);
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

void tst_TarnwickTool::usdoFileRoundTripsOverVirtualCan()
{
    // tarnwick-sim on CAN FD hosts the virtualcan server on a port of this test's own.
    const int port = 35000 + int(QCoreApplication::applicationPid() % 5000);
    const QString bus = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(port);
    QProcess sim;
    sim.start(mSim, {QStringLiteral("--fd"), QStringLiteral("--bus"), bus});
    QVERIFY(sim.waitForStarted());
    QByteArray simOut;
    QTRY_VERIFY_WITH_TIMEOUT((simOut += sim.readAllStandardOutput()).contains("ready"), 10000);
    QTemporaryDir dir;
    QByteArray data(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 31) ^ (i >> 8));
    const QString in = dir.filePath(QStringLiteral("in.bin"));
    QFile f(in);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
    f.close();
    // USDO segmented to node 2, USDO bulk to node 3; each read back by a USDO segmented upload.
    for (const QString &node : {QStringLiteral("2"), QStringLiteral("3")}) {
        const QStringList how = node == QLatin1String("3") ? QStringList{QStringLiteral("--block")} : QStringList();
        Run r = tarnwick(QStringList{"--bus", bus, "--fd", "sdo", "--usdo"} + how + QStringList{"download", node, "0x1F50:1", in});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        const QString out = dir.filePath(QStringLiteral("out%1.bin").arg(node));
        r = tarnwick({"--bus", bus, "--fd", "sdo", "--usdo", "upload", node, "0x1F50:1", out});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QFile back(out);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QVERIFY(back.readAll() == data);
    }
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_TarnwickTool)
#include "tst_tarnwicktool.moc"
