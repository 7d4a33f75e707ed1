#pragma once

#include "usdoexpeditedclient.h"

#include <QByteArray>

/// USDO (CANopen FD) segmented transfers with one node: an initiate exchange, then segments of
/// 60 data bytes in 64-byte CAN FD frames, each answered by the server, and a last shorter
/// segment. Reports progress in percent; the fast segmented download keeps several segments
/// in flight. Uploads of values that fit one frame end with the server's expedited answer.
class TARNWICK_EXPORT USDOSegmentedClient : public USDOExpeditedClient
{
    Q_OBJECT
public:
    explicit USDOSegmentedClient(QObject *parent = nullptr);
    USDOSegmentedClient(quint8 localId, quint8 nodeId, CanScheduler *scheduler, QObject *parent);

    /// Segmented upload; the result is the QByteArray received (numbers of up to four bytes
    /// that the server sends expedited arrive decoded). 0 started, 1 busy, 2 broadcast,
    /// 6 no scheduler/adapter or the request was refused.
    CAN::RetType read(quint16 index, quint8 sub, CAN::CANopenDataType type);
    /// Segmented download of data announced as type; the result is the int 0. Same results as read.
    CAN::RetType write(quint16 index, quint8 sub, CAN::CANopenDataType type, QByteArray data);
    /// Ends the transfer; a code other than 0 is sent to the server (low 8 bits) and reported
    /// as errorReceived. Always 0.
    CAN::RetType abort(quint32 code);

    /// Fast segmented download: up to count segments in flight without waiting for answers.
    void setFastSegmentedDownload(bool on, quint8 count);
    /// The bytes an upload received so far (or the download data with its padding).
    QByteArray getCurrentlyReceivedData() const { return buffer; }
    bool isRunning() const { return segState != 0; }

signals:
    void progress(quint8 percentValue);

public slots:
    void newSegmentedCanMessageReceived(CAN::CanRxMessage message);
    void timeoutSegmented();

private:
    CAN::RetType startTransfer();
    void sendSegments();
    bool sendNextSegment();
    /// True when the adapter took the frame; 7 retries after 1 ms, anything else ends the transfer.
    bool sent(CAN::RetType ret);
    void retry();
    void requestUploadSegment();
    void handleUploadAnswer(const CAN::CanRxMessage &message);
    void superviseFromNow();
    void finish(const QVariant &value);
    void fail(quint32 code);
    /// Emits progress when it changed; false when the transfer ended or the client is gone.
    bool reportProgress();

    QTimer *segTimer;
    QTimer *retryTimer;
    /// The supervision timer's remaining time at the last frame of the server while it ran
    /// (measured on the timer's own clock, so any event dispatcher times it); -1: none since it started.
    int quietAtExpiry = -1;
    QByteArray buffer;
    quint32 totalSize = 0;
    quint32 offset = 0;
    quint8 segmentCounter = 0;
    quint8 outstanding = 0; ///< download frames sent and not yet answered
    quint8 awaitedAnswer = 0; ///< the command that answers the last frame sent
    quint8 awaitedCounter = 0; ///< the counter of the upload segment asked for last
    bool fastSeg = false;
    quint8 fastSegCount = 0;
    quint8 lastPercent = 0;
};
