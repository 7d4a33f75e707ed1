// The tarnwick tool end to end, as a user runs it.
#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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
    void abortAfterTimeoutReachesTheBus();
    void frameLog();
    void dumpBesideTheSimulator();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run tarnwick(const QStringList &args, int timeoutMs = 60000, const QStringList &environment = {});
    QString virtualBus(int offset) const;
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

QString tst_TarnwickTool::virtualBus(int offset) const
{
    return QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(40000 + offset + int(QCoreApplication::applicationPid() % 5000));
}

tst_TarnwickTool::Run tst_TarnwickTool::tarnwick(const QStringList &args, int timeoutMs, const QStringList &environment)
{
    QProcess p;
    if (!environment.isEmpty())
        p.setEnvironment(QProcess::systemEnvironment() + environment);
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
    QCOMPARE(lines.size(), 5);
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
        "  10  0x00020194", "5 node(s) found"});
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
    row("lss fd-scan", {"--fd", "lss", "fd-scan", "30"}, 0,
        {"found vendor 0x000004b1 product 0x00401f01", "node-ID 30 (network 1) configured and stored; the device started with it"});
    row("lss fd inquire", {"--fd", "lss", "inquire"}, 0, {"node-ID 20 network 1", "serial 0x1a2c0014"});
    row("lss fd configure", {"--fd", "lss", "--network", "4", "configure", "0x4b1", "0x401f01", "0x10001", "0x1a2c00ff", "31"},
        0, {"node-ID 31 (network 4) configured and stored"});
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
    row("lss fd-scan bad node", {"--fd", "lss", "fd-scan", "200"}, 2, {"node-ID 1..127"});
    row("lss fd window", {"--fd", "lss", "--window", "100", "fd-scan"}, 2, {"1..99 ms"});
    row("usdo read", {"--fd", "sdo", "--usdo", "read", "2", "0x1018:2", "u32"}, 0, {"4202512 (0x402010)"});
    row("usdo string", {"--fd", "sdo", "--usdo", "read", "3", "0x1008", "string"}, 0, {"absolute encoder"});
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
        { { "scan", "--timeout", "20" }, 0, "5 node(s) found" },
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

void tst_TarnwickTool::abortAfterTimeoutReachesTheBus()
{
    // This test is the first client of the virtual bus (its server) and sees every frame.
    const QString bus = virtualBus(7000);
    QString error;
    std::unique_ptr<QCanBusDevice> listener(QCanBus::instance()->createDevice(
        QStringLiteral("virtualcan"), bus.mid(bus.indexOf(QLatin1Char(':')) + 1), &error));
    QVERIFY2(listener, qPrintable(error));
    QVERIFY(listener->connectDevice());
    QTRY_COMPARE(listener->state(), QCanBusDevice::ConnectedState);
    QList<QCanBusFrame> frames;
    connect(listener.get(), &QCanBusDevice::framesReceived, this, [&] {
        while (listener->framesAvailable())
            frames << listener->readFrame();
    });
    for (int i = 0; i < 3; ++i) {
        frames.clear();
        const Run r = tarnwick({"--bus", bus, "sdo", "--timeout", "50", "read", "99", "0x1000", "u32"});
        QCOMPARE(r.exitCode, 3);
        QTRY_COMPARE(frames.size(), 2);
        QCOMPARE(frames.at(0).frameId(), 0x663u);
        QCOMPARE(frames.at(0).payload(), QByteArray::fromHex("4000100000000000"));
        QCOMPARE(frames.at(1).frameId(), 0x663u);
        QCOMPARE(frames.at(1).payload(), QByteArray::fromHex("8000100000000405"));
    }
}

void tst_TarnwickTool::frameLog()
{
    const Run r = tarnwick({"sdo", "read", "1", "0x1018:1", "u32"}, 60000, {"QT_LOGGING_RULES=tarnwick.can.frames.debug=true"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains(QLatin1String("TX  601   [8]  40 18 10 01 00 00 00 00\n")), qPrintable(r.err));
    QVERIFY(r.err.contains(QLatin1String("RX  581   [8]  43 18 10 01 B1 04 00 00\n")));
    // Off by default (the other tests see an empty stderr).
}

void tst_TarnwickTool::dumpBesideTheSimulator()
{
    const QString bus = virtualBus(2500);
    QProcess sim;
    sim.start(mSim, {QStringLiteral("--bus"), bus});
    QVERIFY(sim.waitForStarted());
    QByteArray simOut;
    QTRY_VERIFY_WITH_TIMEOUT((simOut += sim.readAllStandardOutput()).contains("ready"), 10000);
    QProcess dump;
    dump.start(mTool, {"--bus", bus, "dump"});
    QVERIFY(dump.waitForStarted());
    QByteArray dumped;
    // The dump shows the simulator's heartbeats once it is on the bus.
    QTRY_VERIFY_WITH_TIMEOUT((dumped += dump.readAllStandardOutput()).contains("heartbeat node"), 10000);

    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("image.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(300, '\x5a'));
    image.close();
    QCOMPARE(tarnwick({"--bus", bus, "scan", "--timeout", "200"}).exitCode, 0);
    QCOMPARE(tarnwick({"--bus", bus, "sdo", "upload", "2", "0x1008", dir.filePath(QStringLiteral("name.bin"))}).exitCode, 0);
    const Run flash = tarnwick({"--bus", bus, "uds", "--security", "1", "flash", image.fileName(), "0x10000"});
    QVERIFY2(flash.exitCode == 0, qPrintable(flash.err));
    for (const char *text : {"SDO answer node 10: upload 0x1000:0 expedited: 94 01 02 00",
                             "SDO answer node 2: upload 0x1008:0 segmented, 11 bytes",
                             "SDO answer node 2: upload segment toggle 1 last: 72 69 76 65",
                             "UDS 0x7e8 positive response RequestDownload",
                             "UDS 0x7e8 positive response TransferData",
                             "UDS 0x7e8 positive response RequestTransferExit"})
        QTRY_VERIFY2_WITH_TIMEOUT((dumped += dump.readAllStandardOutput()).contains(text), qPrintable(QString::fromLatin1(text)), 10000);
    dump.terminate();
    QVERIFY(dump.waitForFinished(5000));
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_TarnwickTool)
#include "tst_tarnwicktool.moc"
