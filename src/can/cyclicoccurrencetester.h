#pragma once

#include "canrxmessage.h"
#include "cantypes.h"
#include "ostrane_export.h"

#include <QObject>
#include <QTimer>

/// Watches a stream of items (frames) and judges whether they arrive cyclically.
///
/// Each item is passed to handleNewItemMessage(). The tester measures the interval between
/// items from their reception time stamps and keeps a smoothed average:
///  - the first item moves Unknown to Learning;
///  - when kStableCount consecutive intervals lie within ±50 % of the average, the state
///    becomes Cyclic;
///  - without an item for 1.5 average intervals the state becomes Late; the next item
///    returns it to Learning, and kStableCount fitting intervals make it Cyclic again;
///  - without an item for 4 average intervals the state becomes Stopped and learning starts
///    afresh with the next item.
/// sigNewItemState is emitted on every change of state with the number of items seen since
/// learning started and the average interval in milliseconds (0 while unknown, at most 65535).
class OSTRANE_EXPORT CyclicOccurrenceTester : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStableCount = 3;

    explicit CyclicOccurrenceTester(QObject *parent = nullptr);

    void handleNewItemMessage(const CAN::CanRxMessage &message);
    /// Forgets the learned interval and returns to Unknown (emits when the state changes).
    void reset();

    CAN::CyclicState state() const { return mState; }
    unsigned short interval() const;
    unsigned int itemCount() const { return mCount; }

signals:
    void sigNewItemState(CAN::CyclicState state, unsigned int count, unsigned short interval);

private slots:
    void overdue();

private:
    void setState(CAN::CyclicState state);

    CAN::CyclicState mState = CAN::CyclicState_Unknown;
    QTimer mTimer;
    CanTimeStamp mLast;
    double mAverageMs = 0;
    unsigned int mCount = 0;
    int mStable = 0;
};
