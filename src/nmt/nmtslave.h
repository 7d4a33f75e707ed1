#pragma once

#include "canopenservice.h"
#include "canrxmessage.h"
#include "cantimestamp.h"
#include "cantypes.h"
#include "nmtcommands.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
#include <QPointer>

class CanSender;
class CyclicOccurrenceTester;
class QTimer;

/// One remote node: NMT commands addressed to its node ID, and its supervision by heartbeat
/// consumption or node guarding on identifier 0x700 + node ID. NodeStateChanged reports the
/// node's NMT state, HeartbeatGuardingStateChanged the judgement of the connection.
class TARNWICK_EXPORT NMTSlave : public CANopenService
{
    Q_OBJECT
public:
    enum NmtState {
        NmtState_Unknown = 0,
        NmtState_BootUp = 1,
        NmtState_PreOperational = 2,
        NmtState_Operational = 3,
        NmtState_Stopped = 4,
    };
    Q_ENUM(NmtState)

    enum HeartbeatGuardingState {
        HeartbeatGuardingState_Unknown = 0,
        HeartbeatGuardingState_BootUp = 1,
        HeartbeatGuardingState_NewState = 2,
        HeartbeatGuardingState_ConnectionOk = 3,
        HeartbeatGuardingState_GuardingLost = 4,
        HeartbeatGuardingState_ConnectionLost = 5,
        HeartbeatGuardingState_NG_ToggleBitError = 6,
    };
    Q_ENUM(HeartbeatGuardingState)

    using StateEntry = QPair<HeartbeatGuardingState, CanTimeStamp>;

    explicit NMTSlave(QObject *parent = nullptr);
    NMTSlave(unsigned char nodeId, QObject *parent);
    NMTSlave(CanScheduler *scheduler, QObject *parent);
    /// `NMTSlave(&scheduler)`: the scheduler, no parent (not the QObject *parent constructor).
    template<typename T, IfScheduler<T> = 0>
    explicit NMTSlave(T *scheduler, QObject *parent = nullptr)
        : NMTSlave(static_cast<CanScheduler *>(scheduler), parent)
    {
    }
    /// Stores both and registers for the node's heartbeat/guarding frames.
    NMTSlave(unsigned char nodeId, CanScheduler *scheduler, QObject *parent = nullptr);
    ~NMTSlave() override;

    /// A new node ID resets the states and ends supervision; registers on 0x700 + ID.
    /// 6 without scheduler (the ID is stored anyway).
    CAN::RetType setNodeId(unsigned char nodeId);
    unsigned char getNodeId() const { return mNodeId; }
    /// Moves the registration to another scheduler (null only clears the link). Always 0.
    CAN::RetType setCanScheduler(CanScheduler *scheduler);

    /// 6 with node ID 0 or without scheduler, else the adapter's result.
    CAN::RetType sendCommand(NmtCommands command);
    /// Gateway line "<node ID> start" etc.; no answer is awaited.
    CAN::RetType sendCiA309Command(NmtCommands command);
    CAN::RetType startNode();
    CAN::RetType stopNode();
    CAN::RetType preopNode();
    CAN::RetType resetApplication();
    CAN::RetType resetCommunication();

    /// The state a node reaches after the command.
    static NmtState command2State(NmtCommands command);
    /// The NMT state carried by a heartbeat or guarding byte.
    static NmtState nmtByte2State(unsigned char byte);

    NmtState getCurrentNodeState() const { return mCurrentState; }
    NmtState getPreviousNodeState() const { return mPreviousState; }
    NmtState getExpectedNodeState() const { return mExpectedState; }
    void setStateUnknown();

    /// Heartbeat consumer time in ms; 0 ends heartbeat supervision. Always 0.
    CAN::RetType startHeartbeatMonitoring(unsigned short consumerTime);
    /// Guard time in ms and life time factor; guard time 0 changes nothing. Always 0.
    CAN::RetType startNodeGuarding(unsigned short guardTime, unsigned char lifeTimeFactor);
    /// 6 when guarding is not active, else 0.
    CAN::RetType stopNodeGuarding();
    bool isHeartbeatActive() const { return mHeartbeatActive; }
    bool isGuardingActive() const { return mGuardingActive; }
    HeartbeatGuardingState getLastState() const { return mLastState; }

    /// The judgements recorded so far, each with its time.
    QList<StateEntry> getStateList() const { return mStateList; }
    void setLastState(HeartbeatGuardingState state);
    static QString stateToString(HeartbeatGuardingState state);
    /// later - earlier in ms.
    static int timediff(CanTimeStamp later, CanTimeStamp earlier);

    static const QHash<HeartbeatGuardingState, QString> stateStrings;

signals:
    void NodeStateChanged(NMTSlave::NmtState newState);
    void HeartbeatGuardingStateChanged(NMTSlave::HeartbeatGuardingState newState);
    void heartBeatTimeDifference(uint timeDiff);
    void sigNodeStateChanged(CAN::CyclicState state);

public slots:
    void newCanMessageReceived(CAN::CanRxMessage message);
    void timerElapsed();

private slots:
    void onNewItemState(CAN::CyclicState state, unsigned int count, unsigned short interval);

private:
    void init();
    void registerReception();
    void recordState(HeartbeatGuardingState state);
    void restartTimer(unsigned short interval);
    void discardTimer();

    unsigned char mNodeId = 0;
    NmtState mCurrentState = NmtState_Unknown;
    NmtState mPreviousState = NmtState_Unknown;
    NmtState mExpectedState = NmtState_Unknown;
    QPointer<CanSender> mSender;

    unsigned short mPeriod = 0;
    unsigned char mLifeTimeFactor = 0;
    bool mHeartbeatActive = false;
    bool mGuardingActive = false;
    HeartbeatGuardingState mLastState = HeartbeatGuardingState_Unknown;
    unsigned char mToggleBit = 0xFF;
    QPointer<QTimer> mTimer;
    QPointer<CyclicOccurrenceTester> mWatchdog;
    QElapsedTimer mReplyStopwatch;
    CanTimeStamp mLatestReply;
    CanTimeStamp mPreviousReply;
    CanTimeStamp mHistoryBase;
    QElapsedTimer mHistoryStopwatch;
    QList<StateEntry> mStateList;
};

Q_DECLARE_METATYPE(NMTSlave::NmtState)
Q_DECLARE_METATYPE(NMTSlave::HeartbeatGuardingState)
