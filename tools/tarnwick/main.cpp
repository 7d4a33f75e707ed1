// tarnwick: walk, configure and diagnose CANopen and UDS devices from the command line.
#include "tool.h"

#include <QCoreApplication>

#include <csignal>

static const Command kCommands[] = {
    {"scan", "walk node-IDs 1..127 and show each node's identity (and PDOs)", cmdScan},
    {"nmt", "send an NMT command to one node or to all", cmdNmt},
    {"sdo", "read or write object-dictionary entries, upload or download files", cmdSdo},
    {"monitor", "show heartbeat states and EMCY messages as they arrive", cmdMonitor},
    {"sync", "produce SYNC messages", cmdSync},
    {"lss", "LSS: inquire, configure node-IDs and bit timing, fastscan, identify", cmdLss},
    {"uds", "UDS diagnostics: sessions, identifiers, DTCs, reset, flash and read memory", cmdUds},
    {"dump", "show the bus traffic as it happens, decoded (or raw, candump style)", cmdDump},
    {"od", "list a node's object dictionary from its EDS/DCF with current values", cmdOd},
};

static void printHelp(QTextStream &out)
{
    out << "Usage: tarnwick [global options] <command> [command options]\n\n"
           "Global options:\n"
           "  --bus BUS             sim (default: an in-process simulated network) or\n"
           "                        PLUGIN:INTERFACE of QtSerialBus, e.g. socketcan:can0,\n"
           "                        virtualcan:can0, peakcan:usb0\n"
           "  --bitrate BPS         nominal bit rate of the CAN device\n"
           "  --fd                  use CAN FD\n"
           "  --data-bitrate BPS    CAN FD data bit rate\n"
           "  --json                machine-readable output, one JSON object a line\n"
           "  --eds [NODE=]FILE     EDS/DCF file of a node (of every node without NODE=);\n"
           "                        a folder: files matched to nodes by their identity\n"
           "  -h, --help            this help; 'tarnwick <command> --help' for a command\n\n"
           "Commands:\n";
    for (const Command &c : kCommands)
        out << "  " << QString::fromLatin1(c.name).leftJustified(10) << c.summary << "\n";
    out << "\nExit status: 0 success, 1 device error, 2 usage error, 3 no answer, 4 abort or\n"
           "negative response, 5 bus failure, 6 file error.\n";
    out.flush();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick"));
    std::signal(SIGINT, [](int) { Tool::interrupt(); });
    std::signal(SIGTERM, [](int) { Tool::interrupt(); });

    Tool tool;
    QStringList args = app.arguments().mid(1);
    // Global options come before the command.
    while (!args.isEmpty() && args.first().startsWith(QLatin1Char('-'))) {
        const QString opt = args.takeFirst();
        auto value = [&](QString *v) {
            if (args.isEmpty())
                return false;
            *v = args.takeFirst();
            return true;
        };
        QString v;
        quint64 n = 0;
        if (opt == QLatin1String("-h") || opt == QLatin1String("--help")) {
            printHelp(tool.out);
            return Exit_Ok;
        } else if (opt == QLatin1String("--json")) {
            tool.json = true;
        } else if (opt == QLatin1String("--fd")) {
            tool.fd = true;
        } else if (opt == QLatin1String("--eds")) {
            QString error;
            if (!value(&v))
                return tool.fail(Exit_Usage, QStringLiteral("--eds needs a file or folder"));
            if (!tool.eds.add(v, &error))
                return tool.fail(Exit_File, error);
        } else if (opt == QLatin1String("--bus")) {
            if (!value(&tool.busSpec))
                return tool.fail(Exit_Usage, QStringLiteral("--bus needs a value (sim or PLUGIN:INTERFACE)"));
        } else if (opt == QLatin1String("--bitrate") || opt == QLatin1String("--data-bitrate")) {
            if (!value(&v) || !parseNumber(v, 20000000, &n) || n == 0)
                return tool.fail(Exit_Usage, QStringLiteral("%1 needs a bit rate in bit/s").arg(opt));
            (opt == QLatin1String("--bitrate") ? tool.bitrate : tool.dataBitrate) = int(n);
        } else {
            return tool.fail(Exit_Usage, QStringLiteral("unknown option %1 (see tarnwick --help)").arg(opt));
        }
    }
    if (args.isEmpty()) {
        printHelp(tool.err);
        return Exit_Usage;
    }
    const QString name = args.takeFirst();
    for (const Command &c : kCommands) {
        if (name == QLatin1String(c.name)) {
            const int code = c.run(tool, args);
            // What a command queued last (the abort after an SDO time-out, say) must leave.
            if (tool.bus)
                tool.flush();
            return code;
        }
    }
    return tool.fail(Exit_Usage, QStringLiteral("unknown command \"%1\" (see tarnwick --help)").arg(name));
}
