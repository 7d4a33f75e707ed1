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

class QTimer;

/// The USDO server of a simulated CANopen FD device (CiA 1301): answers expedited, segmented
/// and bulk transfers from its SimObjectDictionary. Requests are CAN FD frames on 0x600 + the
/// client's node-ID whose first byte names this node (or 0, a broadcast, which it answers for
/// expedited requests); answers go on 0x580 + node-ID. It aborts with the 8-bit USDO codes
/// (object or sub-index missing, read-only, write-only, type and length mismatches, counter,
/// unknown command, timeout). As a gateway it serves routed requests for the nodes of other
/// networks that were added to it. Serves in pre-operational and operational only. Tests can
/// script it per entry as the classic SDO server.
class TARNWICKSIM_EXPORT SimUsdoServer : public QObject
{
    Q_OBJECT
public:
    /// What the server does with the requests on one entry (or, as default, on all).
    struct Script
    {
        quint8 abortCode = 0; ///< answer with this USDO abort code instead (0: serve normally)
        int abortAtFrame = 0; ///< with abortCode: answer this many frames of a transfer first
        int delayMs = 0; ///< send every answer this many ms late
        bool silent = false; ///< answer nothing
        int answerFrames = -1; ///< answer this many frames of a transfer, then fall silent (-1: all)
    };

    explicit SimUsdoServer(SimCanopenNode *node, QObject *parent = nullptr);
    ~SimUsdoServer() override;

    SimCanopenNode *node() const { return mNode.data(); }
    SimObjectDictionary *dictionary() const { return mOd.data(); }
    void setDictionary(SimObjectDictionary *od);

    void setScript(quint16 index, quint8 sub, const Script &script);
    void setDefaultScript(const Script &script) { mDefaultScript = script; }
    void clearScripts();

    /// Time the server waits for the next frame of a segmented or bulk transfer before it
    /// aborts with 0x12 (default 1000 ms).
    void setTimeout(int ms) { mTimeoutMs = ms; }
    /// The pause between bulk segments the server asks for, in 100 us steps (default 0).
    void setBulkSpacing(quint16 spacing) { mBulkSpacing = spacing; }

    /// Serves routed requests for node in network (another network behind this gateway)
    /// from od; od null removes the node.
    void setRoutedNode(quint8 network, quint8 node, SimObjectDictionary *od);

    bool isTransferRunning() const { return mState != State_Idle; }
    quint64 requestsReceived() const { return mRequests; }
    quint64 answersSent() const { return mAnswers; }

    /// The USDO abort code for a CiA 301 abort code of the dictionary.
    static quint8 usdoAbortCode(quint32 sdoAbortCode);

signals:
    void abortReceived(quint16 index, quint8 sub, quint8 code);
    void abortSent(quint16 index, quint8 sub, quint8 code);
    void transferCompleted(quint16 index, quint8 sub, bool download);

private slots:
    void serverTimeout();
    void sendDueAnswers();

private:
    enum State { State_Idle, State_SegmentedDownload, State_SegmentedUpload, State_BulkDownload };

    bool handleFrame(const CAN::CanRxMessage &message);
    void handleRouted(const CAN::CanRxMessage &message);
    void expeditedUpload(SimObjectDictionary *od, bool broadcast);
    void expeditedDownload(SimObjectDictionary *od, const CAN::CanRxMessage &message);
    void initiateDownload(const CAN::CanRxMessage &message, bool bulk);
    void downloadSegment(const CAN::CanRxMessage &message);
    void uploadSegment(const CAN::CanRxMessage &message);
    void completeDownload();
    quint8 checkWrite(SimObjectDictionary *od, quint16 index, quint8 sub, quint8 type, qint64 size) const;
    void answer(const quint8 *bytes, int length);
    void abortTransfer(quint16 index, quint8 sub, quint8 code);
    void reset();
    const Script &scriptFor(quint16 index, quint8 sub) const;
    void send(const quint8 *bytes, int length);
    void superviseFromNow();

    struct Delayed
    {
        qint64 due;
        int length;
        quint8 bytes[64];
    };

    QPointer<SimCanopenNode> mNode;
    QPointer<SimObjectDictionary> mOd;
    QHash<quint32, Script> mScripts;
    QHash<quint16, QPointer<SimObjectDictionary>> mRouted; ///< network << 8 | node
    Script mDefaultScript;
    int mTimeoutMs = 1000;
    quint16 mBulkSpacing = 0;
    QTimer *mTimeoutTimer;
    QTimer *mDelayTimer;
    QElapsedTimer mClock;
    std::deque<Delayed> mDelayed;
    int mRemainingAtFrame
        = -1; ///< the timeout timer's remaining time at the last frame, -1: none since it started

    State mState = State_Idle;
    quint8 mClient = 0; ///< node-ID of the client of the running request
    quint8 mSession = 0;
    quint16 mIndex = 0;
    quint8 mSub = 0;
    Script mScript;
    bool mMuted = false;
    int mFramesAnswered = 0;
    quint8 mCounter = 0;
    qint64 mExpectedSize = 0;
    QByteArray mData;
    int mOffset = 0;
    quint64 mRequests = 0;
    quint64 mAnswers = 0;
};
