#pragma once

#include <QMetaType>
#include <QtGlobal>

/// CANopen NMT command specifiers.
enum NmtCommands : quint8 {
    NMT_Start = 0x01,
    NMT_Stop = 0x02,
    NMT_PreOperational = 0x80,
    NMT_ResetNode = 0x81,
    NMT_ResetCommunication = 0x82,
};

Q_DECLARE_METATYPE(NmtCommands)
