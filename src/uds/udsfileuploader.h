#pragma once

#include "tarnwick_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;
class UDSClient;

/// Fetches data from the server by TransferData (0x36) requests without data, each after the
/// answer to the previous one, until the expected size has arrived, and then writes it to a
/// local file. The host sends RequestUpload before uploadFile() and RequestTransferExit after
/// completed(). A transfer ends in completed() or in one error(): 1 no answer in time or the
/// request was refused, 2 the file cannot be written (no file is left behind), otherwise the
/// server's negative response code.
class TARNWICK_EXPORT UDSFileUploader : public QObject
{
    Q_OBJECT
public:
    explicit UDSFileUploader(UDSClient *client, QObject *parent = nullptr);
    ~UDSFileUploader() override;

    void setUdsClient(UDSClient *client);
    /// Starts fetching expectedSize bytes into fileName. False without a client or while an
    /// upload runs. The file is written only at the end. The third argument has no effect.
    bool uploadFile(QString fileName, quint32 expectedSize, bool reserved = false);
    /// Stops requesting further blocks; nothing is signalled and no file is written.
    void abort();

    /// Pause between an answer and the next request (default 50 ms).
    void setBlockDelay(quint16 delayMs) { mBlockDelay = delayMs; }
    quint16 blockDelay() const { return mBlockDelay; }
    /// 0 idle, 1 running, 3 completed, 254 aborted, 255 failed.
    int transferState() const { return mTransferState; }

signals:
    void completed();
    void error(quint8 errorInfo);

public slots:
    void timeoutSlot();
    void responseSlot();
    void errorSlot(quint8 errorCode);

private slots:
    void queryNextBlock();

private:
    void connectClient();
    bool writeFile();

    QPointer<UDSClient> mClient;
    QTimer *mPaceTimer; // single-shot: the next request; restarting it drops a stale one
    int mTransferState = 0;
    quint16 mBlockCounter = 1;
    quint16 mBlockDelay = 50;
    QString mFileName;
    QByteArray mReceived;
    quint32 mExpectedSize = 0;
};
