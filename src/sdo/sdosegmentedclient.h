#pragma once

#include "sdoexpeditedclient.h"

#include <QByteArray>

/// Values of any length with one SDO server by the CiA 301 segmented protocol: an initiate
/// exchange, then segments of seven bytes with an alternating toggle bit. Reports progress in
/// percent. With the fast segmented download it keeps several download segments in flight
/// instead of waiting for each answer. Driven by SDOClient.
class TARNWICK_EXPORT SDOSegmentedClient : public SDOExpeditedClient
{
    Q_OBJECT
public:
    explicit SDOSegmentedClient(QObject *parent = nullptr);
    SDOSegmentedClient(quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent);

    /// Segmented download of data. 0 started, 1 a transfer runs, 6 no scheduler/adapter or the
    /// initiate frame was refused. The result of a download is the int 0.
    CAN::RetType write(quint16 index, quint8 sub, QByteArray data);
    /// Segmented upload; the result is the QByteArray the server sent (an expedited answer of
    /// the server is accepted too). Same return codes as write.
    CAN::RetType read(quint16 index, quint8 sub);
    /// Ends the transfer; a code other than 0 goes to the server and comes back as
    /// errorReceived. Always 0.
    CAN::RetType abort(quint32 code);

    /// Fast segmented download: up to count frames in flight without waiting for answers.
    void setFastSegmentedDownload(bool on, quint8 count);
    /// The bytes received so far by an upload (or the download data with its padding).
    QByteArray getCurrentlyReceivedData() const { return buffer; }
    bool isRunning() const { return segState != SegState_Idle; }

signals:
    void progress(quint8 percentValue);

public slots:
    void newSegmentedCanMessageReceived(CAN::CanRxMessage message);
    void timeoutSegmented();

private:
    CAN::RetType startTransfer();
    void sendNextSegment();
    void sendSegmentFrame();
    void restartTimer();
    void handleUpload(const quint8 *d);
    int checkDownloadAnswer(quint8 command);

    QByteArray buffer;
    quint32 totalSize = 0;
    quint32 offset = 0;
    enum SegState : int {
        SegState_Idle = 0,
        SegState_Running = 1,
        SegState_LastSegmentSent = 2, ///< download: the last segment is out
    };
    int segState = SegState_Idle;
    quint8 segmentFrame[8] = {}; ///< the segment being sent, kept for a repetition
    quint32 segmentSerial = 0; ///< counts segments, so that a late repetition finds its own
    bool segmentRetryPending = false; ///< segmentFrame waits for a repetition
    bool nextAfterRetry = false; ///< an answer asked for the next segment meanwhile
    bool sendToggle = false;
    bool expectToggle = false;
    bool initiateConfirmed = false; ///< download: the server confirmed the initiate request
    bool expectAckToggle = false; ///< download: toggle of the next segment confirmation
    quint32 framesHandled = 0;
    quint8 outstanding = 0;
    bool fastSeg = false;
    quint8 fastSegCount = 0;
    quint8 lastPercent = 0;
};
