// SDO throughput: 1 MiB downloaded to and uploaded from a simulated node through SDOClient on
// the virtual bus: classic segmented and block, and on CAN FD USDO segmented and bulk. Prints
// bytes/s, frames/s and CPU time per frame (both ends run in this process), how much faster
// block is than segmented in each direction, and the USDO ratios.
#include "canscheduler.h"
#include "sdoclient.h"
#include "simcanopennode.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"
#include "simusdoserver.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QAbstractEventDispatcher>
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

struct Figures
{
    double wall = 0;
    double cpu = 0;
    quint64 frames = 0;
    bool ok = false;
};

// Runs one transfer to its end and measures it.
template<typename Start> static Figures measure(SDOClient &client, VirtualCanBus &bus, Start start)
{
    Figures f;
    QEventLoop loop;
    auto done = QObject::connect(&client, &SDOClient::resultReceived, &loop, [&] {
        f.ok = true;
        loop.quit();
    });
    auto failed
        = QObject::connect(&client, &SDOClient::errorReceived, &loop, [&](quint16, quint8, quint32 code) {
              std::printf("  error 0x%08X %s\n", code, qPrintable(SDOClient::interpretSdoAbort(code)));
              loop.quit();
          });
    const quint64 framesBefore = bus.framesSent();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    if (start() == CAN::RetType_OK)
        loop.exec();
    f.wall = double(wall.nsecsElapsed()) / 1e9;
    f.cpu = cpuSeconds() - cpuBefore;
    f.frames = bus.framesSent() - framesBefore;
    QObject::disconnect(done);
    QObject::disconnect(failed);
    return f;
}

// CPU of one turn of the host's event loop with nothing to do but a zero-interval timer: the
// floor under any exchange that waits for each answer.
static double loopTurnMicroseconds()
{
    const int turns = 200000;
    int count = 0;
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (++count == turns)
            loop.quit();
    });
    const double before = cpuSeconds();
    tick.start();
    loop.exec();
    return (cpuSeconds() - before) * 1e6 / turns;
}

static void report(const char *name, const Figures &f, int bytes)
{
    std::printf("%-28s %s  %8.3f s  %12.0f bytes/s  %10.0f frames/s  %6.2f us CPU/frame  (%llu frames)\n",
        name, f.ok ? "ok  " : "FAIL", f.wall, bytes / f.wall, double(f.frames) / f.wall,
        f.frames ? f.cpu * 1e6 / double(f.frames) : 0.0, static_cast<unsigned long long>(f.frames));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int size = 1 << 20;

    VirtualCanBus bus;
    VirtualCanAdapter nodeAdapter(&bus);
    SimCanopenNode node(&nodeAdapter, 5);
    SimSdoServer server(&node);
    node.od()->add(0x2200, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
    node.powerOn();

    VirtualCanAdapter hostAdapter(&bus);
    CanScheduler scheduler(&hostAdapter);
    SDOClient client(0x585, 0x605, &scheduler);

    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 13);

    std::printf("segmented SDO, %d bytes, SDOClient <-> simulated node on the virtual bus\n", size);
    const Figures down = measure(client, bus, [&] { return client.write(0x2200, 0, CAN::DOMAIN, data); });
    report("download", down, size);
    const Figures up = measure(client, bus, [&] { return client.read(0x2200, 0, CAN::DOMAIN); });
    report("upload", up, size);
    bool same = client.getCurrentlyReceivedData() == data;
    client.setFastSegmentedDownload(true, 8);
    const Figures fast = measure(client, bus, [&] { return client.write(0x2200, 0, CAN::DOMAIN, data); });
    report("fast download (8 in flight)", fast, size);
    client.setFastSegmentedDownload(false, 0);
    same = same && node.od()->value(0x2200, 0) == data;

    std::printf("block SDO, %d bytes, block size 127\n", size);
    node.od()->setValue(0x2200, 0, QByteArray());
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    const Figures blockDown
        = measure(client, bus, [&] { return client.write(0x2200, 0, CAN::DOMAIN, data); });
    report("block download", blockDown, size);
    same = same && node.od()->value(0x2200, 0) == data;
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    const Figures blockUp = measure(client, bus, [&] { return client.read(0x2200, 0, CAN::DOMAIN); });
    report("block upload", blockUp, size);
    same = same && client.getCurrentlyReceivedData() == data;
    std::printf("block/segmented bytes per second: download %.1fx, upload %.1fx (target 3x)\n",
        down.wall / blockDown.wall, up.wall / blockUp.wall);

    // USDO on CAN FD: the same bytes, the same node, now also serving USDO.
    SimUsdoServer usdoServer(&node);
    nodeAdapter.setCanFdCapable(true);
    hostAdapter.setCanFdCapable(true);
    client.activateUSDO(true, 0x29);
    std::printf("USDO, %d bytes, SDOClient <-> simulated node on the CAN FD virtual bus\n", size);
    node.od()->setValue(0x2200, 0, QByteArray());
    const Figures usdoDown = measure(client, bus, [&] { return client.write(0x2200, 0, CAN::DOMAIN, data); });
    report("USDO segmented download", usdoDown, size);
    same = same && node.od()->value(0x2200, 0) == data;
    const Figures usdoUp = measure(client, bus, [&] { return client.read(0x2200, 0, CAN::DOMAIN); });
    report("USDO segmented upload", usdoUp, size);
    same = same && client.getCurrentlyReceivedData() == data;
    client.setFastSegmentedDownload(true, 8);
    const Figures usdoFast = measure(client, bus, [&] { return client.write(0x2200, 0, CAN::DOMAIN, data); });
    report("USDO fast seg. (8 in flight)", usdoFast, size);
    client.setFastSegmentedDownload(false, 0);
    same = same && node.od()->value(0x2200, 0) == data;
    node.od()->setValue(0x2200, 0, QByteArray());
    const Figures bulk = measure(client, bus, [&] {
        client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce); // DOMAIN download: bulk
        return client.write(0x2200, 0, CAN::DOMAIN, data);
    });
    report("USDO bulk download", bulk, size);
    same = same && node.od()->value(0x2200, 0) == data;
    client.activateUSDO(false, 0x29);

    const double classicRate = size / down.wall;
    const double segRate = size / usdoDown.wall;
    const double bulkRate = size / bulk.wall;
    auto cpuPerFrame = [](const Figures &f) { return f.frames ? f.cpu * 1e6 / double(f.frames) : 0.0; };
    std::printf("USDO segmented / classic segmented download: %6.2fx (target >= 6)\n", segRate / classicRate);
    std::printf("USDO bulk / USDO segmented download:         %6.2fx (target >= 2)\n", bulkRate / segRate);
    // A segmented exchange waits for every answer, so each frame costs an event-loop turn of
    // the virtual bus; the fast download and bulk share turns between frames.
    std::printf("CPU per FD frame, both ends: segmented %.2f us, fast segmented %.2f us, bulk %.2f us "
                "(target <= 1)\n",
        cpuPerFrame(usdoDown), cpuPerFrame(usdoFast), cpuPerFrame(bulk));
    std::printf("one turn of the event loop alone (%s): %.2f us\n",
        QAbstractEventDispatcher::instance()->metaObject()->className(), loopTurnMicroseconds());
    std::printf("data %s\n", same ? "verified" : "MISMATCH");
    return down.ok && up.ok && fast.ok && blockDown.ok && blockUp.ok && usdoDown.ok && usdoUp.ok
            && usdoFast.ok && bulk.ok && same
        ? 0
        : 1;
}
