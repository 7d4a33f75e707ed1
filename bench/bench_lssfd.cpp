// The LSS FD scan of one unconfigured simulated CANopen FD device at the shortest window
// (1 ms), repeated. Prints the time of each completed scan against the floor of 33 windows
// (32 nibble steps and the confirmation of the whole address), and how many scans did not
// find the device (an answer that missed its window on a loaded machine).
//
//   bench_lssfd [runs] [window ms]     (default 20 runs, 1 ms)
#include "canscheduler.h"
#include "lssfd_manager.h"
#include "simcanopennode.h"
#include "simlssfdslave.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 20;
    const int window = argc > 2 ? qBound(1, atoi(argv[2]), 99) : 1;

    VirtualCanBus bus;
    VirtualCanAdapter hostAdapter(&bus);
    VirtualCanAdapter deviceAdapter(&bus);
    hostAdapter.setCanFdCapable(true);
    deviceAdapter.setCanFdCapable(true);
    CanScheduler scheduler(&hostAdapter);
    SimCanopenNode node(&deviceAdapter, 0xFF);
    node.setIdentity(0x000F0191, 0x000004B1, 0x00401F01, 0x1A2C00FF);
    auto *slave = new SimLssFdSlave(&node);
    node.powerOn();
    LSSFD_Manager manager(&scheduler);

    std::vector<double> times;
    int missed = 0;
    for (int i = 0; i < runs; ++i) {
        // The found device waits in the configuration state: send it back first.
        manager.switchModeGlobal(LSSFD_Manager::LssGlobalState_Waiting, LSSFD_Manager::FDProtocolVersion_FD);
        QEventLoop settle;
        QTimer::singleShot(5, &settle, &QEventLoop::quit);
        settle.exec();

        QEventLoop loop;
        bool found = false;
        const QMetaObject::Connection c = QObject::connect(&manager, &LSSFD_Manager::lssfdResult,
            [&](LSSFD_Manager::LssAction, LSSFD_Manager::LssfdResult result, const QVariant &) {
                found = result == LSSFD_Manager::LssfdResult_Success;
                loop.quit();
            });
        QElapsedTimer clock;
        clock.start();
        if (manager.fdScan(LSSFD_Manager::FDScanMode_NonConfigured, quint8(window)) != CAN::RetType_OK) {
            std::printf("scan refused\n");
            return 1;
        }
        loop.exec();
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        QObject::disconnect(c);
        if (found)
            times.push_back(ms);
        else
            ++missed;
    }
    std::printf("LSS FD scan of one device, window %d ms, %d runs (floor 33 x %d ms = %d ms)\n", window, runs,
        window, 33 * window);
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        std::printf("  found in %zu runs: min %.2f ms, median %.2f ms, max %.2f ms\n", times.size(),
            times.front(), times[times.size() / 2], times.back());
    }
    std::printf("  device not found in %d runs; the device answered %d scan queries in all\n", missed,
        slave->scanAnswers());
    return 0;
}
