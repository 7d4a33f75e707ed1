#include "udsfiledownloader.h"

#include "tarnwicklogging_p.h"
#include "udsclient.h"

#include <QFile>
#include <QPointer>
#include <QTimer>

namespace {
enum : int { StateIdle = 0, StateRunning = 1, StateCompleted = 3, StateAborted = 254, StateFailed = 255 };
}

UDSFileDownloader::UDSFileDownloader(UDSClient *client, QObject *parent)
    : QObject(parent)
    , mClient(client)
    , mPaceTimer(new QTimer(this))
{
    mPaceTimer->setSingleShot(true);
    connect(mPaceTimer, &QTimer::timeout, this, &UDSFileDownloader::transmitNextBlock);
    connectClient();
}

UDSFileDownloader::~UDSFileDownloader() = default;

void UDSFileDownloader::connectClient()
{
    if (!mClient)
        return;
    connect(mClient.data(), &UDSClient::timeout, this, &UDSFileDownloader::timeoutSlot, Qt::UniqueConnection);
    connect(
        mClient.data(), &UDSClient::response, this, &UDSFileDownloader::responseSlot, Qt::UniqueConnection);
    connect(mClient.data(), &UDSClient::error, this, &UDSFileDownloader::errorSlot, Qt::UniqueConnection);
}

void UDSFileDownloader::setUdsClient(UDSClient *client)
{
    if (mClient)
        disconnect(mClient.data(), nullptr, this, nullptr);
    mClient = client;
    connectClient();
}

bool UDSFileDownloader::downloadFile(QString fileName, quint16 blockSize, bool reserved)
{
    Q_UNUSED(reserved)
    if (blockSize == 0) {
        qCDebug(lcUds) << "bool UDSFileDownloader::downloadFile(QString, quint16, bool)"
                       << "blockSize = 0";
        return false;
    }
    if (!mClient || mTransferState == StateRunning)
        return false;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray contents = file.readAll();
    const bool readOk = file.error() == QFileDevice::NoError;
    file.close();
    if (!readOk)
        return false;
    mFileData = std::move(contents);
    mBlockSize = blockSize;
    mBlockCounter = 1;
    mTotalSize = quint32(mFileData.size());
    mTransferState = StateRunning;
    mPaceTimer->start(0);
    return true;
}

void UDSFileDownloader::abort()
{
    mTransferState = StateAborted;
    mTotalSize = 0;
    mPaceTimer->stop();
}

void UDSFileDownloader::transmitNextBlock()
{
    if (mTransferState == StateAborted)
        return;
    const qint64 offset = qint64(quint16(mBlockCounter - 1)) * mBlockSize;
    if (offset >= qint64(mTotalSize)) {
        mTransferState = StateCompleted;
        emit completed();
        return;
    }
    const QByteArray block = mFileData.mid(int(offset), mBlockSize);
    const CAN::RetType result
        = mClient ? mClient->TransferData(quint8(mBlockCounter & 0xFF), block) : CAN::RetType_NoLink;
    const quint64 sent = quint64(mBlockCounter) * mBlockSize;
    if (sent != 0 && mTotalSize != 0) {
        const double percent = double(sent) / double(mTotalSize) * 100.0;
        // The host may destroy the downloader from its progress slot: nothing may follow then.
        const QPointer<UDSFileDownloader> self(this);
        emit sigDownloadProgress(quint8(quint64(percent) & 0xFF));
        if (!self)
            return;
    }
    if (result != CAN::RetType_OK) {
        mTransferState = StateFailed;
        emit error(1);
        return;
    }
    ++mBlockCounter;
}

void UDSFileDownloader::responseSlot()
{
    if (mTransferState == StateRunning)
        mPaceTimer->start(mBlockDelay);
}

void UDSFileDownloader::timeoutSlot()
{
    if (mTransferState != StateRunning)
        return;
    qCDebug(lcUds) << "void UDSFileDownloader::timeoutSlot()";
    mTransferState = StateFailed;
    emit error(1);
}

void UDSFileDownloader::errorSlot(quint8 errorCode)
{
    if (mTransferState != StateRunning)
        return;
    mTransferState = StateFailed;
    emit error(errorCode);
}
