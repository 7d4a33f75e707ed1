#include "toolbus.h"

#include "canscheduler.h"
#include "serialbuscanadapter.h"
#include "simnetwork.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCanBus>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

ToolBus::ToolBus(QObject *parent) : QObject(parent) {}

ToolBus::~ToolBus()
{
    delete mScheduler;
    delete mSimNetwork;
    delete mDeviceAdapter;
    delete mAdapter;
    delete mVirtualBus;
}

bool ToolBus::open(const QString &spec, int bitrate, bool fd, int dataBitrate)
{
    if (spec == QLatin1String("sim")) {
        mVirtualBus = new VirtualCanBus;
        auto *host = new VirtualCanAdapter(mVirtualBus);
        host->setCanFdCapable(true);
        auto *devices = new VirtualCanAdapter(mVirtualBus);
        devices->setCanFdCapable(true);
        mDeviceAdapter = devices;
        mSimNetwork = new SimNetwork(devices);
        mSimNetwork->setCanFd(fd); // --fd: the nodes also serve USDO
        mSimNetwork->addDefaultDevices();
        mSimNetwork->powerOn();
        mAdapter = host;
        mScheduler = new CanScheduler(mAdapter);
        return true;
    }
    const int colon = spec.indexOf(QLatin1Char(':'));
    if (colon <= 0 || colon == spec.size() - 1) {
        mError = QStringLiteral("bad bus \"%1\": use sim or PLUGIN:INTERFACE (e.g. socketcan:can0)").arg(spec);
        mUsageError = true;
        return false;
    }
    auto *adapter = new SerialBusCanAdapter(spec.left(colon), spec.mid(colon + 1));
    if (bitrate > 0)
        adapter->setBitrate(bitrate);
    adapter->setCanFd(fd, dataBitrate);
    if (!adapter->connectDevice()) {
        mError = QStringLiteral("cannot open bus %1: %2").arg(spec, adapter->errorString());
        delete adapter;
        return false;
    }
    // Some plugins connect asynchronously; virtualcan's server also drops frames for a client
    // until it has read the client's connect line, so give it a moment.
    QElapsedTimer clock;
    clock.start();
    while (!adapter->isConnected() && clock.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!adapter->isConnected()) {
        mError = QStringLiteral("cannot open bus %1: %2").arg(spec, adapter->errorString().isEmpty()
                                                                       ? QStringLiteral("device does not connect")
                                                                       : adapter->errorString());
        delete adapter;
        return false;
    }
    if (adapter->plugin() == QLatin1String("virtualcan")) {
        clock.restart();
        while (clock.elapsed() < 150)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    mAdapter = adapter;
    mScheduler = new CanScheduler(mAdapter);
    return true;
}
