#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCan)
Q_DECLARE_LOGGING_CATEGORY(lcCanFrames)
