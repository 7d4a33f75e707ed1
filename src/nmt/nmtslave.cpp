#include "nmtslave.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "cyclicoccurrencetester.h"
#include "nmtnetwork.h"
#include "tarnwicklogging_p.h"

#include <QTimer>

#include <cmath>
#include <limits>

const QHash<NMTSlave::HeartbeatGuardingState, QString> NMTSlave::stateStrings = {
    { HeartbeatGuardingState_Unknown, QStringLiteral("Device State unknown") },
    { HeartbeatGuardingState_BootUp, QStringLiteral("Boot up received") },
    { HeartbeatGuardingState_NewState, QStringLiteral("New NMT state received") },
    { HeartbeatGuardingState_ConnectionOk, QStringLiteral("Connection OK") },
    { HeartbeatGuardingState_GuardingLost, QStringLiteral("Node guarding lost") },
    { HeartbeatGuardingState_ConnectionLost, QStringLiteral("Connection lost") },
    { HeartbeatGuardingState_NG_ToggleBitError, QStringLiteral("NG Toggle bit error") },
};

static void registerNmtTypes()
{
    qRegisterMetaType<NMTSlave::NmtState>("NMTSlave::NmtState");
    qRegisterMetaType<NMTSlave::HeartbeatGuardingState>("NMTSlave::HeartbeatGuardingState");
    qRegisterMetaType<NmtCommands>("NmtCommands");
}
Q_CONSTRUCTOR_FUNCTION(registerNmtTypes)

NMTSlave::NMTSlave(QObject *parent)
    : CANopenService(parent)
{
    init();
}

NMTSlave::NMTSlave(unsigned char nodeId, QObject *parent)
    : CANopenService(parent)
    , mNodeId(nodeId)
{
    init();
}

NMTSlave::NMTSlave(CanScheduler *scheduler, QObject *parent)
    : CANopenService(parent)
{
    mScheduler = scheduler;
    init();
}

NMTSlave::NMTSlave(unsigned char nodeId, CanScheduler *scheduler, QObject *parent)
    : CANopenService(parent)
{
    mScheduler = scheduler;
    init();
    setNodeId(nodeId);
}

NMTSlave::~NMTSlave()
{
    if (mSender && mScheduler)
        mScheduler->unregisterCan(mSender, this);
}

void NMTSlave::init()
{
    mWatchdog = new CyclicOccurrenceTester(this);
}

CAN::RetType NMTSlave::setNodeId(unsigned char nodeId)
{
    if (nodeId != mNodeId) {
        setStateUnknown();
        mHeartbeatActive = false;
        mGuardingActive = false;
    }
    mNodeId = nodeId;
    if (!mScheduler)
        return CAN::RetType_NoLink;
    if (mSender)
        mScheduler->unregisterCan(mSender, this);
    registerReception();
    return CAN::RetType_OK;
}

CAN::RetType NMTSlave::setCanScheduler(CanScheduler *scheduler)
{
    if (mScheduler && mSender)
        mScheduler->unregisterCan(mSender, this);
    mSender.clear();
    if (!scheduler) {
        mScheduler.clear();
        return CAN::RetType_OK;
    }
    mScheduler = scheduler;
    registerReception();
    return CAN::RetType_OK;
}

void NMTSlave::registerReception()
{
    mSender = mScheduler->registerCanId(0x700u + mNodeId);
    if (mSender)
        connect(mSender.data(), &CanSender::received, this, &NMTSlave::newCanMessageReceived,
            Qt::UniqueConnection);
}

CAN::RetType NMTSlave::sendCommand(NmtCommands command)
{
    if (mNodeId == 0)
        return CAN::RetType_NoLink;
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    if (adapter->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool())
        return sendCiA309Command(command);

    mExpectedState = command2State(command);
    CAN::CanMessage frame;
    frame.length = 2;
    frame.data[0] = command;
    frame.data[1] = mNodeId;
    const bool fd = mUseCANopenFD.load();
    frame.fd = fd;
    frame.bitRateSwitch = fd;
    qCDebug(lcNmt) << "NMT command" << Qt::hex << int(command) << "to node" << Qt::dec << mNodeId;
    return adapter->sendCanMessage(frame);
}

CAN::RetType NMTSlave::sendCiA309Command(NmtCommands command)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    const QString word = NMTNetwork::gatewayWord(command);
    if (word.isEmpty())
        return CAN::RetType_InvalidRequest;
    quint16 sequence = 0xFFFF;
    return adapter->sendCiA309Request(QString::number(mNodeId) + QLatin1Char(' ') + word, sequence);
}

CAN::RetType NMTSlave::startNode()
{
    return sendCommand(NMT_Start);
}
CAN::RetType NMTSlave::stopNode()
{
    return sendCommand(NMT_Stop);
}
CAN::RetType NMTSlave::preopNode()
{
    return sendCommand(NMT_PreOperational);
}
CAN::RetType NMTSlave::resetApplication()
{
    return sendCommand(NMT_ResetNode);
}
CAN::RetType NMTSlave::resetCommunication()
{
    return sendCommand(NMT_ResetCommunication);
}

NMTSlave::NmtState NMTSlave::command2State(NmtCommands command)
{
    switch (command) {
    case NMT_Start:
        return NmtState_Operational;
    case NMT_Stop:
        return NmtState_Stopped;
    case NMT_PreOperational:
    case NMT_ResetNode:
    case NMT_ResetCommunication:
        return NmtState_PreOperational;
    }
    return NmtState_Unknown;
}

NMTSlave::NmtState NMTSlave::nmtByte2State(unsigned char byte)
{
    switch (byte) {
    case 0x00:
        return NmtState_BootUp;
    case 0x04:
    case 0x84:
        return NmtState_Stopped;
    case 0x05:
    case 0x85:
        return NmtState_Operational;
    case 0x7F:
    case 0xFF:
        return NmtState_PreOperational;
    default:
        return NmtState_Unknown;
    }
}

void NMTSlave::setStateUnknown()
{
    mCurrentState = mPreviousState = mExpectedState = NmtState_Unknown;
}

// --- supervision ------------------------------------------------------------------------

void NMTSlave::discardTimer()
{
    // Detached and stopped now, freed later: this may run inside the timer's own timeout.
    QTimer *timer = mTimer.data();
    mTimer.clear();
    if (!timer)
        return;
    timer->stop();
    timer->disconnect(this);
    timer->deleteLater();
}

void NMTSlave::restartTimer(unsigned short interval)
{
    discardTimer();
    mTimer = new QTimer(this);
    // A coarse timer may fire up to 5 % early, which would judge a punctual node as lost.
    mTimer->setTimerType(Qt::PreciseTimer);
    connect(mTimer, &QTimer::timeout, this, &NMTSlave::timerElapsed);
    mTimer->start(interval);
}

CAN::RetType NMTSlave::startHeartbeatMonitoring(unsigned short consumerTime)
{
    if (consumerTime == 0) {
        mHeartbeatActive = false;
        discardTimer();
        setLastState(HeartbeatGuardingState_Unknown);
        mPeriod = 0;
        return CAN::RetType_OK;
    }
    mHeartbeatActive = true;
    restartTimer(consumerTime);
    connect(mWatchdog, &CyclicOccurrenceTester::sigNewItemState, this, &NMTSlave::onNewItemState,
        Qt::UniqueConnection);
    mReplyStopwatch.restart();
    setLastState(HeartbeatGuardingState_Unknown);
    mPeriod = consumerTime;
    return CAN::RetType_OK;
}

CAN::RetType NMTSlave::startNodeGuarding(unsigned short guardTime, unsigned char lifeTimeFactor)
{
    if (guardTime == 0)
        return CAN::RetType_OK;
    mLifeTimeFactor = lifeTimeFactor;
    mHeartbeatActive = false;
    mGuardingActive = true;
    mPeriod = guardTime;
    mToggleBit = 0xFF;
    restartTimer(guardTime);
    mReplyStopwatch.restart();
    return CAN::RetType_OK;
}

CAN::RetType NMTSlave::stopNodeGuarding()
{
    if (!mGuardingActive)
        return CAN::RetType_NoLink;
    mGuardingActive = false;
    discardTimer();
    return CAN::RetType_OK;
}

void NMTSlave::setLastState(HeartbeatGuardingState state)
{
    mLastState = state;
    CanTimeStamp t;
    if (mHistoryStopwatch.isValid()) {
        t = mHistoryBase;
        t.addMSecs(mHistoryStopwatch.elapsed());
    } else {
        t = CanTimeStamp::now(); // nothing received from the node yet
    }
    mStateList.append(StateEntry(state, t));
}

void NMTSlave::recordState(HeartbeatGuardingState state)
{
    setLastState(state);
    emit HeartbeatGuardingStateChanged(state);
}

QString NMTSlave::stateToString(HeartbeatGuardingState state)
{
    return stateStrings.value(state);
}

int NMTSlave::timediff(CanTimeStamp later, CanTimeStamp earlier)
{
    const double ms = (double(later.seconds()) - double(earlier.seconds())) * 1000.0
        + std::trunc(double(later.microseconds()) / 1000.0 - double(earlier.microseconds()) / 1000.0);
    // Against a stamp never set (the first reply) the difference exceeds int: saturate
    // instead of converting out of range.
    if (ms >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (ms <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(ms);
}

void NMTSlave::timerElapsed()
{
    if (mHeartbeatActive && mLastState != HeartbeatGuardingState_ConnectionLost)
        recordState(HeartbeatGuardingState_ConnectionLost);
    if (!mGuardingActive)
        return;

    const qint64 elapsed = mReplyStopwatch.elapsed();
    const qint64 t1 = qint64(1.4 * mPeriod);
    const qint64 lifeTime = qint64(mPeriod) * mLifeTimeFactor;
    // A life time of 0 (factor 0) supervises nothing. Past the life time the node is lost,
    // also when the life time is not longer than 1.4 guard times (factor 1; there the 1.4 guard
    // times of tolerance apply, so that timer jitter never judges a punctual node lost):
    // guarding lost is recorded first if that has not happened yet, then connection lost, once.
    if (lifeTime > 0) {
        if (elapsed >= lifeTime && elapsed > t1) {
            if (mLastState != HeartbeatGuardingState_ConnectionLost) {
                if (mLastState != HeartbeatGuardingState_GuardingLost)
                    recordState(HeartbeatGuardingState_GuardingLost);
                recordState(HeartbeatGuardingState_ConnectionLost);
            }
        } else if (elapsed > t1) {
            if (mLastState != HeartbeatGuardingState_GuardingLost)
                recordState(HeartbeatGuardingState_GuardingLost);
        }
    }

    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return;
    CAN::CanMessage request;
    request.id = 0x700u + mNodeId;
    request.length = 1;
    request.remote = true;
    const bool fd = mUseCANopenFD.load();
    request.fd = fd;
    request.bitRateSwitch = fd;
    adapter->sendCanMessage(request);
}

void NMTSlave::newCanMessageReceived(CAN::CanRxMessage message)
{
    mHistoryBase = message.timeStamp;
    mHistoryStopwatch.start();
    if (message.id != 0x700u + mNodeId || message.length != 1 || message.remote)
        return;

    mPreviousState = mCurrentState;
    const unsigned char byte = message.data[0];
    mCurrentState = nmtByte2State(byte);
    mLatestReply = message.timeStamp;
    if (byte == 0x00 || mCurrentState != mPreviousState) {
        emit NodeStateChanged(mCurrentState);
        emit HeartbeatGuardingStateChanged(
            byte == 0x00 ? HeartbeatGuardingState_BootUp : HeartbeatGuardingState_NewState);
    }
    mReplyStopwatch.restart();

    if (mHeartbeatActive) {
        if (mTimer)
            mTimer->start();
        if (mWatchdog)
            mWatchdog->handleNewItemMessage(message);
    } else if (!mGuardingActive) {
        return;
    }

    if (mGuardingActive) {
        const unsigned char bit = byte >> 7;
        if (mToggleBit == 0xFF) {
            mToggleBit = bit;
        } else {
            if (bit != 1 - mToggleBit)
                recordState(HeartbeatGuardingState_NG_ToggleBitError); // the host hears of it
            mToggleBit = bit;
        }
    }

    const int d = timediff(mLatestReply, mPreviousReply);
    mPreviousReply = mLatestReply;
    if (mPeriod == 0 || d > mPeriod)
        return;
    switch (mLastState) {
    case HeartbeatGuardingState_Unknown:
    case HeartbeatGuardingState_GuardingLost:
    case HeartbeatGuardingState_ConnectionLost:
    case HeartbeatGuardingState_NG_ToggleBitError:
        recordState(HeartbeatGuardingState_ConnectionOk);
        break;
    case HeartbeatGuardingState_BootUp:
    case HeartbeatGuardingState_NewState:
    case HeartbeatGuardingState_ConnectionOk:
        break;
    }
}

void NMTSlave::onNewItemState(CAN::CyclicState state, unsigned int, unsigned short)
{
    emit sigNodeStateChanged(state);
}
