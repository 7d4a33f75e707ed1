// tarnwick nmt, sdo, monitor, sync.
#include "canopendatatype.h"
#include "emcyconsumer.h"
#include "nmtnetwork.h"
#include "nmtslave.h"
#include "sdoreader.h"
#include "sdovalue.h"
#include "sdoclient.h"
#include "syncproducer.h"
#include "tool.h"
#include "toolbus.h"

#include <QDateTime>
#include <QRegularExpression>

#include <limits>
#include <QFile>
#include <QSaveFile>

namespace {

int busResult(Tool &tool, CAN::RetType r, const QString &what)
{
    if (r == CAN::RetType_OK)
        return Exit_Ok;
    return tool.fail(Exit_Bus, QStringLiteral("%1: the bus refused the request (result %2)").arg(what).arg(int(r)));
}

bool parseNode(const QString &text, quint8 *node)
{
    quint64 v = 0;
    if (!parseNumber(text, 127, &v) || v == 0)
        return false;
    *node = quint8(v);
    return true;
}

/// INDEX[:SUB]
bool parseObject(const QString &text, quint16 *index, quint8 *sub)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    quint64 i = 0, s = 0;
    if (parts.size() > 2 || !parseNumber(parts.first(), 0xFFFF, &i))
        return false;
    if (parts.size() == 2 && !parseNumber(parts.at(1), 0xFF, &s))
        return false;
    *index = quint16(i);
    *sub = quint8(s);
    return true;
}

} // namespace

int cmdNmt(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("start, stop, preop, reset-node or reset-comm"));
    parser.addPositionalArgument(QStringLiteral("node"), QStringLiteral("node-ID 1..127, or all (default)"), QStringLiteral("[node]"));
    const int parsed = tool.parse(parser, QStringLiteral("nmt"), args, QStringLiteral("Sends an NMT command."));
    if (parsed >= 0)
        return parsed;
    const QStringList pos = parser.positionalArguments();
    if (pos.isEmpty() || pos.size() > 2)
        return tool.usage(QStringLiteral("nmt"), QStringLiteral("needs a command and optionally a node-ID"));
    static const QMap<QString, NmtCommands> commands = {
        {QStringLiteral("start"), NMT_Start},           {QStringLiteral("stop"), NMT_Stop},
        {QStringLiteral("preop"), NMT_PreOperational},  {QStringLiteral("reset-node"), NMT_ResetNode},
        {QStringLiteral("reset-comm"), NMT_ResetCommunication},
    };
    if (!commands.contains(pos.first()))
        return tool.usage(QStringLiteral("nmt"), QStringLiteral("unknown NMT command \"%1\"").arg(pos.first()));
    quint8 node = 0;
    const bool all = pos.size() == 1 || pos.at(1) == QLatin1String("all");
    if (!all && !parseNode(pos.at(1), &node))
        return tool.usage(QStringLiteral("nmt"), QStringLiteral("node-ID must be 1..127 or all, not \"%1\"").arg(pos.at(1)));
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    CAN::RetType r;
    if (all) {
        NMTNetwork network(tool.bus->scheduler());
        r = network.sendCommand(commands.value(pos.first()));
    } else {
        NMTSlave slave(node, tool.bus->scheduler(), nullptr);
        r = slave.sendCommand(commands.value(pos.first()));
    }
    if (r != CAN::RetType_OK)
        return busResult(tool, r, QStringLiteral("nmt"));
    tool.flush();
    if (tool.json)
        tool.printJson({{QStringLiteral("nmt"), pos.first()}, {QStringLiteral("node"), all ? 0 : node}});
    else
        tool.print(QStringLiteral("sent %1 to %2").arg(pos.first(), all ? QStringLiteral("all nodes") : QStringLiteral("node %1").arg(node)));
    return Exit_Ok;
}

int cmdSdo(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("SDO timeout in ms (default 1000)."), QStringLiteral("ms"));
    const QCommandLineOption block(QStringLiteral("block"), QStringLiteral(
        "Use CiA 301 block transfer for strings and domains (uploads; downloads of 29 bytes or more);\n"
        "with --usdo: USDO bulk download."));
    const QCommandLineOption usdo(QStringLiteral("usdo"), QStringLiteral("Use USDO (CANopen FD, needs --fd)."));
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("With --usdo: read from every node at once (broadcast); no NODE argument."));
    parser.addOption(timeout);
    parser.addOption(block);
    parser.addOption(usdo);
    parser.addOption(all);
    parser.addPositionalArgument(QStringLiteral("action"), QStringLiteral(
        "read NODE OBJECT TYPE | write NODE OBJECT TYPE VALUE |\n"
        "upload NODE OBJECT FILE | download NODE OBJECT FILE\n"
        "OBJECT: INDEX[:SUB], or with --eds an object's name (\"Object.Sub\" for a sub-index).\n"
        "With --eds, TYPE may be left out: the file's DataType is taken.\n"
        "TYPE: ") + typeNames() + QStringLiteral(". Numbers are decimal or 0x-hex; octets and domain values are hex bytes."));
    const int parsed = tool.parse(parser, QStringLiteral("sdo"), args,
                                  QStringLiteral("Reads and writes object-dictionary entries of a node by SDO."));
    if (parsed >= 0)
        return parsed;
    QStringList pos = parser.positionalArguments();
    const QString cmd = QStringLiteral("sdo");
    const bool useUsdo = parser.isSet(usdo);
    const bool broadcast = parser.isSet(all);
    if (useUsdo && !tool.fd)
        return tool.usage(cmd, QStringLiteral("--usdo needs CAN FD: tarnwick --fd sdo --usdo ..."));
    if (broadcast && (!useUsdo || pos.value(0) != QLatin1String("read")))
        return tool.usage(cmd, QStringLiteral("--all is a USDO broadcast read: sdo --usdo --all read INDEX[:SUB] TYPE"));
    if (broadcast)
        pos.insert(1, QStringLiteral("all"));
    if (pos.isEmpty())
        return tool.usage(cmd, QStringLiteral("needs an action: read, write, upload or download"));
    const QString action = pos.first();
    const int want = action == QLatin1String("read") ? 4 : action == QLatin1String("write") ? 5
                   : (action == QLatin1String("upload") || action == QLatin1String("download")) ? 4 : -1;
    if (want < 0)
        return tool.usage(cmd, QStringLiteral("unknown action \"%1\"").arg(action));
    const bool file = action == QLatin1String("upload") || action == QLatin1String("download");
    // Without a type, or with an object's name, the node's EDS/DCF file describes the object.
    const bool typeFromEds = !file && pos.size() == want - 1;
    if (pos.size() != want && !typeFromEds)
        return tool.usage(cmd, QStringLiteral("wrong number of arguments for %1").arg(action));
    quint8 node = 0;
    if (!broadcast && !parseNode(pos.at(1), &node))
        return tool.usage(cmd, QStringLiteral("node-ID must be 1..127, not \"%1\"").arg(pos.at(1)));
    quint16 index = 0;
    quint8 sub = 0;
    const bool byName = !parseObject(pos.at(2), &index, &sub);
    if ((byName || typeFromEds) && tool.eds.isEmpty())
        return tool.usage(cmd, byName ? QStringLiteral("bad object \"%1\": use INDEX[:SUB], e.g. 0x1018:1, or name it with --eds").arg(pos.at(2))
                                      : QStringLiteral("needs a data type (or the node's EDS file with --eds)"));
    CAN::CANopenDataType type = CAN::DOMAIN;
    QVariant value;
    if (!file && !typeFromEds && !parseType(pos.at(3), &type))
        return tool.usage(cmd, QStringLiteral("unknown data type \"%1\" (one of %2)").arg(pos.at(3), typeNames()));
    if (action == QLatin1String("write") && !typeFromEds && !parseValue(pos.at(4), type, &value))
        return tool.usage(cmd, QStringLiteral("\"%1\" is not a valid %2 value").arg(pos.at(4), pos.at(3)));
    quint64 timeoutMs = 1000;
    if (parser.isSet(timeout) && (!parseNumber(parser.value(timeout), 600000, &timeoutMs) || timeoutMs == 0))
        return tool.usage(cmd, QStringLiteral("--timeout needs a number of ms"));
    if (action == QLatin1String("download")) {
        QFile in(pos.at(3));
        if (!in.open(QIODevice::ReadOnly))
            return tool.fail(Exit_File, QStringLiteral("cannot read %1: %2").arg(pos.at(3), in.errorString()));
        value = in.readAll();
    }
    int code = 0;
    if (!tool.openBus(&code))
        return code;

    SDOClient sdo;
    sdo.setCanScheduler(tool.bus->scheduler());
    if (useUsdo)
        sdo.activateUSDO(true, 0x29); // the tool's own node-ID on the CANopen FD network
    sdo.setNodeId(node);
    sdo.setSdoTimeout(quint32(timeoutMs));
    if (byName || typeFromEds) {
        const EdsFile *eds = edsForNode(tool, sdo, node);
        if (!eds)
            return tool.fail(Exit_File, QStringLiteral("no EDS/DCF file matches node %1").arg(node));
        const EdsEntry *entry = byName ? eds->find(pos.at(2)) : eds->find(index, sub);
        if (!entry)
            return tool.fail(Exit_Usage, QStringLiteral("%1 has no object \"%2\"%3").arg(eds->fileName(), pos.at(2),
                                 byName ? QStringLiteral(" (or the name is ambiguous: use \"Object.Sub\")") : QString()));
        index = entry->index;
        sub = entry->sub;
        if (typeFromEds) {
            type = entry->type();
            if (action == QLatin1String("write") && !parseValue(pos.at(3), type, &value))
                return tool.usage(cmd, QStringLiteral("\"%1\" is not a valid %2 value").arg(pos.at(3), typeName(type)));
        }
    }
    if (parser.isSet(block))
        sdo.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    enum { Pending, Done, Error, OpError } state = Pending;
    QVariant result;
    quint32 abortCode = 0;
    CAN::RetType opError = CAN::RetType_OK;
    QObject::connect(&sdo, &SDOClient::resultReceived, [&](quint16, quint8, QVariant v) {
        result = v;
        state = Done;
    });
    QObject::connect(&sdo, &SDOClient::errorReceived, [&](quint16, quint8, quint32 c) {
        abortCode = c;
        state = Error;
    });
    QObject::connect(&sdo, &SDOClient::opError, [&](quint16, quint8, CAN::RetType r) {
        opError = r;
        state = OpError;
    });
    QObject::connect(&sdo, &SDOClient::progress, [&](quint8 percent) { tool.progress(action, percent); });
    QList<QPair<quint8, QVariant>> answers; // of a broadcast, in the order they came
    QObject::connect(&sdo, &SDOClient::broadcastResultReceived,
                     [&](quint8 from, quint16, quint8, QVariant v) { answers.append({from, v}); });
    QObject::connect(&sdo, &SDOClient::broadcastRequestFinished, [&] { state = Done; });
    auto abortText = [&](quint32 c) {
        return useUsdo ? QStringLiteral("0x%1 %2").arg(c & 0xFF, 2, 16, QLatin1Char('0')).arg(SDOClient::interpretUsdoAbort(c))
                       : QStringLiteral("0x%1 %2").arg(c, 8, 16, QLatin1Char('0')).arg(SDOClient::interpretSdoAbort(c));
    };
    const bool reading = action == QLatin1String("read") || action == QLatin1String("upload");
    const CAN::RetType r = reading ? sdo.read(index, sub, wireType(type)) : sdo.write(index, sub, wireType(type), value);
    if (r == CAN::RetType_InvalidRequest)
        return tool.usage(cmd, QStringLiteral("the value or type cannot be transferred"));
    if (r != CAN::RetType_OK)
        return busResult(tool, r, cmd);
    tool.waitUntil([&] { return state != Pending; }, int(timeoutMs) * 4 + 60000);
    tool.progress(QString(), 100);
    const QString object = QStringLiteral("0x%1:%2").arg(index, 4, 16, QLatin1Char('0')).arg(sub);
    switch (state) {
    case Pending:
        return tool.fail(Exit_NoAnswer, QStringLiteral("node %1 did not answer for %2").arg(node).arg(object));
    case OpError:
        return busResult(tool, opError == CAN::RetType_OK ? CAN::RetType_NoLink : opError, cmd);
    case Error:
        if (useUsdo) {
            if (tool.json)
                tool.printJson({{QStringLiteral("node"), node}, {QStringLiteral("object"), object},
                                {QStringLiteral("abort"), QStringLiteral("0x%1").arg(abortCode & 0xFF, 2, 16, QLatin1Char('0'))},
                                {QStringLiteral("text"), SDOClient::interpretUsdoAbort(abortCode)}});
            return tool.fail(abortCode == 0x12 ? Exit_NoAnswer : Exit_Aborted,
                             QStringLiteral("node %1 aborted %2: %3").arg(node).arg(object, abortText(abortCode)));
        }
        if (abortCode == 0x05040000)
            return tool.fail(Exit_NoAnswer, QStringLiteral("node %1 did not answer for %2 (abort 0x05040000: %3)")
                                                .arg(node).arg(object, SDOClient::interpretSdoAbort(abortCode)));
        if (tool.json)
            tool.printJson({{QStringLiteral("node"), node}, {QStringLiteral("object"), object},
                            {QStringLiteral("abort"), QStringLiteral("0x%1").arg(abortCode, 8, 16, QLatin1Char('0'))},
                            {QStringLiteral("text"), SDOClient::interpretSdoAbort(abortCode)}});
        return tool.fail(Exit_Aborted, QStringLiteral("node %1 aborted %2: 0x%3 %4").arg(node).arg(object)
                                           .arg(abortCode, 8, 16, QLatin1Char('0')).arg(SDOClient::interpretSdoAbort(abortCode)));
    case Done:
        break;
    }
    if (action == QLatin1String("upload")) {
        QSaveFile out(pos.at(3));
        if (!out.open(QIODevice::WriteOnly) || out.write(result.toByteArray()) < 0 || !out.commit())
            return tool.fail(Exit_File, QStringLiteral("cannot write %1: %2").arg(pos.at(3), out.errorString()));
    }
    if (broadcast) {
        for (const auto &a : qAsConst(answers)) {
            if (tool.json)
                tool.printJson({{QStringLiteral("node"), a.first}, {QStringLiteral("object"), object},
                                {QStringLiteral("value"), formatValue(a.second, type)}});
            else
                tool.print(QStringLiteral("node %1: %2").arg(a.first).arg(formatValue(a.second, type)));
        }
        if (!tool.json)
            tool.print(QStringLiteral("%1 node(s) answered").arg(answers.size()));
        return Exit_Ok;
    }
    if (tool.json) {
        QJsonObject o{{QStringLiteral("node"), node}, {QStringLiteral("object"), object}};
        if (action == QLatin1String("read"))
            o.insert(QStringLiteral("value"), formatValue(result, type));
        else if (file)
            o.insert(QStringLiteral("bytes"), (action == QLatin1String("upload") ? result : value).toByteArray().size());
        tool.printJson(o);
    } else if (action == QLatin1String("read")) {
        tool.print(formatValue(result, type));
    } else if (file) {
        tool.print(QStringLiteral("%1 bytes %2").arg((action == QLatin1String("upload") ? result : value).toByteArray().size())
                       .arg(action == QLatin1String("upload") ? "uploaded" : "downloaded"));
    } else {
        tool.print(QStringLiteral("written"));
    }
    return Exit_Ok;
}

int cmdMonitor(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption duration(QStringLiteral("duration"), QStringLiteral("Stop after ms (default: run until Ctrl-C)."), QStringLiteral("ms"));
    const QCommandLineOption heartbeat(QStringLiteral("heartbeat"), QStringLiteral("Heartbeat consumer time in ms (default 2500)."), QStringLiteral("ms"));
    const QCommandLineOption nodesOpt(QStringLiteral("nodes"), QStringLiteral("Comma-separated node-IDs (default 1..127)."), QStringLiteral("list"));
    parser.addOption(duration);
    parser.addOption(heartbeat);
    parser.addOption(nodesOpt);
    const int parsed = tool.parse(parser, QStringLiteral("monitor"), args,
                                  QStringLiteral("Shows NMT states, heartbeat judgements and EMCY messages as they arrive."));
    if (parsed >= 0)
        return parsed;
    quint64 durationMs = 0, heartbeatMs = 2500;
    if (parser.isSet(duration) && !parseNumber(parser.value(duration), 1u << 31, &durationMs))
        return tool.usage(QStringLiteral("monitor"), QStringLiteral("--duration needs a number of ms"));
    if (parser.isSet(heartbeat) && (!parseNumber(parser.value(heartbeat), 65535, &heartbeatMs) || heartbeatMs == 0))
        return tool.usage(QStringLiteral("monitor"), QStringLiteral("--heartbeat needs 1..65535 ms"));
    QList<quint8> nodeIds;
    if (parser.isSet(nodesOpt)) {
        for (const QString &n : parser.value(nodesOpt).split(QLatin1Char(','))) {
            quint8 id = 0;
            if (!parseNode(n.trimmed(), &id))
                return tool.usage(QStringLiteral("monitor"), QStringLiteral("node-ID must be 1..127, not \"%1\"").arg(n));
            nodeIds << id;
        }
    } else {
        for (int i = 1; i <= 127; ++i)
            nodeIds << quint8(i);
    }
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    auto stamp = [] { return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")); };
    QList<NMTSlave *> slaves;
    QList<EMCYConsumer *> emcys;
    QObject owner;
    for (quint8 id : nodeIds) {
        auto *slave = new NMTSlave(id, tool.bus->scheduler(), &owner);
        slave->startHeartbeatMonitoring(quint16(heartbeatMs));
        QObject::connect(slave, &NMTSlave::NodeStateChanged, [&tool, id, stamp](NMTSlave::NmtState s) {
            static const char *names[] = {"unknown", "boot-up", "pre-operational", "operational", "stopped"};
            const QString name = QLatin1String(names[qBound(0, int(s), 4)]);
            if (tool.json)
                tool.printJson({{QStringLiteral("time"), stamp()}, {QStringLiteral("node"), id}, {QStringLiteral("nmtState"), name}});
            else
                tool.print(QStringLiteral("%1  node %2  NMT %3").arg(stamp()).arg(id, 3).arg(name));
        });
        QObject::connect(slave, &NMTSlave::HeartbeatGuardingStateChanged, [&tool, id, stamp](NMTSlave::HeartbeatGuardingState s) {
            // Boot-up and new-state reports duplicate the NMT line.
            if (s == NMTSlave::HeartbeatGuardingState_BootUp || s == NMTSlave::HeartbeatGuardingState_NewState)
                return;
            if (tool.json)
                tool.printJson({{QStringLiteral("time"), stamp()}, {QStringLiteral("node"), id},
                                {QStringLiteral("connection"), NMTSlave::stateToString(s)}});
            else
                tool.print(QStringLiteral("%1  node %2  %3").arg(stamp()).arg(id, 3).arg(NMTSlave::stateToString(s)));
        });
        slaves << slave;
        auto *emcy = new EMCYConsumer(0x80u + id, tool.bus->scheduler(), &owner);
        QObject::connect(emcy, &EMCYConsumer::newEmcyData, [&tool, id, stamp](EMCYConsumer::EMCYData d) {
            const QString codeText = QStringLiteral("0x%1").arg(d.errorCode, 4, 16, QLatin1Char('0'));
            const QString reg = QStringLiteral("0x%1").arg(d.errorRegister, 2, 16, QLatin1Char('0'));
            const QString data = QString::fromLatin1(
                QByteArray(reinterpret_cast<const char *>(d.manufacturerData), 5).toHex(' '));
            if (tool.json)
                tool.printJson({{QStringLiteral("time"), stamp()}, {QStringLiteral("node"), id}, {QStringLiteral("emcy"), codeText},
                                {QStringLiteral("errorRegister"), reg}, {QStringLiteral("data"), data}});
            else
                tool.print(QStringLiteral("%1  node %2  EMCY %3 register %4 data %5").arg(stamp()).arg(id, 3).arg(codeText, reg, data));
        });
        emcys << emcy;
    }
    bool stop = false;
    tool.waitUntil([&] { return stop; }, durationMs > 0 ? int(durationMs) : std::numeric_limits<int>::max());
    return Exit_Ok;
}

int cmdSync(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption period(QStringLiteral("period"), QStringLiteral("Period in ms; without it single SYNCs are sent."), QStringLiteral("ms"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Number of SYNCs (default 1; with --period: until Ctrl-C)."), QStringLiteral("n"));
    const QCommandLineOption counter(QStringLiteral("counter"), QStringLiteral("Carry a counter that overflows at n (2..240)."), QStringLiteral("n"));
    const QCommandLineOption cob(QStringLiteral("cob-id"), QStringLiteral("COB-ID (default 0x80)."), QStringLiteral("id"));
    parser.addOption(period);
    parser.addOption(count);
    parser.addOption(counter);
    parser.addOption(cob);
    const int parsed = tool.parse(parser, QStringLiteral("sync"), args, QStringLiteral("Produces SYNC messages."));
    if (parsed >= 0)
        return parsed;
    quint64 periodMs = 0, n = 0, overflow = 0, cobId = 0x80;
    const QString cmd = QStringLiteral("sync");
    if (parser.isSet(period) && (!parseNumber(parser.value(period), 4000000, &periodMs) || periodMs == 0))
        return tool.usage(cmd, QStringLiteral("--period needs a number of ms"));
    if (parser.isSet(count) && (!parseNumber(parser.value(count), 1u << 30, &n) || n == 0))
        return tool.usage(cmd, QStringLiteral("--count needs a positive number"));
    if (parser.isSet(counter) && (!parseNumber(parser.value(counter), 240, &overflow) || overflow < 2))
        return tool.usage(cmd, QStringLiteral("--counter needs 2..240"));
    if (parser.isSet(cob) && !parseNumber(parser.value(cob), 0x7FF, &cobId))
        return tool.usage(cmd, QStringLiteral("--cob-id needs an 11-bit identifier"));
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    SYNCProducer producer(quint32(cobId), tool.bus->scheduler(), nullptr);
    producer.setSyncCounter(quint8(overflow));
    producer.setCanScheduler(tool.bus->scheduler());
    quint64 sent = 0;
    QObject::connect(&producer, &SYNCProducer::syncEvent, [&] { ++sent; });
    if (periodMs == 0) {
        for (quint64 i = 0; i < qMax<quint64>(n, 1); ++i) {
            const CAN::RetType r = producer.oneSync();
            if (r != CAN::RetType_OK)
                return busResult(tool, r, cmd);
        }
    } else {
        producer.setSyncInterval(quint32(periodMs * 1000));
        const CAN::RetType r = producer.start();
        if (r != CAN::RetType_OK)
            return busResult(tool, r, cmd);
        if (n > 0)
            tool.waitUntil([] { return false; }, int(qMin<quint64>(periodMs * n + periodMs / 2, 1u << 30)));
        else
            tool.waitUntil([] { return false; }, std::numeric_limits<int>::max());
        producer.stop();
    }
    tool.flush();
    if (tool.json)
        tool.printJson({{QStringLiteral("sync"), QStringLiteral("0x%1").arg(cobId, 0, 16)}});
    else
        tool.print(QStringLiteral("SYNC on 0x%1 sent").arg(cobId, 0, 16));
    return Exit_Ok;
}
