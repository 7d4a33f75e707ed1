#pragma once

#include "buspeer.h"
#include "canscheduler.h"
#include "simcanopennode.h"
#include "simsdoserver.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QTest>

/// The host's adapter and scheduler and a scripted peer on one virtual bus.
struct SdoWireBench
{
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    BusPeer peer { &bus };
    CanScheduler scheduler { &adapter };
};

/// The host's adapter and scheduler and a simulated node (node-ID 5) with its SDO server.
struct SdoSimBench
{
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    VirtualCanAdapter nodeAdapter { &bus };
    SimCanopenNode node { &nodeAdapter, 5 };
    SimSdoServer server { &node };
    CanScheduler scheduler { &adapter };
    SdoSimBench() { node.powerOn(); }
};

/// Takes the peer's next frame and compares identifier and bytes (hex).
#define EXPECT_FRAME(peer, id, hex)                                                                          \
    do {                                                                                                     \
        QByteArray why_;                                                                                     \
        QVERIFY2((peer).expect((id), (hex), 1000, &why_), why_.constData());                                 \
    } while (false)
