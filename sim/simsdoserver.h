#pragma once

#include "canrxmessage.h"
#include "simcanopennode.h"
#include "simobjectdictionary.h"
#include "tarnwicksim_export.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>

class QTimer;

/// The SDO server of a simulated CANopen device: answers expedited, segmented and block
/// uploads and downloads on the node's default SDO channel (requests on 0x600 + node-ID,
/// answers on 0x580 + node-ID) from a SimObjectDictionary, with the aborts of CiA 301 (no
/// object, no sub-index, read-only, write-only, length mismatch, toggle bit, block size,
/// sequence number, CRC, timeout, unknown command). Block transfers use the server's own block
/// size, repeat what a client acknowledges short, acknowledge only the segments received in
/// sequence, and use the CRC only when the client asks for it. Serves in pre-operational and
/// operational only. Tests can script it per entry: answer late, not at all, fall silent
/// after some frames, abort with a chosen code, send upload segments with a wrong toggle bit,
/// or acknowledge fewer block segments than received.
class TARNWICKSIM_EXPORT SimSdoServer : public QObject
{
    Q_OBJECT
public:
    /// What the server does with the requests on one entry (or, as default, on all).
    struct Script
    {
        quint32 abortCode = 0; ///< answer with this abort code instead (0: serve normally)
        int abortAtFrame = 0; ///< with abortCode: answer this many frames of a transfer first
        int delayMs = 0; ///< send every answer this many ms late
        bool silent = false; ///< answer nothing (requests are dropped unseen)
        int answerFrames = -1; ///< answer this many frames of a transfer, then fall silent (-1: all)
        bool wrongToggle = false; ///< upload segments carry the inverted toggle bit
        int ackFewer = 0; ///< the first block download sub-block is acknowledged this many short
    };

    /// Handles a request whose command specifier the server does not serve itself (the SDO
    /// network indication of a gateway, for instance); true when it took the frame.
    using CommandHandler = std::function<bool(const CAN::CanRxMessage &)>;

    /// Serves node's own dictionary and attaches to node's frames.
    explicit SimSdoServer(SimCanopenNode *node, QObject *parent = nullptr);
    ~SimSdoServer() override;

    SimCanopenNode *node() const { return mNode.data(); }
    /// The dictionary served; another one (a routed node's) can be set. Ends a running transfer.
    SimObjectDictionary *dictionary() const { return mOd.data(); }
    void setDictionary(SimObjectDictionary *od);

    void setScript(quint16 index, quint8 sub, const Script &script);
    void setDefaultScript(const Script &script) { mDefaultScript = script; }
    void clearScripts();

    /// Time the server waits for the next request of a segmented transfer before it aborts
    /// with 0x05040000 (default 1000 ms).
    void setTimeout(int ms) { mTimeoutMs = ms; }
    int timeout() const { return mTimeoutMs; }

    /// Block size of block downloads (1..127, default 127); a change applies from the next
    /// acknowledgement, so it can change in the middle of a transfer.
    void setBlockSize(quint8 size) { mBlockSize = quint8(qBound(1, int(size), 127)); }
    quint8 blockSize() const { return mBlockSize; }
    /// Whether the server computes the block transfer CRC when a client asks for it (default true).
    void setCrcSupported(bool on) { mCrcSupported = on; }
    /// CRC-16 of CiA 301 block transfers (polynomial 0x1021, initial value 0).
    static quint16 blockCrc(const QByteArray &data);

    /// Takes over the requests with command specifier ccs (0..7, byte 0 >> 5).
    void setCommandHandler(quint8 ccs, CommandHandler handler);

    /// Sends an answer on 0x580 + node-ID at once (for command handlers).
    void sendAnswer(const quint8 bytes[8]) { send(bytes); }
    /// Sends an abort frame and ends the running transfer.
    void sendAbort(quint16 index, quint8 sub, quint32 code);

    bool isTransferRunning() const { return mState != State_Idle; }
    quint64 requestsReceived() const { return mRequests; }
    quint64 answersSent() const { return mAnswers; }

signals:
    /// The client aborted a transfer.
    void abortReceived(quint16 index, quint8 sub, quint32 code);
    /// The server aborted a transfer (also on its own timeout).
    void abortSent(quint16 index, quint8 sub, quint32 code);
    /// A download or upload ended successfully.
    void transferCompleted(quint16 index, quint8 sub, bool download);

private slots:
    void serverTimeout();
    void sendDueAnswers();

private:
    enum State {
        State_Idle,
        State_Download,
        State_Upload,
        State_BlockDownload, ///< receiving the segments of a sub-block
        State_BlockDownloadEnd, ///< the last segment is in: waiting for the end request
        State_BlockUploadStart, ///< initiate answered: waiting for the start
        State_BlockUpload, ///< a sub-block sent: waiting for its acknowledgement
        State_BlockUploadEnd, ///< the end request sent: waiting for the end response
    };

    bool handleFrame(const CAN::CanRxMessage &message);
    void initiateDownload(const quint8 *d);
    void downloadSegment(const quint8 *d);
    void initiateUpload(const quint8 *d);
    void uploadSegment(const quint8 *d);
    void initiateBlockDownload(const quint8 *d);
    void blockDownloadSegment(const quint8 *d);
    void endBlockDownload(const quint8 *d);
    void initiateBlockUpload(const quint8 *d);
    void blockUploadCommand(const quint8 *d);
    void sendUploadSubBlock();
    void sendUploadSegments();
    bool checkDownloadTarget(qint64 size);
    void respond(const quint8 bytes[8]);
    void endTransfer();
    void reset();
    const Script &scriptFor(quint16 index, quint8 sub) const;
    quint32 maxSize(quint16 index, quint8 sub) const;
    CAN::RetType send(const quint8 bytes[8]);

    struct Delayed
    {
        qint64 due;
        quint8 bytes[8];
    };

    QPointer<SimCanopenNode> mNode;
    QPointer<SimObjectDictionary> mOd;
    QHash<quint32, Script> mScripts;
    Script mDefaultScript;
    CommandHandler mHandlers[8];
    int mTimeoutMs = 1000;
    QTimer *mTimeoutTimer;
    QTimer *mDelayTimer;
    QTimer *mSegmentTimer;
    QElapsedTimer mClock;
    std::deque<Delayed> mDelayed;

    State mState = State_Idle;
    quint16 mIndex = 0;
    quint8 mSub = 0;
    Script mScript; ///< the script of the running request
    bool mMuted = false; ///< the running transfer gets no more answers
    int mFramesAnswered = 0; ///< frames of the running transfer answered so far
    bool mToggle = false;
    qint64 mExpectedSize = -1; ///< size a download announced, -1 when not indicated
    QByteArray mData;
    int mOffset = 0;
    bool mSeen = false; ///< a block segment arrived since the timeout timer was started
    quint8 mBlockSize = 127;
    bool mCrcSupported = true;
    bool mCrc = false; ///< the running block transfer uses the CRC
    quint8 mExpectedSeq = 1; ///< block download: sequence number of the next segment in order
    bool mLastReceived = false; ///< block download: the last segment arrived in sequence
    bool mAckShortened = false; ///< the scripted short acknowledgement has been given
    int mSubBlockStart = 0; ///< bytes of the transfer before the running sub-block
    int mBlockLimit = 0; ///< block download: most bytes the segments may bring, padding included
    quint8 mSubBlockSize = 127; ///< the running sub-block's size (download: ours; upload: the client's)
    int mSegmentsSent = 0; ///< block upload: segments of the running sub-block
    quint64 mRequests = 0;
    quint64 mAnswers = 0;
};
