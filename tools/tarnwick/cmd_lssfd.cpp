// tarnwick --fd lss: layer setting services for CANopen FD devices, and the LSS FD scan.
#include "canscheduler.h"
#include "cansender.h"
#include "lssfd_manager.h"
#include "tool.h"
#include "toolbus.h"

#include <QJsonArray>

namespace {

using M = LSSFD_Manager;

struct Outcome
{
    bool done = false;
    M::LssfdResult result = M::LssfdResult_Timeout;
    QVariant value;
    CAN::RetType sent = CAN::RetType_OK;
};

/// Sends one request and waits for its result.
Outcome run(
    Tool &tool, M &manager, M::LssAction action, const std::function<CAN::RetType()> &request, int waitMs)
{
    Outcome o;
    QMetaObject::Connection c
        = QObject::connect(&manager, &M::lssfdResult, [&](M::LssAction a, M::LssfdResult r, QVariant v) {
              if (a != action || o.done)
                  return;
              o.done = true;
              o.result = r;
              o.value = v;
          });
    o.sent = request();
    if (o.sent == CAN::RetType_OK)
        tool.waitUntil([&] { return o.done; }, waitMs);
    QObject::disconnect(c);
    return o;
}

int report(Tool &tool, const QString &what, const Outcome &o)
{
    if (o.sent != CAN::RetType_OK)
        return tool.fail(Exit_Bus,
            QStringLiteral("lss %1: the bus refused the request (result %2)").arg(what).arg(int(o.sent)));
    if (!o.done || o.result == M::LssfdResult_Timeout)
        return tool.fail(Exit_NoAnswer, QStringLiteral("lss %1: no LSS FD device answered").arg(what));
    if (o.result == M::LssfdResult_Error)
        return tool.fail(Exit_Aborted,
            QStringLiteral("lss %1: the device answered with error %2").arg(what, o.value.toString()));
    return Exit_Ok;
}

/// Switch state global has no answer: send it and let the frame leave.
CAN::RetType switchGlobal(Tool &tool, M &manager, M::LssGlobalState state)
{
    const CAN::RetType r = manager.switchModeGlobal(state, M::FDProtocolVersion_FD);
    tool.flush();
    return r;
}

/// Configures node-ID and network-ID of the device(s) in the configuration state, stores
/// them and switches back to waiting; a device without node-ID then boots with the new one,
/// which the boot-up message (0x700 + node-ID) shows.
int configureAndStore(Tool &tool, M &manager, quint8 node, quint8 network, int waitMs, bool *booted)
{
    Outcome o = run(
        tool, manager, M::LssAction_ConfigureNodeIdAndNetworkId,
        [&] { return manager.configureNodeIdAndNetworkId(node, network); }, waitMs);
    if (const int r = report(tool, QStringLiteral("configure node-ID"), o))
        return r;
    o = run(
        tool, manager, M::LssAction_StoreConfiguration, [&] { return manager.storeConfiguration(); }, waitMs);
    if (const int r = report(tool, QStringLiteral("store"), o))
        return r;
    CanScheduler *scheduler = tool.bus->scheduler();
    QPointer<CanSender> bootUp = scheduler->registerCanId(0x700u + node);
    QObject receiver;
    *booted = false;
    QObject::connect(bootUp, &CanSender::received, &receiver, [booted](const CAN::CanRxMessage &m) {
        if (m.length == 1 && m.data[0] == 0)
            *booted = true;
    });
    const CAN::RetType sent = switchGlobal(tool, manager, M::LssGlobalState_Waiting);
    if (sent == CAN::RetType_OK)
        tool.waitUntil([booted] { return *booted; }, 300);
    scheduler->unregisterCan(bootUp, &receiver);
    if (sent != CAN::RetType_OK)
        return tool.fail(
            Exit_Bus, QStringLiteral("lss switch: the bus refused the request (result %1)").arg(int(sent)));
    return Exit_Ok;
}

} // namespace

int cmdLssFd(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption timeout(QStringLiteral("timeout"),
        QStringLiteral("Answer time-out in ms (default 500)."), QStringLiteral("ms"));
    const QCommandLineOption window(QStringLiteral("window"),
        QStringLiteral("FD scan window per step in ms, 1..99 (default 10)."), QStringLiteral("ms"));
    const QCommandLineOption all(
        QStringLiteral("all"), QStringLiteral("FD scan every waiting device, not only non-configured ones."));
    const QCommandLineOption network(QStringLiteral("network"),
        QStringLiteral("Network-ID to configure with a node-ID, 1..127 (default 1)."), QStringLiteral("id"));
    parser.addOptions({ timeout, window, all, network });
    parser.addPositionalArgument(QStringLiteral("action"),
        QStringLiteral(
            "fd-scan [NODE] | switch waiting|configuration|2|3 | switch VENDOR PRODUCT REVISION SERIAL |\n"
            "configure VENDOR PRODUCT REVISION SERIAL NODE | configure NODE | store | inquire |\n"
            "identify | bit-timing TABLE INDEX | activate-bit-timing DELAY_MS\n"
            "fd-scan finds one device by the LSS FD scan; with NODE it also gives it that node-ID,\n"
            "stores it and lets the device start with it.\n"
            "switch selects one device by its address (or switches all devices).\n"
            "configure NODE sets the node-ID of the device(s) in the configuration state.\n"
            "inquire shows the node-ID and LSS address of the devices' first answer."));
    const int parsed = tool.parse(parser, QStringLiteral("lss"), args,
        QStringLiteral("Layer setting services for CANopen FD devices (--fd)."));
    if (parsed >= 0)
        return parsed;
    const QString cmd = QStringLiteral("lss");
    const QStringList pos = parser.positionalArguments();
    if (pos.isEmpty())
        return tool.usage(cmd, QStringLiteral("needs an action"));
    const QString action = pos.first();
    quint64 timeoutMs = 500, windowMs = 10, networkId = 1;
    if (parser.isSet(timeout) && (!parseNumber(parser.value(timeout), 60000, &timeoutMs) || timeoutMs == 0))
        return tool.usage(cmd, QStringLiteral("--timeout needs 1..60000 ms"));
    if (parser.isSet(window) && (!parseNumber(parser.value(window), 99, &windowMs) || windowMs == 0))
        return tool.usage(cmd, QStringLiteral("--window needs 1..99 ms"));
    if (parser.isSet(network) && (!parseNumber(parser.value(network), 127, &networkId) || networkId == 0))
        return tool.usage(cmd, QStringLiteral("--network needs 1..127"));

    quint32 identity[4] = {};
    quint64 node = 0, a = 0, b = 0;
    int state = -1;
    const auto isNode = [](const QString &text, quint64 *v) { return parseNumber(text, 127, v) && *v > 0; };
    if (action == QLatin1String("store") || action == QLatin1String("inquire")
        || action == QLatin1String("identify")) {
        if (pos.size() != 1)
            return tool.usage(cmd, QStringLiteral("%1 takes no arguments").arg(action));
    } else if (action == QLatin1String("fd-scan")) {
        if (pos.size() > 2 || (pos.size() == 2 && !isNode(pos.at(1), &node)))
            return tool.usage(cmd, QStringLiteral("fd-scan takes an optional node-ID 1..127"));
    } else if (action == QLatin1String("switch")) {
        const QStringList names { QStringLiteral("waiting"), QStringLiteral("configuration"),
            QStringLiteral("2"), QStringLiteral("3") };
        if (pos.size() == 2)
            state = int(names.indexOf(pos.at(1)));
        if (state < 0 && (pos.size() != 5 || !parseIdentity(pos, 1, identity)))
            return tool.usage(cmd,
                QStringLiteral("switch needs waiting|configuration|2|3, or VENDOR PRODUCT REVISION SERIAL"));
    } else if (action == QLatin1String("configure")) {
        const bool byAddress = pos.size() == 6 && parseIdentity(pos, 1, identity) && isNode(pos.at(5), &node);
        if (!byAddress && !(pos.size() == 2 && isNode(pos.at(1), &node)))
            return tool.usage(cmd, QStringLiteral("configure needs [VENDOR PRODUCT REVISION SERIAL] NODE"));
    } else if (action == QLatin1String("bit-timing")) {
        if (pos.size() != 3 || !parseNumber(pos.at(1), 255, &a) || !parseNumber(pos.at(2), 255, &b))
            return tool.usage(cmd, QStringLiteral("bit-timing needs TABLE INDEX (0..255 each)"));
    } else if (action == QLatin1String("activate-bit-timing")) {
        if (pos.size() != 2 || !parseNumber(pos.at(1), 65535, &a))
            return tool.usage(cmd, QStringLiteral("activate-bit-timing needs a switch delay in ms"));
    } else if (action == QLatin1String("fastscan") || action == QLatin1String("scan")) {
        return tool.usage(
            cmd, QStringLiteral("%1 is a classic LSS service; with --fd use fd-scan").arg(action));
    } else {
        return tool.usage(cmd, QStringLiteral("unknown action \"%1\"").arg(action));
    }

    // LSS FD lives in CAN FD frames; a CiA 309 gateway offers none of its services.
    if (tool.gatewayBus())
        return tool.notOverGateway(QStringLiteral("lss ") + action);
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    M manager(tool.bus->scheduler());
    manager.setTimeout(quint16(timeoutMs));
    const int waitMs = int(timeoutMs) + 1000;
    Outcome o;

    if (action == QLatin1String("fd-scan")) {
        const M::FDScanMode mode = parser.isSet(all) ? M::FDScanMode_AllDevices : M::FDScanMode_NonConfigured;
        o = run(
            tool, manager, M::LssAction_FdScan, [&] { return manager.fdScan(mode, quint8(windowMs)); },
            33 * int(windowMs) + 2000);
        if (const int r = report(tool, action, o))
            return r;
        const QVariantList found = o.value.toList();
        for (int i = 0; i < 4; ++i)
            identity[i] = found.value(i).toUInt();
        bool booted = false;
        if (node) {
            if (const int r
                = configureAndStore(tool, manager, quint8(node), quint8(networkId), waitMs, &booted))
                return r;
        }
        if (tool.json) {
            QJsonObject j = identityJson(identity);
            if (node) {
                j.insert(QStringLiteral("nodeId"), int(node));
                j.insert(QStringLiteral("networkId"), int(networkId));
                j.insert(QStringLiteral("booted"), booted);
            }
            tool.printJson(j);
        } else {
            tool.print(QStringLiteral("found ") + identityText(identity));
            if (node)
                tool.print(QStringLiteral("node-ID %1 (network %2) configured and stored%3")
                               .arg(node)
                               .arg(networkId)
                               .arg(booted ? QStringLiteral("; the device started with it") : QString()));
        }
        return Exit_Ok;
    }
    if (action == QLatin1String("switch")) {
        if (state >= 0) {
            o.sent = switchGlobal(tool, manager, M::LssGlobalState(state));
            if (o.sent != CAN::RetType_OK)
                return report(tool, action, o);
            tool.print(QStringLiteral("switched every device to state %1").arg(pos.at(1)));
            return Exit_Ok;
        }
        o = run(
            tool, manager, M::LssAction_SwitchModeSelective,
            [&] {
                return manager.switchModeSelective(true, identity[0], identity[1], identity[2], identity[3],
                    quint8(qMin<quint64>(timeoutMs, 255)), 0x0F);
            },
            waitMs);
        if (const int r = report(tool, action, o))
            return r;
        tool.print(QStringLiteral("selected ") + identityText(identity));
        return Exit_Ok;
    }
    if (action == QLatin1String("configure")) {
        if (pos.size() == 6) {
            o = run(
                tool, manager, M::LssAction_SwitchModeSelective,
                [&] {
                    return manager.switchModeSelective(true, identity[0], identity[1], identity[2],
                        identity[3], quint8(qMin<quint64>(timeoutMs, 255)), 0x0F);
                },
                waitMs);
            if (const int r = report(tool, QStringLiteral("switch"), o))
                return r;
        }
        bool booted = false;
        if (const int r = configureAndStore(tool, manager, quint8(node), quint8(networkId), waitMs, &booted))
            return r;
        tool.json
            ? tool.printJson({ { QStringLiteral("nodeId"), int(node) },
                { QStringLiteral("networkId"), int(networkId) }, { QStringLiteral("booted"), booted } })
            : tool.print(
                QStringLiteral("node-ID %1 (network %2) configured and stored").arg(node).arg(networkId));
        return Exit_Ok;
    }
    if (action == QLatin1String("store")) {
        o = run(
            tool, manager, M::LssAction_StoreConfiguration, [&] { return manager.storeConfiguration(); },
            waitMs);
        if (const int r = report(tool, action, o))
            return r;
        tool.print(QStringLiteral("configuration stored"));
        return Exit_Ok;
    }
    if (action == QLatin1String("inquire")) {
        o.sent = switchGlobal(tool, manager, M::LssGlobalState_Configuration);
        if (o.sent != CAN::RetType_OK)
            return report(tool, action, o);
        o = run(
            tool, manager, M::LssAction_InquireNodeId, [&] { return manager.inquireNodeId(); }, waitMs);
        Outcome address;
        if (o.done && o.result == M::LssfdResult_Success)
            address = run(
                tool, manager, M::LssAction_InquireLssAddress, [&] { return manager.inquireLssAddress(); },
                waitMs);
        switchGlobal(tool, manager, M::LssGlobalState_Waiting);
        if (const int r = report(tool, action, o))
            return r;
        const QVariantList ids = o.value.toList();
        const QVariantList addr = address.value.toList();
        for (int i = 0; i < 4; ++i)
            identity[i] = addr.value(i).toUInt();
        if (tool.json) {
            QJsonObject j { { QStringLiteral("nodeId"), ids.value(0).toInt() },
                { QStringLiteral("networkId"), ids.value(1).toInt() },
                { QStringLiteral("pendingNodeId"), ids.value(2).toInt() },
                { QStringLiteral("pendingNetworkId"), ids.value(3).toInt() } };
            if (address.done && address.result == M::LssfdResult_Success) {
                const QJsonObject id = identityJson(identity);
                for (auto it = id.constBegin(); it != id.constEnd(); ++it)
                    j.insert(it.key(), it.value());
            }
            tool.printJson(j);
        } else {
            tool.print(QStringLiteral("node-ID %1 network %2 (pending: node-ID %3 network %4)")
                           .arg(ids.value(0).toInt())
                           .arg(ids.value(1).toInt())
                           .arg(ids.value(2).toInt())
                           .arg(ids.value(3).toInt()));
            if (address.done && address.result == M::LssfdResult_Success)
                tool.print(identityText(identity));
        }
        return Exit_Ok;
    }
    if (action == QLatin1String("identify")) {
        o = run(
            tool, manager, M::LssAction_IdentifyNonConfigSlaves,
            [&] { return manager.identifyNonConfigSlaves(); }, waitMs);
        if (o.sent != CAN::RetType_OK)
            return report(tool, action, o);
        const bool present = o.done && o.result == M::LssfdResult_Success;
        tool.json ? tool.printJson({ { QStringLiteral("nonConfiguredSlaves"), present } })
                  : tool.print(present ? QStringLiteral("non-configured devices present")
                                       : QStringLiteral("no non-configured device answered"));
        return Exit_Ok;
    }
    if (action == QLatin1String("bit-timing")) {
        o = run(
            tool, manager, M::LssAction_ConfigureBitTiming,
            [&] { return manager.configureBitTiming(quint8(a), quint8(b)); }, waitMs);
        if (const int r = report(tool, action, o))
            return r;
        tool.print(QStringLiteral("bit timing %1/%2 configured").arg(a).arg(b));
        return Exit_Ok;
    }
    // activate-bit-timing: no device answers.
    o.sent = manager.activateBitTiming(quint16(a));
    tool.flush();
    if (o.sent != CAN::RetType_OK)
        return report(tool, action, o);
    tool.print(QStringLiteral("bit timing activation sent"));
    return Exit_Ok;
}
