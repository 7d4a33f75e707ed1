// UDS file upload (the uploader writes what the device sends) and download, with arbitrary answers.
#include "fuzzharness.h"
#include "udsclient.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    static const QString source
        = QDir::tempPath() + QStringLiteral("/tarnwick-fuzz-%1.in").arg(QCoreApplication::applicationPid());
    static const QString target
        = QDir::tempPath() + QStringLiteral("/tarnwick-fuzz-%1.out").arg(QCoreApplication::applicationPid());
    static const bool sourceWritten = [] {
        QFile f(source);
        return f.open(QIODevice::WriteOnly) && f.write(QByteArray(700, '\x5a')) == 700;
    }();
    FUZZ_CHECK(sourceWritten);
    QFile::remove(target);
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        UDSClient client(&bus.scheduler);
        client.setResponseTimeout(100);
        UDSFileUploader uploader(&client);
        UDSFileDownloader downloader(&client);
        uploader.setBlockDelay(0);
        downloader.setBlockDelay(0);
        int outcomes = 0;
        auto count = [&] { ++outcomes; };
        QObject::connect(&uploader, &UDSFileUploader::completed, count);
        QObject::connect(&uploader, &UDSFileUploader::error, count);
        QObject::connect(&downloader, &UDSFileDownloader::completed, count);
        QObject::connect(&downloader, &UDSFileDownloader::error, count);
        const quint8 setup = in.u8();
        const quint32 expected = (setup & 2) ? in.u32() : in.u16();
        int frames = 0;
        QObject::connect(&bus.adapter, &AbstractCanAdapter::messageReceived, [&] { ++frames; });
        const bool started = (setup & 1) ? downloader.downloadFile(source, quint16(in.u16() % 1024))
                                         : uploader.uploadFile(target, expected);
        fuzzPlayFrames(in, bus, { 0x7E8, 0x7E0 });
        fuzzRunOut();
        FUZZ_CHECK(outcomes == (started ? 1 : 0));
        if (!(setup & 1))
            FUZZ_CHECK(QFileInfo(target).size() <= 64 * frames);
    }
    fuzzRunOut();
    return 0;
}
