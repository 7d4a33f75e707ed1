#include "canscheduler.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "udsfileuploader.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_UDSFileUploader : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void writesWhatArrives();
    void unwritableFile();
    void negativeAnswerWritesNothing();
    void noAnswerWritesNothing();
    void refusedStartsAndAbort();

private:
    bool ask(const std::function<CAN::RetType()> &call);

    std::unique_ptr<QTemporaryDir> tmp;
    QString path(const QString &name) const { return tmp->filePath(name); }
    QByteArray image;
    VirtualCanBus *bus = nullptr;
    SimUdsEcu *ecu = nullptr;
    UDSClient *client = nullptr;
    UDSFileUploader *uploader = nullptr;
};

void tst_UDSFileUploader::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    bus = new VirtualCanBus(this);
    auto *scheduler = new CanScheduler(new VirtualCanAdapter(bus, bus), bus);
    ecu = new SimUdsEcu(new VirtualCanAdapter(bus, bus), bus);
    image.resize(512);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 3);
    ecu->setMemory(0x1000, image);
    ecu->setSecurityRequired(false);
    ecu->setMaxBlockLength(66); // 64 data bytes an answer
    client = new UDSClient(scheduler, bus);
    client->setResponseTimeout(300);
    uploader = new UDSFileUploader(client, bus);
    uploader->setBlockDelay(1);
    QVERIFY(ask([this] { return client->DiagnosticSessionControl(2); }));
}

void tst_UDSFileUploader::cleanup()
{
    delete bus;
}

bool tst_UDSFileUploader::ask(const std::function<CAN::RetType()> &call)
{
    QSignalSpy responses(client, &UDSClient::response);
    return call() == CAN::RetType_OK && responses.wait(1000)
        && quint8(client->getResponseData().at(0)) != 0x7F;
}

void tst_UDSFileUploader::writesWhatArrives()
{
    QVERIFY(ask([this] { return client->RequestUpload(0, 2, 2, 0x1000, 128); }));
    const QString name = path("upload.bin");
    QSignalSpy completed(uploader, &UDSFileUploader::completed);
    QSignalSpy errors(uploader, &UDSFileUploader::error);
    // 100 bytes expected, answers of 64: the second answer brings 28 more than asked for.
    QVERIFY(uploader->uploadFile(name, 100, false));
    QVERIFY(!QFile::exists(name));
    QVERIFY(completed.wait(1000));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(uploader->transferState(), 3);
    QFile f(name);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), image.left(128));
    const QList<QByteArray> requests = ecu->requests();
    QCOMPARE(requests.at(requests.size() - 2).toHex(), QByteArray("3601"));
    QCOMPARE(requests.last().toHex(), QByteArray("3602"));
}

void tst_UDSFileUploader::unwritableFile()
{
    QVERIFY(ask([this] { return client->RequestUpload(0, 2, 2, 0x1000, 64); }));
    const QString name = path("no/such/dir/upload.bin");
    QSignalSpy completed(uploader, &UDSFileUploader::completed);
    QSignalSpy errors(uploader, &UDSFileUploader::error);
    QVERIFY(uploader->uploadFile(name, 64));
    QVERIFY(errors.wait(1000));
    QCOMPARE(errors.at(0).at(0).toInt(), 2);
    QCOMPARE(uploader->transferState(), 255);
    QCOMPARE(completed.count(), 0);
    QVERIFY(!QFile::exists(name));
    QCOMPARE(QDir(tmp->path()).entryList(QDir::Files).size(), 0);
}

void tst_UDSFileUploader::negativeAnswerWritesNothing()
{
    // No upload requested: the ECU answers requestSequenceError.
    const QString name = path("upload.bin");
    QSignalSpy errors(uploader, &UDSFileUploader::error);
    QVERIFY(uploader->uploadFile(name, 64));
    QVERIFY(errors.wait(1000));
    QCOMPARE(errors.at(0).at(0).toInt(), 0x24);
    QVERIFY(!errors.wait(100));
    QVERIFY(!QFile::exists(name));
}

void tst_UDSFileUploader::noAnswerWritesNothing()
{
    QVERIFY(ask([this] { return client->RequestUpload(0, 2, 2, 0x1000, 256); }));
    const QString name = path("upload.bin");
    client->setResponseTimeout(50);
    QSignalSpy errors(uploader, &UDSFileUploader::error);
    // The ECU stops answering in the middle.
    connect(ecu, &SimUdsEcu::requestReceived, this, [this](const QByteArray &r) {
        if (r.toHex() == "3602")
            ecu->setSilent(true);
    });
    QVERIFY(uploader->uploadFile(name, 256));
    QVERIFY(errors.wait(1000));
    QCOMPARE(errors.at(0).at(0).toInt(), 1);
    QVERIFY(!errors.wait(150));
    QVERIFY(!QFile::exists(name));
}

void tst_UDSFileUploader::refusedStartsAndAbort()
{
    UDSFileUploader orphan(nullptr);
    QVERIFY(!orphan.uploadFile(path("x.bin"), 10));
    QVERIFY(ask([this] { return client->RequestUpload(0, 2, 2, 0x1000, 512); }));
    const QString name = path("upload.bin");
    QSignalSpy completed(uploader, &UDSFileUploader::completed);
    QSignalSpy errors(uploader, &UDSFileUploader::error);
    connect(ecu, &SimUdsEcu::requestReceived, this, [this](const QByteArray &r) {
        if (r.toHex() == "3602")
            uploader->abort();
    });
    QVERIFY(uploader->uploadFile(name, 512));
    QVERIFY(!uploader->uploadFile(name, 512));
    QTRY_COMPARE(uploader->transferState(), 254);
    QVERIFY(!completed.wait(150));
    QCOMPARE(errors.count(), 0);
    QVERIFY(!QFile::exists(name));
}

QTEST_GUILESS_MAIN(tst_UDSFileUploader)
#include "tst_udsfileuploader.moc"
