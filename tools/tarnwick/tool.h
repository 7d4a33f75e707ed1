#pragma once

#include "edsfile.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

class ToolBus;

/// Exit status of the tool.
enum ExitCode {
    Exit_Ok = 0,
    Exit_Failure = 1, ///< the device answered with an error other than an abort
    Exit_Usage = 2, ///< unknown command, bad option or argument
    Exit_NoAnswer = 3, ///< the device did not answer in time
    Exit_Aborted = 4, ///< SDO abort, UDS negative response, LSS error code
    Exit_Bus = 5, ///< the bus cannot be opened or refuses frames
    Exit_File = 6, ///< a file cannot be read or written
};

/// What every command gets: global options, the bus, and output helpers.
class Tool
{
public:
    Tool();

    QString busSpec = QStringLiteral("sim");
    int bitrate = 0;
    bool fd = false;
    int dataBitrate = 0;
    bool json = false;
    ToolBus *bus = nullptr;
    /// The EDS and DCF files given with --eds.
    EdsLibrary eds;

    /// Opens the bus named by the global options; prints the reason and returns false on failure.
    bool openBus(int *exitCode);
    /// True when the bus is a CiA 309 gateway (cia309:HOST:PORT).
    bool gatewayBus() const { return busSpec.startsWith(QLatin1String("cia309:")); }
    /// Refuses what a CiA 309 gateway does not offer: prints why and returns Exit_Usage.
    int notOverGateway(const QString &what);

    /// Prints "tarnwick: message" on stderr and returns code.
    int fail(int code, const QString &message);
    /// A usage error of a command: message plus a hint to its --help.
    int usage(const QString &command, const QString &message);
    /// One line on stdout.
    void print(const QString &line);
    /// A JSON document on stdout (one line).
    void printJson(const QJsonObject &object);
    /// Progress on stderr when it is a terminal; 100 or a negative value ends the bar.
    void progress(const QString &label, int percent);
    /// Runs the event loop until done() is true or ms pass; true when done() became true.
    bool waitUntil(const std::function<bool()> &done, int ms);
    /// Ctrl-C: every wait ends.
    static void interrupt();
    static bool interrupted();
    /// Lets queued frames leave the adapter before the process ends.
    void flush();

    /// Parses the options of a command; returns -1 to go on, or an exit code (after --help, or
    /// a usage error).
    int parse(
        QCommandLineParser &parser, const QString &command, const QStringList &args, const QString &summary);

    QTextStream out;
    QTextStream err;

private:
    bool mTty = false;
};

/// Parses a number written in decimal or with a 0x prefix, up to max.
bool parseNumber(const QString &text, quint64 max, quint64 *value);

/// An LSS address (vendor-ID, product code, revision, serial number): four numbers from
/// args[from..from+3]; printed as hexadecimal text or JSON.
bool parseIdentity(const QStringList &args, int from, quint32 values[4]);
QString hex32(quint32 v);
QString identityText(const quint32 id[4]);
QJsonObject identityJson(const quint32 id[4]);

using CommandFunction = int (*)(Tool &, const QStringList &);
struct Command
{
    const char *name;
    const char *summary;
    CommandFunction run;
};

int cmdScan(Tool &tool, const QStringList &args);
int cmdNmt(Tool &tool, const QStringList &args);
int cmdSdo(Tool &tool, const QStringList &args);
int cmdMonitor(Tool &tool, const QStringList &args);
int cmdSync(Tool &tool, const QStringList &args);
int cmdLss(Tool &tool, const QStringList &args);
/// lss with --fd: the CANopen FD layer setting services and the LSS FD scan.
int cmdLssFd(Tool &tool, const QStringList &args);
int cmdUds(Tool &tool, const QStringList &args);
int cmdDump(Tool &tool, const QStringList &args);
int cmdOd(Tool &tool, const QStringList &args);
