#include "virtualtimedispatcher.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimerEvent>

VirtualTimeDispatcher::VirtualTimeDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent)
{
}

VirtualTimeDispatcher *VirtualTimeDispatcher::instance()
{
    return qobject_cast<VirtualTimeDispatcher *>(QAbstractEventDispatcher::instance());
}

int VirtualTimeDispatcher::indexOf(int timerId) const
{
    for (int i = 0; i < mTimers.size(); ++i) {
        if (mTimers.at(i).id == timerId)
            return i;
    }
    return -1;
}

bool VirtualTimeDispatcher::fireDue()
{
    // Each timer due now fires once per pass, earliest deadline first; a timer that a handler
    // stops, or whose object dies, is skipped.
    QList<QPair<qint64, int>> due;
    for (const Timer &t : qAsConst(mTimers)) {
        if (t.deadline <= mNow)
            due.append({ t.deadline, t.id });
    }
    std::sort(due.begin(), due.end());
    for (const auto &d : qAsConst(due)) {
        const int i = indexOf(d.second);
        if (i < 0 || mTimers.at(i).deadline > mNow)
            continue;
        Timer &t = mTimers[i];
        t.deadline = mNow + qMax(t.interval, 0);
        QObject *object = t.object;
        QTimerEvent event(d.second);
        QCoreApplication::sendEvent(object, &event);
    }
    return !due.isEmpty();
}

bool VirtualTimeDispatcher::advanceToNextTimer()
{
    if (mTimers.isEmpty())
        return false;
    qint64 next = mTimers.first().deadline;
    for (const Timer &t : qAsConst(mTimers))
        next = qMin(next, t.deadline);
    mNow = qMax(mNow, next);
    fireDue();
    return true;
}

void VirtualTimeDispatcher::advanceBy(qint64 ms)
{
    const qint64 end = mNow + ms;
    for (;;) {
        qint64 next = end + 1;
        for (const Timer &t : qAsConst(mTimers))
            next = qMin(next, t.deadline);
        if (next > end)
            break;
        mNow = qMax(mNow, next);
        fireDue();
        QCoreApplication::sendPostedEvents();
    }
    mNow = end;
}

bool VirtualTimeDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    mInterrupted = false;
    emit awake();
    const bool posted = mPosted;
    mPosted = false;
    QCoreApplication::sendPostedEvents();
    if (mInterrupted)
        return posted;
    bool fired = false;
    if (!(flags & QEventLoop::X11ExcludeTimers))
        fired = fireDue();
    if (posted || fired || mPosted)
        return true;
    if (flags & QEventLoop::WaitForMoreEvents) {
        emit aboutToBlock();
        if (advanceToNextTimer())
            return true;
        ++mIdleWaits;
    }
    return false;
}

bool VirtualTimeDispatcher::hasPendingEvents()
{
    return mPosted;
}

void VirtualTimeDispatcher::registerSocketNotifier(QSocketNotifier *) { }

void VirtualTimeDispatcher::unregisterSocketNotifier(QSocketNotifier *) { }

void VirtualTimeDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject *object)
{
    mTimers.append({ timerId, interval, timerType, object, mNow + qMax(interval, 0) });
}

bool VirtualTimeDispatcher::unregisterTimer(int timerId)
{
    const int i = indexOf(timerId);
    if (i < 0)
        return false;
    mTimers.removeAt(i);
    return true;
}

bool VirtualTimeDispatcher::unregisterTimers(QObject *object)
{
    bool any = false;
    for (int i = mTimers.size() - 1; i >= 0; --i) {
        if (mTimers.at(i).object == object) {
            mTimers.removeAt(i);
            any = true;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> VirtualTimeDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> list;
    for (const Timer &t : mTimers) {
        if (t.object == object)
            list.append(TimerInfo(t.id, t.interval, t.type));
    }
    return list;
}

int VirtualTimeDispatcher::remainingTime(int timerId)
{
    const int i = indexOf(timerId);
    return i < 0 ? -1 : int(qMax<qint64>(0, mTimers.at(i).deadline - mNow));
}

void VirtualTimeDispatcher::wakeUp()
{
    mPosted = true;
}

void VirtualTimeDispatcher::interrupt()
{
    mInterrupted = true;
}

void VirtualTimeDispatcher::flush() { }

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
