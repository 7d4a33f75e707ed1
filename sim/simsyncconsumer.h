#pragma once

#include "cantimestamp.h"
#include "tarnwicksim_export.h"

#include <QList>
#include <QObject>
#include <QPointer>

class SimCanopenNode;

/// The SYNC consumer of a simulated node: it records every SYNC on the COB-ID of object 0x1005
/// (added with 0x80) that arrives while the node is pre-operational or operational, with its
/// reception time and counter byte, so tests can check periods and counter sequences.
class TARNWICKSIM_EXPORT SimSyncConsumer : public QObject
{
    Q_OBJECT
public:
    struct Sync
    {
        CanTimeStamp time;
        int counter = -1; ///< the counter byte, -1 for a SYNC without data
        quint8 length = 0;
    };

    /// The parent defaults to the node.
    explicit SimSyncConsumer(SimCanopenNode *node, QObject *parent = nullptr);

    int count() const { return int(mSyncs.size()); }
    QList<Sync> received() const { return mSyncs; }
    QList<int> counters() const;
    /// Intervals between consecutive SYNCs in ms (one fewer than SYNCs).
    QList<double> periodsMs() const;
    /// Time from the first to the last SYNC divided by the intervals; 0 with fewer than two.
    double meanPeriodMs() const;
    void clear() { mSyncs.clear(); }

signals:
    void syncReceived(int counter);

private:
    QPointer<SimCanopenNode> mNode;
    QList<Sync> mSyncs;
};
