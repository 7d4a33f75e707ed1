#pragma once

#include "canscheduler.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>

/// n bytes that differ from their neighbours, so that a lost, doubled or shifted byte shows.
inline QByteArray pattern(int n)
{
    QByteArray p(n, 0);
    for (int i = 0; i < n; ++i)
        p[i] = char(i * 7 + 1);
    return p;
}

/// An adapter on the bus that can send CAN FD.
inline VirtualCanAdapter *fdCapable(VirtualCanAdapter *adapter)
{
    adapter->setCanFdCapable(true);
    return adapter;
}

/// Routine options echoed as its status record (for a routine of the simulated ECU).
inline SimUdsEcu::Routine echoRoutine()
{
    return [](quint8, const QByteArray &options, QByteArray &status) {
        status = options;
        return quint8(0);
    };
}

/// A UDS client and a simulated ECU on one virtual bus. Both adapters can send CAN FD (the
/// client's transports learn that when they are created); classic framing until setCANFD().
struct UdsSimBench
{
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    VirtualCanAdapter ecuAdapter { &bus };
    CanScheduler scheduler { fdCapable(&adapter) };
    SimUdsEcu ecu { fdCapable(&ecuAdapter) };
    UDSClient client { &scheduler };

    UdsSimBench()
    {
        client.setCanIDs(0x7E0, 0x7E8, 0x7DF);
        client.setResponseTimeout(300);
    }
    /// The answer to a request just sent, as hex; "no answer" when none came.
    QByteArray ask(CAN::RetType sent)
    {
        QSignalSpy responses(&client, &UDSClient::response);
        if (sent != CAN::RetType_OK || !responses.wait(2000))
            return "no answer";
        return client.getResponseData().toHex();
    }
};
