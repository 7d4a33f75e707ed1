#include "lssfastscan_p.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "lssrequestframe_p.h"
#include "tarnwicklogging_p.h"

#include <QMutexLocker>

namespace {
constexpr quint8 CsFastScan = 0x51;
constexpr quint8 ResetQuery = 0x80;
} // namespace

LSSFastScan::LSSFastScan(quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber,
    CanScheduler *scheduler, QObject *parent)
    : QObject(parent)
    , mScheduler(scheduler)
    , mIdNumber(vendorId)
    , mIdentity { vendorId, productCode, revisionNumber, serialNumber }
{
    mTimer.setSingleShot(true);
    mTimer.setTimerType(Qt::PreciseTimer);
    mTimer.setInterval(mStepTimeout);
    connect(&mTimer, &QTimer::timeout, this, &LSSFastScan::timeout);
}

LSSFastScan::~LSSFastScan() = default;

void LSSFastScan::setStepTimeout(quint16 ms)
{
    mStepTimeout = ms;
    mTimer.setInterval(ms);
}

void LSSFastScan::sendNextMessage()
{
    mTimer.stop();
    if (!mRunning)
        return;
    if (mFinished) {
        mWaiting = false;
        emit nodeFound(mIdentity[0], mIdentity[1], mIdentity[2], mIdentity[3]);
        return;
    }
    // LSS fastscan request: IDNumber, BitChecked, LSSSub, LSSNext. Always 8 bytes.
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    CAN::CanMessage frame = Lss::requestFrame(CsFastScan, mIdNumber);
    frame.data[5] = mBitChecked;
    frame.data[6] = mLssSub;
    frame.data[7] = mLssNext;
    const CAN::RetType sent = adapter ? adapter->sendCanMessage(frame) : CAN::RetType_NoLink;
    if (sent != CAN::RetType_OK) {
        // An unsent query would read as a missing answer and so as a wrong bit: the scan ends
        // as timed out instead of reporting an identity nobody has.
        qCDebug(lcLss) << "fastscan: query not sent, result" << int(sent);
        mRunning = false;
        mWaiting = false;
        emit noResponseTimeout(mLssSub);
        return;
    }
    mResponseReceived = false;
    mWaiting = true;
    mTimer.start(mStepTimeout);
}

void LSSFastScan::handleCanMessage(const CAN::CanRxMessage &)
{
    // Only the arrival within the window counts; the window always runs to its end.
    mResponseReceived = true;
}

void LSSFastScan::timeout()
{
    QMutexLocker lock(&mMutex);
    if (!mRunning)
        return;
    if (mResponseReceived) {
        mWaiting = false;
        advance();
        sendNextMessage();
    } else if (mBitChecked == ResetQuery && mLssSub == 0) {
        // Nobody answered the reset query: no non-configured slave is present.
        qCDebug(lcLss) << "fastscan: no non-configured slave";
        mWaiting = false;
        mRunning = false;
        emit noResponseTimeout(0);
    } else if (mConfirming && mBitChecked == 0) {
        qCDebug(lcLss) << "fastscan: entry" << int(mLssSub) << "not confirmed";
        mWaiting = false;
        mRunning = false;
        emit noResponseTimeout(mLssSub);
    } else if (mWaiting) {
        // Silence: every remaining candidate has a 1 in the tested bit.
        mIdNumber |= quint32(1) << mBitChecked;
        mWaiting = false;
        advance();
        sendNextMessage();
    }
}

void LSSFastScan::advance()
{
    for (;;) {
        if (mBitChecked == ResetQuery) {
            if (!mKnownIdentity) {
                mBitChecked = 31;
                return;
            }
            mBitChecked = 0;
        } else if (mBitChecked > 0) {
            --mBitChecked;
            if (!mKnownIdentity)
                return;
        } else if (!mConfirming) {
            // Next frame: confirmation of the complete entry, moving the slave to LSSNext.
            mConfirming = true;
            mLssNext = quint8((mLssNext + 1) % 4);
            if (!mKnownIdentity)
                return;
        } else {
            // The confirmation was answered: the entry is complete.
            mConfirming = false;
            mIdentity[mLssSub] = mIdNumber;
            if (mLssSub < 3) {
                mIdNumber = mIdentity[mLssSub + 1];
            } else {
                mFinished = true;
                mLssNext = 0;
            }
            mLssSub = mLssNext;
            if (!mKnownIdentity) {
                mBitChecked = 31;
                return;
            }
            mBitChecked = 0;
            continue;
        }
        // Known identity: go straight on to the confirmation of the entry.
        if (mLssSub != mLssNext)
            return;
    }
}
