// The tarnwick tool with USDO on CAN FD, end to end: on its own simulated network and across
// processes against tarnwick-sim over QtSerialBus's virtualcan.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class tst_TarnwickToolUsdo : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void onTheSimulatedNetwork_data();
    void onTheSimulatedNetwork();
    void fileRoundTripsOverVirtualCan();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run tarnwick(const QStringList &args);
    QString mTool;
    QString mSim;
};

void tst_TarnwickToolUsdo::initTestCase()
{
    const QString build = qEnvironmentVariable("TARNWICK_BUILD_DIR");
    QVERIFY2(!build.isEmpty(), "TARNWICK_BUILD_DIR is not set (run through ctest)");
    mTool = build + QStringLiteral("/tools/tarnwick");
    mSim = build + QStringLiteral("/tools/tarnwick-sim");
    QVERIFY2(QFile::exists(mTool), qPrintable(mTool));
}

tst_TarnwickToolUsdo::Run tst_TarnwickToolUsdo::tarnwick(const QStringList &args)
{
    QProcess p;
    p.start(mTool, args);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

void tst_TarnwickToolUsdo::onTheSimulatedNetwork_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    QTest::newRow("read") << QStringList { "--fd", "sdo", "--usdo", "read", "2", "0x1018:2", "u32" } << 0
                          << "4202512 (0x402010)";
    QTest::newRow("string") << QStringList { "--fd", "sdo", "--usdo", "read", "3", "0x1008", "string" } << 0
                            << "absolute encoder";
    QTest::newRow("abort") << QStringList { "--fd", "sdo", "--usdo", "read", "1", "0x2000", "u32" } << 4
                           << "0x33 Object does not exist in the object dictionary";
    QTest::newRow("broadcast") << QStringList { "--fd", "sdo", "--usdo", "--all", "read", "0x1018:1", "u32" }
                               << 0
                               << "node 1: 1201 (0x4b1)\nnode 2: 1201 (0x4b1)\nnode 3: 2613 (0xa35)\n"
                                  "node 10: 2613 (0xa35)\n4 node(s) answered";
    QTest::newRow("--usdo needs --fd")
        << QStringList { "sdo", "--usdo", "read", "2", "0x1000", "u32" } << 2 << "--usdo needs CAN FD";
    QTest::newRow("--all is a broadcast read") << QStringList { "--fd", "sdo", "--usdo", "--all", "write",
        "0x2000", "u8", "1" } << 2 << "--all is a USDO";
}

void tst_TarnwickToolUsdo::onTheSimulatedNetwork()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    const Run r = tarnwick(args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2((r.out + r.err).contains(text), qPrintable(r.out + r.err));
}

void tst_TarnwickToolUsdo::fileRoundTripsOverVirtualCan()
{
    // tarnwick-sim hosts the virtualcan server on a port of this test's own.
    const int port = 45000 + int(QCoreApplication::applicationPid() % 5000);
    const QString bus = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(port);
    QProcess sim;
    sim.start(mSim, { QStringLiteral("--fd"), QStringLiteral("--bus"), bus });
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
    // USDO segmented to node 2, USDO bulk to node 3; each read back by USDO segmented upload.
    const QList<QPair<QString, QStringList>> ways { { QStringLiteral("2"), {} },
        { QStringLiteral("3"), { QStringLiteral("--block") } } };
    for (const auto &way : ways) {
        Run r = tarnwick(QStringList { "--bus", bus, "--fd", "sdo", "--usdo" } + way.second
            + QStringList { "download", way.first, "0x1F50:1", in });
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        const QString out = dir.filePath(QStringLiteral("out%1.bin").arg(way.first));
        r = tarnwick({ "--bus", bus, "--fd", "sdo", "--usdo", "upload", way.first, "0x1F50:1", out });
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QFile back(out);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QVERIFY(back.readAll() == data);
    }
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_TarnwickToolUsdo)
#include "tst_tarnwicktool_usdo.moc"
