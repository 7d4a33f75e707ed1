#include "udsfileuploader.h"

#include "tarnwicklogging_p.h"
#include "udsclient.h"

#include <QSaveFile>
#include <QTimer>

namespace {
enum : int { StateIdle = 0, StateRunning = 1, StateCompleted = 3, StateAborted = 254, StateFailed = 255 };
// The expected size only sizes the first allocation; the data grows with what arrives.
constexpr quint32 kMaxReserve = 16u * 1024 * 1024;
} // namespace

UDSFileUploader::UDSFileUploader(UDSClient *client, QObject *parent)
    : QObject(parent)
    , mClient(client)
    , mPaceTimer(new QTimer(this))
{
    mPaceTimer->setSingleShot(true);
    connect(mPaceTimer, &QTimer::timeout, this, &UDSFileUploader::queryNextBlock);
    connectClient();
}

UDSFileUploader::~UDSFileUploader() = default;

void UDSFileUploader::connectClient()
{
    if (!mClient)
        return;
    connect(mClient.data(), &UDSClient::timeout, this, &UDSFileUploader::timeoutSlot, Qt::UniqueConnection);
    connect(mClient.data(), &UDSClient::response, this, &UDSFileUploader::responseSlot, Qt::UniqueConnection);
    connect(mClient.data(), &UDSClient::error, this, &UDSFileUploader::errorSlot, Qt::UniqueConnection);
}

void UDSFileUploader::setUdsClient(UDSClient *client)
{
    if (mClient)
        disconnect(mClient.data(), nullptr, this, nullptr);
    mClient = client;
    connectClient();
}

bool UDSFileUploader::uploadFile(QString fileName, quint32 expectedSize, bool reserved)
{
    Q_UNUSED(reserved)
    if (!mClient || mTransferState == StateRunning)
        return false;
    mFileName = fileName;
    mExpectedSize = expectedSize;
    mReceived.clear();
    mReceived.reserve(int(qMin(expectedSize, kMaxReserve)));
    mBlockCounter = 1;
    mTransferState = StateRunning;
    mPaceTimer->start(0);
    return true;
}

void UDSFileUploader::abort()
{
    mTransferState = StateAborted;
    mPaceTimer->stop();
}

void UDSFileUploader::queryNextBlock()
{
    if (mTransferState == StateAborted)
        return;
    const CAN::RetType result
        = mClient ? mClient->TransferData(quint8(mBlockCounter & 0xFF), QByteArray()) : CAN::RetType_NoLink;
    if (result != CAN::RetType_OK) {
        mTransferState = StateFailed;
        emit error(1);
        return;
    }
    ++mBlockCounter;
}

bool UDSFileUploader::writeFile()
{
    // Written through a temporary file that replaces the target only when complete, so a
    // failed write leaves no partial file.
    QSaveFile file(mFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(mReceived) != mReceived.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void UDSFileUploader::responseSlot()
{
    if (mTransferState != StateRunning || !mClient)
        return;
    const QByteArray answer = mClient->getResponseData();
    // Response SID 0x76 and the echoed counter are not checked.
    if (answer.size() > 2)
        mReceived.append(answer.constData() + 2, answer.size() - 2);
    if (qint64(mExpectedSize) > qint64(mReceived.size())) {
        mPaceTimer->start(mBlockDelay);
        return;
    }
    if (!writeFile()) {
        mTransferState = StateFailed;
        emit error(2);
        return;
    }
    mTransferState = StateCompleted;
    emit completed();
}

void UDSFileUploader::timeoutSlot()
{
    if (mTransferState != StateRunning)
        return;
    qCDebug(lcUds) << "void UDSFileUploader::timeoutSlot()";
    mTransferState = StateFailed;
    emit error(1);
}

void UDSFileUploader::errorSlot(quint8 errorCode)
{
    if (mTransferState != StateRunning)
        return;
    mTransferState = StateFailed;
    emit error(errorCode);
}
