#include "toolbus.h"

#include "canscheduler.h"
#include "cia309gatewayadapter.h"
#include "serialbuscanadapter.h"
#include "simnetwork.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCanBus>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

ToolBus::ToolBus(QObject *parent)
    : QObject(parent)
{
}

ToolBus::~ToolBus()
{
    delete mScheduler;
    delete mSimNetwork;
    delete mDeviceAdapter;
    delete mAdapter;
    delete mVirtualBus;
}

bool ToolBus::isGateway() const
{
    return mAdapter && mAdapter->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool();
}

bool ToolBus::openGateway(const QString &spec)
{
    // cia309:HOST:PORT (the host may be a bracketed IPv6 address)
    const QString rest = spec.mid(7);
    const int colon = rest.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = colon > 0 ? rest.mid(colon + 1).toUInt(&ok) : 0;
    QString host = colon > 0 ? rest.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!ok || port == 0 || port > 65535 || host.isEmpty()) {
        mError
            = QStringLiteral("bad bus \"%1\": use cia309:HOST:PORT (e.g. cia309:127.0.0.1:9999)").arg(spec);
        mUsageError = true;
        return false;
    }
    auto *gateway = new CiA309GatewayAdapter;
    gateway->connectToGateway(host, quint16(port));
    QElapsedTimer clock;
    clock.start();
    while (gateway->state() != QAbstractSocket::UnconnectedState && !gateway->isConnected()
        && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    if (!gateway->isConnected()) {
        mError = QStringLiteral("cannot reach gateway %1:%2: %3")
                     .arg(host)
                     .arg(port)
                     .arg(gateway->errorString().isEmpty() ? QStringLiteral("no answer")
                                                           : gateway->errorString());
        delete gateway;
        return false;
    }
    mAdapter = gateway;
    mScheduler = new CanScheduler(mAdapter);
    return true;
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
    if (spec.startsWith(QLatin1String("cia309:")))
        return openGateway(spec);
    const int colon = spec.indexOf(QLatin1Char(':'));
    if (colon <= 0 || colon == spec.size() - 1) {
        mError = QStringLiteral(
            "bad bus \"%1\": use sim, PLUGIN:INTERFACE (e.g. socketcan:can0) or cia309:HOST:PORT")
                     .arg(spec);
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
        mError = QStringLiteral("cannot open bus %1: %2")
                     .arg(spec,
                         adapter->errorString().isEmpty() ? QStringLiteral("device does not connect")
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
