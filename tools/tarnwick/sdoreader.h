#pragma once

#include "canopendatatype.h"
#include "cantypes.h"

#include <QVariant>

class SDOClient;
class Tool;

/// Runs one SDO request of a client to its end and returns its outcome: for commands that read
/// or write several objects one after the other.
class SdoRequest
{
public:
    enum Outcome {
        Outcome_Done, ///< value read, or written
        Outcome_Aborted, ///< the node aborted (code() says why)
        Outcome_NoAnswer, ///< the time-out ended it (abort 0x05040000 sent)
        Outcome_Refused, ///< the client or the bus refused the request (busResult())
    };

    SdoRequest(Tool &tool, SDOClient &sdo)
        : mTool(tool)
        , mSdo(sdo)
    {
    }

    Outcome read(quint16 index, quint8 sub, CAN::CANopenDataType type);
    Outcome write(quint16 index, quint8 sub, CAN::CANopenDataType type, const QVariant &value);

    QVariant value() const { return mValue; }
    quint32 code() const { return mCode; }
    CAN::RetType busResult() const { return mBusResult; }

private:
    Outcome run(bool reading, quint16 index, quint8 sub, CAN::CANopenDataType type, const QVariant &value);

    Tool &mTool;
    SDOClient &mSdo;
    QVariant mValue;
    quint32 mCode = 0;
    CAN::RetType mBusResult = CAN::RetType_OK;
};

class EdsFile;
/// The EDS/DCF file of a node (the client addresses it): the one given for it, or one of the
/// folders' files matched by the identity read from the node. Null when there is none.
const EdsFile *edsForNode(Tool &tool, SDOClient &sdo, quint8 node);
