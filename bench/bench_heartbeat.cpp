// 127 NMTSlave objects supervise 127 simulated nodes that send a heartbeat every 10 ms, for
// 10 s. Prints the CPU time per received heartbeat (the whole process, and the share of the
// supervision measured against a run of the nodes alone) and the peak memory.
//
//   bench_heartbeat [seconds]     (default 10)
#include "canscheduler.h"
#include "nmtslave.h"
#include "simcanopennode.h"
#include "simheartbeatproducer.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kNodes = 127;
constexpr quint16 kHeartbeatMs = 10;
constexpr quint16 kConsumerMs = 30;

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

struct Result
{
    quint64 heartbeats = 0;
    double cpu = 0;
    double wall = 0;
    int connectionOk = 0;
    int lostEvents = 0;
};

// One run: the nodes sit behind one adapter (a simulated network), the master behind another,
// so each heartbeat is delivered once, to the master's scheduler.
Result run(bool supervise, int seconds)
{
    VirtualCanBus bus;
    VirtualCanAdapter master(&bus);
    VirtualCanAdapter network(&bus);
    CanScheduler scheduler(&master);

    std::vector<std::unique_ptr<SimCanopenNode>> nodes;
    std::vector<SimHeartbeatProducer *> producers;
    std::vector<std::unique_ptr<NMTSlave>> slaves;
    Result result;
    for (int id = 1; id <= kNodes; ++id) {
        nodes.push_back(std::make_unique<SimCanopenNode>(&network, quint8(id)));
        producers.push_back(new SimHeartbeatProducer(nodes.back().get()));
        producers.back()->setProducerTime(kHeartbeatMs);
        if (supervise) {
            slaves.push_back(std::make_unique<NMTSlave>(quint8(id), &scheduler, nullptr));
            QObject::connect(slaves.back().get(), &NMTSlave::HeartbeatGuardingStateChanged,
                [&result](NMTSlave::HeartbeatGuardingState s) {
                    result.lostEvents += s == NMTSlave::HeartbeatGuardingState_ConnectionLost;
                });
            slaves.back()->startHeartbeatMonitoring(kConsumerMs);
        }
    }

    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    QElapsedTimer wall;
    wall.start();
    const double cpuStart = cpuSeconds();
    for (auto &node : nodes)
        node->powerOn();
    loop.exec();
    for (SimHeartbeatProducer *p : producers)
        p->setSilent(true);
    QCoreApplication::processEvents(); // deliver what is still on the bus
    result.cpu = cpuSeconds() - cpuStart;
    result.wall = double(wall.elapsed()) / 1000.0;
    for (SimHeartbeatProducer *p : producers)
        result.heartbeats += p->heartbeatsSent();
    for (auto &slave : slaves)
        result.connectionOk += slave->getLastState() == NMTSlave::HeartbeatGuardingState_ConnectionOk;
    slaves.clear(); // before the scheduler goes
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(1, atoi(argv[1])) : 10;

    const Result base = run(false, qMax(1, seconds / 2));
    const long peakBase = peakKiB();
    const Result full = run(true, seconds);

    const double perBase = base.cpu / double(qMax<quint64>(1, base.heartbeats)) * 1e6;
    const double perFull = full.cpu / double(qMax<quint64>(1, full.heartbeats)) * 1e6;
    std::printf(
        "heartbeat supervision: %d NMTSlave objects, %d simulated nodes, heartbeat %u ms, consumer %u ms\n",
        kNodes, kNodes, unsigned(kHeartbeatMs), unsigned(kConsumerMs));
    std::printf("  nodes alone:      %.1f s, %llu heartbeats (%.0f/s), CPU %.2f s, %.2f us/heartbeat\n",
        base.wall, static_cast<unsigned long long>(base.heartbeats), double(base.heartbeats) / base.wall,
        base.cpu, perBase);
    std::printf("  with supervision: %.1f s, %llu heartbeats (%.0f/s), CPU %.2f s, %.2f us/heartbeat\n",
        full.wall, static_cast<unsigned long long>(full.heartbeats), double(full.heartbeats) / full.wall,
        full.cpu, perFull);
    std::printf("  supervision share: %.2f us CPU per received heartbeat\n", perFull - perBase);
    std::printf("  at the end %d of %d nodes judged \"Connection OK\"; %d \"Connection lost\" events\n",
        full.connectionOk, kNodes, full.lostEvents);
    std::printf("  peak memory (maxrss): %ld KiB (nodes alone: %ld KiB)\n", peakKiB(), peakBase);
    return 0;
}
