#pragma once

#include <QLoggingCategory>

// One category per subsystem; debug output is off unless enabled with QT_LOGGING_RULES,
// e.g. QT_LOGGING_RULES="tarnwick.sdo.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcNmt)
Q_DECLARE_LOGGING_CATEGORY(lcSdo)
Q_DECLARE_LOGGING_CATEGORY(lcLss)
Q_DECLARE_LOGGING_CATEGORY(lcSync)
Q_DECLARE_LOGGING_CATEGORY(lcEmcy)
Q_DECLARE_LOGGING_CATEGORY(lcScanner)
Q_DECLARE_LOGGING_CATEGORY(lcUds)
Q_DECLARE_LOGGING_CATEGORY(lcIsoTp)
