#include "canlogging_p.h"

#include "canrxmessage.h"

Q_LOGGING_CATEGORY(lcCan, "tarnwick.can", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCanFrames, "tarnwick.can.frames", QtInfoMsg)

namespace {
void writeFrame(
    const char *direction, quint32 id, bool extended, bool remote, bool fd, const quint8 *data, int length)
{
    // candump's layout: identifier right-aligned in 3 (standard) or 8 (extended) hex digits,
    // length in brackets ([NN] for CAN FD), then the bytes.
    char line[16 + 8 + 8 + 64 * 3 + 16];
    int n = std::snprintf(line, sizeof line, extended ? "%s  %08X  " : "%s  %03X  ", direction, id);
    n += std::snprintf(line + n, sizeof line - size_t(n), fd ? "[%02d]" : " [%d]", length);
    if (remote) {
        std::snprintf(line + n, sizeof line - size_t(n), "  remote request");
    } else {
        if (length > 0)
            n += std::snprintf(line + n, sizeof line - size_t(n), " ");
        for (int i = 0; i < length && i < 64; ++i)
            n += std::snprintf(line + n, sizeof line - size_t(n), " %02X", data[i]);
    }
    qCDebug(lcCanFrames, "%s", line);
}
} // namespace

void CAN::logFrame(const CanMessage &frame)
{
    if (lcCanFrames().isDebugEnabled())
        writeFrame(
            "TX", frame.id, frame.extended, frame.remote, frame.fd, frame.data, qMin<int>(frame.length, 64));
}

void CAN::logFrame(const CanRxMessage &frame)
{
    if (lcCanFrames().isDebugEnabled())
        writeFrame(
            "RX", frame.id, frame.extended, frame.remote, frame.fd, frame.data, qMin<int>(frame.length, 64));
}
