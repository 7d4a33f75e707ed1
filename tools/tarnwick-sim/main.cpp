// tarnwick-sim: a simulated CANopen/UDS network on a QtSerialBus bus, so that other processes
// (the tarnwick tool, a host program under test) can talk to it. By default it hosts the
// virtualcan bus of this machine: start it first. With --gateway PORT the network sits on a bus
// of its own behind a simulated CiA 309-3 gateway on 127.0.0.1:PORT instead.
#include "simcanopennode.h"
#include "simcia309gateway.h"
#include "simnetwork.h"
#include "simobjectdictionary.h"
#include "simudsecu.h"
#include "toolbus.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <csignal>

static volatile std::sig_atomic_t stop = 0;

// Runs the event loop until SIGINT/SIGTERM or durationMs (0: no limit).
static int runUntilStopped(QCoreApplication &app, int durationMs)
{
    std::signal(SIGINT, [](int) { stop = 1; });
    std::signal(SIGTERM, [](int) { stop = 1; });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [] {
        if (stop)
            QCoreApplication::quit();
    });
    poll.start(50);
    if (durationMs > 0)
        QTimer::singleShot(durationMs, &app, &QCoreApplication::quit);
    return app.exec();
}

// A large writable domain on node 1 (0x2F00:0, 64 KiB) for transfers through the gateway.
static void addLargeDomain(SimNetwork &network)
{
    QByteArray pattern(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < pattern.size(); ++i)
        pattern[i] = char(i * 7 + (i >> 8));
    if (SimCanopenNode *node = network.node(1))
        node->od()->add(0x2F00, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, pattern);
}

// Listens on the --gateway port; false (with the message printed) when it cannot.
static bool listenGateway(SimCiA309Gateway &gateway, const QString &portText)
{
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535) {
        QTextStream(stderr) << "tarnwick-sim: --gateway needs a port number" << Qt::endl;
        return false;
    }
    if (!gateway.listen(quint16(port))) {
        QTextStream(stderr) << "tarnwick-sim: cannot listen on port " << port << ": " << gateway.errorString()
                            << Qt::endl;
        return false;
    }
    return true;
}

// The network on an in-process virtual bus, reachable only through the gateway.
static int serveGateway(QCoreApplication &app, const QString &portText, int durationMs)
{
    VirtualCanBus bus;
    VirtualCanAdapter devices(&bus);
    VirtualCanAdapter gatewayAdapter(&bus);
    SimNetwork network(&devices);
    network.addDefaultDevices();
    addLargeDomain(network);
    SimCiA309Gateway gateway(&gatewayAdapter);
    if (!listenGateway(gateway, portText))
        return 2;
    network.powerOn();
    QTextStream(stdout) << "tarnwick-sim: simulated network behind a CiA 309 gateway on 127.0.0.1:"
                        << gateway.serverPort() << " ready" << Qt::endl;
    return runUntilStopped(app, durationMs);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs a simulated network (CANopen nodes 1, 2, 3 and 10, an unconfigured node waiting for LSS,\n"
        "and a UDS ECU on 0x7E0/0x7E8) on a QtSerialBus bus until interrupted."));
    parser.addHelpOption();
    const QCommandLineOption bus(QStringLiteral("bus"),
        QStringLiteral("PLUGIN:INTERFACE (default virtualcan:can0)."), QStringLiteral("bus"),
        QStringLiteral("virtualcan:can0"));
    const QCommandLineOption bitrate(
        QStringLiteral("bitrate"), QStringLiteral("Nominal bit rate."), QStringLiteral("bps"));
    const QCommandLineOption fd(QStringLiteral("fd"), QStringLiteral("Use CAN FD."));
    const QCommandLineOption duration(
        QStringLiteral("duration"), QStringLiteral("Stop after ms."), QStringLiteral("ms"));
    const QCommandLineOption gateway(QStringLiteral("gateway"),
        QStringLiteral("Serve the network through a CiA 309-3 gateway on 127.0.0.1:PORT (0: any free\n"
                       "port, printed): on a bus of its own, or with --bus on that bus too, the gateway\n"
                       "joining it as one more device."),
        QStringLiteral("port"));
    parser.addOptions({ bus, bitrate, fd, duration, gateway });
    if (!parser.parse(app.arguments())) {
        QTextStream(stderr) << "tarnwick-sim: " << parser.errorText() << Qt::endl;
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }
    if (parser.isSet(gateway) && !parser.isSet(bus))
        return serveGateway(
            app, parser.value(gateway), parser.isSet(duration) ? parser.value(duration).toInt() : 0);
    const QString spec = parser.value(bus);
    if (spec == QLatin1String("sim") || !spec.contains(QLatin1Char(':'))) {
        QTextStream(stderr) << "tarnwick-sim: --bus needs PLUGIN:INTERFACE" << Qt::endl;
        return 2;
    }
    bool ok = true;
    const int bps = parser.isSet(bitrate) ? parser.value(bitrate).toInt(&ok) : 0;
    if (!ok || bps < 0) {
        QTextStream(stderr) << "tarnwick-sim: --bitrate needs a number" << Qt::endl;
        return 2;
    }
    ToolBus toolBus;
    if (!toolBus.open(spec, bps, parser.isSet(fd), 0)) {
        QTextStream(stderr) << "tarnwick-sim: " << toolBus.errorString() << Qt::endl;
        return toolBus.usageError() ? 2 : 5;
    }
    SimNetwork network(toolBus.adapter());
    network.setCanFd(parser.isSet(fd)); // CANopen FD: the nodes also serve USDO
    network.addDefaultDevices();
    if (parser.isSet(fd))
        network.udsEcu()->setCanFd(true);
    // With --gateway too, the gateway reaches the network through a connection of its own.
    ToolBus gatewayBus;
    QScopedPointer<SimCiA309Gateway> simGateway;
    if (parser.isSet(gateway)) {
        addLargeDomain(network);
        if (!gatewayBus.open(spec, bps, parser.isSet(fd), 0)) {
            QTextStream(stderr) << "tarnwick-sim: gateway: " << gatewayBus.errorString() << Qt::endl;
            return 5;
        }
        simGateway.reset(new SimCiA309Gateway(gatewayBus.adapter()));
        if (!listenGateway(*simGateway, parser.value(gateway)))
            return 2;
    }
    network.powerOn();

    if (simGateway)
        QTextStream(stdout) << "tarnwick-sim: CiA 309 gateway on 127.0.0.1:" << simGateway->serverPort()
                            << Qt::endl;
    QTextStream(stdout) << "tarnwick-sim: simulated network on " << spec << " ready" << Qt::endl;
    return runUntilStopped(app, parser.isSet(duration) ? parser.value(duration).toInt() : 0);
}
