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
    void scanOnTheSimulatedNetwork();
    void scanJsonAndPdos();
    void sdoReadAndAbort_data();
    void sdoReadAndAbort();
    void sdoUploadWritesTheFileOnlyOnSuccess();
    void usageErrors_data();
    void usageErrors();
    void nmtSyncLssUds_data();
    void nmtSyncLssUds();
    void crossProcessOverVirtualCan();
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

void tst_TarnwickTool::scanOnTheSimulatedNetwork()
{
    const Run r = tarnwick({QStringLiteral("scan")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QLatin1String("   1  0x000f0191   0x000004b1  0x00401001  0x00010003  0x1a2b0001")), qPrintable(r.out));
    QVERIFY(r.out.contains(QLatin1String("  10  0x00020194")));
    QVERIFY(r.out.contains(QLatin1String("5 node(s) found")));
    QVERIFY(r.err.isEmpty()); // no progress bar when stderr is not a terminal
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

void tst_TarnwickTool::sdoReadAndAbort_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    QTest::newRow("u32") << QStringList{"sdo", "read", "1", "0x1018:1", "u32"} << 0 << "1201 (0x4b1)";
    QTest::newRow("string") << QStringList{"sdo", "read", "2", "0x1008", "string"} << 0 << "servo drive";
    QTest::newRow("write u16") << QStringList{"sdo", "write", "1", "0x1017", "u16", "250"} << 0 << "written";
    QTest::newRow("abort") << QStringList{"sdo", "read", "1", "0x2000", "u32"} << 4 << "0x06020000 Object does not exist";
    QTest::newRow("read-only") << QStringList{"sdo", "write", "1", "0x1000", "u32", "1"} << 4 << "0x06010002";
    QTest::newRow("absent node") << QStringList{"sdo", "--timeout", "100", "read", "42", "0x1000", "u32"} << 3 << "did not answer";
}

void tst_TarnwickTool::sdoReadAndAbort()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    const Run r = tarnwick(args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2((exitCode == 0 ? r.out : r.err).contains(text), qPrintable(r.out + r.err));
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

void tst_TarnwickTool::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    QTest::newRow("no command") << QStringList{} << 2 << "Usage";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2 << "unknown command";
    QTest::newRow("unknown option") << QStringList{"--frob", "scan"} << 2 << "unknown option";
    QTest::newRow("bad node") << QStringList{"sdo", "read", "128", "0x1000", "u32"} << 2 << "node-ID must be 1..127";
    QTest::newRow("node zero") << QStringList{"nmt", "start", "0"} << 2 << "node-ID";
    QTest::newRow("bad type") << QStringList{"sdo", "read", "1", "0x1000", "float"} << 2 << "unknown data type";
    QTest::newRow("bad number") << QStringList{"sdo", "write", "1", "0x1017", "u16", "0x1FFFF"} << 2 << "not a valid u16";
    QTest::newRow("bad object") << QStringList{"sdo", "read", "1", "0x10000", "u32"} << 2 << "bad object";
    QTest::newRow("bad nmt") << QStringList{"nmt", "jump"} << 2 << "unknown NMT command";
    QTest::newRow("unreadable file") << QStringList{"sdo", "download", "1", "0x1008", "/nonexistent/file"} << 6 << "cannot read";
    QTest::newRow("no such plugin") << QStringList{"--bus", "nosuchplugin:can0", "scan"} << 5 << "not available";
    QTest::newRow("malformed bus") << QStringList{"--bus", "can0", "scan"} << 2 << "bad bus";
    QTest::newRow("uds bad action") << QStringList{"uds", "explode"} << 2 << "unknown action";
    QTest::newRow("lss bad node") << QStringList{"lss", "fastscan", "300"} << 2 << "fastscan takes";
    QTest::newRow("od without eds") << QStringList{"od", "1"} << 2 << "needs the node's EDS or DCF file";
    QTest::newRow("name without eds") << QStringList{"sdo", "read", "1", "Device type"} << 2 << "or name it with --eds";
    QTest::newRow("missing eds") << QStringList{"--eds", "/nonexistent/device.eds", "scan"} << 6 << "/nonexistent/device.eds: ";
    QTest::newRow("dump bad filter") << QStringList{"dump", "--node", "200"} << 2 << "--node needs node-IDs";
}

void tst_TarnwickTool::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    const Run r = tarnwick(args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(text), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
}

void tst_TarnwickTool::nmtSyncLssUds_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("text");
    QTest::newRow("nmt all") << QStringList{"nmt", "preop"} << "sent preop to all nodes";
    QTest::newRow("nmt node") << QStringList{"nmt", "reset-comm", "3"} << "sent reset-comm to node 3";
    QTest::newRow("sync") << QStringList{"sync", "--period", "5", "--count", "3", "--counter", "4"} << "SYNC on 0x80";
    QTest::newRow("help") << QStringList{"sdo", "--help"} << "Usage: tarnwick [global options] sdo";
    QTest::newRow("lss scan") << QStringList{"lss", "--timeout", "20", "scan", "0x4b1", "0x00401001"} << "2 device(s) found";
    QTest::newRow("lss fastscan") << QStringList{"lss", "--timeout", "15", "fastscan", "20"} << "node-ID 20 configured and stored";
    QTest::newRow("uds did") << QStringList{"uds", "read-did", "0xF190"} << "\"TWK0SIMULATED0001\"";
    QTest::newRow("uds dtc") << QStringList{"uds", "dtc"} << "DTC 0x012345 status 0x09";
    QTest::newRow("monitor") << QStringList{"monitor", "--duration", "1200", "--nodes", "1,2"} << "node   1  Connection OK";
}

void tst_TarnwickTool::nmtSyncLssUds()
{
    QFETCH(QStringList, args);
    QFETCH(QString, text);
    const Run r = tarnwick(args);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.out.contains(text), qPrintable(r.out));
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

void tst_TarnwickTool::abortAfterTimeoutReachesTheBus()
{
    // This test is the first client of the virtual bus (its server) and sees every frame.
    const QString bus = virtualBus(5000);
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
