#include "virtualtimedispatcher.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <utility>

int VirtualTimeDispatcher::indexOf(int timerId) const
{
    for (int i = 0; i < mTimers.size(); ++i)
        if (mTimers.at(i).id == timerId)
            return i;
    return -1;
}

bool VirtualTimeDispatcher::fireDue()
{
    // Each timer due now fires once per pass, earliest deadline first; a timer that a handler
    // stops, or whose object dies, is skipped.
    QList<QPair<qint64, int>> due;
    for (const Timer &t : qAsConst(mTimers))
        if (t.deadline <= mNow)
            due.append({ t.deadline, t.id });
    std::sort(due.begin(), due.end());
    for (const auto &d : qAsConst(due)) {
        const int i = indexOf(d.second);
        if (i < 0 || mTimers.at(i).deadline > mNow)
            continue;
        mTimers[i].deadline = mNow + qMax(mTimers.at(i).interval, 0);
        QTimerEvent event(d.second);
        QCoreApplication::sendEvent(mTimers.at(i).object, &event);
    }
    return !due.isEmpty();
}

bool VirtualTimeDispatcher::advanceToNextTimer()
{
    if (mTimers.isEmpty())
        return false;
    qint64 next = LLONG_MAX;
    for (const Timer &t : mTimers)
        next = qMin(next, t.deadline);
    mNow = qMax(mNow, next);
    fireDue();
    return true;
}

bool VirtualTimeDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    mInterrupted = false;
    emit awake();
    const bool posted = std::exchange(mPosted, false);
    QCoreApplication::sendPostedEvents();
    if (mInterrupted)
        return posted;
    const bool fired = !(flags & QEventLoop::X11ExcludeTimers) && fireDue();
    if (posted || fired || mPosted)
        return true;
    if (!(flags & QEventLoop::WaitForMoreEvents))
        return false;
    emit aboutToBlock();
    return advanceToNextTimer();
}

bool VirtualTimeDispatcher::unregisterTimer(int timerId)
{
    const int i = indexOf(timerId);
    if (i >= 0)
        mTimers.removeAt(i);
    return i >= 0;
}

bool VirtualTimeDispatcher::unregisterTimers(QObject *object)
{
    const int before = mTimers.size();
    mTimers.erase(std::remove_if(mTimers.begin(), mTimers.end(),
                      [object](const Timer &t) { return t.object == object; }),
        mTimers.end());
    return mTimers.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> VirtualTimeDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> list;
    for (const Timer &t : mTimers)
        if (t.object == object)
            list.append(TimerInfo(t.id, t.interval, t.type));
    return list;
}

int VirtualTimeDispatcher::remainingTime(int timerId)
{
    const int i = indexOf(timerId);
    return i < 0 ? -1 : int(qMax<qint64>(0, mTimers.at(i).deadline - mNow));
}

bool runVirtual(const std::function<bool()> &done, qint64 ms)
{
    VirtualTimeDispatcher *dispatcher = VirtualTimeDispatcher::instance();
    const qint64 end = dispatcher->now() + ms;
    while (!done()) {
        if (dispatcher->now() > end)
            return false;
        if (!dispatcher->processEvents(QEventLoop::WaitForMoreEvents))
            return done();
    }
    return true;
}
