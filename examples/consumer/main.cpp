// Sends NMT commands on a virtual bus to a simulated node and watches it follow them.
#include <tarnwick/canscheduler.h>
#include <tarnwick/nmtnetwork.h>
#include <tarnwick/nmtslave.h>
#include <tarnwick/simcanopennode.h>
#include <tarnwick/virtualcanadapter.h>
#include <tarnwick/virtualcanbus.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    VirtualCanBus bus;
    VirtualCanAdapter hostAdapter(&bus), deviceAdapter(&bus);
    CanScheduler scheduler(&hostAdapter);

    SimCanopenNode device(&deviceAdapter, 5);
    NMTSlave node(5, &scheduler, nullptr);
    NMTNetwork network(&scheduler);

    QObject::connect(&device, &SimCanopenNode::nmtStateChanged, [&](SimCanopenNode::NmtState s) {
        std::printf("device state 0x%02x\n", unsigned(s));
        if (s == SimCanopenNode::NmtState_Operational)
            app.exit(0);
    });
    QObject::connect(&node, &NMTSlave::NodeStateChanged, [&](NMTSlave::NmtState s) {
        std::printf("boot-up seen, NMT state %d; sending start\n", int(s));
        if (node.startNode() != CAN::RetType_OK)
            app.exit(2);
    });
    device.powerOn();
    QTimer::singleShot(2000, &app, [&] { app.exit(1); });
    if (network.preop() != CAN::RetType_OK)
        return 2;
    return app.exec();
}
