#include "canlogging_p.h"

Q_LOGGING_CATEGORY(lcCan, "tarnwick.can", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCanFrames, "tarnwick.can.frames", QtInfoMsg)
