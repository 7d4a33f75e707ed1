#pragma once

#include "canopendatatype.h"
#include "tarnwick_export.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QVariant>

class CanScheduler;
class SDOClient;

/// Walks the node-IDs 1 to 127 of a network and reads each node's device type and identity
/// (0x1000, 0x1018 sub 1 to 4) and, on request, its PDO communication and mapping objects, one
/// SDO read at a time. A node that does not answer is skipped after one SDO timeout. The values
/// arrive through the resultReceived/errorReceived signals of sdoClient(); sigFinished() ends
/// a complete walk.
class TARNWICK_EXPORT CANopenNetworkscanner : public QObject
{
    Q_OBJECT
public:
    enum CurrentState {
        CS_NotStarted = 0,
        CS_Running = 1,
        CS_RunningRPDOParameter = 2,
        CS_RunningRPDOMapping = 3,
        CS_RunningTPDOParameter = 4,
        CS_RunningTPDOMapping = 5,
        CS_Finished = 6,
        CS_Stopped = 7,
    };
    Q_ENUM(CurrentState)

    /// One object read for every node.
    struct ObjectEntry
    {
        quint16 index;
        quint8 sub;
        CAN::CANopenDataType type;
    };

    explicit CANopenNetworkscanner(QObject *parent = nullptr);
    ~CANopenNetworkscanner() override;

    /// Starts a walk from node 1 on the scheduler; with readPdos the PDO objects are read too.
    /// A running walk is stopped first.
    void startScan(CanScheduler *scheduler, bool readPdos);
    /// Ends the walk; the running SDO transfer is aborted. No sigFinished().
    void stop();
    CurrentState getCurrentState() const { return mState; }
    /// The node being read.
    quint8 currentNodeId() const { return mNodeId; }
    /// The client that does the reads; its signals carry the values.
    SDOClient *sdoClient() const { return mSdo.data(); }

    /// The identification objects, in the order they are read.
    static const QList<ObjectEntry> identificationObjects;

signals:
    void sigFinished();

private slots:
    void onSDOErrorReceived(unsigned short index, unsigned char sub, unsigned int abortCode);
    void onSDOResultReceived(unsigned short index, unsigned char sub, QVariant value, unsigned int serverCob,
        unsigned int clientCob);
    void readNextObject(bool wasError = false);

private:
    /// Progress through the PDO objects of one direction.
    struct PdoWalker
    {
        quint16 firstIndex;
        quint16 lastIndex;
        quint16 mappingBase;
        quint16 currentIndex = 0;
        int step = 0;
        quint16 mappingIndex = 0;
        quint8 lastMappingSub = 0;
        void reset()
        {
            currentIndex = firstIndex;
            step = 0;
            mappingIndex = mappingBase;
            lastMappingSub = 0;
        }
    };

    void scanNextNode();
    bool isWalking() const;
    void readParameter(PdoWalker &walker);
    void readMapping(PdoWalker &walker);
    void queueNextPhase(CurrentState next);
    void read(quint16 index, quint8 sub, CAN::CANopenDataType type);

    bool mReadPdos = false;
    CurrentState mState = CS_NotStarted;
    quint8 mNodeId = 0;
    // Repetitions of the read the SDO client refused (busy or adapter not ready).
    int mReadRetries = 0;
    // Counts walks and stops, so that a scheduled repetition of an old walk does nothing.
    quint32 mWalk = 0;
    QPointer<SDOClient> mSdo;
    QList<ObjectEntry> mPending;
    PdoWalker mRpdo { 0x1400, 0x15FF, 0x1600 };
    PdoWalker mTpdo { 0x1800, 0x19FF, 0x1A00 };
};

Q_DECLARE_METATYPE(CANopenNetworkscanner::CurrentState)
