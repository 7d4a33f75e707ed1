// tarnwick scan: the identity (and PDOs) of every node on the network.
#include "canopennetworkscanner.h"
#include "sdoclient.h"
#include "tool.h"
#include "toolbus.h"

#include <QJsonArray>
#include <QMap>

namespace {
struct PdoInfo
{
    quint32 cobId = 0;
    int transmissionType = -1;
    int inhibit = -1;
    int eventTimer = -1;
};
struct NodeInfo
{
    QMap<quint8, quint32> identity; // 0: device type, 1..4: 0x1018 sub-indices
    QMap<quint16, PdoInfo> pdos;    // communication index -> parameters
    QMap<quint16, QList<quint32>> mappings;
};

QString hex32(quint32 v)
{
    return QStringLiteral("0x%1").arg(v, 8, 16, QLatin1Char('0'));
}

QString pdoName(quint16 index)
{
    const bool receive = index < 0x1800;
    return QStringLiteral("%1%2").arg(receive ? "RPDO" : "TPDO").arg(index - (receive ? 0x1400 : 0x1800) + 1);
}
} // namespace

int cmdScan(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption pdo(QStringLiteral("pdo"), QStringLiteral("Also read PDO communication and mapping objects."));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("SDO timeout per request in ms (default 250; 50 on sim)."),
                                     QStringLiteral("ms"));
    parser.addOption(pdo);
    parser.addOption(timeout);
    const int parsed = tool.parse(parser, QStringLiteral("scan"), args,
                                  QStringLiteral("Walks node-IDs 1 to 127 and shows each node's device type and identity."));
    if (parsed >= 0)
        return parsed;
    if (!parser.positionalArguments().isEmpty())
        return tool.usage(QStringLiteral("scan"), QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    quint64 timeoutMs = 0;
    if (parser.isSet(timeout) && (!parseNumber(parser.value(timeout), 60000, &timeoutMs) || timeoutMs == 0))
        return tool.usage(QStringLiteral("scan"), QStringLiteral("--timeout needs a number of ms (1..60000)"));
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    if (timeoutMs == 0 && tool.bus->isSimulated())
        timeoutMs = 50;

    CANopenNetworkscanner scanner;
    QMap<quint8, NodeInfo> nodes;
    bool finished = false;
    SDOClient *sdo = scanner.sdoClient();
    QObject::connect(sdo, &SDOClient::resultReceived, [&](quint16 index, quint8 sub, QVariant value) {
        const quint8 node = scanner.currentNodeId();
        const quint32 v = value.toUInt();
        NodeInfo &info = nodes[node];
        if (index == 0x1000)
            info.identity[0] = v;
        else if (index == 0x1018)
            info.identity[sub] = v;
        else if ((index >= 0x1400 && index < 0x1600) || (index >= 0x1800 && index < 0x1A00)) {
            PdoInfo &p = info.pdos[index];
            if (sub == 1)
                p.cobId = v;
            else if (sub == 2)
                p.transmissionType = int(v);
            else if (sub == 3)
                p.inhibit = int(v);
            else if (sub == 5)
                p.eventTimer = int(v);
        } else if (index == 0x1600 || index == 0x1A00) {
            info.mappings[index].append(v);
        }
    });
    QObject::connect(&scanner, &CANopenNetworkscanner::sigFinished, [&] { finished = true; });
    if (timeoutMs > 0) {
        // The scanner sets its own time-out when it starts; the client takes a new one only
        // between requests, so it is applied after each outcome.
        auto apply = [sdo, timeoutMs] { sdo->setSdoTimeout(quint32(timeoutMs)); };
        QObject::connect(sdo, &SDOClient::resultReceived, sdo, apply);
        QObject::connect(sdo, &SDOClient::errorReceived, sdo, apply);
    }
    scanner.startScan(tool.bus->scheduler(), parser.isSet(pdo));
    tool.waitUntil([&] {
        tool.progress(QStringLiteral("scanning node %1").arg(scanner.currentNodeId(), 3), scanner.currentNodeId() * 100 / 128);
        return finished;
    }, 24 * 3600 * 1000);
    tool.progress(QString(), 100);

    // Nodes that answered nothing at all appear nowhere; a node must have given its device type.
    if (tool.json) {
        for (auto it = nodes.constBegin(); it != nodes.constEnd(); ++it) {
            if (!it->identity.contains(0))
                continue;
            QJsonObject o{{QStringLiteral("node"), it.key()},
                          {QStringLiteral("deviceType"), hex32(it->identity.value(0))}};
            const char *keys[] = {"", "vendorId", "productCode", "revision", "serial"};
            for (quint8 s = 1; s <= 4; ++s)
                if (it->identity.contains(s))
                    o.insert(QLatin1String(keys[s]), hex32(it->identity.value(s)));
            if (parser.isSet(pdo)) {
                QJsonArray pdos;
                for (auto p = it->pdos.constBegin(); p != it->pdos.constEnd(); ++p) {
                    QJsonObject po{{QStringLiteral("pdo"), pdoName(p.key())},
                                   {QStringLiteral("cobId"), hex32(p->cobId)}};
                    if (p->transmissionType >= 0)
                        po.insert(QStringLiteral("transmissionType"), p->transmissionType);
                    if (p->inhibit >= 0)
                        po.insert(QStringLiteral("inhibitTime"), p->inhibit);
                    if (p->eventTimer >= 0)
                        po.insert(QStringLiteral("eventTimer"), p->eventTimer);
                    const quint16 mapIndex = p.key() < 0x1800 ? 0x1600 : 0x1A00;
                    if (p.key() == mapIndex - 0x200 && it->mappings.contains(mapIndex)) {
                        QJsonArray m;
                        for (quint32 e : it->mappings.value(mapIndex))
                            m.append(hex32(e));
                        po.insert(QStringLiteral("mapping"), m);
                    }
                    pdos.append(po);
                }
                o.insert(QStringLiteral("pdos"), pdos);
            }
            tool.printJson(o);
        }
        return Exit_Ok;
    }
    tool.print(QStringLiteral("node  device type  vendor      product     revision    serial"));
    int count = 0;
    for (auto it = nodes.constBegin(); it != nodes.constEnd(); ++it) {
        if (!it->identity.contains(0))
            continue;
        ++count;
        QStringList cols{QString::number(it.key()).rightJustified(4), hex32(it->identity.value(0)) + QLatin1Char(' ')};
        for (quint8 s = 1; s <= 4; ++s)
            cols << (it->identity.contains(s) ? hex32(it->identity.value(s)) : QStringLiteral("-").leftJustified(10));
        tool.print(cols.join(QStringLiteral("  ")));
        if (!parser.isSet(pdo))
            continue;
        for (auto p = it->pdos.constBegin(); p != it->pdos.constEnd(); ++p) {
            QString line = QStringLiteral("      %1  COB-ID %2  type %3").arg(pdoName(p.key()), hex32(p->cobId)).arg(p->transmissionType);
            if (p->inhibit >= 0)
                line += QStringLiteral("  inhibit %1").arg(p->inhibit);
            if (p->eventTimer >= 0)
                line += QStringLiteral("  event %1 ms").arg(p->eventTimer);
            const quint16 mapIndex = p.key() < 0x1800 ? 0x1600 : 0x1A00;
            if (p.key() == mapIndex - 0x200 && it->mappings.contains(mapIndex)) {
                QStringList m;
                for (quint32 e : it->mappings.value(mapIndex))
                    m << QStringLiteral("%1:%2/%3").arg(e >> 16, 4, 16, QLatin1Char('0')).arg((e >> 8) & 0xFF).arg(e & 0xFF);
                line += QStringLiteral("  mapping ") + m.join(QLatin1Char(' '));
            }
            tool.print(line);
        }
    }
    tool.print(QStringLiteral("%1 node(s) found").arg(count));
    return Exit_Ok;
}
