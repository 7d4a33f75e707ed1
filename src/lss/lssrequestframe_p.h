#pragma once

#include "canmessage.h"

namespace Lss {

/// Identifier of the LSS master's requests and of the slaves' answers (CiA 305).
constexpr quint32 RequestId = 0x7E5;
constexpr quint32 AnswerId = 0x7E4;

/// The one place an LSS request frame is built: identifier 0x7E5, the command specifier in
/// byte 0, then valueBytes of value little-endian from byte 1; the other bytes stay 0 and all
/// flags clear. Requests that carry more (fastscan) fill their further bytes afterwards.
inline CAN::CanMessage requestFrame(quint8 command, quint32 value = 0, int valueBytes = 4, quint8 length = 8)
{
    CAN::CanMessage frame;
    frame.id = RequestId;
    frame.length = length;
    frame.data[0] = command;
    for (int i = 0; i < valueBytes && i < 4; ++i)
        frame.data[1 + i] = quint8(value >> (8 * i));
    return frame;
}

} // namespace Lss
