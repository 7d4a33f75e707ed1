#pragma once

#include "canmessage.h"
#include "cantimestamp.h"

#include <QByteArray>

namespace CAN {

/// A received frame: its reception time, then the frame fields in the order of CanMessage.
struct CanRxMessage
{
    CanTimeStamp timeStamp;
    quint32 id = 0;
    quint8 length = 0; ///< never above 64; data beyond length is 0
    quint8 data[64] = {};
    bool remote = false;
    bool extended = false;
    bool fd = false;
    quint8 reserved = 0;
    bool bitRateSwitch = false;
    quint8 channel = 0; ///< adapter channel the frame came in on

    CanRxMessage() = default;
    /// A received copy of a sent frame, stamped with ts; a length above 64 is clamped.
    CanRxMessage(const CanMessage &m, const CanTimeStamp &ts)
        : timeStamp(ts)
        , id(m.id)
        , length(m.length > 64 ? 64 : m.length)
        , remote(m.remote)
        , extended(m.extended)
        , fd(m.fd)
        , reserved(m.reserved)
        , bitRateSwitch(m.bitRateSwitch)
    {
        std::memcpy(data, m.data, length);
    }
    /// The data bytes as a QByteArray (copies; for tests and traces, not the hot path).
    QByteArray payload() const
    {
        return QByteArray(reinterpret_cast<const char *>(data), qMin<int>(length, 64));
    }
};

} // namespace CAN

Q_DECLARE_METATYPE(CAN::CanRxMessage)
