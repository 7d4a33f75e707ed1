// tarnwick lss: configure devices by LSS (CiA 305).
#include "lssmaster.h"
#include "tool.h"
#include "toolbus.h"

#include <QJsonArray>

namespace {

struct Outcome
{
    bool done = false;
    LSSMaster::LssResult result = LSSMaster::LssResult_Timeout;
    QVariant value;
};

/// Sends one request and waits for its result.
Outcome run(Tool &tool, LSSMaster &master, LSSMaster::LssAction action,
    const std::function<CAN::RetType()> &request, CAN::RetType *sendResult)
{
    Outcome o;
    QMetaObject::Connection c = QObject::connect(
        &master, &LSSMaster::lssResult, [&](LSSMaster::LssAction a, LSSMaster::LssResult r, QVariant v) {
            if (a != action || o.done)
                return;
            o.done = true;
            o.result = r;
            o.value = v;
        });
    *sendResult = request();
    if (tool.bus->isGateway()) {
        // Through a gateway the request returns only after the gateway's answer.
        o.done = *sendResult == CAN::RetType_OK;
        o.result = LSSMaster::LssResult_Success;
    } else if (*sendResult == CAN::RetType_OK)
        // A fastscan takes up to 4 x 33 steps of the scan time-out.
        tool.waitUntil(
            [&] { return o.done; }, 140 * qMax(master.getTimeout(), master.getScanTimeout()) + 2000);
    QObject::disconnect(c);
    return o;
}

/// Switch mode global has no answer: send it and let the frame leave.
CAN::RetType switchGlobal(Tool &tool, LSSMaster &master, LSSMaster::LssGlobalState state)
{
    const CAN::RetType r = master.switchModeGlobal(state);
    tool.flush();
    return r;
}

int report(Tool &tool, const QString &what, const Outcome &o, CAN::RetType sent)
{
    if (sent == CAN::RetType_NoLink && tool.bus->isGateway())
        return tool.fail(Exit_Failure,
            QStringLiteral("lss %1: the gateway answered with an error or not within a second").arg(what));
    if (sent != CAN::RetType_OK)
        return tool.fail(Exit_Bus,
            QStringLiteral("lss %1: the bus refused the request (result %2)").arg(what).arg(int(sent)));
    if (!o.done || o.result == LSSMaster::LssResult_Timeout)
        return tool.fail(Exit_NoAnswer, QStringLiteral("lss %1: no LSS slave answered").arg(what));
    if (o.result == LSSMaster::LssResult_Error)
        return tool.fail(Exit_Aborted,
            QStringLiteral("lss %1: the slave answered with error %2").arg(what, o.value.toString()));
    return Exit_Ok;
}

} // namespace

int cmdLss(Tool &tool, const QStringList &args)
{
    if (tool.fd)
        return cmdLssFd(tool, args);
    QCommandLineParser parser;
    const QCommandLineOption timeout(QStringLiteral("timeout"),
        QStringLiteral("Answer time-out in ms (default 500)."), QStringLiteral("ms"));
    parser.addOption(timeout);
    parser.addPositionalArgument(QStringLiteral("action"),
        QStringLiteral(
            "identify | fastscan [NODE] | inquire | configure VENDOR PRODUCT REVISION SERIAL NODE |\n"
            "scan VENDOR PRODUCT | bit-timing TABLE INDEX | activate-bit-timing DELAY_MS\n"
            "fastscan finds one unconfigured device; with NODE it also gives it that node-ID and stores it.\n"
            "configure addresses one device by its identity, sets and stores its node-ID.\n"
            "scan lists every device of a vendor and product."));
    const int parsed = tool.parse(
        parser, QStringLiteral("lss"), args, QStringLiteral("Layer setting services (CiA 305)."));
    if (parsed >= 0)
        return parsed;
    const QString cmd = QStringLiteral("lss");
    const QStringList pos = parser.positionalArguments();
    if (pos.isEmpty())
        return tool.usage(cmd, QStringLiteral("needs an action"));
    const QString action = pos.first();
    quint64 timeoutMs = 0;
    if (parser.isSet(timeout) && (!parseNumber(parser.value(timeout), 60000, &timeoutMs) || timeoutMs == 0))
        return tool.usage(cmd, QStringLiteral("--timeout needs 1..60000 ms"));
    quint32 identity[4] = {};
    quint64 node = 0, a = 0, b = 0;
    if (action == QLatin1String("identify") || action == QLatin1String("inquire")) {
        if (pos.size() != 1)
            return tool.usage(cmd, QStringLiteral("%1 takes no arguments").arg(action));
    } else if (action == QLatin1String("fastscan")) {
        if (pos.size() > 2 || (pos.size() == 2 && (!parseNumber(pos.at(1), 127, &node) || node == 0)))
            return tool.usage(cmd, QStringLiteral("fastscan takes an optional node-ID 1..127"));
    } else if (action == QLatin1String("configure")) {
        if (pos.size() != 6 || !parseIdentity(pos, 1, identity) || !parseNumber(pos.at(5), 127, &node)
            || node == 0)
            return tool.usage(cmd, QStringLiteral("configure needs VENDOR PRODUCT REVISION SERIAL NODE"));
    } else if (action == QLatin1String("scan")) {
        if (pos.size() != 3 || !parseNumber(pos.at(1), 0xFFFFFFFFu, &a)
            || !parseNumber(pos.at(2), 0xFFFFFFFFu, &b))
            return tool.usage(cmd, QStringLiteral("scan needs VENDOR PRODUCT"));
    } else if (action == QLatin1String("bit-timing")) {
        if (pos.size() != 3 || !parseNumber(pos.at(1), 255, &a) || !parseNumber(pos.at(2), 255, &b))
            return tool.usage(cmd, QStringLiteral("bit-timing needs TABLE INDEX (0..255 each)"));
    } else if (action == QLatin1String("activate-bit-timing")) {
        if (pos.size() != 2 || !parseNumber(pos.at(1), 65535, &a))
            return tool.usage(cmd, QStringLiteral("activate-bit-timing needs a switch delay in ms"));
    } else {
        return tool.usage(cmd, QStringLiteral("unknown action \"%1\"").arg(action));
    }
    // A gateway only passes on what it is told and reports no slave's answer: searches and
    // inquiries need the LSS frames themselves.
    if (tool.gatewayBus()
        && (action == QLatin1String("fastscan") || action == QLatin1String("scan")
            || action == QLatin1String("identify") || action == QLatin1String("inquire")))
        return tool.notOverGateway(QStringLiteral("lss ") + action);
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    LSSMaster master(tool.bus->scheduler());
    if (timeoutMs)
        master.setTimeout(quint16(timeoutMs));
    // Every action selects the slaves it needs; whatever happens, the network is left in the
    // LSS waiting state at the end. A request still running (one whose wait was cut short)
    // keeps the master busy for a while.
    struct LeaveWaiting
    {
        Tool &tool;
        LSSMaster &master;
        ~LeaveWaiting()
        {
            tool.waitUntil(
                [this] {
                    return switchGlobal(tool, master, LSSMaster::LssGlobalState_Waiting) != CAN::RetType_Busy;
                },
                2 * master.getTimeout() + 100);
        }
    } leaveWaiting { tool, master };
    CAN::RetType sent = CAN::RetType_OK;
    Outcome o;

    if (action == QLatin1String("identify")) {
        int answers = 0;
        QObject::connect(
            &master, &LSSMaster::lssResult, [&](LSSMaster::LssAction act, LSSMaster::LssResult r) {
                if (act == LSSMaster::LssAction_IdentifyNonConfigSlaves && r == LSSMaster::LssResult_Success)
                    ++answers;
            });
        sent = master.identifyNonConfigSlaves();
        if (sent != CAN::RetType_OK)
            return report(tool, action, o, sent);
        tool.waitUntil([] { return false; }, master.getTimeout());
        if (tool.json)
            tool.printJson({ { QStringLiteral("nonConfiguredSlaves"), answers > 0 } });
        else
            tool.print(answers > 0 ? QStringLiteral("non-configured slaves present")
                                   : QStringLiteral("no non-configured slave answered"));
        return Exit_Ok;
    }
    if (action == QLatin1String("inquire")) {
        sent = switchGlobal(tool, master, LSSMaster::LssGlobalState_Configuration);
        if (sent != CAN::RetType_OK)
            return report(tool, action, o, sent);
        o = run(
            tool, master, LSSMaster::LssAction_InquireNodeId, [&] { return master.inquireNodeId(); }, &sent);
        if (const int r = report(tool, action, o, sent))
            return r;
        tool.json ? tool.printJson({ { QStringLiteral("nodeId"), o.value.toInt() } })
                  : tool.print(QStringLiteral("node-ID %1").arg(o.value.toInt()));
        return Exit_Ok;
    }
    if (action == QLatin1String("fastscan")) {
        o = run(
            tool, master, LSSMaster::LssAction_FastScan, [&] { return master.fastScan(0, 0, 0, 0, false); },
            &sent);
        if (const int r = report(tool, action, o, sent))
            return r;
        master.getFastScanValues(&identity[0], &identity[1], &identity[2], &identity[3]);
        if (node) {
            o = run(
                tool, master, LSSMaster::LssAction_ConfigureNodeId,
                [&] { return master.configureNodeId(quint8(node)); }, &sent);
            if (const int r = report(tool, QStringLiteral("configure node-ID"), o, sent))
                return r;
            o = run(
                tool, master, LSSMaster::LssAction_StoreConfiguration,
                [&] { return master.storeConfiguration(); }, &sent);
            if (const int r = report(tool, QStringLiteral("store"), o, sent))
                return r;
        }
        if (tool.json) {
            QJsonObject j = identityJson(identity);
            if (node)
                j.insert(QStringLiteral("nodeId"), int(node));
            tool.printJson(j);
        } else {
            tool.print(QStringLiteral("found ") + identityText(identity));
            if (node)
                tool.print(QStringLiteral("node-ID %1 configured and stored").arg(node));
        }
        return Exit_Ok;
    }
    if (action == QLatin1String("configure")) {
        o = run(
            tool, master, LSSMaster::LssAction_SwitchModeSelective,
            [&] { return master.switchModeSelective(identity[0], identity[1], identity[2], identity[3]); },
            &sent);
        if (const int r = report(tool, QStringLiteral("switch selective"), o, sent))
            return r;
        o = run(
            tool, master, LSSMaster::LssAction_ConfigureNodeId,
            [&] { return master.configureNodeId(quint8(node)); }, &sent);
        if (const int r = report(tool, QStringLiteral("configure node-ID"), o, sent))
            return r;
        o = run(
            tool, master, LSSMaster::LssAction_StoreConfiguration,
            [&] { return master.storeConfiguration(); }, &sent);
        if (const int r = report(tool, QStringLiteral("store"), o, sent))
            return r;
        tool.json ? tool.printJson({ { QStringLiteral("nodeId"), int(node) } })
                  : tool.print(QStringLiteral("node-ID %1 configured and stored").arg(node));
        return Exit_Ok;
    }
    if (action == QLatin1String("scan")) {
        bool finished = false, failed = false;
        QList<QStringList> devices;
        QObject::connect(&master, &LSSMaster::lssResult,
            [&](LSSMaster::LssAction act, LSSMaster::LssResult r, QVariant v) {
                if (act != LSSMaster::LssAction_ClassicalScan)
                    return;
                if (r != LSSMaster::LssResult_Success) {
                    finished = failed = true;
                    return;
                }
                const QStringList d = v.toStringList();
                if (d.value(0) == QLatin1String("4294967295"))
                    finished = true;
                else
                    devices << d;
            });
        sent = master.classicalScan(quint32(a), quint32(b));
        if (sent != CAN::RetType_OK)
            return report(tool, action, o, sent);
        tool.waitUntil([&] { return finished; }, 3600 * 1000);
        if (!finished)
            master.abortClassicalScan();
        for (const QStringList &d : devices) {
            quint32 v[4];
            for (int i = 0; i < 4; ++i)
                v[i] = d.value(i).toUInt();
            if (tool.json)
                tool.printJson(identityJson(v));
            else
                tool.print(identityText(v));
        }
        if (!tool.json)
            tool.print(QStringLiteral("%1 device(s) found").arg(devices.size()));
        return failed && devices.isEmpty() ? Exit_NoAnswer : Exit_Ok;
    }
    if (action == QLatin1String("bit-timing")) {
        // Bit timing is configured in the configuration state, on every slave at once.
        sent = switchGlobal(tool, master, LSSMaster::LssGlobalState_Configuration);
        if (sent != CAN::RetType_OK)
            return report(tool, action, o, sent);
        o = run(
            tool, master, LSSMaster::LssAction_ConfigureBitTiming,
            [&] { return master.configureBitTiming(quint8(a), quint8(b)); }, &sent);
        if (const int r = report(tool, action, o, sent))
            return r;
        tool.json ? tool.printJson(
            { { QStringLiteral("bitTimingTable"), int(a) }, { QStringLiteral("bitTimingIndex"), int(b) } })
                  : tool.print(QStringLiteral("bit timing %1/%2 configured").arg(a).arg(b));
        return Exit_Ok;
    }
    // activate-bit-timing: for every slave in the configuration state; there is no answer, the
    // request ends with its time-out. The slaves switch after the delay and wait as long again.
    sent = switchGlobal(tool, master, LSSMaster::LssGlobalState_Configuration);
    if (sent != CAN::RetType_OK)
        return report(tool, action, o, sent);
    o = run(
        tool, master, LSSMaster::LssAction_ActivateBitTiming,
        [&] { return master.activateBitTiming(quint16(a)); }, &sent);
    if (sent != CAN::RetType_OK)
        return report(tool, action, o, sent);
    tool.waitUntil([] { return false; }, int(2 * a));
    tool.json ? tool.printJson({ { QStringLiteral("activateBitTiming"), int(a) } })
              : tool.print(QStringLiteral("bit timing activation sent"));
    return Exit_Ok;
}
