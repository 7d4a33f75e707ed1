// tarnwick dump: the bus traffic as it happens, decoded, or raw in candump's log format.
#include "busdecoder.h"
#include "canscheduler.h"
#include "tool.h"
#include "toolbus.h"

#include <QDateTime>
#include <QSet>

#include <limits>

namespace {
bool parseIdList(const QString &text, quint64 max, QSet<quint32> *ids)
{
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        quint64 v = 0;
        if (!parseNumber(part.trimmed(), max, &v))
            return false;
        ids->insert(quint32(v));
    }
    return !ids->isEmpty();
}
} // namespace

int cmdDump(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption nodeOpt(QStringLiteral("node"),
        QStringLiteral("Only frames of these node-IDs (comma-separated)."), QStringLiteral("list"));
    const QCommandLineOption idOpt(QStringLiteral("id"),
        QStringLiteral("Only frames with these CAN identifiers (comma-separated)."), QStringLiteral("list"));
    const QCommandLineOption raw(
        QStringLiteral("raw"), QStringLiteral("Print frames in candump's log format, undecoded."));
    const QCommandLineOption isotp(QStringLiteral("isotp"),
        QStringLiteral("Identifiers carrying ISO-TP/UDS (default 0x7E0,0x7E8,0x7DF)."),
        QStringLiteral("list"));
    const QCommandLineOption duration(QStringLiteral("duration"),
        QStringLiteral("Stop after ms (default: run until Ctrl-C)."), QStringLiteral("ms"));
    const QCommandLineOption iface(QStringLiteral("interface"),
        QStringLiteral("Interface name in raw lines (default: the bus's, or can0)."), QStringLiteral("name"));
    for (const QCommandLineOption *o : { &nodeOpt, &idOpt, &raw, &isotp, &duration, &iface })
        parser.addOption(*o);
    const int parsed = tool.parse(parser, QStringLiteral("dump"), args,
        QStringLiteral(
            "Shows every frame on the bus as it arrives, decoded: NMT, SYNC, EMCY, PDO, SDO, USDO, "
            "heartbeat, LSS, ISO-TP and UDS. With --json one object a frame."));
    if (parsed >= 0)
        return parsed;
    const QString cmd = QStringLiteral("dump");
    if (!parser.positionalArguments().isEmpty())
        return tool.usage(
            cmd, QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    QSet<quint32> nodes, ids, isoTpIds;
    if (parser.isSet(nodeOpt) && !parseIdList(parser.value(nodeOpt), 127, &nodes))
        return tool.usage(cmd, QStringLiteral("--node needs node-IDs 0..127"));
    if (parser.isSet(idOpt) && !parseIdList(parser.value(idOpt), 0x1FFFFFFF, &ids))
        return tool.usage(cmd, QStringLiteral("--id needs CAN identifiers"));
    if (parser.isSet(isotp) && !parseIdList(parser.value(isotp), 0x1FFFFFFF, &isoTpIds))
        return tool.usage(cmd, QStringLiteral("--isotp needs CAN identifiers"));
    quint64 durationMs = 0;
    if (parser.isSet(duration) && !parseNumber(parser.value(duration), 1u << 31, &durationMs))
        return tool.usage(cmd, QStringLiteral("--duration needs a number of ms"));
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    QString interfaceName = parser.value(iface);
    if (interfaceName.isEmpty()) {
        const int colon = tool.busSpec.lastIndexOf(QLatin1Char(':'));
        const int slash = tool.busSpec.lastIndexOf(QLatin1Char('/'));
        interfaceName = colon > 0 ? tool.busSpec.mid(qMax(colon, slash) + 1) : QStringLiteral("can0");
    }
    BusDecoder decoder;
    if (!isoTpIds.isEmpty())
        decoder.setIsoTpIds(isoTpIds.values());
    const bool rawMode = parser.isSet(raw);
    QObject receiver;
    QObject::connect(
        tool.bus->scheduler(), &CanScheduler::messageReceived, &receiver, [&](const CAN::CanRxMessage &f) {
            if (!ids.isEmpty() && !ids.contains(f.id))
                return;
            if (rawMode) {
                if (nodes.isEmpty() || nodes.contains(f.id & 0x7F))
                    tool.out << BusDecoder::candumpLine(f, interfaceName) << '\n' << Qt::flush;
                return;
            }
            const QList<BusDecoder::Line> lines = decoder.decode(f);
            const QString time = QDateTime::fromMSecsSinceEpoch(f.timeStamp.toMSecs())
                                     .toString(QStringLiteral("HH:mm:ss.zzz"));
            for (int i = 0; i < lines.size(); ++i) {
                const BusDecoder::Line &l = lines.at(i);
                if (!nodes.isEmpty() && !nodes.contains(quint32(l.node)))
                    continue;
                if (tool.json) {
                    QJsonObject o = l.fields;
                    o.insert(QStringLiteral("time"),
                        QStringLiteral("%1.%2")
                            .arg(f.timeStamp.seconds())
                            .arg(f.timeStamp.microseconds(), 6, 10, QLatin1Char('0')));
                    o.insert(QStringLiteral("id"), QStringLiteral("0x%1").arg(f.id, 3, 16, QLatin1Char('0')));
                    o.insert(QStringLiteral("protocol"), l.protocol);
                    if (l.node >= 0)
                        o.insert(QStringLiteral("node"), l.node);
                    if (i == 0)
                        o.insert(QStringLiteral("data"), QString::fromLatin1(f.payload().toHex(' ')));
                    o.insert(QStringLiteral("text"), l.text);
                    tool.printJson(o);
                } else if (i == 0) {
                    tool.print(QStringLiteral("%1  %2  %3")
                                   .arg(time, BusDecoder::frameText(f).leftJustified(34), l.text));
                } else {
                    tool.print(QStringLiteral("%1  %2  %3").arg(time, QString().leftJustified(34), l.text));
                }
            }
        });
    tool.waitUntil([] { return false; }, durationMs > 0 ? int(durationMs) : std::numeric_limits<int>::max());
    return Exit_Ok;
}
