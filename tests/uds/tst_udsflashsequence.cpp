#include "simisotpserver.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"
#include "udstestbench.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

// A whole programming session against the simulated ECU: session, security access, erase,
// download with progress, transfer exit, then the same range read back into a file.
namespace {
constexpr quint32 kBase = 0x08000000;

QByteArray testKey(quint8 level, const QByteArray &seed)
{
    QByteArray key;
    for (int i = seed.size() - 1; i >= 0; --i)
        key.append(char(quint8(seed.at(i)) ^ 0xA5 ^ level));
    return key;
}
} // namespace

class tst_UDSFlashSequence : public QObject
{
    Q_OBJECT
private slots:
    void flashAndReadBack_data()
    {
        QTest::addColumn<bool>("fd");
        QTest::addColumn<int>("ecuBlockSize");
        QTest::addColumn<int>("pending");
        QTest::newRow("classic, BS 0") << false << 0 << 0;
        QTest::newRow("classic, BS 8, response pending") << false << 8 << 2;
        QTest::newRow("CAN FD, BS 2") << true << 2 << 0;
    }
    void flashAndReadBack()
    {
        QFETCH(bool, fd);
        QFETCH(int, ecuBlockSize);
        QFETCH(int, pending);
        UdsSimBench b;
        b.ecu.setCanFd(fd);
        b.ecu.transport()->setBlockSize(quint8(ecuBlockSize));
        b.ecu.setMemory(kBase, QByteArray(0x8000, '\xff'));
        b.ecu.setKeyFunction(&testKey);
        b.ecu.setRoutine(0xFF00, [&b](quint8, const QByteArray &, QByteArray &status) {
            b.ecu.setMemory(kBase, QByteArray(0x8000, '\0')); // erase
            status = QByteArray(1, 0);
            return quint8(0);
        });
        b.client.setCANFD(fd);
        b.client.setResponseTimeout(200);
        UDSClient &c = b.client;

        QCOMPARE(b.ask(c.DiagnosticSessionControl(2)).left(4), QByteArray("5002"));
        // Security access: a wrong key first, then the right one.
        QCOMPARE(b.ask(c.SecurityAccess(1, QByteArray(), false)).size(), 12);
        QCOMPARE(b.ask(c.SecurityAccess(2, QByteArray(4, '\0'), false)), QByteArray("7f2735"));
        const QByteArray seed = QByteArray::fromHex(b.ask(c.SecurityAccess(1, QByteArray(), false)).mid(4));
        QCOMPARE(b.ask(c.SecurityAccess(2, testKey(1, seed), false)), QByteArray("6702"));
        b.ecu.setResponsePending(pending, 30);
        QCOMPARE(b.ask(c.RoutineControl(1, 0xFF00, QByteArray(), false)), QByteArray("7101ff0000"));

        QTemporaryDir dir;
        QByteArray firmware(10000, 0); // random, so that no misplaced block can match
        QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(firmware.data()), firmware.size() / 4);
        const QString source = dir.filePath("firmware.bin");
        QFile out(source);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(firmware) == firmware.size());
        out.close();

        // The block size follows maxNumberOfBlockLength (0x1000) of the answer.
        QCOMPARE(b.ask(c.RequestDownload(0x00, 4, 4, kBase + 0x100, quint32(firmware.size()))),
            QByteArray("74201000"));
        UDSFileDownloader downloader(&c);
        downloader.setBlockDelay(1);
        QSignalSpy downloaded(&downloader, &UDSFileDownloader::completed);
        QVERIFY(downloader.downloadFile(source, 0x1000 - 2));
        QVERIFY(downloaded.wait(5000));
        QCOMPARE(b.ask(c.RequestTransferExit(QByteArray())), QByteArray("77"));
        QCOMPARE(b.ecu.memory().mid(0x100, firmware.size()), firmware);

        // Read the same range back.
        QCOMPARE(b.ask(c.RequestUpload(0x00, 4, 4, kBase + 0x100, quint32(firmware.size()))),
            QByteArray("75201000"));
        UDSFileUploader uploader(&c);
        uploader.setBlockDelay(1);
        QSignalSpy uploaded(&uploader, &UDSFileUploader::completed);
        const QString target = dir.filePath("readback.bin");
        QVERIFY(uploader.uploadFile(target, quint32(firmware.size())));
        QVERIFY(uploaded.wait(5000));
        QCOMPARE(b.ask(c.RequestTransferExit(QByteArray())), QByteArray("77"));
        QFile back(target);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), firmware);

        QCOMPARE(b.ask(c.ECUReset(1, false)), QByteArray("5101"));
        QTRY_COMPARE(b.ecu.session(), quint8(1));
        QCOMPARE(b.ecu.securityLevel(), quint8(0));
    }
};

QTEST_GUILESS_MAIN(tst_UDSFlashSequence)
#include "tst_udsflashsequence.moc"
