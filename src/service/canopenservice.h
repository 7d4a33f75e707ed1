#pragma once

#include "tarnwick_export.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <type_traits>

#include "canscheduler.h"

/// Common base of the CANopen services: the guarded link to the bus and the process-wide
/// CANopen FD switch. A service never owns its scheduler; once the scheduler is destroyed
/// every bus operation of the service returns 6.
class TARNWICK_EXPORT CANopenService : public QObject
{
    Q_OBJECT
public:
    explicit CANopenService(QObject *parent = nullptr);
    ~CANopenService() override;

    /// Switches CANopen FD framing on or off for every service of the process.
    void activateCANopenFD(bool on);

    /// The scheduler this service uses, or null.
    CanScheduler *canScheduler() const { return mScheduler.data(); }

    /// Enables a constructor for a pointer to CanScheduler or a class derived from it. Services
    /// whose first constructor takes only a QObject *parent use it so that `Service(&scheduler)`
    /// means the scheduler, not the parent; `Service(nullptr)` still means no parent.
    template<typename T>
    using IfScheduler = std::enable_if_t<std::is_convertible<T *, CanScheduler *>::value, int>;

    /// Process-wide CANopen FD switch (false at load time).
    static std::atomic<bool> mUseCANopenFD;

protected:
    QPointer<CanScheduler> mScheduler;
};
