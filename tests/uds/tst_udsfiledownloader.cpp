#include "udsfiledownloader.h"
#include "udstestbench.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
/// The client and the ECU (extended session, 8 KiB at 0x08000000, no security) and a downloader.
struct DownloadBench : UdsSimBench
{
    UDSFileDownloader downloader { &client };
    QTemporaryDir dir;
    DownloadBench()
    {
        ecu.setMemory(0x08000000, QByteArray(8192, '\xff'));
        ecu.setSecurityRequired(false);
        downloader.setBlockDelay(0);
    }
    QString file(const QByteArray &contents)
    {
        QFile f(dir.filePath("image.bin"));
        if (f.open(QIODevice::WriteOnly))
            f.write(contents);
        return f.fileName();
    }
};
} // namespace

class tst_UDSFileDownloader : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        b = std::make_unique<DownloadBench>();
        QCOMPARE(b->ask(b->client.DiagnosticSessionControl(2)).left(4), QByteArray("5002"));
    }
    void cleanup() { b.reset(); }
    void transfer_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("blockSize");
        QTest::addColumn<int>("fault"); // a negative response code to TransferData, or -1: silence
        QTest::addColumn<int>("error"); // -1: completed
        QTest::addColumn<int>("sent"); // TransferData requests
        QTest::addColumn<QString>("progress"); // "*": not checked
        QTest::newRow("three blocks") << 5000 << 2048 << 0 << -1 << 3 << "40,81,122";
        QTest::newRow("counter wraps to 0") << 4096 << 16 << 0 << -1 << 256 << "*";
        QTest::newRow("empty file") << 0 << 64 << 0 << -1 << 0 << "";
        QTest::newRow("negative answer") << 6000 << 100 << 0x73 << 0x73 << 1 << "1";
        QTest::newRow("no answer") << 6000 << 100 << -1 << 1 << 1 << "1";
        QTest::newRow("block above the client's limit") << 6000 << 5000 << 0 << 1 << 0 << "83";
    }
    void transfer()
    {
        QFETCH(int, size);
        QFETCH(int, blockSize);
        QFETCH(int, fault);
        QFETCH(int, error);
        QFETCH(int, sent);
        QFETCH(QString, progress);
        const QByteArray contents = pattern(size);
        if (size > 0)
            QCOMPARE(b->ask(b->client.RequestDownload(0, 4, 4, 0x08000000, quint32(size))).left(2), "74");
        b->ecu.clearRequests();
        b->ecu.setNegativeResponse(0x36, quint8(qMax(fault, 0)));
        if (fault < 0) {
            b->ecu.setSilent(true);
            b->client.setResponseTimeout(50);
        }
        QStringList percent;
        connect(&b->downloader, &UDSFileDownloader::sigDownloadProgress, this,
            [&](quint8 p) { percent << QString::number(p); });
        QSignalSpy completed(&b->downloader, &UDSFileDownloader::completed);
        QSignalSpy errors(&b->downloader, &UDSFileDownloader::error);
        QVERIFY(b->downloader.downloadFile(b->file(contents), quint16(blockSize)));
        QCOMPARE(b->downloader.transferState(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(completed.count() + errors.count(), 1, 10000);
        QVERIFY(!QTest::qWaitFor([&] { return completed.count() + errors.count() > 1; }, 150));
        QCOMPARE(errors.isEmpty() ? -1 : errors.at(0).at(0).toInt(), error);
        QCOMPARE(b->downloader.transferState(), error < 0 ? 3 : 255);
        if (progress != "*")
            QCOMPARE(percent.join(','), progress);
        const QList<QByteArray> blocks = b->ecu.requests();
        QCOMPARE(blocks.size(), sent);
        for (int i = 0; i < blocks.size(); ++i) {
            QCOMPARE(quint8(blocks.at(i).at(1)), quint8(i + 1)); // 1, 2, ... 255, 0, 1, ...
            QCOMPARE(blocks.at(i).mid(2), contents.mid(i * blockSize, blockSize));
        }
        if (error < 0)
            QCOMPARE(b->ecu.memory().left(size), contents);
    }
    void refusedStarts()
    {
        QSignalSpy errors(&b->downloader, &UDSFileDownloader::error);
        QSignalSpy completed(&b->downloader, &UDSFileDownloader::completed);
        const QString file = b->file(QByteArray(10, 'x'));
        QVERIFY(!b->downloader.downloadFile(file, 0));
        QVERIFY(!b->downloader.downloadFile(b->dir.filePath("missing.bin"), 16));
        UDSFileDownloader orphan(nullptr);
        QVERIFY(!orphan.downloadFile(file, 16));
        QVERIFY(b->downloader.downloadFile(file, 16));
        QVERIFY(!b->downloader.downloadFile(file, 16)); // running
        b->downloader.abort();
        QCOMPARE(b->downloader.transferState(), 254);
        QVERIFY(!completed.wait(100));
        QCOMPARE(errors.count(), 0);
    }

private:
    std::unique_ptr<DownloadBench> b;
};

QTEST_GUILESS_MAIN(tst_UDSFileDownloader)
#include "tst_udsfiledownloader.moc"
