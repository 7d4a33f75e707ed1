#include "cantimestamp.h"

#include <chrono>

CanTimeStamp::CanTimeStamp(qint32 seconds, qint32 microseconds)
    : mSeconds(seconds)
    , mMicroseconds(microseconds)
{
    normalize();
}

CanTimeStamp CanTimeStamp::now()
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return CanTimeStamp(qint32(us / 1000000), qint32(us % 1000000));
}

void CanTimeStamp::addMSecs(qint64 msecs)
{
    const qint64 total = toUSecs() + msecs * 1000;
    qint64 sec = total / 1000000;
    qint64 usec = total % 1000000;
    if (usec < 0) {
        usec += 1000000;
        --sec;
    }
    mSeconds = qint32(sec);
    mMicroseconds = qint32(usec);
}

void CanTimeStamp::normalize()
{
    addMSecs(0);
}
