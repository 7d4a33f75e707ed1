#pragma once

#include "ostrane_export.h"

#include <QMetaType>
#include <QtGlobal>

/// Reception time of a frame: seconds and microseconds since the Unix epoch.
class OSTRANE_EXPORT CanTimeStamp
{
public:
    CanTimeStamp() = default;
    CanTimeStamp(qint32 seconds, qint32 microseconds);

    /// The current wall-clock time.
    static CanTimeStamp now();

    /// Advances the stamp in place by msecs (may be negative); microseconds stay in 0..999999.
    void addMSecs(qint64 msecs);

    qint32 seconds() const { return mSeconds; }
    qint32 microseconds() const { return mMicroseconds; }
    qint64 toMSecs() const { return qint64(mSeconds) * 1000 + mMicroseconds / 1000; }
    qint64 toUSecs() const { return qint64(mSeconds) * 1000000 + mMicroseconds; }
    /// Milliseconds from this stamp to other (positive when other is later).
    qint64 msecsTo(const CanTimeStamp &other) const { return (other.toUSecs() - toUSecs()) / 1000; }

    bool operator==(const CanTimeStamp &o) const
    {
        return mSeconds == o.mSeconds && mMicroseconds == o.mMicroseconds;
    }
    bool operator!=(const CanTimeStamp &o) const { return !(*this == o); }
    bool operator<(const CanTimeStamp &o) const { return toUSecs() < o.toUSecs(); }

private:
    void normalize();

    qint32 mSeconds = 0;
    qint32 mMicroseconds = 0;
};

Q_DECLARE_METATYPE(CanTimeStamp)
