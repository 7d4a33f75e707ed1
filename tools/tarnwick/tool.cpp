#include "tool.h"

#include "cia309gatewayadapter.h"
#include "serialbuscanadapter.h"
#include "toolbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <unistd.h>

static volatile std::sig_atomic_t gInterrupted = 0;

void Tool::interrupt()
{
    gInterrupted = 1;
}

bool Tool::interrupted()
{
    return gInterrupted != 0;
}

Tool::Tool()
    : out(stdout)
    , err(stderr)
{
    mTty = isatty(STDERR_FILENO);
}

bool Tool::openBus(int *exitCode)
{
    if (bus)
        return true; // already open (a test bench, or a command running another)
    bus = new ToolBus(QCoreApplication::instance());
    if (bus->open(busSpec, bitrate, fd, dataBitrate))
        return true;
    *exitCode = fail(bus->usageError() ? Exit_Usage : Exit_Bus, bus->errorString());
    return false;
}

int Tool::notOverGateway(const QString &what)
{
    return fail(Exit_Usage,
        QStringLiteral("%1 is not offered through a CiA 309 gateway (%2); use a CAN bus").arg(what, busSpec));
}

int Tool::fail(int code, const QString &message)
{
    err << "tarnwick: " << message << Qt::endl;
    return code;
}

int Tool::usage(const QString &command, const QString &message)
{
    err << "tarnwick " << command << ": " << message << Qt::endl
        << "Try 'tarnwick " << command << " --help'." << Qt::endl;
    return Exit_Usage;
}

void Tool::print(const QString &line)
{
    out << line << Qt::endl;
}

void Tool::printJson(const QJsonObject &object)
{
    out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << Qt::endl;
}

void Tool::progress(const QString &label, int percent)
{
    if (!mTty || json)
        return;
    if (percent < 0 || percent >= 100) {
        err << "\r\033[K" << Qt::flush;
        return;
    }
    const int width = 30;
    const int filled = percent * width / 100;
    err << "\r" << label << " [" << QString(filled, QLatin1Char('#'))
        << QString(width - filled, QLatin1Char('.')) << "] " << percent << "%" << Qt::flush;
}

bool Tool::waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (interrupted())
            return false;
        const qint64 left = ms - clock.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        QTimer::singleShot(int(qMin<qint64>(left, 10)), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void Tool::flush()
{
    auto *serial = bus ? qobject_cast<SerialBusCanAdapter *>(bus->adapter()) : nullptr;
    if (serial && serial->device())
        waitUntil([serial] { return !serial->device() || serial->device()->framesToWrite() == 0; }, 1000);
    auto *gateway = bus ? qobject_cast<CiA309GatewayAdapter *>(bus->adapter()) : nullptr;
    if (gateway)
        waitUntil([gateway] { return gateway->bytesToWrite() == 0; }, 1000);
    // Give the transport (and an in-process simulated network) a moment to pass the last frames.
    waitUntil([] { return false; }, 20);
}

int Tool::parse(
    QCommandLineParser &parser, const QString &command, const QStringList &args, const QString &summary)
{
    parser.setApplicationDescription(summary);
    const QCommandLineOption help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    parser.addOption(help);
    if (!parser.parse(QStringList { QStringLiteral("tarnwick ") + command } + args))
        return usage(command, parser.errorText());
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        // The first line names the program by its path; name the command instead.
        const int eol = text.indexOf(QLatin1Char('\n'));
        const QString usageLine = text.left(eol);
        const int options = usageLine.indexOf(QLatin1String("[options]"));
        text = QStringLiteral("Usage: tarnwick [global options] ") + command + QLatin1Char(' ')
            + (options >= 0 ? usageLine.mid(options) : QString()) + text.mid(eol);
        out << text << Qt::flush;
        return Exit_Ok;
    }
    return -1;
}

bool parseNumber(const QString &text, quint64 max, quint64 *value)
{
    bool ok = false;
    quint64 v = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = text.mid(2).toULongLong(&ok, 16);
    else
        v = text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *value = v;
    return true;
}

bool parseIdentity(const QStringList &args, int from, quint32 values[4])
{
    for (int i = 0; i < 4; ++i) {
        quint64 v = 0;
        if (!parseNumber(args.value(from + i), 0xFFFFFFFFu, &v))
            return false;
        values[i] = quint32(v);
    }
    return true;
}

QString hex32(quint32 v)
{
    return QStringLiteral("0x%1").arg(v, 8, 16, QLatin1Char('0'));
}

QString identityText(const quint32 id[4])
{
    return QStringLiteral("vendor %1 product %2 revision %3 serial %4")
        .arg(hex32(id[0]), hex32(id[1]), hex32(id[2]), hex32(id[3]));
}

QJsonObject identityJson(const quint32 id[4])
{
    return { { QStringLiteral("vendorId"), hex32(id[0]) }, { QStringLiteral("productCode"), hex32(id[1]) },
        { QStringLiteral("revision"), hex32(id[2]) }, { QStringLiteral("serial"), hex32(id[3]) } };
}
