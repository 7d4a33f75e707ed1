#pragma once

#include "ostrane_export.h"

#include <QMetaType>
#include <QtGlobal>

#include <cstring>

namespace CAN {

/// A frame to send. Default-constructed it is identifier 0, length 0, all data 0, all flags
/// false; services start from that and set only what their protocol needs.
struct CanMessage
{
    quint32 id = 0;             ///< 11-bit or 29-bit identifier
    quint8 length = 0;          ///< data bytes: 0..8, or a CAN FD length up to 64
    quint8 data[64] = {};
    bool remote = false;        ///< remote transmission request
    bool extended = false;      ///< 29-bit identifier
    bool fd = false;            ///< CAN FD frame
    quint8 reserved = 0;        ///< adapter-specific; services leave it 0
    bool bitRateSwitch = false; ///< CAN FD data phase at the higher bit rate

    /// Copies up to 64 bytes into data and sets the length.
    void setPayload(const char *bytes, int n)
    {
        n = qBound(0, n, 64);
        if (n > 0)
            std::memcpy(data, bytes, size_t(n));
        length = quint8(n);
    }
    bool operator==(const CanMessage &o) const
    {
        return id == o.id && length == o.length && remote == o.remote && extended == o.extended
               && fd == o.fd && bitRateSwitch == o.bitRateSwitch
               && std::memcmp(data, o.data, qMin<size_t>(length, 64)) == 0;
    }
};

} // namespace CAN

Q_DECLARE_METATYPE(CAN::CanMessage)
