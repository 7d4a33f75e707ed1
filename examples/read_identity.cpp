// Reads the vendor-ID (0x1018 sub 1) of a simulated CANopen node through SDOClient.
#include "canscheduler.h"
#include "sdoclient.h"
#include "simcanopennode.h"
#include "simsdoserver.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    // A node with node-ID 5 and an SDO server on a virtual bus.
    VirtualCanBus bus;
    VirtualCanAdapter nodeAdapter(&bus);
    SimCanopenNode node(&nodeAdapter, 5);
    SimSdoServer server(&node);
    node.setIdentity(0x0000017A, 0x00001234, 0x00010002, 42);
    node.powerOn();

    // The host side.
    VirtualCanAdapter hostAdapter(&bus);
    CanScheduler scheduler(&hostAdapter);
    SDOClient sdo(0x585, 0x605, &scheduler);
    QObject::connect(&sdo, &SDOClient::resultReceived, [](quint16, quint8, const QVariant &value) {
        std::printf("vendor-ID: 0x%08X\n", value.toUInt());
        QCoreApplication::exit(0);
    });
    QObject::connect(&sdo, &SDOClient::errorReceived, [](quint16, quint8, quint32 code) {
        std::printf("error: %s\n", qPrintable(SDOClient::interpretSdoAbort(code)));
        QCoreApplication::exit(1);
    });
    if (sdo.read(0x1018, 1, CAN::UNSIGNED32) != CAN::RetType_OK)
        return 1;
    return app.exec();
}
