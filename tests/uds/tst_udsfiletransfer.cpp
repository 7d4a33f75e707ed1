// Files to and from the simulated ECU: the downloader's and the uploader's blocks, outcomes and
// refusals, and a whole programming session (security access, erase, download, read back).
#include "simisotpserver.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"
#include "udstestbench.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
/// The client and the ECU (extended session, 32 KiB at 0x08000000, no security), a downloader
/// and an uploader.
struct FileBench : UdsSimBench
{
    UDSFileDownloader downloader { &client };
    UDSFileUploader uploader { &client };
    QTemporaryDir dir;
    FileBench()
    {
        ecu.setMemory(0x08000000, QByteArray(0x8000, '\xff'));
        ecu.setSecurityRequired(false);
        downloader.setBlockDelay(0);
        uploader.setBlockDelay(1);
    }
    QString file(const QByteArray &contents)
    {
        QFile f(dir.filePath("image.bin"));
        return f.open(QIODevice::WriteOnly) && f.write(contents) == contents.size() ? f.fileName()
                                                                                    : QString();
    }
};

QByteArray testKey(quint8 level, const QByteArray &seed)
{
    QByteArray key;
    for (int i = seed.size() - 1; i >= 0; --i)
        key.append(char(quint8(seed.at(i)) ^ 0xA5 ^ level));
    return key;
}
} // namespace

struct Download
{
    int size, blockSize, fault, error, sent;
    const char *progress;
};
Q_DECLARE_METATYPE(Download)

class tst_UDSFileTransfer : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        b = std::make_unique<FileBench>();
        QCOMPARE(b->ask(b->client.DiagnosticSessionControl(2)).left(4), QByteArray("5002"));
    }
    void cleanup() { b.reset(); }
    void download_data()
    {
        // The file's size, the block size, a negative response code to TransferData (-1: silence),
        // the error (-1: completed), the TransferData requests sent, the progress ("*": unchecked).
        QTest::addColumn<Download>("d");
        QTest::newRow("three blocks") << Download { 5000, 2048, 0, -1, 3, "40,81,122" };
        QTest::newRow("counter wraps to 0") << Download { 4096, 16, 0, -1, 256, "*" };
        QTest::newRow("empty file") << Download { 0, 64, 0, -1, 0, "" };
        QTest::newRow("negative answer") << Download { 6000, 100, 0x73, 0x73, 1, "1" };
        QTest::newRow("no answer") << Download { 6000, 100, -1, 1, 1, "1" };
        QTest::newRow("block above the client's limit") << Download { 6000, 5000, 0, 1, 0, "83" };
    }
    void download()
    {
        QFETCH(Download, d);
        const QByteArray contents = pattern(d.size);
        if (d.size > 0)
            QCOMPARE(b->ask(b->client.RequestDownload(0, 4, 4, 0x08000000, quint32(d.size))).left(2), "74");
        b->ecu.clearRequests();
        b->ecu.setNegativeResponse(0x36, quint8(qMax(d.fault, 0)));
        b->ecu.setSilent(d.fault < 0);
        b->client.setResponseTimeout(d.fault < 0 ? 50 : 300);
        QStringList percent;
        connect(&b->downloader, &UDSFileDownloader::sigDownloadProgress, this,
            [&](quint8 p) { percent << QString::number(p); });
        QSignalSpy completed(&b->downloader, &UDSFileDownloader::completed);
        QSignalSpy errors(&b->downloader, &UDSFileDownloader::error);
        QVERIFY(b->downloader.downloadFile(b->file(contents), quint16(d.blockSize)));
        QCOMPARE(b->downloader.transferState(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(completed.count() + errors.count(), 1, 10000);
        QVERIFY(!QTest::qWaitFor([&] { return completed.count() + errors.count() > 1; }, 150));
        QCOMPARE(errors.isEmpty() ? -1 : errors.at(0).at(0).toInt(), d.error);
        QCOMPARE(b->downloader.transferState(), d.error < 0 ? 3 : 255);
        QVERIFY(d.progress == QLatin1String("*") || percent.join(',') == d.progress);
        const QList<QByteArray> blocks = b->ecu.requests();
        QCOMPARE(blocks.size(), d.sent);
        for (int i = 0; i < blocks.size(); ++i) {
            QCOMPARE(quint8(blocks.at(i).at(1)), quint8(i + 1)); // 1, 2, ... 255, 0, 1, ...
            QCOMPARE(blocks.at(i).mid(2), contents.mid(i * d.blockSize, d.blockSize));
        }
        QVERIFY(d.error >= 0 || b->ecu.memory().left(d.size) == contents);
    }
    void upload_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("requestUpload");
        QTest::addColumn<QString>("onSecondBlock"); // what happens when the second block is asked for
        QTest::addColumn<int>("outcome"); // 0 completed, -1 stopped without a signal, else the error
        // 100 bytes expected, answers of 64: the second answer brings 28 more than asked for.
        QTest::newRow("writes what arrives") << "upload.bin" << true << "" << 0;
        QTest::newRow("directory missing") << "no/such/dir/upload.bin" << true << "" << 2;
        QTest::newRow("no upload requested") << "upload.bin" << false << "" << 0x24;
        QTest::newRow("ECU falls silent") << "upload.bin" << true << "silence" << 1;
        QTest::newRow("aborted") << "upload.bin" << true << "abort" << -1;
    }
    void upload()
    {
        QFETCH(QString, file);
        QFETCH(bool, requestUpload);
        QFETCH(QString, onSecondBlock);
        QFETCH(int, outcome);
        const QByteArray image = pattern(512);
        b->ecu.setMemory(0x1000, image);
        b->ecu.setMaxBlockLength(66); // 64 data bytes an answer
        if (requestUpload)
            QCOMPARE(b->ask(b->client.RequestUpload(0, 2, 2, 0x1000, 128)), QByteArray("75200042"));
        b->client.setResponseTimeout(onSecondBlock == "silence" ? 50 : 300);
        connect(&b->ecu, &SimUdsEcu::requestReceived, this, [&](const QByteArray &r) {
            if (r.toHex() == "3602" && onSecondBlock == "silence")
                b->ecu.setSilent(true);
            if (r.toHex() == "3602" && onSecondBlock == "abort")
                b->uploader.abort();
        });
        QSignalSpy completed(&b->uploader, &UDSFileUploader::completed);
        QSignalSpy errors(&b->uploader, &UDSFileUploader::error);
        const QString path = b->dir.filePath(file);
        QVERIFY(b->uploader.uploadFile(path, 100));
        QVERIFY(!b->uploader.uploadFile(path, 100)); // running
        QVERIFY(!QFile::exists(path)); // written only at the end
        QTRY_VERIFY(b->uploader.transferState() != 1);
        QVERIFY(!errors.wait(150));
        QCOMPARE(b->uploader.transferState(), outcome == 0 ? 3 : outcome < 0 ? 254 : 255);
        QCOMPARE(completed.count(), outcome == 0 ? 1 : 0);
        QCOMPARE(errors.isEmpty() ? qMin(outcome, 0) : errors.at(0).at(0).toInt(), outcome);
        QFile f(path);
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : "none", outcome == 0 ? image.left(128) : "none");
        QVERIFY(outcome || b->ecu.requests().mid(2) == (QList<QByteArray> { "\x36\x01", "\x36\x02" }));
        QVERIFY(!outcome
            || QDir(b->dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    }
    void refusedStarts()
    {
        QSignalSpy errors(&b->downloader, &UDSFileDownloader::error);
        QSignalSpy completed(&b->downloader, &UDSFileDownloader::completed);
        const QString file = b->file(QByteArray(10, 'x'));
        QVERIFY(!b->downloader.downloadFile(file, 0));
        QVERIFY(!b->downloader.downloadFile(b->dir.filePath("missing.bin"), 16));
        QVERIFY(!UDSFileDownloader(nullptr).downloadFile(file, 16));
        QVERIFY(!UDSFileUploader(nullptr).uploadFile(file, 10));
        QVERIFY(b->downloader.downloadFile(file, 16));
        QVERIFY(!b->downloader.downloadFile(file, 16)); // running
        b->downloader.abort();
        QCOMPARE(b->downloader.transferState(), 254);
        QVERIFY(!completed.wait(100));
        QCOMPARE(errors.count(), 0);
    }
    // Session, security access, an erase answered after response-pending replies, 10000 bytes in
    // blocks of maxNumberOfBlockLength (0x1000), transfer exit, and the same range read back.
    void programmingSession_data()
    {
        QTest::addColumn<bool>("fd");
        QTest::addColumn<int>("ecuBlockSize");
        QTest::addColumn<int>("pending");
        QTest::newRow("classic, BS 0") << false << 0 << 0;
        QTest::newRow("classic, BS 8, response pending") << false << 8 << 2;
        QTest::newRow("CAN FD, BS 2") << true << 2 << 0;
    }
    void programmingSession()
    {
        QFETCH(bool, fd);
        QFETCH(int, ecuBlockSize);
        QFETCH(int, pending);
        constexpr quint32 base = 0x08000100;
        b->ecu.setCanFd(fd);
        b->ecu.transport()->setBlockSize(quint8(ecuBlockSize));
        b->ecu.setSecurityRequired(true);
        b->ecu.setKeyFunction(&testKey);
        b->ecu.setRoutine(0xFF00, [this](quint8, const QByteArray &, QByteArray &status) {
            b->ecu.setMemory(0x08000000, QByteArray(0x8000, '\0')); // erase
            status = QByteArray(1, 0);
            return quint8(0);
        });
        b->client.setCANFD(fd);
        UDSClient &c = b->client;
        const QByteArray seed = QByteArray::fromHex(b->ask(c.SecurityAccess(1, QByteArray(), false)).mid(4));
        QCOMPARE(seed.size(), 4);
        QCOMPARE(b->ask(c.SecurityAccess(2, testKey(1, seed), false)), QByteArray("6702"));
        b->ecu.setResponsePending(pending, 30);
        QCOMPARE(b->ask(c.RoutineControl(1, 0xFF00, QByteArray(), false)), QByteArray("7101ff0000"));
        QByteArray firmware(10000, 0); // random, so that no misplaced block can match
        QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(firmware.data()), firmware.size() / 4);
        QCOMPARE(b->ask(c.RequestDownload(0, 4, 4, base, quint32(firmware.size()))), QByteArray("74201000"));
        b->downloader.setBlockDelay(1);
        QSignalSpy downloaded(&b->downloader, &UDSFileDownloader::completed);
        QVERIFY(b->downloader.downloadFile(b->file(firmware), 0x1000 - 2));
        QVERIFY(downloaded.wait(5000));
        QCOMPARE(b->ask(c.RequestTransferExit(QByteArray())), QByteArray("77"));
        QCOMPARE(b->ecu.memory().mid(0x100, firmware.size()), firmware);
        QCOMPARE(b->ask(c.RequestUpload(0, 4, 4, base, quint32(firmware.size()))), QByteArray("75201000"));
        QSignalSpy uploaded(&b->uploader, &UDSFileUploader::completed);
        const QString target = b->dir.filePath("readback.bin");
        QVERIFY(b->uploader.uploadFile(target, quint32(firmware.size())));
        QVERIFY(uploaded.wait(5000));
        QCOMPARE(b->ask(c.RequestTransferExit(QByteArray())), QByteArray("77"));
        QFile back(target);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), firmware);
    }

private:
    std::unique_ptr<FileBench> b;
};

QTEST_GUILESS_MAIN(tst_UDSFileTransfer)
#include "tst_udsfiletransfer.moc"
