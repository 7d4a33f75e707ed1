#pragma once

#include "sdoexpeditedclient.h"

#include <QByteArray>

/// Large values (strings, domains) with one SDO server by the CiA 301 block protocol: an
/// initiate exchange, sub-blocks of up to 127 numbered segments with one acknowledgement each,
/// and an end exchange. The CRC is never used (announced as unsupported, sent as 0). Download
/// segments leave one per event-loop turn; a full transmit queue (adapter result 7) costs a
/// 10 ms pause. The result of a download is the int 0, that of an upload the QByteArray.
/// Driven by SDOClient.
class TARNWICK_EXPORT SDOBlockClient : public SDOExpeditedClient
{
    Q_OBJECT
public:
    /// The step onHandleNextStep performs.
    enum NextStep {
        NextStep_None = 0,
        NextStep_WriteNextBlock = 1,
        NextStep_SendBlockInitiateEnd = 2,
        NextStep_SendConfirmBlock = 3,
        NextStep_SendLastBlockReadConf = 4,
    };
    Q_ENUM(NextStep)

    explicit SDOBlockClient(QObject *parent = nullptr);
    SDOBlockClient(quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent);

    CAN::RetType setCobIds(quint32 serverCob, quint32 clientCob, bool extended) override;
    CAN::RetType setCanScheduler(CanScheduler *scheduler) override;

    /// Block download of data. 0 started, 1 a transfer runs, 6 no scheduler/adapter or the
    /// initiate frame was refused.
    CAN::RetType write(quint16 index, quint8 sub, QByteArray data);
    /// Block upload; same return codes as write.
    CAN::RetType read(quint16 index, quint8 sub);
    /// Ends the transfer; a code other than 0 goes to the server and comes back as
    /// errorReceived. Does nothing after a timeout. Always 0.
    CAN::RetType abort(quint32 code);

    /// Block size (1..127) asked of the server for uploads (127 by default).
    void setBlockSize(quint8 size) { uploadBlockSize = size; }
    quint8 blockSize() const { return uploadBlockSize; }
    void setSegDelay(quint32 delay) { segDelay = delay; }
    /// The bytes received so far by an upload (or the download data with its padding).
    QByteArray getCurrentlyReceivedData() const { return buffer; }
    bool isRunning() const { return blkState != 0; }

signals:
    void progress(quint8 percentValue);
    void sendBlock(quint16 blocksize);
    void sendLast();
    void sendAbort();
    /// The adapter refused a segment with a code other than 7; the transfer has ended.
    void errorOccured(CAN::RetType ret);
    void sigWriteNext();
    void sigDoNext();

public slots:
    void newCanMessageReceived(CAN::CanRxMessage message);
    void timeoutSegmented();
    void sendBlockMessages(quint16 blockSize);
    void sendLastMessage();
    void letssendAbort();
    void sendLastBlockReadConf();
    void sendBlockInitiateEnd();
    void sendConfirmBlock();

private slots:
    void onHandleNextStep();
    void writeNextBlock();

private:
    void init();
    void connectReception();
    CAN::RetType startTransfer();
    void restartTimer();
    void finish();
    void retryLater(NextStep step);
    bool sendControl(const quint8 bytes[8], NextStep step);
    void handleDownload(const quint8 *d);
    void handleUpload(const quint8 *d);

    /// transferKind after a timeout, beyond the base's kinds: a later abort does nothing.
    static constexpr int TransferKind_TimedOut = 4;

    QByteArray buffer;
    quint32 totalSize = 0;
    quint32 offset = 0;
    enum BlkState : int {
        BlkState_Idle = 0,
        BlkState_Initiated = 2, ///< the initiate request is out
        BlkState_SubBlocks = 3, ///< sub-blocks flow
        BlkState_End = 4, ///< the end exchange
        BlkState_LastSegmentSent = 5, ///< download: the last segment is out
    };
    int blkState = BlkState_Idle;
    NextStep nextStep = NextStep_None;
    quint8 seqNo = 0;
    quint8 ackSeq = 0;
    quint8 lastSegment[8] = {}; ///< upload: the segment received last, to tell a repetition
    quint8 downloadBlockSize = 127;
    quint8 uploadBlockSize = 127;
    quint32 segDelay = 0;
    bool retried = false; ///< the last segment was refused with 7 and repeated
    bool endRefused = false; ///< the download end request waits for its repetition
    bool segmentSeen = false; ///< an upload segment arrived since the timer was started
    QTimer *retryTimer = nullptr;
};
