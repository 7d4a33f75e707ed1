#pragma once

#include "canrxmessage.h"
#include "cantypes.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class CanScheduler;

/// Classical LSS scan: finds every slave of one vendor-ID and product code inside ranges of
/// revision and serial numbers with the CiA 305 identify-remote-slave range query. An answered
/// range is halved (revisions first, then serial numbers) breadth first until single
/// addresses remain; each query waits one full answer time-out. The end is reported as
/// nodeFound(0xFFFFFFFF, 0, 0, 0).
class LSSClassicalScan : public QObject
{
    Q_OBJECT
public:
    LSSClassicalScan(
        quint32 vendorId, quint32 productCode, CanScheduler *scheduler, QObject *parent = nullptr);
    ~LSSClassicalScan() override;

    /// Replaces vendor-ID, product code and the range to search (bounds included).
    void setScanParameters(quint32 vendorId, quint32 productCode, quint32 revisionLow, quint32 revisionHigh,
        quint32 serialLow, quint32 serialHigh);
    /// Answer time-out of each query in ms (70 after construction).
    void setTimeout(quint16 ms);
    /// Stops the scan at once and reports noResponseTimeout(0).
    void abort();
    /// Pause before sending a query frame again that the adapter refused with 7 (5000 ms).
    void setNotReadyPause(int ms) { mRetryTimer.setInterval(ms); }

signals:
    void nodeFound(quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber);
    void noResponseTimeout(quint8 timeoutInfo);
    /// Share of the searched address space settled so far, 0..100.
    void scanProgress(quint8 percent);

public slots:
    void handleCanMessage(const CAN::CanRxMessage &message);
    void timeout();
    void sendNextMessage();

private:
    struct Range
    {
        quint32 revisionLow;
        quint32 revisionHigh;
        quint32 serialLow;
        quint32 serialHigh;
    };
    static double rangeSize(const Range &range);
    CAN::RetType sendQueryFrame(quint8 command, quint32 value);
    void sendQueryFrames();
    void settle(double addresses);

    QPointer<CanScheduler> mScheduler;
    quint32 mVendorId;
    quint32 mProductCode;
    Range mCurrent;
    QList<Range> mQueue;
    QTimer mTimer;
    QTimer mRetryTimer;
    int mNextQueryFrame = 0; // next of the six query frames to send
    int mRepetitions = 0; // repetitions of that frame after a refusal with 7
    quint16 mTimeout = 70;
    bool mRunning = true;
    bool mWaiting = false;
    bool mAnswered = false;
    quint8 mProgress = 0;
    double mTotal = 0;
    double mSettled = 0;
};
