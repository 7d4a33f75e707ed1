#include "cyclicoccurrencetester.h"

#include <cmath>
#include <limits>

// A timer interval for ms (at least 1): gaps of weeks, or time stamps a driver made up, must not
// overflow it.
static int timerInterval(double ms)
{
    return int(qBound(1.0, std::ceil(ms), double(std::numeric_limits<int>::max())));
}

CyclicOccurrenceTester::CyclicOccurrenceTester(QObject *parent)
    : QObject(parent)
{
    mTimer.setSingleShot(true);
    mTimer.setTimerType(Qt::PreciseTimer);
    connect(&mTimer, &QTimer::timeout, this, &CyclicOccurrenceTester::overdue);
}

unsigned short CyclicOccurrenceTester::interval() const
{
    return static_cast<unsigned short>(qBound(0.0, std::round(mAverageMs), 65535.0));
}

void CyclicOccurrenceTester::handleNewItemMessage(const CAN::CanRxMessage &message)
{
    // Frames without a reception time (built by hand) are stamped now.
    const CanTimeStamp ts = (message.timeStamp == CanTimeStamp()) ? CanTimeStamp::now() : message.timeStamp;
    ++mCount;
    if (mCount == 1) {
        mLast = ts;
        mStable = 0;
        setState(CAN::CyclicState_Learning);
        return;
    }
    const double delta = double(ts.toUSecs() - mLast.toUSecs()) / 1000.0;
    mLast = ts;
    if (delta < 0)
        return; // time went backwards: ignore the item for learning

    if (mAverageMs <= 0) {
        mAverageMs = delta;
        mStable = 1;
    } else if (std::fabs(delta - mAverageMs) <= 0.5 * mAverageMs) {
        mAverageMs = 0.75 * mAverageMs + 0.25 * delta;
        ++mStable;
    } else {
        mAverageMs = delta;
        mStable = 1;
    }

    if (mStable >= kStableCount)
        setState(CAN::CyclicState_Cyclic);
    else
        setState(CAN::CyclicState_Learning);

    if (mAverageMs > 0)
        mTimer.start(timerInterval(1.5 * mAverageMs));
}

void CyclicOccurrenceTester::overdue()
{
    switch (mState) {
    case CAN::CyclicState_Cyclic:
    case CAN::CyclicState_Learning:
        setState(CAN::CyclicState_Late);
        // Stopped after 4 intervals in all: 1.5 already waited.
        mTimer.start(timerInterval(2.5 * mAverageMs));
        break;
    case CAN::CyclicState_Late:
        mAverageMs = 0;
        mCount = 0;
        mStable = 0;
        setState(CAN::CyclicState_Stopped);
        break;
    case CAN::CyclicState_Unknown:
    case CAN::CyclicState_Stopped:
        break;
    }
}

void CyclicOccurrenceTester::reset()
{
    mTimer.stop();
    mAverageMs = 0;
    mCount = 0;
    mStable = 0;
    setState(CAN::CyclicState_Unknown);
}

void CyclicOccurrenceTester::setState(CAN::CyclicState state)
{
    if (state == mState)
        return;
    mState = state;
    emit sigNewItemState(state, mCount, interval());
}
