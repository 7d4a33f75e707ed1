// tarnwick od: a node's object dictionary, as its EDS/DCF describes it, with current values.
#include "edsfile.h"
#include "sdoclient.h"
#include "sdoreader.h"
#include "sdovalue.h"
#include "tool.h"
#include "toolbus.h"

#include <QJsonObject>

int cmdOd(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption timeout(
        QStringLiteral("timeout"), QStringLiteral("SDO timeout in ms (default 1000)."), QStringLiteral("ms"));
    parser.addOption(timeout);
    parser.addPositionalArgument(QStringLiteral("node"), QStringLiteral("node-ID 1..127"));
    const int parsed = tool.parse(parser, QStringLiteral("od"), args,
        QStringLiteral("Lists the object dictionary of a node, as its EDS/DCF file (--eds) describes it, "
                       "with the values the node holds now."));
    if (parsed >= 0)
        return parsed;
    const QString cmd = QStringLiteral("od");
    const QStringList pos = parser.positionalArguments();
    quint64 node = 0, timeoutMs = 1000;
    if (pos.size() != 1 || !parseNumber(pos.first(), 127, &node) || node == 0)
        return tool.usage(cmd, QStringLiteral("needs a node-ID 1..127"));
    if (parser.isSet(timeout) && (!parseNumber(parser.value(timeout), 600000, &timeoutMs) || timeoutMs == 0))
        return tool.usage(cmd, QStringLiteral("--timeout needs a number of ms"));
    if (tool.eds.isEmpty())
        return tool.usage(
            cmd, QStringLiteral("needs the node's EDS or DCF file: tarnwick --eds FILE od NODE"));
    int code = 0;
    if (!tool.openBus(&code))
        return code;
    SDOClient sdo;
    sdo.setCanScheduler(tool.bus->scheduler());
    sdo.setNodeId(quint8(node));
    sdo.setSdoTimeout(quint32(timeoutMs));
    // A DCF's ParameterValue (the configured value) stands beside the value the node holds.
    const EdsFile *eds = edsForNode(tool, sdo, quint8(node));
    if (!eds)
        return tool.fail(Exit_File, QStringLiteral("no EDS/DCF file matches node %1").arg(node));
    SdoRequest request(tool, sdo);
    for (const EdsEntry &e : eds->entries()) {
        if (Tool::interrupted())
            break;
        const QString object = QStringLiteral("0x%1:%2").arg(e.index, 4, 16, QLatin1Char('0')).arg(e.sub);
        const QString name
            = e.sub == 0 && e.name == e.objectName ? e.name : e.objectName + QLatin1Char('.') + e.name;
        QString value;
        QString error;
        if (!e.readable()) {
            error = QStringLiteral("write-only");
        } else {
            switch (request.read(e.index, e.sub, wireType(e.type()))) {
            case SdoRequest::Outcome_Done:
                value = formatValue(request.value(), e.type());
                break;
            case SdoRequest::Outcome_Aborted:
                error = QStringLiteral("abort 0x%1 %2")
                            .arg(request.code(), 8, 16, QLatin1Char('0'))
                            .arg(SDOClient::interpretSdoAbort(request.code()));
                break;
            case SdoRequest::Outcome_NoAnswer:
                return tool.fail(
                    Exit_NoAnswer, QStringLiteral("node %1 did not answer for %2").arg(node).arg(object));
            case SdoRequest::Outcome_Refused:
                error = QStringLiteral("cannot be read (result %1)").arg(int(request.busResult()));
                break;
            }
        }
        if (tool.json) {
            QJsonObject o { { QStringLiteral("node"), int(node) }, { QStringLiteral("object"), object },
                { QStringLiteral("name"), name }, { QStringLiteral("type"), typeName(e.type()) },
                { QStringLiteral("access"), e.accessType } };
            o.insert(error.isEmpty() ? QStringLiteral("value") : QStringLiteral("error"),
                error.isEmpty() ? value : error);
            if (!e.value.isEmpty())
                o.insert(QStringLiteral("dcfValue"), e.value);
            tool.printJson(o);
        } else {
            tool.print(
                QStringLiteral("%1  %2  %3  %4%5")
                    .arg(object.leftJustified(9), typeName(e.type()).leftJustified(7),
                        e.accessType.leftJustified(5), name,
                        error.isEmpty() ? QStringLiteral(" = ") + value : QStringLiteral("  (%1)").arg(error))
                + (e.value.isEmpty() ? QString() : QStringLiteral("  [DCF %1]").arg(e.value)));
        }
    }
    return Exit_Ok;
}
