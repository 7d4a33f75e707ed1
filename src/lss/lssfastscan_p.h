#pragma once

#include "canrxmessage.h"

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QTimer>

class CanScheduler;

/// LSS fastscan (CiA 305): finds the 128-bit LSS address of one non-configured slave bit by
/// bit and leaves that slave in the configuration state. In known-identity mode it confirms
/// the given address entry by entry instead of searching. Every step lasts one full step
/// time-out; any answer within it counts.
class LSSFastScan : public QObject
{
    Q_OBJECT
public:
    LSSFastScan(quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber,
        CanScheduler *scheduler, QObject *parent = nullptr);
    ~LSSFastScan() override;

    void setKnownIdentity(bool on) { mKnownIdentity = on; }
    /// Step time-out and timer interval in ms (50 after construction).
    void setStepTimeout(quint16 ms);
    /// Entry 0 vendor-ID, 1 product code, 2 revision number, 3 serial number.
    quint32 identity(int entry) const { return entry >= 0 && entry < 4 ? mIdentity[entry] : 0; }

signals:
    void nodeFound(quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber);
    /// No answer: 0 to the reset query, else the entry whose confirmation stayed unanswered.
    void noResponseTimeout(quint8 timeoutInfo);

public slots:
    void handleCanMessage(const CAN::CanRxMessage &message);
    void timeout();
    void sendNextMessage();

private:
    void advance();

    QPointer<CanScheduler> mScheduler;
    quint32 mIdNumber;
    quint32 mIdentity[4];
    quint8 mBitChecked = 0x80; ///< bit under test; 0x80 is the reset query
    quint8 mLssSub = 0;
    quint8 mLssNext = 0;
    bool mWaiting = false;
    bool mFinished = false;
    bool mConfirming = false;
    bool mRunning = true;
    bool mKnownIdentity = false;
    bool mResponseReceived = false;
    quint16 mStepTimeout = 50;
    QTimer mTimer;
    QMutex mMutex;
};
