// UDS round trips of 4095-byte requests and 4095-byte responses between UDSClient and the
// simulated ECU on the virtual bus, with block size 0 and STmin 0, on classic CAN and CAN FD.
// Prints messages per second and the CPU time per CAN frame.

#include "canscheduler.h"
#include "simisotpserver.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

struct Result
{
    int roundTrips = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    quint64 frames = 0;
    bool ok = false;
};

Result run(bool fd, int roundTrips)
{
    VirtualCanBus bus;
    VirtualCanAdapter testerAdapter(&bus), ecuAdapter(&bus);
    testerAdapter.setCanFdCapable(true);
    ecuAdapter.setCanFdCapable(true);
    CanScheduler scheduler(&testerAdapter);

    SimUdsEcu ecu(&ecuAdapter);
    ecu.setCanFd(fd);
    ecu.transport()->setBlockSize(0);
    ecu.transport()->setSTmin(0);
    ecu.setRoutine(0xFF10, [](quint8, const QByteArray &options, QByteArray &status) {
        status = options; // echo: the response is as long as the request
        return quint8(0);
    });

    UDSClient client(&scheduler);
    client.setCANFD(fd);
    client.setResponseTimeout(2000);

    const QByteArray options(4095 - 4, '\x5a');
    Result result;
    QEventLoop loop;
    int done = 0;
    QObject::connect(&client, &UDSClient::response, &loop, [&] {
        if (client.getResponseData().size() != 4095) {
            loop.exit(1);
            return;
        }
        if (++done == roundTrips) {
            loop.exit(0);
            return;
        }
        client.RoutineControl(1, 0xFF10, options, false);
    });
    QObject::connect(&client, &UDSClient::timeout, &loop, [&] { loop.exit(2); });

    const quint64 framesBefore = bus.framesSent();
    const std::clock_t cpuStart = std::clock();
    QElapsedTimer wall;
    wall.start();
    client.RoutineControl(1, 0xFF10, options, false);
    result.ok = loop.exec() == 0;
    result.seconds = wall.nsecsElapsed() / 1e9;
    result.cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    result.frames = bus.framesSent() - framesBefore;
    result.roundTrips = done;
    return result;
}

void print(const char *name, const Result &r)
{
    const double messages = 2.0 * r.roundTrips;
    std::printf("%-8s %s  %5d round trips  %8.0f messages/s  %7llu frames  %6.2f us CPU/frame  %7.3f s\n",
        name, r.ok ? "ok    " : "FAILED", r.roundTrips, messages / r.seconds,
        static_cast<unsigned long long>(r.frames), r.frames ? r.cpuSeconds * 1e6 / double(r.frames) : 0.0,
        r.seconds);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int roundTrips = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 300;
    std::printf("UDS 4095-byte request + 4095-byte response, BS 0, STmin 0\n");
    run(false, 5); // warm-up
    print("classic", run(false, roundTrips));
    print("CAN FD", run(true, roundTrips));
    return 0;
}
