// tarnwick scan: the identity (and PDOs) of every node on the network.
//
// All 127 node-IDs are asked for their device type (0x1000) at once, back to back; after one
// time-out window only the nodes that answered (with a value or an abort) are walked. A scan
// so costs one time-out plus the walk of the nodes present, instead of a time-out per
// absent node-ID.
#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "sdoclient.h"
#include "sdoreader.h"
#include "tool.h"
#include "toolbus.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QMap>

namespace {
struct PdoInfo
{
    quint16 index = 0;
    qint64 cobId = -1; ///< -1: absent (the read aborted)
    int transmissionType = -1;
    int inhibit = -1;
    int eventTimer = -1;
    int mappedCount = -1; ///< sub-index 0 of the mapping object
    QList<qint64> mapping; ///< -1 for an entry that aborted
};
struct NodeInfo
{
    QMap<quint8, quint32> identity; // 0: device type, 1..4: 0x1018 sub-indices
    QList<PdoInfo> pdos;
    const EdsFile *eds = nullptr;
};

QString pdoName(quint16 index)
{
    const bool receive = index < 0x1800;
    return QStringLiteral("%1%2").arg(receive ? "RPDO" : "TPDO").arg(index - (receive ? 0x1400 : 0x1800) + 1);
}

/// Sends the device-type request to every node-ID and collects who answers within the window.
QList<quint8> probeAll(Tool &tool, int windowMs)
{
    CanScheduler *scheduler = tool.bus->scheduler();
    AbstractCanAdapter *adapter = scheduler->canAdapter();
    QMap<quint8, bool> answered;
    QObject receiver;
    const QList<QPointer<CanSender>> senders = scheduler->registerCanIdRange(0x581, 0x5FF);
    for (const QPointer<CanSender> &s : senders) {
        QObject::connect(s.data(), &CanSender::received, &receiver, [&answered](const CAN::CanRxMessage &m) {
            // An answer to the device-type upload: its value, a segmented start, or an abort.
            if (m.length < 4 || m.extended || m.remote || m.data[1] != 0x00 || m.data[2] != 0x10
                || m.data[3] != 0)
                return;
            const quint8 scs = m.data[0] >> 5;
            if (scs == 2 || scs == 4)
                answered.insert(quint8(m.id - 0x580), scs == 2 && !(m.data[0] & 0x02));
        });
    }
    QElapsedTimer clock;
    clock.start();
    for (quint8 node = 1; node <= 127 && !Tool::interrupted(); ++node) {
        CAN::CanMessage request;
        request.id = 0x600u + node;
        request.length = 8;
        request.data[0] = 0x40;
        request.data[2] = 0x10;
        // A full transmit queue (7) is waited out; the frames go back to back as fast as the
        // adapter takes them.
        CAN::RetType r = adapter->sendCanMessage(request);
        while (r == CAN::RetType_NotReady && clock.elapsed() < windowMs + 5000) {
            tool.waitUntil([] { return false; }, 1);
            r = adapter->sendCanMessage(request);
        }
        if (r != CAN::RetType_OK)
            break;
    }
    tool.waitUntil([] { return false; }, windowMs);
    for (const QPointer<CanSender> &s : senders)
        scheduler->unregisterCan(s, &receiver);
    QList<quint8> nodes;
    for (auto it = answered.constBegin(); it != answered.constEnd(); ++it) {
        nodes << it.key();
        if (it.value()) {
            // A segmented start for the device type: end that transfer (general error).
            CAN::CanMessage abort;
            abort.id = 0x600u + it.key();
            abort.length = 8;
            abort.data[0] = 0x80;
            abort.data[2] = 0x10;
            abort.data[7] = 0x08;
            adapter->sendCanMessage(abort);
        }
    }
    return nodes;
}

/// The PDOs of one direction: every communication object that exists (the first four are
/// always tried), its parameters and exactly the mapping entries its count says.
void readPdos(SdoRequest &sdo, quint16 commBase, quint16 mapBase, QList<PdoInfo> *pdos)
{
    for (quint16 i = 0; i < 512; ++i) {
        PdoInfo p;
        p.index = quint16(commBase + i);
        const SdoRequest::Outcome o = sdo.read(p.index, 1, CAN::UNSIGNED32);
        if (o == SdoRequest::Outcome_NoAnswer || o == SdoRequest::Outcome_Refused)
            return;
        if (o != SdoRequest::Outcome_Done) {
            if (i >= 3)
                return;
            continue;
        }
        p.cobId = sdo.value().toUInt();
        if (sdo.read(p.index, 2, CAN::UNSIGNED8) == SdoRequest::Outcome_Done)
            p.transmissionType = int(sdo.value().toUInt());
        // Inhibit time and event timer are optional: an abort leaves them absent.
        if (sdo.read(p.index, 3, CAN::UNSIGNED16) == SdoRequest::Outcome_Done)
            p.inhibit = int(sdo.value().toUInt());
        if (sdo.read(p.index, 5, CAN::UNSIGNED16) == SdoRequest::Outcome_Done)
            p.eventTimer = int(sdo.value().toUInt());
        const quint16 map = quint16(mapBase + i);
        if (sdo.read(map, 0, CAN::UNSIGNED8) == SdoRequest::Outcome_Done) {
            p.mappedCount = int(sdo.value().toUInt() & 0xFF);
            for (int s = 1; s <= p.mappedCount; ++s)
                p.mapping << (sdo.read(map, quint8(s), CAN::UNSIGNED32) == SdoRequest::Outcome_Done
                        ? qint64(sdo.value().toUInt())
                        : qint64(-1));
        }
        pdos->append(p);
    }
}

QString mappingText(qint64 e)
{
    if (e < 0)
        return QStringLiteral("-");
    return QStringLiteral("%1:%2/%3")
        .arg(quint32(e) >> 16, 4, 16, QLatin1Char('0'))
        .arg((e >> 8) & 0xFF)
        .arg(e & 0xFF);
}
} // namespace

int cmdScan(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption pdo(
        QStringLiteral("pdo"), QStringLiteral("Also read PDO communication and mapping objects."));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
        QStringLiteral("SDO timeout per request in ms (default 250; 50 on sim)."), QStringLiteral("ms"));
    parser.addOption(pdo);
    parser.addOption(timeout);
    const int parsed = tool.parse(parser, QStringLiteral("scan"), args,
        QStringLiteral(
            "Finds the nodes of node-IDs 1 to 127 and shows each node's device type and identity."));
    if (parsed >= 0)
        return parsed;
    if (!parser.positionalArguments().isEmpty())
        return tool.usage(QStringLiteral("scan"),
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    quint64 timeoutMs = 0;
    if (parser.isSet(timeout) && (!parseNumber(parser.value(timeout), 60000, &timeoutMs) || timeoutMs == 0))
        return tool.usage(
            QStringLiteral("scan"), QStringLiteral("--timeout needs a number of ms (1..60000)"));
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    if (timeoutMs == 0)
        timeoutMs = tool.bus->isSimulated() ? 50 : 250;

    SDOClient sdo;
    sdo.setCanScheduler(tool.bus->scheduler());
    sdo.setSdoTimeout(quint32(timeoutMs));
    SdoRequest request(tool, sdo);
    QList<quint8> present;
    if (tool.bus->adapter()->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool()) {
        // A gateway carries SDO requests, not frames: ask one node after the other.
        for (quint8 node = 1; node <= 127 && !Tool::interrupted(); ++node) {
            tool.progress(QStringLiteral("probing node %1").arg(node, 3), node * 100 / 128);
            sdo.setNodeId(node);
            const SdoRequest::Outcome o = request.read(0x1000, 0, CAN::UNSIGNED32);
            if (o == SdoRequest::Outcome_Done || o == SdoRequest::Outcome_Aborted)
                present << node;
        }
    } else {
        present = probeAll(tool, int(timeoutMs));
    }

    QMap<quint8, NodeInfo> nodes;
    for (int n = 0; n < present.size() && !Tool::interrupted(); ++n) {
        const quint8 node = present.at(n);
        tool.progress(QStringLiteral("reading node %1").arg(node, 3), n * 100 / present.size());
        sdo.setNodeId(node);
        NodeInfo &info = nodes[node];
        for (quint8 sub = 0; sub <= 4; ++sub) {
            const SdoRequest::Outcome o = sub == 0 ? request.read(0x1000, 0, CAN::UNSIGNED32)
                                                   : request.read(0x1018, sub, CAN::UNSIGNED32);
            if (o == SdoRequest::Outcome_Done)
                info.identity[sub] = request.value().toUInt();
        }
        // A file for every node names only the nodes it describes; a folder's by identity.
        info.eds = tool.eds.namedFor(node);
        const EdsFile *common = tool.eds.forNode(node);
        if (!info.eds && common && common->vendorNumber() == info.identity.value(1)
            && common->productNumber() == info.identity.value(2))
            info.eds = common;
        if (!info.eds)
            info.eds = tool.eds.forIdentity(
                info.identity.value(1), info.identity.value(2), info.identity.value(3));
        if (parser.isSet(pdo)) {
            readPdos(request, 0x1400, 0x1600, &info.pdos);
            readPdos(request, 0x1800, 0x1A00, &info.pdos);
        }
    }
    tool.progress(QString(), 100);

    if (tool.json) {
        for (auto it = nodes.constBegin(); it != nodes.constEnd(); ++it) {
            QJsonObject o { { QStringLiteral("node"), it.key() } };
            const char *keys[] = { "deviceType", "vendorId", "productCode", "revision", "serial" };
            for (quint8 s = 0; s <= 4; ++s)
                if (it->identity.contains(s))
                    o.insert(QLatin1String(keys[s]), hex32(it->identity.value(s)));
            if (it->eds) {
                o.insert(QStringLiteral("vendorName"), it->eds->vendorName());
                o.insert(QStringLiteral("productName"), it->eds->productName());
            }
            if (parser.isSet(pdo)) {
                QJsonArray pdos;
                for (const PdoInfo &p : it->pdos) {
                    QJsonObject po { { QStringLiteral("pdo"), pdoName(p.index) },
                        { QStringLiteral("cobId"), hex32(quint32(p.cobId)) } };
                    if (p.transmissionType >= 0)
                        po.insert(QStringLiteral("transmissionType"), p.transmissionType);
                    if (p.inhibit >= 0)
                        po.insert(QStringLiteral("inhibitTime"), p.inhibit);
                    if (p.eventTimer >= 0)
                        po.insert(QStringLiteral("eventTimer"), p.eventTimer);
                    if (p.mappedCount >= 0) {
                        QJsonArray m;
                        for (qint64 e : p.mapping)
                            m.append(e < 0 ? QJsonValue() : QJsonValue(hex32(quint32(e))));
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
    for (auto it = nodes.constBegin(); it != nodes.constEnd(); ++it) {
        QStringList cols { QString::number(it.key()).rightJustified(4) };
        for (quint8 s = 0; s <= 4; ++s)
            cols << (it->identity.contains(s) ? hex32(it->identity.value(s))
                                              : QStringLiteral("-").leftJustified(10))
                    + QLatin1String(s == 0 ? " " : "");
        QString line = cols.join(QStringLiteral("  "));
        if (it->eds)
            line += QStringLiteral("  %1 (%2)").arg(it->eds->productName(), it->eds->vendorName());
        tool.print(line);
        for (const PdoInfo &p : it->pdos) {
            QString l = QStringLiteral("      %1  COB-ID %2%3  type %4")
                            .arg(pdoName(p.index), hex32(quint32(p.cobId)),
                                (p.cobId & 0x80000000) ? QStringLiteral(" (disabled)") : QString(),
                                p.transmissionType >= 0 ? QString::number(p.transmissionType)
                                                        : QStringLiteral("-"));
            if (p.inhibit >= 0)
                l += QStringLiteral("  inhibit %1").arg(p.inhibit);
            if (p.eventTimer >= 0)
                l += QStringLiteral("  event %1 ms").arg(p.eventTimer);
            if (p.mappedCount >= 0) {
                QStringList m;
                for (qint64 e : p.mapping)
                    m << mappingText(e);
                l += QStringLiteral("  mapping")
                    + (m.isEmpty() ? QStringLiteral(" none") : QLatin1Char(' ') + m.join(QLatin1Char(' ')));
            }
            tool.print(l);
        }
    }
    tool.print(QStringLiteral("%1 node(s) found").arg(nodes.size()));
    return Exit_Ok;
}
