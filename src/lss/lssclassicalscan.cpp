#include "lssclassicalscan_p.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "lssrequestframe_p.h"
#include "tarnwicklogging_p.h"

#include <cmath>

namespace {
constexpr quint32 LssAnswerId = Lss::AnswerId;
constexpr quint8 CsIdentifySlave = 0x4F;
constexpr quint32 EndMark = 0xFFFFFFFFu;
constexpr int NotReadyRepetitions = 3;
constexpr int NotReadyPauseMs = 5000;
} // namespace

LSSClassicalScan::LSSClassicalScan(
    quint32 vendorId, quint32 productCode, CanScheduler *scheduler, QObject *parent)
    : QObject(parent)
    , mScheduler(scheduler)
    , mVendorId(vendorId)
    , mProductCode(productCode)
    , mCurrent { 0, 0xFFFFFFFFu, 0, 0xFFFFFFFFu }
{
    mTimer.setSingleShot(true);
    mTimer.setInterval(mTimeout);
    connect(&mTimer, &QTimer::timeout, this, &LSSClassicalScan::timeout);
    mRetryTimer.setSingleShot(true);
    mRetryTimer.setTimerType(Qt::PreciseTimer); // the full 5 s, not up to 5 % less
    mRetryTimer.setInterval(NotReadyPauseMs);
    connect(&mRetryTimer, &QTimer::timeout, this, &LSSClassicalScan::sendQueryFrames);
    // The queue starts with the full range, which at once becomes the current one.
    mQueue.append(mCurrent);
    mCurrent = mQueue.takeFirst();
    mTotal = rangeSize(mCurrent);
}

LSSClassicalScan::~LSSClassicalScan() = default;

void LSSClassicalScan::setScanParameters(quint32 vendorId, quint32 productCode, quint32 revisionLow,
    quint32 revisionHigh, quint32 serialLow, quint32 serialHigh)
{
    mVendorId = vendorId;
    mProductCode = productCode;
    mCurrent = { revisionLow, revisionHigh, serialLow, serialHigh };
    mTotal = rangeSize(mCurrent);
    mSettled = 0;
}

void LSSClassicalScan::setTimeout(quint16 ms)
{
    mTimeout = ms;
    mTimer.setInterval(ms);
}

void LSSClassicalScan::abort()
{
    mRunning = false;
    mTimer.stop();
    mRetryTimer.stop();
    emit noResponseTimeout(0);
}

double LSSClassicalScan::rangeSize(const Range &range)
{
    // An inverted range holds nothing; doubles hold the 2^64 addresses of the full range.
    if (range.revisionHigh < range.revisionLow || range.serialHigh < range.serialLow)
        return 0;
    return (double(range.revisionHigh - range.revisionLow) + 1.0)
        * (double(range.serialHigh - range.serialLow) + 1.0);
}

void LSSClassicalScan::settle(double addresses)
{
    mSettled += addresses;
    const double percent = mTotal > 0 ? std::floor(100.0 * mSettled / mTotal) : 100.0;
    mProgress = quint8(qBound(0.0, percent, 100.0));
}

CAN::RetType LSSClassicalScan::sendQueryFrame(quint8 command, quint32 value)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    CAN::CanMessage frame = Lss::requestFrame(command, value);
    return adapter->sendCanMessage(frame);
}

void LSSClassicalScan::sendNextMessage()
{
    mTimer.stop();
    if (!mRunning)
        return;
    if (mVendorId == EndMark && mProductCode == EndMark) {
        mRunning = false;
        mTimer.stop();
        settle(0);
        emit scanProgress(mProgress);
        emit nodeFound(EndMark, 0, 0, 0);
        return;
    }
    mNextQueryFrame = 0;
    mRepetitions = 0;
    sendQueryFrames();
}

void LSSClassicalScan::sendQueryFrames()
{
    if (!mRunning)
        return;
    // Identify remote slave: vendor-ID, product code, revision low/high, serial low/high.
    const quint32 values[6] = { mVendorId, mProductCode, mCurrent.revisionLow, mCurrent.revisionHigh,
        mCurrent.serialLow, mCurrent.serialHigh };
    for (; mNextQueryFrame < 6; ++mNextQueryFrame) {
        const CAN::RetType result = sendQueryFrame(quint8(0x46 + mNextQueryFrame), values[mNextQueryFrame]);
        if (result == CAN::RetType_NotReady && mRepetitions < NotReadyRepetitions) {
            // A full transmit queue is waited out a few times at most; the host's event loop
            // keeps running meanwhile.
            ++mRepetitions;
            qCDebug(lcLss) << "classical scan: adapter not ready, retrying in" << mRetryTimer.interval()
                           << "ms";
            mRetryTimer.start();
            return;
        }
        if (result != CAN::RetType_OK) {
            qCDebug(lcLss) << "classical scan: query frame not sent, result" << int(result);
            mRunning = false;
            emit noResponseTimeout(0);
            return;
        }
        mRepetitions = 0;
    }
    mAnswered = false;
    mWaiting = true;
    mTimer.start(mTimeout);
}

void LSSClassicalScan::handleCanMessage(const CAN::CanRxMessage &message)
{
    // The first answer decides; further answers to the same query change nothing.
    if (!mWaiting)
        return;
    mWaiting = false;
    if (message.id != LssAnswerId || message.length < 1 || message.data[0] != CsIdentifySlave)
        return;
    mAnswered = true;

    const Range &r = mCurrent;
    if (r.revisionLow != r.revisionHigh) {
        const quint32 d = (r.revisionHigh - r.revisionLow) / 2;
        mQueue.append({ r.revisionLow, r.revisionLow + d, r.serialLow, r.serialHigh });
        mQueue.append({ r.revisionLow + d + 1, r.revisionHigh, r.serialLow, r.serialHigh });
    } else if (r.serialLow != r.serialHigh) {
        const quint32 d = (r.serialHigh - r.serialLow) / 2;
        mQueue.append({ r.revisionLow, r.revisionLow, r.serialLow, r.serialLow + d });
        mQueue.append({ r.revisionLow, r.revisionLow, r.serialLow + d + 1, r.serialHigh });
    } else {
        settle(1);
        emit nodeFound(mVendorId, mProductCode, r.revisionLow, r.serialLow);
    }
    emit scanProgress(mProgress);
    qCDebug(lcLss) << "Progress:" << int(mProgress);
}

void LSSClassicalScan::timeout()
{
    // A late answer must not be taken for the next range.
    mWaiting = false;
    if (!mAnswered)
        settle(rangeSize(mCurrent));
    mAnswered = false;
    if (!mQueue.isEmpty()) {
        mCurrent = mQueue.takeFirst();
    } else {
        mVendorId = EndMark;
        mProductCode = EndMark;
        mCurrent = { 0, 0, 0, 0 };
    }
    QTimer::singleShot(0, this, &LSSClassicalScan::sendNextMessage);
}
