#include "canscheduler.h"
#include "simisotpserver.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// A whole programming session against the simulated ECU: session, security access, erase,
// download with progress, transfer exit, then the same range read back into a file.
class tst_UDSFlashSequence : public QObject
{
    Q_OBJECT
private slots:
    void flashAndReadBack_data();
    void flashAndReadBack();
};

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

void tst_UDSFlashSequence::flashAndReadBack_data()
{
    QTest::addColumn<bool>("fd");
    QTest::addColumn<int>("ecuBlockSize");
    QTest::addColumn<int>("pending");
    QTest::newRow("classic, BS 0") << false << 0 << 0;
    QTest::newRow("classic, BS 8, response pending") << false << 8 << 2;
    QTest::newRow("CAN FD, BS 2") << true << 2 << 0;
}

void tst_UDSFlashSequence::flashAndReadBack()
{
    QFETCH(bool, fd);
    QFETCH(int, ecuBlockSize);
    QFETCH(int, pending);

    VirtualCanBus bus;
    VirtualCanAdapter testerAdapter(&bus), ecuAdapter(&bus);
    testerAdapter.setCanFdCapable(true);
    ecuAdapter.setCanFdCapable(true);
    CanScheduler scheduler(&testerAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    ecu.setCanFd(fd);
    ecu.transport()->setBlockSize(quint8(ecuBlockSize));
    ecu.setMemory(kBase, QByteArray(0x8000, '\xff'));
    ecu.setKeyFunction(&testKey);
    ecu.setRoutine(0xFF00, [&ecu](quint8, const QByteArray &, QByteArray &status) {
        ecu.setMemory(kBase, QByteArray(0x8000, '\0')); // erase
        status = QByteArray(1, 0);
        return quint8(0);
    });

    UDSClient client(&scheduler);
    client.setCANFD(fd);
    client.setResponseTimeout(200);
    QSignalSpy responses(&client, &UDSClient::response);
    QSignalSpy errors(&client, &UDSClient::error);
    const auto ask = [&](CAN::RetType sent) {
        const int before = responses.count();
        return sent == CAN::RetType_OK && (responses.count() > before || responses.wait(2000));
    };

    QVERIFY(ask(client.DiagnosticSessionControl(2)));
    QCOMPARE(client.getResponseData().left(2).toHex(), QByteArray("5002"));
    QCOMPARE(ecu.session(), quint8(2));

    // Security access: a wrong key first, then the right one.
    QVERIFY(ask(client.SecurityAccess(1, QByteArray(), false)));
    QByteArray seed = client.getResponseData().mid(2);
    QCOMPARE(seed.size(), 4);
    QVERIFY(ask(client.SecurityAccess(2, QByteArray(4, '\0'), false)));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.takeFirst().at(0).toInt(), 0x35);
    QVERIFY(ask(client.SecurityAccess(1, QByteArray(), false)));
    seed = client.getResponseData().mid(2);
    QVERIFY(ask(client.SecurityAccess(2, testKey(1, seed), false)));
    QCOMPARE(client.getResponseData().toHex(), QByteArray("6702"));
    QCOMPARE(ecu.securityLevel(), quint8(1));

    ecu.setResponsePending(pending, 30);
    QVERIFY(ask(client.RoutineControl(1, 0xFF00, QByteArray(), false)));
    QCOMPARE(client.getResponseData().toHex(), QByteArray("7101ff0000"));

    QTemporaryDir dir;
    QByteArray firmware(10000, 0);
    QRandomGenerator random(42);
    for (char &c : firmware)
        c = char(random.bounded(256));
    const QString source = dir.filePath("firmware.bin");
    {
        QFile f(source);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(firmware);
    }

    // Request download; the block size follows maxNumberOfBlockLength of the answer.
    QVERIFY(ask(client.RequestDownload(0x00, 4, 4, kBase + 0x100, quint32(firmware.size()))));
    const QByteArray answer = client.getResponseData();
    QCOMPARE(answer.left(2).toHex(), QByteArray("7420"));
    const quint16 maxBlock = quint16(quint8(answer.at(2)) << 8 | quint8(answer.at(3)));
    QCOMPARE(maxBlock, quint16(4096));

    UDSFileDownloader downloader(&client);
    downloader.setBlockDelay(1);
    QSignalSpy progress(&downloader, &UDSFileDownloader::sigDownloadProgress);
    QSignalSpy downloaded(&downloader, &UDSFileDownloader::completed);
    QSignalSpy downloadErrors(&downloader, &UDSFileDownloader::error);
    QVERIFY(downloader.downloadFile(source, quint16(maxBlock - 2), false));
    QVERIFY(downloaded.wait(5000));
    QCOMPARE(downloadErrors.count(), 0);
    QCOMPARE(progress.count(), 3);
    QCOMPARE(progress.at(0).at(0).toInt(), 40);
    QCOMPARE(progress.at(1).at(0).toInt(), 81);
    QVERIFY(progress.at(2).at(0).toInt() >= 100);
    QVERIFY(ask(client.RequestTransferExit(QByteArray())));
    QCOMPARE(client.getResponseData().toHex(), QByteArray("77"));
    QCOMPARE(ecu.memory().mid(0x100, firmware.size()), firmware);

    // Read the same range back.
    QVERIFY(ask(client.RequestUpload(0x00, 4, 4, kBase + 0x100, quint32(firmware.size()))));
    QCOMPARE(client.getResponseData().left(2).toHex(), QByteArray("7520"));
    UDSFileUploader uploader(&client);
    uploader.setBlockDelay(1);
    QSignalSpy uploaded(&uploader, &UDSFileUploader::completed);
    QSignalSpy uploadErrors(&uploader, &UDSFileUploader::error);
    const QString target = dir.filePath("readback.bin");
    QVERIFY(uploader.uploadFile(target, quint32(firmware.size()), false));
    QVERIFY(uploaded.wait(5000));
    QCOMPARE(uploadErrors.count(), 0);
    QVERIFY(ask(client.RequestTransferExit(QByteArray())));

    QFile back(target);
    QVERIFY(back.open(QIODevice::ReadOnly));
    QCOMPARE(back.readAll(), firmware);
    QCOMPARE(errors.count(), 0);

    QVERIFY(ask(client.ECUReset(1, false)));
    QTRY_COMPARE(ecu.session(), quint8(1));
    QCOMPARE(ecu.securityLevel(), quint8(0));
}

QTEST_GUILESS_MAIN(tst_UDSFlashSequence)
#include "tst_udsflashsequence.moc"
