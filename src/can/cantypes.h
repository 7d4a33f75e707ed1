#pragma once

#include "ostrane_export.h"

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>

namespace CAN {

/// Result of nearly every bus operation. 0 is success; protocol services add their own
/// meaning to 1, 2 and 6; 7 asks the caller to retry later. Adapter-specific failures keep
/// their own numbers and are passed on unchanged.
enum RetType : int {
    RetType_OK = 0, ///< request sent or accepted
    RetType_Busy = 1, ///< the service already runs a request
    RetType_InvalidRequest = 2, ///< data type, value or state does not allow the request
    RetType_InvalidFrame = 3, ///< frame length or flags the adapter cannot send (e.g. length > 64)
    RetType_Offline = 4, ///< adapter not connected to a bus (left it, or never joined)
    RetType_DeviceError = 5, ///< the CAN device reported an error while sending
    RetType_NoLink = 6, ///< no scheduler/adapter, or operation not offered by the transport
    RetType_NotReady = 7, ///< transmit queue full: not accepted now, retry later
};

/// Judgement of a CyclicOccurrenceTester about a stream of items.
enum CyclicState : int {
    CyclicState_Unknown = 0, ///< nothing received yet, or the stream was reset
    CyclicState_Learning = 1, ///< items arrive, the interval is not yet stable
    CyclicState_Cyclic = 2, ///< items arrive with a stable interval
    CyclicState_Late = 3, ///< the next item is overdue (more than 1.5 intervals)
    CyclicState_Stopped = 4, ///< no item for more than 4 intervals; learning starts again
};

/// CAN error texts indexed by the error kind reported by CAN controllers.
inline const QMap<int, QString> CanErrorTexts = {
    { 1, QStringLiteral("Stuff error") },
    { 2, QStringLiteral("Form error") },
    { 3, QStringLiteral("Acknowledgment error") },
    { 4, QStringLiteral("Bit 1 error") },
    { 5, QStringLiteral("Bit 0 error") },
    { 6, QStringLiteral("CRC error") },
    { 7, QStringLiteral("Bus off") },
    { 8, QStringLiteral("unspecified error") },
};

/// Names of the CANopen message types, for traces.
inline const QMap<int, QString> CanopenMessageTypeNames = {
    { 0, QStringLiteral("UNKNOWN") },
    { 1, QStringLiteral("NMT") },
    { 2, QStringLiteral("SYNC") },
    { 3, QStringLiteral("EMCY") },
    { 4, QStringLiteral("TIME") },
    { 5, QStringLiteral("TPDO") },
    { 6, QStringLiteral("RPDO") },
    { 7, QStringLiteral("SDO_REQ") },
    { 8, QStringLiteral("SDO_RESP") },
    { 9, QStringLiteral("NMT_EC") },
    { 10, QStringLiteral("LSS_REQ") },
    { 11, QStringLiteral("LSS_RESP") },
};

/// CAN FD data lengths above the classic 8 bytes.
inline const QList<int> CanFdDataLengths = { 12, 16, 20, 24, 32, 48, 64 };

/// Smallest CAN FD data length that holds n bytes (n <= 8 gives n; above 64 gives 64).
constexpr int canFdLengthFor(int n)
{
    return n <= 8 ? n
        : n <= 12 ? 12
        : n <= 16 ? 16
        : n <= 20 ? 20
        : n <= 24 ? 24
        : n <= 32 ? 32
        : n <= 48 ? 48
                  : 64;
}

} // namespace CAN

Q_DECLARE_METATYPE(CAN::RetType)
Q_DECLARE_METATYPE(CAN::CyclicState)
