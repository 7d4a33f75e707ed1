#pragma once

#include "tarnwick_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;
class UDSClient;

/// Sends a local file to the server as a sequence of TransferData (0x36) requests, one block
/// per request, each after the answer to the previous one. The host sends RequestDownload
/// before downloadFile() and RequestTransferExit after completed(). A transfer ends in
/// completed() or in one error(): 1 no answer in time or the request was refused, otherwise
/// the server's negative response code.
class TARNWICK_EXPORT UDSFileDownloader : public QObject
{
    Q_OBJECT
public:
    explicit UDSFileDownloader(UDSClient *client, QObject *parent = nullptr);
    ~UDSFileDownloader() override;

    void setUdsClient(UDSClient *client);
    /// Starts sending fileName in blocks of blockSize bytes. False when it cannot start (no
    /// client, a download running, block size 0, file unreadable); then nothing is signalled.
    /// The third argument is accepted and has no effect.
    bool downloadFile(QString fileName, quint16 blockSize, bool reserved = false);
    /// Stops sending further blocks; nothing is signalled.
    void abort();

    /// Pause between an answer and the next request (default 50 ms).
    void setBlockDelay(quint16 delayMs) { mBlockDelay = delayMs; }
    quint16 blockDelay() const { return mBlockDelay; }
    /// 0 idle, 1 running, 3 completed, 254 aborted, 255 failed.
    int transferState() const { return mTransferState; }

signals:
    /// Percentage of the file sent with the current block (may exceed 100 for the last one).
    void sigDownloadProgress(quint8 progress);
    void completed();
    void error(quint8 errorInfo);

public slots:
    void timeoutSlot();
    void responseSlot();
    void errorSlot(quint8 errorCode);

private slots:
    void transmitNextBlock();

private:
    void connectClient();

    QPointer<UDSClient> mClient;
    QTimer *mPaceTimer; // single-shot: the next request; restarting it drops a stale one
    int mTransferState = 0;
    quint16 mBlockCounter = 1;
    quint16 mBlockDelay = 50;
    QByteArray mFileData;
    quint32 mTotalSize = 0;
    quint16 mBlockSize = 0;
};
