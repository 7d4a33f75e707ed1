// tarnwick-sim: a simulated CANopen/UDS network on a QtSerialBus bus, so that other processes
// (the tarnwick tool, a host program under test) can talk to it. By default it hosts the
// virtualcan bus of this machine: start it first.
#include "simcanopennode.h"
#include "simnetwork.h"
#include "simudsecu.h"
#include "toolbus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <csignal>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs a simulated network (CANopen nodes 1, 2, 3 and 10, an unconfigured node waiting for LSS,\n"
        "and a UDS ECU on 0x7E0/0x7E8) on a QtSerialBus bus until interrupted."));
    parser.addHelpOption();
    const QCommandLineOption bus(QStringLiteral("bus"), QStringLiteral("PLUGIN:INTERFACE (default virtualcan:can0)."),
                                 QStringLiteral("bus"), QStringLiteral("virtualcan:can0"));
    const QCommandLineOption bitrate(QStringLiteral("bitrate"), QStringLiteral("Nominal bit rate."), QStringLiteral("bps"));
    const QCommandLineOption fd(QStringLiteral("fd"), QStringLiteral("Use CAN FD."));
    const QCommandLineOption duration(QStringLiteral("duration"), QStringLiteral("Stop after ms."), QStringLiteral("ms"));
    parser.addOptions({bus, bitrate, fd, duration});
    if (!parser.parse(app.arguments())) {
        QTextStream(stderr) << "tarnwick-sim: " << parser.errorText() << Qt::endl;
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }
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
    network.powerOn();

    static volatile std::sig_atomic_t stop = 0;
    std::signal(SIGINT, [](int) { stop = 1; });
    std::signal(SIGTERM, [](int) { stop = 1; });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [] {
        if (stop)
            QCoreApplication::quit();
    });
    poll.start(50);
    if (parser.isSet(duration))
        QTimer::singleShot(parser.value(duration).toInt(), &app, &QCoreApplication::quit);
    QTextStream(stdout) << "tarnwick-sim: simulated network on " << spec << " ready" << Qt::endl;
    return app.exec();
}
