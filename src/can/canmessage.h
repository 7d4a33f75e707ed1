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
    quint32 id = 0; ///< 11-bit or 29-bit identifier
    quint8 length = 0; ///< data bytes: 0..8, or a CAN FD length up to 64
    quint8 data[64] = {};
    bool remote = false; ///< remote transmission request
    bool extended = false; ///< 29-bit identifier
    bool fd = false; ///< CAN FD frame
    quint8 reserved = 0; ///< adapter-specific; services leave it 0
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
        return id == o.id && length == o.length && remote == o.remote && extended == o.extended && fd == o.fd
            && bitRateSwitch == o.bitRateSwitch && std::memcmp(data, o.data, qMin<size_t>(length, 64)) == 0;
    }
};

/// Largest 11-bit and 29-bit identifiers.
constexpr quint32 MaxStandardId = 0x7FF;
constexpr quint32 MaxExtendedId = 0x1FFFFFFF;

/// Byte that fills a CAN FD frame up to its data length. ISO 15765-2 names 0xCC for the
/// padding of its frames; the adapters use it for every frame they pad.
constexpr quint8 CanFdPaddingByte = 0xCC;

/// True when the identifier fits the frame's format (11 bits, or 29 bits when extended).
inline bool hasValidIdentifier(const CanMessage &m)
{
    return m.id <= (m.extended ? MaxExtendedId : MaxStandardId);
}

/// Raises the length of a CAN FD frame to the next valid CAN FD data length (12, 16, 20, 24,
/// 32, 48 or 64 above 8) and fills the added bytes with padding. Other frames stay as they are.
inline void padToCanFdLength(CanMessage &m, quint8 padding = CanFdPaddingByte)
{
    if (!m.fd || m.length <= 8 || m.length > 64)
        return;
    const int n = m.length;
    int valid = 64;
    for (int fdLength : { 12, 16, 20, 24, 32, 48 }) {
        if (n <= fdLength) {
            valid = fdLength;
            break;
        }
    }
    if (valid == n)
        return;
    std::memset(m.data + n, padding, size_t(valid - n));
    m.length = quint8(valid);
}

} // namespace CAN

Q_DECLARE_METATYPE(CAN::CanMessage)
