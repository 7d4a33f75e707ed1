// The tool over CAN FD on QtSerialBus's virtualcan plugin against tarnwick-sim --fd, in two
// processes: a 17-byte VIN (a padded single frame) and a 64 KiB flash, byte-exact.
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <random>

class tst_TarnwickFd : public QObject
{
    Q_OBJECT
private slots:
    void vinAndFlashOverFd();

private:
    int tarnwick(const QStringList &args, QByteArray *out = nullptr);
    QString mBuild = qEnvironmentVariable("TARNWICK_BUILD_DIR");
};

int tst_TarnwickFd::tarnwick(const QStringList &args, QByteArray *out)
{
    QProcess p;
    p.start(mBuild + QStringLiteral("/tools/tarnwick"), args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
}

void tst_TarnwickFd::vinAndFlashOverFd()
{
    QVERIFY2(!mBuild.isEmpty(), "TARNWICK_BUILD_DIR is not set (run through ctest)");
    const int port = 45000 + int(QCoreApplication::applicationPid() % 5000);
    const QString bus = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(port);
    QProcess sim;
    sim.start(mBuild + QStringLiteral("/tools/tarnwick-sim"), { "--bus", bus, "--fd" });
    QVERIFY(sim.waitForStarted());
    QByteArray simOut;
    QTRY_VERIFY_WITH_TIMEOUT((simOut += sim.readAllStandardOutput()).contains("ready"), 10000);

    const QStringList uds { "--bus", bus, "--fd", "uds", "--security", "1" };
    QByteArray out;
    QCOMPARE(
        tarnwick(uds + QStringList { "write-did", "0xF190", QByteArray("WTARNWICK00000017").toHex() }), 0);
    QCOMPARE(tarnwick({ "--bus", bus, "--fd", "uds", "read-did", "0xF190" }, &out), 0);
    QVERIFY2(out.contains("\"WTARNWICK00000017\""), out.constData());

    QTemporaryDir dir;
    QByteArray image(64 * 1024, '\0');
    std::mt19937 random(7);
    for (char &c : image)
        c = char(random());
    QFile file(dir.filePath(QStringLiteral("image.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();
    QCOMPARE(tarnwick(uds + QStringList { "flash", file.fileName(), "0x10000" }), 0);
    const QString back = dir.filePath(QStringLiteral("back.bin"));
    QCOMPARE(tarnwick(uds + QStringList { "dump", back, "0x10000", "65536" }), 0);
    QFile readBack(back);
    QVERIFY(readBack.open(QIODevice::ReadOnly));
    QVERIFY(readBack.readAll() == image);

    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_TarnwickFd)
#include "tst_tarnwickfd.moc"
