#include "canscheduler.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "udsfiledownloader.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_UDSFileDownloader : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void blocksAndProgress();
    void counterWraps();
    void emptyFile();
    void negativeAnswerStops();
    void blockAboveClientLimit();
    void noAnswer();
    void refusedStarts();

private:
    QString writeFile(const QByteArray &contents);
    bool ask(const std::function<CAN::RetType()> &call);
    QList<QByteArray> transferRequests() const;

    QTemporaryDir dir;
    VirtualCanBus *bus = nullptr;
    SimUdsEcu *ecu = nullptr;
    UDSClient *client = nullptr;
    UDSFileDownloader *downloader = nullptr;
};

void tst_UDSFileDownloader::init()
{
    bus = new VirtualCanBus(this);
    auto *scheduler = new CanScheduler(new VirtualCanAdapter(bus, bus), bus);
    ecu = new SimUdsEcu(new VirtualCanAdapter(bus, bus), bus);
    ecu->setMemory(0x08000000, QByteArray(8192, '\xff'));
    ecu->setSecurityRequired(false);
    client = new UDSClient(scheduler, bus);
    client->setResponseTimeout(300);
    downloader = new UDSFileDownloader(client, bus);
    downloader->setBlockDelay(1);
    QVERIFY(ask([this] { return client->DiagnosticSessionControl(2); }));
}

void tst_UDSFileDownloader::cleanup()
{
    delete bus;
}

QString tst_UDSFileDownloader::writeFile(const QByteArray &contents)
{
    static int n = 0;
    const QString name = dir.filePath(QStringLiteral("image%1.bin").arg(++n));
    QFile f(name);
    if (f.open(QIODevice::WriteOnly))
        f.write(contents);
    return name;
}

bool tst_UDSFileDownloader::ask(const std::function<CAN::RetType()> &call)
{
    QSignalSpy responses(client, &UDSClient::response);
    return call() == CAN::RetType_OK && responses.wait(1000)
        && quint8(client->getResponseData().at(0)) != 0x7F;
}

QList<QByteArray> tst_UDSFileDownloader::transferRequests() const
{
    QList<QByteArray> out;
    for (const QByteArray &r : ecu->requests())
        if (r.startsWith('\x36'))
            out << r;
    return out;
}

void tst_UDSFileDownloader::blocksAndProgress()
{
    QByteArray contents(5000, 0);
    for (int i = 0; i < contents.size(); ++i)
        contents[i] = char(i % 251);
    QVERIFY(ask([this] { return client->RequestDownload(0, 4, 4, 0x08000000, 5000); }));
    QSignalSpy progress(downloader, &UDSFileDownloader::sigDownloadProgress);
    QSignalSpy completed(downloader, &UDSFileDownloader::completed);
    QSignalSpy errors(downloader, &UDSFileDownloader::error);
    QVERIFY(downloader->downloadFile(writeFile(contents), 2048, false));
    QCOMPARE(downloader->transferState(), 1);
    QVERIFY(completed.wait(2000));
    const QList<QByteArray> blocks = transferRequests();
    QCOMPARE(blocks.size(), 3);
    QCOMPARE(blocks.at(0).left(2).toHex(), QByteArray("3601"));
    QCOMPARE(blocks.at(1).left(2).toHex(), QByteArray("3602"));
    QCOMPARE(blocks.at(2).left(2).toHex(), QByteArray("3603"));
    QCOMPARE(blocks.at(0).size() - 2, 2048);
    QCOMPARE(blocks.at(2).size() - 2, 904);
    QCOMPARE(progress.count(), 3);
    QCOMPARE(progress.at(0).at(0).toInt(), 40);
    QCOMPARE(progress.at(1).at(0).toInt(), 81);
    QCOMPARE(progress.at(2).at(0).toInt(), 122);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(completed.count(), 1);
    QCOMPARE(downloader->transferState(), 3);
    QCOMPARE(ecu->memory().left(5000), contents);
}

void tst_UDSFileDownloader::counterWraps()
{
    downloader->setBlockDelay(0);
    QVERIFY(ask([this] { return client->RequestDownload(0, 4, 4, 0x08000000, 4096); }));
    QSignalSpy completed(downloader, &UDSFileDownloader::completed);
    QVERIFY(downloader->downloadFile(writeFile(QByteArray(4096, '\x11')), 16));
    QVERIFY(completed.wait(10000));
    const QList<QByteArray> blocks = transferRequests();
    QCOMPARE(blocks.size(), 256);
    QCOMPARE(quint8(blocks.at(0).at(1)), quint8(1));
    QCOMPARE(quint8(blocks.at(254).at(1)), quint8(255));
    QCOMPARE(quint8(blocks.at(255).at(1)), quint8(0));
    QCOMPARE(ecu->memory().left(4096), QByteArray(4096, '\x11'));
}

void tst_UDSFileDownloader::emptyFile()
{
    const int before = ecu->requests().size();
    QSignalSpy completed(downloader, &UDSFileDownloader::completed);
    QSignalSpy progress(downloader, &UDSFileDownloader::sigDownloadProgress);
    QVERIFY(downloader->downloadFile(writeFile(QByteArray()), 64));
    QVERIFY(completed.wait(500));
    QCOMPARE(progress.count(), 0);
    QVERIFY(!completed.wait(50));
    QCOMPARE(ecu->requests().size(), before);
}

void tst_UDSFileDownloader::negativeAnswerStops()
{
    QVERIFY(ask([this] { return client->RequestDownload(0, 4, 4, 0x08000000, 300); }));
    ecu->setNegativeResponse(0x36, 0x73);
    QSignalSpy completed(downloader, &UDSFileDownloader::completed);
    QSignalSpy errors(downloader, &UDSFileDownloader::error);
    QVERIFY(downloader->downloadFile(writeFile(QByteArray(300, 'x')), 100));
    QVERIFY(errors.wait(1000));
    QCOMPARE(errors.at(0).at(0).toInt(), 0x73);
    QVERIFY(!errors.wait(100));
    QCOMPARE(completed.count(), 0);
    QCOMPARE(transferRequests().size(), 1);
    QCOMPARE(downloader->transferState(), 255);
}

void tst_UDSFileDownloader::blockAboveClientLimit()
{
    const int before = ecu->requests().size();
    QSignalSpy progress(downloader, &UDSFileDownloader::sigDownloadProgress);
    QSignalSpy errors(downloader, &UDSFileDownloader::error);
    QVERIFY(downloader->downloadFile(writeFile(QByteArray(6000, 'x')), 5000));
    QVERIFY(errors.wait(500));
    QCOMPARE(errors.at(0).at(0).toInt(), 1);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toInt(), 83);
    QVERIFY(!errors.wait(50));
    QCOMPARE(ecu->requests().size(), before);
}

void tst_UDSFileDownloader::noAnswer()
{
    QVERIFY(ask([this] { return client->RequestDownload(0, 4, 4, 0x08000000, 300); }));
    ecu->setSilent(true);
    client->setResponseTimeout(50);
    QSignalSpy errors(downloader, &UDSFileDownloader::error);
    QVERIFY(downloader->downloadFile(writeFile(QByteArray(300, 'x')), 100));
    QVERIFY(errors.wait(1000));
    QCOMPARE(errors.at(0).at(0).toInt(), 1);
    QVERIFY(!errors.wait(150));
    QCOMPARE(downloader->transferState(), 255);
}

void tst_UDSFileDownloader::refusedStarts()
{
    QSignalSpy errors(downloader, &UDSFileDownloader::error);
    QSignalSpy completed(downloader, &UDSFileDownloader::completed);
    const QString file = writeFile(QByteArray(10, 'x'));
    QVERIFY(!downloader->downloadFile(file, 0));
    QVERIFY(!downloader->downloadFile(dir.filePath("missing.bin"), 16));
    UDSFileDownloader orphan(nullptr);
    QVERIFY(!orphan.downloadFile(file, 16));
    QVERIFY(downloader->downloadFile(file, 16));
    QVERIFY(!downloader->downloadFile(file, 16)); // running
    downloader->abort();
    QCOMPARE(downloader->transferState(), 254);
    QVERIFY(!completed.wait(100));
    QCOMPARE(errors.count(), 0);
}

QTEST_GUILESS_MAIN(tst_UDSFileDownloader)
#include "tst_udsfiledownloader.moc"
