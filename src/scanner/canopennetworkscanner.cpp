#include "canopennetworkscanner.h"

#include "sdoclient.h"
#include "tarnwicklogging_p.h"

#include <QMetaObject>
#include <QTimer>

namespace {
// The sub-entries read of every PDO communication object: COB-ID, transmission type,
// inhibit time, event timer (sub-index 4 is reserved in CiA 301).
struct PdoParameter
{
    quint8 sub;
    CAN::CANopenDataType type;
};
constexpr PdoParameter kPdoParameters[4] = {
    { 1, CAN::UNSIGNED32 },
    { 2, CAN::UNSIGNED8 },
    { 3, CAN::UNSIGNED16 },
    { 5, CAN::UNSIGNED16 },
};
constexpr quint32 kSdoTimeoutAbort = 0x05040000;
constexpr quint32 kScanSdoTimeoutMs = 250;
// A read refused as busy or not ready (7) is repeated after a pause, a few times.
constexpr int kReadRetryPauseMs = 10;
constexpr int kMaxReadRetries = 25;
} // namespace

const QList<CANopenNetworkscanner::ObjectEntry> CANopenNetworkscanner::identificationObjects = {
    { 0x1000, 0, CAN::UNSIGNED32 },
    { 0x1018, 1, CAN::UNSIGNED32 },
    { 0x1018, 2, CAN::UNSIGNED32 },
    { 0x1018, 3, CAN::UNSIGNED32 },
    { 0x1018, 4, CAN::UNSIGNED32 },
};

static void registerScannerTypes()
{
    qRegisterMetaType<CANopenNetworkscanner::CurrentState>("CANopenNetworkscanner::CurrentState");
}
Q_CONSTRUCTOR_FUNCTION(registerScannerTypes)

CANopenNetworkscanner::CANopenNetworkscanner(QObject *parent)
    : QObject(parent)
{
    mSdo = new SDOClient(this);
    connect(
        mSdo, &SDOClient::resultReceived, this,
        [this](quint16 index, quint8 sub, QVariant value, quint32 serverCob, quint32 clientCob, bool) {
            onSDOResultReceived(index, sub, value, serverCob, clientCob);
        },
        Qt::QueuedConnection);
    connect(mSdo, &SDOClient::errorReceived, this, &CANopenNetworkscanner::onSDOErrorReceived,
        Qt::QueuedConnection);
}

CANopenNetworkscanner::~CANopenNetworkscanner() = default;

void CANopenNetworkscanner::startScan(CanScheduler *scheduler, bool readPdos)
{
    mReadPdos = readPdos;
    // A walk in any of its phases is stopped first: a restart in a PDO phase would otherwise
    // find the client busy and lose the first read of the new walk.
    if (isWalking())
        stop();
    ++mWalk;
    mReadRetries = 0;
    mState = CS_Running;
    mSdo->setCanScheduler(scheduler);
    mSdo->setSdoTimeout(kScanSdoTimeoutMs);
    mNodeId = 0;
    scanNextNode();
}

void CANopenNetworkscanner::stop()
{
    mPending.clear();
    ++mWalk;
    if (mSdo)
        mSdo->abort(0);
    mState = CS_Stopped;
}

void CANopenNetworkscanner::scanNextNode()
{
    mRpdo.reset();
    mTpdo.reset();
    mState = CS_Running;
    ++mNodeId;
    if (mNodeId >= 128) {
        mState = CS_Finished;
        emit sigFinished();
        return;
    }
    mPending = identificationObjects;
    mSdo->setNodeId(mNodeId);
    qCDebug(lcScanner) << "scanning node" << mNodeId;
    readNextObject(false);
}

void CANopenNetworkscanner::read(quint16 index, quint8 sub, CAN::CANopenDataType type)
{
    const CAN::RetType result = mSdo->read(index, sub, type);
    if (result == CAN::RetType_OK) {
        mReadRetries = 0;
        return;
    }
    // A refused read gets no answer: the walk must go on by itself. Busy and not ready are
    // repeated after a pause; anything else (or a refusal that lasts) counts as no answer,
    // like an SDO timeout: the node is skipped, or the PDO phase ends.
    const quint32 walk = mWalk;
    if ((result == CAN::RetType_NotReady || result == CAN::RetType_Busy) && mReadRetries < kMaxReadRetries) {
        ++mReadRetries;
        QTimer::singleShot(kReadRetryPauseMs, this, [this, walk, index, sub, type] {
            if (walk == mWalk && isWalking())
                read(index, sub, type);
        });
        return;
    }
    qCDebug(lcScanner) << "read refused, result" << int(result) << "node" << mNodeId;
    mReadRetries = 0;
    // Queued, so that a bus refusing every read cannot recurse through all nodes.
    QTimer::singleShot(0, this, [this, walk, index, sub] {
        if (walk == mWalk && isWalking())
            onSDOErrorReceived(index, sub, kSdoTimeoutAbort);
    });
}

void CANopenNetworkscanner::queueNextPhase(CurrentState next)
{
    mState = next;
    QMetaObject::invokeMethod(this, "readNextObject", Qt::QueuedConnection, Q_ARG(bool, false));
}

void CANopenNetworkscanner::readParameter(PdoWalker &walker)
{
    if (walker.step < 4) {
        const PdoParameter &p = kPdoParameters[walker.step];
        read(walker.currentIndex, p.sub, p.type);
        ++walker.step;
        return;
    }
    if (walker.currentIndex > walker.lastIndex) {
        // Past the last communication object: go on as the mapping phase does.
        readMapping(walker);
        return;
    }
    ++walker.currentIndex;
    read(walker.currentIndex, kPdoParameters[0].sub, kPdoParameters[0].type);
    walker.step = 1;
}

void CANopenNetworkscanner::readMapping(PdoWalker &walker)
{
    ++walker.lastMappingSub;
    read(walker.mappingIndex, walker.lastMappingSub, CAN::UNSIGNED32);
}

void CANopenNetworkscanner::readNextObject(bool wasError)
{
    if (!mPending.isEmpty()) {
        const ObjectEntry entry = mPending.takeFirst();
        read(entry.index, entry.sub, entry.type);
        if (mPending.isEmpty() && mReadPdos)
            mState = CS_RunningRPDOParameter;
        return;
    }
    switch (mState) {
    case CS_Running:
        scanNextNode();
        break;
    case CS_RunningRPDOParameter:
        if (wasError)
            queueNextPhase(CS_RunningRPDOMapping);
        else
            readParameter(mRpdo);
        break;
    case CS_RunningRPDOMapping:
        if (wasError)
            queueNextPhase(CS_RunningTPDOParameter);
        else
            readMapping(mRpdo);
        break;
    case CS_RunningTPDOParameter:
        if (wasError)
            queueNextPhase(CS_RunningTPDOMapping);
        else
            readParameter(mTpdo);
        break;
    case CS_RunningTPDOMapping:
        if (wasError)
            queueNextPhase(CS_Running);
        else
            readMapping(mTpdo);
        break;
    case CS_NotStarted:
    case CS_Finished:
    case CS_Stopped:
        break;
    }
}

bool CANopenNetworkscanner::isWalking() const
{
    switch (mState) {
    case CS_Running:
    case CS_RunningRPDOParameter:
    case CS_RunningRPDOMapping:
    case CS_RunningTPDOParameter:
    case CS_RunningTPDOMapping:
        return true;
    case CS_NotStarted:
    case CS_Finished:
    case CS_Stopped:
        break;
    }
    return false;
}

void CANopenNetworkscanner::onSDOResultReceived(
    unsigned short, unsigned char, QVariant, unsigned int, unsigned int)
{
    if (isWalking())
        readNextObject(false);
}

void CANopenNetworkscanner::onSDOErrorReceived(unsigned short, unsigned char, unsigned int abortCode)
{
    // Outcomes arrive queued: the host may have stopped the walk since the client reported this one.
    if (!isWalking())
        return;
    if (abortCode == kSdoTimeoutAbort) {
        if (mReadPdos && mState != CS_Running)
            readNextObject(true);
        else
            scanNextNode();
        return;
    }
    readNextObject(true);
}
