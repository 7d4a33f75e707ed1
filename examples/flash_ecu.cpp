// Flashes a file into a simulated ECU over UDS and reads it back:
//   flash_ecu [firmware-file]   (without an argument, 20 KiB of generated data)
// The sequence is the usual one: programming session, security access by seed and key,
// RequestDownload, TransferData blocks (UDSFileDownloader), RequestTransferExit, then
// RequestUpload of the same range into firmware.readback (UDSFileUploader) and a comparison.

#include "canscheduler.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {
constexpr quint32 kFlashBase = 0x08000000;
constexpr int kFlashSize = 256 * 1024;

/// Sends one request and waits for its answer; false on a timeout or a negative answer.
bool exchange(UDSClient &client, CAN::RetType sent, const char *what)
{
    if (sent != CAN::RetType_OK) {
        std::printf("%s: not sent (%d)\n", what, int(sent));
        return false;
    }
    QEventLoop loop;
    QObject::connect(&client, &UDSClient::response, &loop, [&] { loop.exit(0); });
    QObject::connect(&client, &UDSClient::timeout, &loop, [&] { loop.exit(1); });
    if (loop.exec() != 0) {
        std::printf("%s: no answer\n", what);
        return false;
    }
    const QByteArray answer = client.getResponseData();
    std::printf("%-22s -> %s\n", what, answer.left(8).toHex(' ').constData());
    return !answer.isEmpty() && quint8(answer.at(0)) != 0x7F;
}

/// Runs a transfer object until completed() or error().
template<typename Transfer> bool finish(Transfer &transfer)
{
    QEventLoop loop;
    QObject::connect(&transfer, &Transfer::completed, &loop, [&] { loop.exit(0); });
    QObject::connect(&transfer, &Transfer::error, &loop, [&](quint8 code) {
        std::printf("transfer error %u\n", code);
        loop.exit(1);
    });
    return loop.exec() == 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    QString firmwareFile = argc > 1 ? QString::fromLocal8Bit(argv[1]) : work.filePath("firmware.bin");
    if (argc <= 1) {
        QFile f(firmwareFile);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        QByteArray data(20 * 1024, 0);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char((i * 31) ^ (i >> 8));
        f.write(data);
    }
    QFile in(firmwareFile);
    if (!in.open(QIODevice::ReadOnly) || in.size() > kFlashSize) {
        std::printf("cannot read %s (or larger than %d bytes)\n", qPrintable(firmwareFile), kFlashSize);
        return 1;
    }
    const QByteArray firmware = in.readAll();
    const quint32 size = quint32(firmware.size());

    // The bus with the tester and the ECU.
    VirtualCanBus bus;
    VirtualCanAdapter testerAdapter(&bus), ecuAdapter(&bus);
    CanScheduler scheduler(&testerAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    ecu.setMemory(kFlashBase, QByteArray(kFlashSize, '\xff'));

    UDSClient client(&scheduler);
    client.setCanIDs(0x7E0, 0x7E8, 0x7DF);
    client.setResponseTimeout(1000);

    if (!exchange(client, client.DiagnosticSessionControl(0x02), "programming session"))
        return 1;
    if (!exchange(client, client.SecurityAccess(0x01, QByteArray(), false), "request seed"))
        return 1;
    const QByteArray seed = client.getResponseData().mid(2);
    // The simulated ECU's default algorithm; a real ECU has its own.
    if (!exchange(client, client.SecurityAccess(0x02, SimUdsEcu::defaultKey(0x01, seed), false), "send key"))
        return 1;
    if (!exchange(client, client.RequestDownload(0x00, 4, 4, kFlashBase, size), "request download"))
        return 1;
    const QByteArray accepted = client.getResponseData();
    quint16 maxBlock = 0x0102;
    if (accepted.size() >= 4 && (quint8(accepted.at(1)) >> 4) == 2)
        maxBlock = quint16(quint8(accepted.at(2)) << 8 | quint8(accepted.at(3)));

    UDSFileDownloader downloader(&client);
    QObject::connect(&downloader, &UDSFileDownloader::sigDownloadProgress,
        [](quint8 percent) { std::printf("  progress %u %%\n", qMin<unsigned>(percent, 100)); });
    if (!downloader.downloadFile(firmwareFile, quint16(qMin<int>(maxBlock - 2, 4094)), false)
        || !finish(downloader))
        return 1;
    if (!exchange(client, client.RequestTransferExit(QByteArray()), "transfer exit"))
        return 1;

    if (!exchange(client, client.RequestUpload(0x00, 4, 4, kFlashBase, size), "request upload"))
        return 1;
    const QString readBack = work.filePath("firmware.readback");
    UDSFileUploader uploader(&client);
    if (!uploader.uploadFile(readBack, size, false) || !finish(uploader))
        return 1;
    if (!exchange(client, client.RequestTransferExit(QByteArray()), "transfer exit"))
        return 1;
    exchange(client, client.ECUReset(0x01, false), "hard reset");

    QFile back(readBack);
    const bool same = back.open(QIODevice::ReadOnly) && back.readAll() == firmware;
    std::printf("%u bytes flashed, read back %s\n", size, same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
}
