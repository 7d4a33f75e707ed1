#pragma once

#include "canopendatatype.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QByteArray>
#include <QVariant>

/// Conversions between QVariant values and the little-endian value bytes of expedited SDO
/// (classic, four data bytes) and USDO (CANopen FD, up to 56 bytes) transfers. Used by the
/// SDO protocol clients; results are CAN::RetType 0, or 2 for a type or value the protocol
/// cannot carry.
class TARNWICK_EXPORT SDOValueCodec
{
public:
    /// A type of at most four bytes whose value is a number (what a classic expedited upload
    /// carries, and what a short USDO answer decodes as).
    static bool isNumberOfFourBytes(CAN::CANopenDataType type);

    /// Classic expedited download: command byte and bytes 4-7 of the request.
    static CAN::RetType encodeExpedited(
        CAN::CANopenDataType type, const QVariant &value, quint8 &command, quint8 payload[4]);
    /// Classic expedited upload: bytes 4-7 of the response (little-endian) as the QVariant of the type.
    static QVariant decodeExpedited(CAN::CANopenDataType type, quint32 raw);

    /// USDO expedited download: the value bytes (1 to 56) of the request.
    static CAN::RetType encodeUsdo(CAN::CANopenDataType type, const QVariant &value, QByteArray &bytes);
    /// USDO expedited upload: the value bytes of the response as the QVariant of the type.
    static QVariant decodeUsdo(CAN::CANopenDataType type, const quint8 *bytes, int length);
};
