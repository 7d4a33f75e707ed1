#pragma once

#include "canmessage.h"
#include "cantypes.h"
#include "vendrel_export.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "abstractcanadapter.h"

/// Sends one frame periodically until stopped, on a precise QTimer of the host's thread.
/// With the SYNC counter on, data byte 0 carries 1, 2, ..., overflow, 1, ... and the frame
/// length is 1.
class VENDREL_EXPORT CanMessageTransmitter : public QObject
{
    Q_OBJECT
public:
    /// channel: free tag for the host (e.g. a channel number); not interpreted.
    explicit CanMessageTransmitter(int channel = 0, QObject *parent = nullptr);

    void setCanAdapter(const QPointer<AbstractCanAdapter> &adapter);
    /// The frame, the period in ms and how many frames to send (0: until stopped).
    void setTranmissionParameter(CAN::CanMessage message, quint32 periodMs, int count);
    /// SYNC counter on/off and its overflow value (2..240 in CANopen; 0 or 1 keep it at 1).
    void setSyncValues(bool counterOn, quint8 overflow);

    /// Starts sending (the first frame after one period). False when no adapter or period 0.
    bool operate();
    void stopTransmission();

    bool isActive() const { return mTimer.isActive(); }
    quint32 period() const { return mPeriodMs; }
    int channel() const { return mChannel; }
    const CAN::CanMessage &message() const { return mMessage; }
    quint64 sentCount() const { return mSent; }

signals:
    /// A frame was accepted by the adapter (after the counter was applied).
    void transmitted(const CAN::CanMessage &message);
    /// The adapter refused a frame; transmission goes on with the next period.
    void transmissionError(CAN::RetType result);

private slots:
    void timerElapsed();

private:
    int mChannel;
    QPointer<AbstractCanAdapter> mAdapter;
    QTimer mTimer;
    CAN::CanMessage mMessage;
    quint32 mPeriodMs = 0;
    int mCount = 0;
    quint64 mSent = 0;
    bool mCounterOn = false;
    quint8 mOverflow = 0;
    quint8 mCounter = 0;
};
