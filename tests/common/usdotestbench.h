#pragma once

#include "sdotestbench.h"
#include "simobjectdictionary.h"
#include "simusdoserver.h"

/// The host's CAN FD adapter and scheduler and a scripted peer on one virtual bus, and a USDO
/// client of the host (node-ID 0x29, sending on 0x629) talking to node 5 (answering on 0x585).
template<class Client> struct UsdoClientBench
{
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    BusPeer peer { &bus };
    CanScheduler scheduler { &adapter };
    Client client;
    QSignalSpy results { &client, &Client::resultReceived };
    QSignalSpy errors { &client, &Client::errorReceived };

    explicit UsdoClientBench(quint8 node = 5)
        : client(0x29, node, &scheduler, nullptr)
    {
        adapter.setCanFdCapable(true);
    }
    QByteArray play(const QByteArray &script) { return playTranscript(peer, 0x629, 0x585, script); }
    QByteArray outcome() const { return spyOutcome(results, errors, 0, 3); }
};

/// A simulated CANopen FD node (node-ID 5) with its USDO server, and the host's CAN FD adapter
/// and scheduler, on one virtual bus. The node holds a writable domain 0x2000:0.
struct UsdoSimBench
{
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    VirtualCanAdapter nodeAdapter { &bus };
    SimCanopenNode node { &nodeAdapter, 5 };
    SimUsdoServer server { &node };
    CanScheduler scheduler { &adapter };
    UsdoSimBench()
    {
        adapter.setCanFdCapable(true);
        nodeAdapter.setCanFdCapable(true);
        node.od()->add(0x2000, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
        node.powerOn();
    }
};

/// A client of the host (node-ID 0x29) talking to the simulated node, with spies on its outcomes.
template<class Client> struct UsdoSimClientBench : UsdoSimBench
{
    Client client { 0x29, 5, &scheduler, nullptr };
    QSignalSpy results { &client, &Client::resultReceived };
    QSignalSpy errors { &client, &Client::errorReceived };
    QSignalSpy progress { &client, &Client::progress };
    int outcomes() const { return results.count() + errors.count(); }
};

/// count bytes of a recognisable pattern.
inline QByteArray usdoPattern(int count)
{
    QByteArray data(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        data[i] = char(i * 7 + 1);
    return data;
}
