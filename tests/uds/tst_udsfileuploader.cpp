#include "udsfileuploader.h"
#include "udstestbench.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
/// The client and the ECU (extended session, 512 bytes at 0x1000, 64 data bytes an answer,
/// no security) and an uploader.
struct UploadBench : UdsSimBench
{
    UDSFileUploader uploader { &client };
    QTemporaryDir dir;
    const QByteArray image = pattern(512);
    UploadBench()
    {
        ecu.setMemory(0x1000, image);
        ecu.setSecurityRequired(false);
        ecu.setMaxBlockLength(66);
        uploader.setBlockDelay(1);
    }
};
} // namespace

class tst_UDSFileUploader : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        b = std::make_unique<UploadBench>();
        QCOMPARE(b->ask(b->client.DiagnosticSessionControl(2)).left(4), QByteArray("5002"));
    }
    void cleanup() { b.reset(); }
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
        QCOMPARE(errors.count(), outcome > 0 ? 1 : 0);
        if (outcome > 0)
            QCOMPARE(errors.at(0).at(0).toInt(), outcome);
        QFile f(path);
        QCOMPARE(
            f.open(QIODevice::ReadOnly) ? f.readAll() : "none", outcome == 0 ? b->image.left(128) : "none");
        if (outcome == 0)
            QCOMPARE(b->ecu.requests().mid(2), (QList<QByteArray> { "\x36\x01", "\x36\x02" }));
        else
            QCOMPARE(QDir(b->dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
                QStringList());
        UDSFileUploader orphan(nullptr);
        QVERIFY(!orphan.uploadFile(path, 10));
    }

private:
    std::unique_ptr<UploadBench> b;
};

QTEST_GUILESS_MAIN(tst_UDSFileUploader)
#include "tst_udsfileuploader.moc"
