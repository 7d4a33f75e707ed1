#pragma once

#include <QAbstractEventDispatcher>
#include <QList>

#include <functional>

/// An event dispatcher with a virtual clock, for fuzzing and soak runs: timers fire when the clock
/// is advanced, not when wall-clock time passes. A waiting event loop (QEventLoop::exec, a nested
/// wait inside a service) that finds no posted event advances the clock to the next deadline at
/// once, so a run of many timeouts takes no real time and is reproducible.
///
/// Install before the application object exists:
///     QCoreApplication::setEventDispatcher(new VirtualTimeDispatcher);
class VirtualTimeDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit VirtualTimeDispatcher(QObject *parent = nullptr)
        : QAbstractEventDispatcher(parent)
    {
    }

    /// The dispatcher of the current thread when it is a virtual one, otherwise null.
    static VirtualTimeDispatcher *instance()
    {
        return qobject_cast<VirtualTimeDispatcher *>(QAbstractEventDispatcher::instance());
    }

    qint64 now() const { return mNow; }
    /// Moves the clock to the nearest deadline and fires the timers due then; false when no
    /// timer is registered.
    bool advanceToNextTimer();
    int timerCount() const { return mTimers.size(); }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override { return mPosted; }
    void registerSocketNotifier(QSocketNotifier *) override { }
    void unregisterSocketNotifier(QSocketNotifier *) override { }
    void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject *object) override
    {
        mTimers.append({ timerId, interval, timerType, object, mNow + qMax(interval, 0) });
    }
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override { mPosted = true; }
    void interrupt() override { mInterrupted = true; }
    void flush() override { }

private:
    struct Timer
    {
        int id, interval;
        Qt::TimerType type;
        QObject *object;
        qint64 deadline;
    };
    bool fireDue();
    int indexOf(int timerId) const;

    QList<Timer> mTimers;
    qint64 mNow = 0;
    bool mPosted = false;
    bool mInterrupted = false;
};

/// Runs the event loop on the virtual clock until done() holds (true) or ms of virtual time passed
/// or nothing is left to wait for (false).
bool runVirtual(const std::function<bool()> &done, qint64 ms);

/// main() of a QtTest suite that runs on the virtual clock.
#define TARNWICK_VIRTUAL_TIME_TEST_MAIN(TestObject)                                                          \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        QCoreApplication::setEventDispatcher(new VirtualTimeDispatcher);                                     \
        QCoreApplication app(argc, argv);                                                                    \
        TestObject tc;                                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
