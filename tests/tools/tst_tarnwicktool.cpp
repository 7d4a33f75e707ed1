// The tarnwick tool end to end, as a user runs it: in-process networks, tarnwick-sim over
// QtSerialBus's virtualcan plugin (classic and CAN FD) and through a CiA 309-3 gateway.
#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <random>

class tst_TarnwickTool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void scanJsonAndPdos();
    void sdoUploadWritesTheFileOnlyOnSuccess();
    void besideTheSimulatorOverVirtualCan();
    void canFdOverVirtualCan();
    void crossProcessThroughGateway();
    void abortAfterTimeoutReachesTheBus();
    void frameLog();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run tarnwick(const QStringList &args, const QStringList &environment = {});
    static QString virtualBus(int offset)
    {
        return QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0")
            .arg(40000 + offset + int(QCoreApplication::applicationPid() % 5000));
    }
    /// Starts tarnwick-sim and returns what it printed up to its "ready" line.
    QByteArray startSim(QProcess &sim, const QStringList &args)
    {
        sim.start(mSim, args);
        QByteArray out;
        const bool ready = sim.waitForStarted()
            && QTest::qWaitFor([&] { return (out += sim.readAllStandardOutput()).contains("ready"); }, 10000);
        return ready ? out : QByteArray("not ready");
    }
    static QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
    {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size() ? f.fileName() : QString();
    }
    static QByteArray readFile(const QString &name)
    {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
    }
    static void stop(QProcess &p)
    {
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 0);
    }
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

tst_TarnwickTool::Run tst_TarnwickTool::tarnwick(const QStringList &args, const QStringList &environment)
{
    QProcess p;
    if (!environment.isEmpty())
        p.setEnvironment(QProcess::systemEnvironment() + environment);
    p.start(mTool, args);
    Run r;
    if (!p.waitForFinished(60000)) {
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
    const Run r = tarnwick({ QStringLiteral("--json"), QStringLiteral("scan"), QStringLiteral("--pdo") });
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
    QCOMPARE(tarnwick({ "sdo", "upload", "1", "0x1008", file }).exitCode, 0);
    QCOMPARE(readFile(file), QByteArray("I/O module"));
    const QString missing = dir.filePath(QStringLiteral("missing.bin"));
    QCOMPARE(tarnwick({ "sdo", "upload", "1", "0x2000", missing }).exitCode, 4);
    QVERIFY(!QFile::exists(missing));
    QCOMPARE(tarnwick({ "sdo", "upload", "1", "0x1008", dir.filePath("no/such/dir/x.bin") }).exitCode, 6);
    // Block download to the in-process network's program-data domain.
    const Run r = tarnwick({ "sdo", "--block", "download", "2", "0x1F50:1",
        writeFile(dir, QStringLiteral("image.bin"), QByteArray(64 * 1024, '\x3c')) });
    QVERIFY2(r.exitCode == 0 && r.out.contains(QLatin1String("65536 bytes downloaded")),
        qPrintable(r.out + r.err));
}

// tarnwick-sim hosts the virtualcan server; a dump runs beside it and decodes what the tool's
// SDO, block and UDS transfers put on the bus.
void tst_TarnwickTool::besideTheSimulatorOverVirtualCan()
{
    const QString bus = virtualBus(2500);
    QProcess sim;
    startSim(sim, { QStringLiteral("--bus"), bus });
    QProcess dump;
    dump.start(mTool, { "--bus", bus, "dump" });
    QVERIFY(dump.waitForStarted());
    QByteArray dumped;
    // The dump shows the simulator's heartbeats once it is on the bus.
    QTRY_VERIFY_WITH_TIMEOUT((dumped += dump.readAllStandardOutput()).contains("heartbeat node"), 10000);

    QTemporaryDir dir;
    QByteArray data(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 131) ^ (i >> 8));
    const QString image = writeFile(dir, QStringLiteral("image.bin"), data);
    const QString back = dir.filePath(QStringLiteral("back.bin"));
    const struct
    {
        QStringList args;
        int exitCode;
        const char *text; // on stdout
    } runs[] = {
        { { "sdo", "read", "2", "0x1018:2", "u32" }, 0, "(0x402010)" },
        { { "uds", "--security", "1", "read-memory", "0x10000", "4" }, 0, "63 ff ff ff ff" },
        { { "sdo", "--timeout", "200", "read", "99", "0x1000", "u32" }, 3, "" },
        { { "sdo", "--block", "download", "2", "0x1F50:1", image }, 0, "65536 bytes downloaded" },
        { { "sdo", "--block", "upload", "2", "0x1F50:1", back }, 0, "65536 bytes uploaded" },
        { { "scan", "--timeout", "200" }, 0, "" },
        { { "sdo", "upload", "2", "0x1008", dir.filePath(QStringLiteral("name.bin")) }, 0, "" },
        { { "uds", "--security", "1", "flash", writeFile(dir, "flash.bin", QByteArray(300, '\x5a')),
              "0x10000" },
            0, "" },
    };
    for (const auto &run : runs) {
        const Run r = tarnwick(QStringList { "--bus", bus } + run.args);
        QVERIFY2(r.exitCode == run.exitCode && r.out.contains(QLatin1String(run.text)),
            qPrintable(run.args.join(' ') + ": " + r.out + r.err));
    }
    QVERIFY(readFile(back) == data);
    for (const char *text : { "SDO answer node 10: upload 0x1000:0 expedited: 94 01 02 00",
             "SDO answer node 2: upload 0x1008:0 segmented, 11 bytes",
             "SDO answer node 2: upload segment toggle 1 last: 72 69 76 65",
             "UDS 0x7e8 positive response RequestDownload", "UDS 0x7e8 positive response TransferData",
             "UDS 0x7e8 positive response RequestTransferExit" })
        QTRY_VERIFY2_WITH_TIMEOUT((dumped += dump.readAllStandardOutput()).contains(text), text, 10000);
    dump.terminate();
    QVERIFY(dump.waitForFinished(5000));
    stop(sim);
}

// tarnwick-sim --fd: a 17-byte VIN (a padded single frame) and a 64 KiB flash over ISO-TP on
// CAN FD; USDO segmented to node 2 and USDO bulk to node 3, each read back segmented; byte-exact.
void tst_TarnwickTool::canFdOverVirtualCan()
{
    const QString bus = virtualBus(-5000);
    QProcess sim;
    startSim(sim, { QStringLiteral("--fd"), QStringLiteral("--bus"), bus });
    const QStringList fd { "--bus", bus, "--fd" };
    const QStringList uds = fd + QStringList { "uds", "--security", "1" };
    QCOMPARE(tarnwick(uds + QStringList { "write-did", "0xF190", QByteArray("WTARNWICK00000017").toHex() })
                 .exitCode,
        0);
    Run r = tarnwick(fd + QStringList { "uds", "read-did", "0xF190" });
    QVERIFY2(r.exitCode == 0 && r.out.contains("\"WTARNWICK00000017\""), qPrintable(r.out + r.err));

    QTemporaryDir dir;
    QByteArray image(64 * 1024, '\0');
    std::mt19937 random(7);
    for (char &c : image)
        c = char(random());
    const QString in = writeFile(dir, QStringLiteral("image.bin"), image);
    const QString back = dir.filePath(QStringLiteral("back.bin"));
    QCOMPARE(tarnwick(uds + QStringList { "flash", in, "0x10000" }).exitCode, 0);
    QCOMPARE(tarnwick(uds + QStringList { "dump", back, "0x10000", "65536" }).exitCode, 0);
    QVERIFY(readFile(back) == image);
    for (const char *node : { "2", "3" }) {
        const QStringList how = QByteArray(node) == "3" ? QStringList { "--block" } : QStringList();
        r = tarnwick(
            fd + QStringList { "sdo", "--usdo" } + how + QStringList { "download", node, "0x1F50:1", in });
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        const QString out = dir.filePath(QStringLiteral("out%1.bin").arg(node));
        r = tarnwick(fd + QStringList { "sdo", "--usdo", "upload", node, "0x1F50:1", out });
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY(readFile(out) == image);
    }
    stop(sim);
}

void tst_TarnwickTool::crossProcessThroughGateway()
{
    // tarnwick-sim serves its network through a CiA 309-3 gateway on a free port it names.
    QProcess sim;
    const QByteArray simOut = startSim(sim, { QStringLiteral("--gateway"), QStringLiteral("0") });
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
        { { "--fd", "lss", "fd-scan" }, 2, "lss fd-scan is not offered through a CiA 309 gateway" },
    };
    for (const auto &run : runs) {
        const Run r = tarnwick(QStringList { "--bus", bus } + run.args);
        QVERIFY2(r.exitCode == run.exitCode, qPrintable(run.args.join(' ') + ": " + r.out + r.err));
        QVERIFY2((run.exitCode == 0 ? r.out : r.err).contains(run.text), qPrintable(r.out + r.err));
    }
    const QByteArray data = readFile(file);
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
    stop(sim);
    QCOMPARE(tarnwick({ "--bus", bus, "sdo", "read", "1", "0x1000", "u32" }).exitCode, 5); // gone

    // The gateway in front of a network on virtualcan, a strict bus of its own.
    QProcess onCan;
    const QByteArray canOut = startSim(onCan, { "--bus", virtualBus(5000), "--gateway", "0" });
    const int at = canOut.indexOf("gateway on 127.0.0.1:") + 21;
    const QString canBus = QStringLiteral("cia309:127.0.0.1:")
        + QString::fromLatin1(canOut.mid(at, canOut.indexOf('\n', at) - at));
    const Run r = tarnwick({ "--bus", canBus, "sdo", "upload", "1", "0x2F00", file });
    QVERIFY2(r.exitCode == 0 && r.out.contains("65536 bytes uploaded"), qPrintable(r.out + r.err));
    onCan.terminate();
    QVERIFY(onCan.waitForFinished(5000));
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
        QCOMPARE(
            tarnwick({ "--bus", bus, "sdo", "--timeout", "50", "read", "99", "0x1000", "u32" }).exitCode, 3);
        QTRY_COMPARE(frames.size(), 2);
        QCOMPARE(frames.at(0).frameId(), 0x663u);
        QCOMPARE(frames.at(0).payload(), QByteArray::fromHex("4000100000000000"));
        QCOMPARE(frames.at(1).frameId(), 0x663u);
        QCOMPARE(frames.at(1).payload(), QByteArray::fromHex("8000100000000405"));
    }
}

void tst_TarnwickTool::frameLog()
{
    // Off by default (the other tests see an empty stderr).
    const Run r = tarnwick(
        { "sdo", "read", "1", "0x1018:1", "u32" }, { "QT_LOGGING_RULES=tarnwick.can.frames.debug=true" });
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains(QLatin1String("TX  601   [8]  40 18 10 01 00 00 00 00\n")), qPrintable(r.err));
    QVERIFY(r.err.contains(QLatin1String("RX  581   [8]  43 18 10 01 B1 04 00 00\n")));
}

QTEST_GUILESS_MAIN(tst_TarnwickTool)
#include "tst_tarnwicktool.moc"
