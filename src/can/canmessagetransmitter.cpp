#include "canmessagetransmitter.h"

#include "abstractcanadapter.h"

CanMessageTransmitter::CanMessageTransmitter(int channel, QObject *parent)
    : QObject(parent)
    , mChannel(channel)
{
    mTimer.setTimerType(Qt::PreciseTimer);
    connect(&mTimer, &QTimer::timeout, this, &CanMessageTransmitter::timerElapsed);
}

void CanMessageTransmitter::setCanAdapter(const QPointer<AbstractCanAdapter> &adapter)
{
    mAdapter = adapter;
}

void CanMessageTransmitter::setTranmissionParameter(CAN::CanMessage message, quint32 periodMs, int count)
{
    mMessage = message;
    mPeriodMs = periodMs;
    mCount = qMax(0, count);
}

void CanMessageTransmitter::setSyncValues(bool counterOn, quint8 overflow)
{
    mCounterOn = counterOn;
    mOverflow = overflow;
}

bool CanMessageTransmitter::operate()
{
    if (!mAdapter || mPeriodMs == 0)
        return false;
    mCounter = 0;
    mSent = 0;
    mTimer.start(int(qMin<quint32>(mPeriodMs, quint32(INT_MAX))));
    return true;
}

void CanMessageTransmitter::stopTransmission()
{
    mTimer.stop();
    mCounter = 0;
}

void CanMessageTransmitter::timerElapsed()
{
    if (!mAdapter) {
        mTimer.stop();
        return;
    }
    if (mCounterOn) {
        ++mCounter;
        if (mCounter > mOverflow || mCounter == 0)
            mCounter = 1;
        mMessage.length = 1;
        mMessage.data[0] = mCounter;
    }
    const CAN::RetType result = mAdapter->sendCanMessage(mMessage);
    if (result == CAN::RetType_OK) {
        ++mSent;
        emit transmitted(mMessage);
    } else {
        emit transmissionError(result);
    }
    if (mCount > 0 && mSent >= quint64(mCount))
        mTimer.stop();
}
