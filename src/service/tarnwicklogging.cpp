#include "tarnwicklogging_p.h"

Q_LOGGING_CATEGORY(lcNmt, "tarnwick.nmt", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSdo, "tarnwick.sdo", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLss, "tarnwick.lss", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSync, "tarnwick.sync", QtInfoMsg)
Q_LOGGING_CATEGORY(lcEmcy, "tarnwick.emcy", QtInfoMsg)
Q_LOGGING_CATEGORY(lcScanner, "tarnwick.scanner", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUds, "tarnwick.uds", QtInfoMsg)
Q_LOGGING_CATEGORY(lcIsoTp, "tarnwick.uds.isotp", QtInfoMsg)
