// Expedited SDO reads through a CiA 309-3 gateway: 10 000 reads of 0x1018:1 from a simulated
// node, once through the simulated gateway over TCP on loopback (gateway adapter -> TCP ->
// gateway -> virtual bus -> node) and once directly on the virtual bus, in the same run. Prints
// reads/s and CPU time per read; the gateway figure includes the gateway, which runs in this
// process too.
#include "canscheduler.h"
#include "cia309gatewayadapter.h"
#include "sdoclient.h"
#include "simcanopennode.h"
#include "simcia309gateway.h"
#include "simsdoserver.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <ctime>

static double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Reads count times, each read started when the previous one answered.
static void run(const char *name, SDOClient &client, int count)
{
    int done = 0, failed = 0;
    QEventLoop loop;
    auto next = [&] {
        if (done + failed == count) {
            loop.quit();
            return;
        }
        if (client.read(0x1018, 1, CAN::UNSIGNED32) != CAN::RetType_OK) {
            ++failed;
            loop.quit();
        }
    };
    auto ok = QObject::connect(&client, &SDOClient::resultReceived, &loop, [&] {
        ++done;
        next();
    });
    auto error = QObject::connect(&client, &SDOClient::errorReceived, &loop, [&] {
        ++failed;
        next();
    });
    QTimer guard; // a stuck run ends after a minute
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(60000);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    next();
    loop.exec();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    QObject::disconnect(ok);
    QObject::disconnect(error);
    std::printf("%-22s %6d reads  %3d failed  %7.3f s  %9.0f reads/s  %7.1f us CPU/read\n", name, done,
        failed, seconds, done / seconds, done ? cpu * 1e6 / done : 0.0);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;

    VirtualCanBus bus;
    VirtualCanAdapter nodeAdapter(&bus);
    SimCanopenNode node(&nodeAdapter, 5);
    SimSdoServer server(&node);
    node.powerOn();

    VirtualCanAdapter gatewayCan(&bus);
    SimCiA309Gateway gateway(&gatewayCan);
    if (!gateway.listen()) {
        std::printf("cannot listen: %s\n", qPrintable(gateway.errorString()));
        return 1;
    }
    CiA309GatewayAdapter gatewayAdapter;
    gatewayAdapter.connectToGateway(QStringLiteral("127.0.0.1"), gateway.serverPort());
    QElapsedTimer clock;
    clock.start();
    while (!gatewayAdapter.isConnected() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    if (!gatewayAdapter.isConnected()) {
        std::printf("cannot connect: %s\n", qPrintable(gatewayAdapter.errorString()));
        return 1;
    }
    CanScheduler gatewayScheduler(&gatewayAdapter);
    SDOClient throughGateway(0x585, 0x605, &gatewayScheduler);

    VirtualCanAdapter hostAdapter(&bus);
    CanScheduler hostScheduler(&hostAdapter);
    SDOClient direct(0x585, 0x605, &hostScheduler);

    std::printf("%d expedited SDO reads of 0x1018:1, one at a time\n", count);
    run("CiA 309 gateway (TCP)", throughGateway, count);
    run("virtual bus", direct, count);
    return 0;
}
