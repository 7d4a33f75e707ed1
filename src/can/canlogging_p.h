#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCan)
Q_DECLARE_LOGGING_CATEGORY(lcCanFrames)

namespace CAN {
struct CanMessage;
struct CanRxMessage;

/// One candump-like line on tarnwick.can.frames for a frame sent ("TX") or received ("RX"):
/// "TX  602   [8]  40 00 10 00 00 00 00 00". Costs nothing while the category is off.
void logFrame(const CanMessage &frame);
void logFrame(const CanRxMessage &frame);
} // namespace CAN
