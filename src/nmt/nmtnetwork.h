#pragma once

#include "canopenservice.h"
#include "cantypes.h"
#include "nmtcommands.h"

/// NMT commands to all nodes of a network at once (node ID 0), as a frame on identifier 0 or
/// as a CiA 309 gateway line when the adapter is a gateway.
class TARNWICK_EXPORT NMTNetwork : public CANopenService
{
    Q_OBJECT
public:
    /// A bare `NMTNetwork(nullptr)` is ambiguous between the two constructors: write
    /// `NMTNetwork()` (or `NMTNetwork(static_cast<QObject *>(nullptr))`) for no parent, and
    /// `NMTNetwork(static_cast<CanScheduler *>(nullptr), parent)` for no scheduler yet.
    explicit NMTNetwork(QObject *parent = nullptr);
    NMTNetwork(CanScheduler *scheduler, QObject *parent = nullptr);

    void setCanScheduler(CanScheduler *scheduler);

    /// Sends the command; 6 without scheduler or adapter, else the adapter's result.
    CAN::RetType sendCommand(NmtCommands command);
    CAN::RetType start();
    CAN::RetType stop();
    CAN::RetType preop();
    CAN::RetType resetAppl();
    CAN::RetType resetComm();
    /// Sends the command as gateway line "0 start", "0 stop", ...; no answer is awaited.
    CAN::RetType sendCiA309Command(NmtCommands command);

    /// The gateway word of a command ("start", "reset node", ...); empty for an unknown one.
    static QString gatewayWord(NmtCommands command);
};
