#include "busdecoder.h"

#include "sdoclient.h"

namespace {
QString hexBytes(const quint8 *data, int n)
{
    QString s;
    s.reserve(n * 3);
    for (int i = 0; i < n; ++i) {
        if (i)
            s += QLatin1Char(' ');
        s += QStringLiteral("%1").arg(data[i], 2, 16, QLatin1Char('0'));
    }
    return s;
}

QString hexBytes(const QByteArray &data, int max)
{
    QString s = hexBytes(reinterpret_cast<const quint8 *>(data.constData()), qMin(max, int(data.size())));
    if (data.size() > max)
        s += QStringLiteral(" ...");
    return s;
}

quint32 le(const quint8 *d, int n)
{
    quint32 v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | d[i];
    return v;
}

QString object(quint16 index, quint8 sub)
{
    return QStringLiteral("0x%1:%2").arg(index, 4, 16, QLatin1Char('0')).arg(sub);
}

QString nmtStateName(quint8 s)
{
    switch (s & 0x7F) {
    case 0x00:
        return QStringLiteral("boot-up");
    case 0x04:
        return QStringLiteral("stopped");
    case 0x05:
        return QStringLiteral("operational");
    case 0x7F:
        return QStringLiteral("pre-operational");
    default:
        return QStringLiteral("state 0x%1").arg(s & 0x7F, 2, 16, QLatin1Char('0'));
    }
}

QString abortText(quint32 code)
{
    return QStringLiteral("0x%1 %2")
        .arg(code, 8, 16, QLatin1Char('0'))
        .arg(SDOClient::interpretSdoAbort(code));
}
} // namespace

BusDecoder::BusDecoder()
    : mIsoTpIds { 0x7E0, 0x7E8, 0x7DF }
{
}

void BusDecoder::setIsoTpIds(const QList<quint32> &ids)
{
    mIsoTpIds = ids;
    mIsoTp.clear();
}

QString BusDecoder::frameText(const CAN::CanRxMessage &f)
{
    const int n = qMin<int>(f.length, 64);
    QString s = f.extended ? QStringLiteral("%1").arg(f.id, 8, 16, QLatin1Char('0')).toUpper()
                           : QStringLiteral("%1").arg(f.id, 3, 16, QLatin1Char('0')).toUpper();
    s += f.fd ? QStringLiteral("  [%1]").arg(n, 2, 10, QLatin1Char('0')) : QStringLiteral("   [%1]").arg(n);
    if (f.remote)
        return s + QStringLiteral("  remote request");
    if (n > 0)
        s += QStringLiteral("  ") + hexBytes(f.data, n).toUpper();
    return s;
}

QString BusDecoder::candumpLine(const CAN::CanRxMessage &f, const QString &interfaceName)
{
    const int n = qMin<int>(f.length, 64);
    QString s = QStringLiteral("(%1.%2) %3 ")
                    .arg(f.timeStamp.seconds())
                    .arg(f.timeStamp.microseconds(), 6, 10, QLatin1Char('0'))
                    .arg(interfaceName);
    s += f.extended ? QStringLiteral("%1").arg(f.id, 8, 16, QLatin1Char('0')).toUpper()
                    : QStringLiteral("%1").arg(f.id, 3, 16, QLatin1Char('0')).toUpper();
    if (f.fd) // "##" and a flags nibble (1: bit-rate switch)
        return s + QStringLiteral("##%1").arg(f.bitRateSwitch ? 1 : 0)
            + QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(f.data), n).toHex().toUpper());
    if (f.remote)
        return s + QStringLiteral("#R");
    return s + QLatin1Char('#')
        + QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(f.data), n).toHex().toUpper());
}

QList<BusDecoder::Line> BusDecoder::decode(const CAN::CanRxMessage &f)
{
    if (!f.extended && f.id >= 0x7D0 && f.id <= 0x7DF && f.length == 0) {
        // An LSS FD scan answer: the identifier is the nibble (ISO-TP frames are never empty).
        Line scan;
        scan.protocol = QStringLiteral("LSS");
        scan.text = QStringLiteral("LSS answer: FD scan nibble 0x%1").arg(f.id & 0x0F, 0, 16);
        return { scan };
    }
    if (mIsoTpIds.contains(f.id))
        return decodeIsoTp(f);
    Line l;
    l.protocol = QStringLiteral("CAN");
    const int n = qMin<int>(f.length, 64);
    const quint8 *d = f.data;
    if (f.extended) {
        l.text = QStringLiteral("extended frame");
        return { l };
    }
    const quint32 id = f.id;
    const quint8 node = quint8(id & 0x7F);
    if (id == 0x000) {
        l.protocol = QStringLiteral("NMT");
        if (n != 2) {
            l.text = QStringLiteral("NMT malformed (%1 bytes)").arg(n);
            return { l };
        }
        QString cmd;
        switch (d[0]) {
        case 0x01:
            cmd = QStringLiteral("start");
            break;
        case 0x02:
            cmd = QStringLiteral("stop");
            break;
        case 0x80:
            cmd = QStringLiteral("enter pre-operational");
            break;
        case 0x81:
            cmd = QStringLiteral("reset node");
            break;
        case 0x82:
            cmd = QStringLiteral("reset communication");
            break;
        default:
            cmd = QStringLiteral("command 0x%1").arg(d[0], 2, 16, QLatin1Char('0'));
            break;
        }
        l.node = d[1] ? d[1] : -1;
        l.text = QStringLiteral("NMT %1 %2")
                     .arg(cmd, d[1] ? QStringLiteral("node %1").arg(d[1]) : QStringLiteral("all nodes"));
        l.fields.insert(QStringLiteral("command"), cmd);
        return { l };
    }
    if (id == 0x080) {
        l.protocol = QStringLiteral("SYNC");
        l.text = n >= 1 ? QStringLiteral("SYNC counter %1").arg(d[0]) : QStringLiteral("SYNC");
        if (n >= 1)
            l.fields.insert(QStringLiteral("counter"), d[0]);
        return { l };
    }
    if (id > 0x080 && id < 0x100) {
        l.protocol = QStringLiteral("EMCY");
        l.node = node;
        if (n < 3) {
            l.text = QStringLiteral("EMCY node %1 malformed (%2 bytes)").arg(node).arg(n);
            return { l };
        }
        const quint16 code = quint16(le(d, 2));
        l.text = code == 0 ? QStringLiteral("EMCY node %1 error reset register 0x%2")
                                 .arg(node)
                                 .arg(d[2], 2, 16, QLatin1Char('0'))
                           : QStringLiteral("EMCY node %1 error 0x%2 register 0x%3 data %4")
                                 .arg(node)
                                 .arg(code, 4, 16, QLatin1Char('0'))
                                 .arg(d[2], 2, 16, QLatin1Char('0'))
                                 .arg(hexBytes(d + 3, qMax(0, n - 3)));
        l.fields.insert(
            QStringLiteral("errorCode"), QStringLiteral("0x%1").arg(code, 4, 16, QLatin1Char('0')));
        l.fields.insert(
            QStringLiteral("errorRegister"), QStringLiteral("0x%1").arg(d[2], 2, 16, QLatin1Char('0')));
        return { l };
    }
    if (id == 0x100) {
        l.protocol = QStringLiteral("TIME");
        l.text = QStringLiteral("TIME");
        return { l };
    }
    if (id > 0x180 && id < 0x580 && node != 0) {
        static const char *pdos[]
            = { "TPDO1", "RPDO1", "TPDO2", "RPDO2", "TPDO3", "RPDO3", "TPDO4", "RPDO4" };
        l.protocol = QStringLiteral("PDO");
        l.node = node;
        const QString name = QLatin1String(pdos[(id - 0x180) >> 7]);
        l.text = f.remote ? QStringLiteral("%1 node %2 remote request").arg(name).arg(node)
                          : QStringLiteral("%1 node %2: %3").arg(name).arg(node).arg(hexBytes(d, n));
        return { l };
    }
    if (id > 0x580 && id < 0x600)
        return { (f.fd || n > 8) ? decodeUsdo(f, node, false) : decodeSdo(f, node, false) };
    if (id > 0x600 && id < 0x680)
        return { (f.fd || n > 8) ? decodeUsdo(f, node, true) : decodeSdo(f, node, true) };
    if (id > 0x700 && id < 0x780) {
        l.node = node;
        if (f.remote) {
            l.protocol = QStringLiteral("GUARD");
            l.text = QStringLiteral("node guarding request node %1").arg(node);
            mGuardRequested[node] = true;
            return { l };
        }
        if (n < 1) {
            l.protocol = QStringLiteral("HB");
            l.text = QStringLiteral("error control node %1 malformed (0 bytes)").arg(node);
            return { l };
        }
        if (mGuardRequested.value(node) || (d[0] & 0x80)) {
            mGuardRequested[node] = false;
            l.protocol = QStringLiteral("GUARD");
            l.text = QStringLiteral("node guarding node %1 %2 toggle %3")
                         .arg(node)
                         .arg(nmtStateName(d[0]))
                         .arg(d[0] >> 7);
        } else {
            l.protocol = QStringLiteral("HB");
            l.text = d[0] == 0 ? QStringLiteral("boot-up node %1").arg(node)
                               : QStringLiteral("heartbeat node %1 %2").arg(node).arg(nmtStateName(d[0]));
        }
        l.fields.insert(QStringLiteral("state"), nmtStateName(d[0]));
        return { l };
    }
    if (id == 0x7E5 || id == 0x7E4)
        return { decodeLss(f, id == 0x7E5) };
    l.text = QStringLiteral("frame");
    return { l };
}

BusDecoder::Line BusDecoder::decodeSdo(const CAN::CanRxMessage &f, quint8 node, bool request)
{
    Line l;
    l.protocol = QStringLiteral("SDO");
    l.node = node;
    const int n = qMin<int>(f.length, 8);
    const quint8 *d = f.data;
    SdoChannel &ch = mSdo[node];
    const QString who = request ? QStringLiteral("SDO request node %1: ").arg(node)
                                : QStringLiteral("SDO answer node %1: ").arg(node);
    if (n < 1 || f.remote) {
        l.text = who + QStringLiteral("empty frame");
        return l;
    }
    const quint8 b0 = d[0];
    const bool hasObject = n >= 4;
    const quint16 index = hasObject ? quint16(le(d + 1, 2)) : 0;
    const quint8 sub = hasObject ? d[3] : 0;
    auto withObject = [&](const QString &what) {
        if (!hasObject)
            return who + what + QStringLiteral(" (short frame)");
        ch.index = index;
        ch.sub = sub;
        l.fields.insert(QStringLiteral("object"), object(index, sub));
        return who + what.arg(object(index, sub));
    };
    auto dataOf
        = [&](int from, int count) { return hexBytes(d + from, qBound(0, qMin(count, n - from), 7)); };
    // Block segments carry a sequence number, not a command: only the phase tells them apart.
    if (b0 != 0x80
        && ((request && ch.phase == Sdo_BlockDownload) || (!request && ch.phase == Sdo_BlockUpload))) {
        const bool last = b0 & 0x80;
        l.text = who
            + QStringLiteral("%1block segment %2: %3")
                  .arg(last ? QStringLiteral("last ") : QString())
                  .arg(b0 & 0x7F)
                  .arg(dataOf(1, 7));
        if (last)
            ch.phase = Sdo_Idle;
        return l;
    }
    const quint8 cs = b0 >> 5;
    if (cs == 4) {
        ch.phase = Sdo_Idle;
        const quint32 code = n >= 8 ? le(d + 4, 4) : 0;
        l.fields.insert(QStringLiteral("abort"), QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0')));
        l.text = withObject(QStringLiteral("abort %1 ")) + abortText(code);
        return l;
    }
    const int unused = (b0 >> 1) & 7;
    if (request) {
        switch (cs) {
        case 0:
            l.text = who
                + QStringLiteral("download segment toggle %1%2: %3")
                      .arg((b0 >> 4) & 1)
                      .arg((b0 & 1) ? QStringLiteral(" last") : QString())
                      .arg(dataOf(1, 7 - unused));
            if (b0 & 1)
                ch.phase = Sdo_Idle;
            break;
        case 1:
            if (b0 & 0x02) {
                const int size = (b0 & 0x01) ? 4 - ((b0 >> 2) & 3) : 4;
                l.text = withObject(QStringLiteral("download %1 expedited: ")) + dataOf(4, size);
                ch.phase = Sdo_Idle;
            } else {
                l.text = withObject(QStringLiteral("download %1 segmented"))
                    + ((b0 & 1) && n >= 8 ? QStringLiteral(", %1 bytes").arg(le(d + 4, 4)) : QString());
                ch.phase = Sdo_Download;
            }
            break;
        case 2:
            l.text = withObject(QStringLiteral("upload %1"));
            ch.phase = Sdo_Upload;
            break;
        case 3:
            l.text = who + QStringLiteral("upload segment request toggle %1").arg((b0 >> 4) & 1);
            break;
        case 5:
            switch (b0 & 3) {
            case 0:
                l.text = withObject(QStringLiteral("block upload %1 initiate, block size "))
                    + QString::number(n > 4 ? d[4] : 0) + ((b0 & 4) ? QStringLiteral(", CRC") : QString());
                ch.phase = Sdo_BlockUploadStarting;
                break;
            case 1:
                l.text = who + QStringLiteral("block upload end confirmed");
                ch.phase = Sdo_Idle;
                break;
            case 2:
                l.text = who
                    + QStringLiteral("block upload acknowledge sequence %1, block size %2")
                          .arg(n > 1 ? d[1] : 0)
                          .arg(n > 2 ? d[2] : 0);
                if (ch.phase != Sdo_Idle)
                    ch.phase = Sdo_BlockUpload;
                break;
            default:
                l.text = who + QStringLiteral("block upload start");
                ch.phase = Sdo_BlockUpload;
                break;
            }
            break;
        case 6:
            if (b0 & 1) {
                l.text = who
                    + QStringLiteral("block download end, %1 bytes unused in the last segment, CRC 0x%2")
                          .arg((b0 >> 2) & 7)
                          .arg(n >= 3 ? le(d + 1, 2) : 0, 4, 16, QLatin1Char('0'));
                ch.phase = Sdo_Idle;
            } else {
                l.text = withObject(QStringLiteral("block download %1 initiate"))
                    + ((b0 & 2) && n >= 8 ? QStringLiteral(", %1 bytes").arg(le(d + 4, 4)) : QString())
                    + ((b0 & 4) ? QStringLiteral(", CRC") : QString());
                ch.phase = Sdo_BlockDownload;
            }
            break;
        default:
            // The SDO network indication of CiA 301 (SDO routing through a gateway).
            l.text = b0 == 0xE0 && n >= 4
                ? who + QStringLiteral("network indication, network %1 node %2").arg(d[1]).arg(d[3])
                : who + QStringLiteral("unknown command 0x%1").arg(b0, 2, 16, QLatin1Char('0'));
            break;
        }
        return l;
    }
    switch (cs) {
    case 0:
        l.text = who
            + QStringLiteral("upload segment toggle %1%2: %3")
                  .arg((b0 >> 4) & 1)
                  .arg((b0 & 1) ? QStringLiteral(" last") : QString())
                  .arg(dataOf(1, 7 - unused));
        if (b0 & 1)
            ch.phase = Sdo_Idle;
        break;
    case 1:
        l.text = who + QStringLiteral("download segment confirmed toggle %1").arg((b0 >> 4) & 1);
        break;
    case 2:
        if (b0 & 0x02) {
            const int size = (b0 & 0x01) ? 4 - ((b0 >> 2) & 3) : 4;
            l.text = withObject(QStringLiteral("upload %1 expedited: ")) + dataOf(4, size);
            ch.phase = Sdo_Idle;
        } else {
            l.text = withObject(QStringLiteral("upload %1 segmented"))
                + ((b0 & 1) && n >= 8 ? QStringLiteral(", %1 bytes").arg(le(d + 4, 4)) : QString());
        }
        break;
    case 3:
        l.text = withObject(QStringLiteral("download %1 confirmed"));
        break;
    case 5:
        switch (b0 & 3) {
        case 0:
            l.text = withObject(QStringLiteral("block download %1 accepted, block size "))
                + QString::number(n > 4 ? d[4] : 0) + ((b0 & 4) ? QStringLiteral(", CRC") : QString());
            break;
        case 1:
            l.text = who + QStringLiteral("block download end confirmed");
            ch.phase = Sdo_Idle;
            break;
        default:
            l.text = who
                + QStringLiteral("block download acknowledge sequence %1, block size %2")
                      .arg(n > 1 ? d[1] : 0)
                      .arg(n > 2 ? d[2] : 0);
            break;
        }
        break;
    case 6:
        if (b0 & 1) {
            l.text = who
                + QStringLiteral("block upload end, %1 bytes unused in the last segment, CRC 0x%2")
                      .arg((b0 >> 2) & 7)
                      .arg(n >= 3 ? le(d + 1, 2) : 0, 4, 16, QLatin1Char('0'));
        } else {
            l.text = withObject(QStringLiteral("block upload %1 accepted"))
                + ((b0 & 2) && n >= 8 ? QStringLiteral(", %1 bytes").arg(le(d + 4, 4)) : QString())
                + ((b0 & 4) ? QStringLiteral(", CRC") : QString());
        }
        break;
    default:
        l.text = who + QStringLiteral("unknown command 0x%1").arg(b0, 2, 16, QLatin1Char('0'));
        break;
    }
    return l;
}

BusDecoder::Line BusDecoder::decodeUsdo(const CAN::CanRxMessage &f, quint8 node, bool request)
{
    // CiA 1301: byte 0 destination (requests) or client (answers), 1 command, 2 session,
    // 3 sub-index, 4-5 index; routed frames carry 0x80 in the command.
    Line l;
    l.protocol = QStringLiteral("USDO");
    l.node = node;
    const int n = qMin<int>(f.length, 64);
    const quint8 *d = f.data;
    const QString who = request ? QStringLiteral("USDO request node %1: ").arg(node)
                                : QStringLiteral("USDO answer node %1: ").arg(node);
    if (n < 3) {
        l.text = who + QStringLiteral("short frame (%1 bytes)").arg(n);
        return l;
    }
    const quint8 cmd = d[1];
    const bool routed = (cmd & 0x80) && (cmd & 0x7F) != 0x7F;
    const quint8 base = routed ? cmd & 0x7F : cmd;
    const QString head = QStringLiteral("%1%2session %3")
                             .arg(routed ? QStringLiteral("routed, ") : QString(),
                                 request ? QStringLiteral("to node %1, ").arg(d[0])
                                         : QStringLiteral("to client %1, ").arg(d[0]))
                             .arg(d[2]);
    const QString obj = n >= 6 ? object(quint16(le(d + 4, 2)), d[3]) : QStringLiteral("?");
    QString what;
    if ((cmd & 0x7F) == 0x7F) {
        what = QStringLiteral("abort %1 code 0x%2 %3")
                   .arg(obj)
                   .arg(n > 6 ? d[6] : 0, 2, 16, QLatin1Char('0'))
                   .arg(SDOClient::interpretUsdoAbort(n > 6 ? d[6] : 0));
    } else if (request) {
        switch (base) {
        case 0x01:
            what = QStringLiteral("expedited download %1, %2 bytes").arg(obj).arg(n > 7 ? d[7] : 0);
            break;
        case 0x02:
            what = QStringLiteral("segmented download %1 initiate, %2 bytes")
                       .arg(obj)
                       .arg(n >= 12 ? le(d + 8, 4) : 0);
            break;
        case 0x03:
            what = QStringLiteral("download segment %1").arg(n > 3 ? d[3] : 0);
            break;
        case 0x04:
            what = QStringLiteral("last download segment, %1 bytes").arg(n > 3 ? d[3] : 0);
            break;
        case 0x06:
            what = QStringLiteral("bulk download %1 initiate, %2 bytes")
                       .arg(obj)
                       .arg(n >= 12 ? le(d + 8, 4) : 0);
            break;
        case 0x07:
            what = QStringLiteral("bulk segment %1").arg(n > 3 ? d[3] : 0);
            break;
        case 0x08:
            what = QStringLiteral("last bulk segment, %1 bytes").arg(n > 3 ? d[3] : 0);
            break;
        case 0x11:
            what = QStringLiteral("upload %1").arg(obj);
            break;
        case 0x13:
            what = QStringLiteral("upload segment request %1").arg(n > 3 ? d[3] : 0);
            break;
        default:
            what = QStringLiteral("command 0x%1").arg(cmd, 2, 16, QLatin1Char('0'));
            break;
        }
    } else {
        if ((base & 0xEF) == 0x21)
            what = QStringLiteral("%1 confirmed, %2 bytes").arg(obj).arg(n > 7 ? d[7] : 0);
        else if (base == 0x32)
            what = QStringLiteral("segmented upload %1, %2 bytes").arg(obj).arg(n >= 12 ? le(d + 8, 4) : 0);
        else if (base == 0x33)
            what = QStringLiteral("upload segment %1").arg(n > 3 ? d[3] : 0);
        else if (base == 0x34)
            what = QStringLiteral("last upload segment, %1 bytes").arg(n > 3 ? d[3] : 0);
        else if (base == 0x28)
            what = QStringLiteral("bulk download confirmed");
        else
            what = QStringLiteral("answer 0x%1").arg(cmd, 2, 16, QLatin1Char('0'));
    }
    l.text = who + what + QStringLiteral(" (") + head + QLatin1Char(')');
    return l;
}

BusDecoder::Line BusDecoder::decodeLss(const CAN::CanRxMessage &f, bool fromMaster)
{
    Line l;
    l.protocol = QStringLiteral("LSS");
    const int n = qMin<int>(f.length, 64);
    const quint8 *d = f.data;
    const QString who = fromMaster ? QStringLiteral("LSS request: ") : QStringLiteral("LSS answer: ");
    if (n < 1) {
        // LSS FD confirms a selection and the last scan query with an empty frame.
        l.text = who + (fromMaster ? QStringLiteral("empty frame") : QStringLiteral("FD confirmation"));
        return l;
    }
    const quint8 cs = d[0];
    const quint32 value = n >= 5 ? le(d + 1, 4) : 0;
    const QString v32 = QStringLiteral("0x%1").arg(value, 8, 16, QLatin1Char('0'));
    static const char *identity[]
        = { "vendor-ID", "product code", "revision number", "serial number", "node-ID" };
    QString what;
    if (fromMaster) {
        switch (cs) {
        case 0x04:
            what = QStringLiteral("switch state global %1")
                       .arg(n > 1 && d[1] ? QStringLiteral("configuration") : QStringLiteral("waiting"));
            break;
        case 0x40:
        case 0x41:
        case 0x42:
        case 0x43:
            what
                = QStringLiteral("switch state selective %1 %2").arg(QLatin1String(identity[cs - 0x40]), v32);
            break;
        case 0x11:
            what = QStringLiteral("configure node-ID %1").arg(n > 1 ? d[1] : 0);
            break;
        case 0x13:
            what = QStringLiteral("configure bit timing table %1 index %2")
                       .arg(n > 1 ? d[1] : 0)
                       .arg(n > 2 ? d[2] : 0);
            break;
        case 0x15:
            what = QStringLiteral("activate bit timing, delay %1 ms").arg(n >= 3 ? le(d + 1, 2) : 0);
            break;
        case 0x17:
            what = QStringLiteral("store configuration");
            break;
        case 0x46:
            what = QStringLiteral("identify remote slave vendor-ID %1").arg(v32);
            break;
        case 0x47:
            what = QStringLiteral("identify remote slave product code %1").arg(v32);
            break;
        case 0x48:
            what = QStringLiteral("identify remote slave revision from %1").arg(v32);
            break;
        case 0x49:
            what = QStringLiteral("identify remote slave revision to %1").arg(v32);
            break;
        case 0x4A:
            what = QStringLiteral("identify remote slave serial from %1").arg(v32);
            break;
        case 0x4B:
            what = QStringLiteral("identify remote slave serial to %1").arg(v32);
            break;
        case 0x4C:
            what = QStringLiteral("identify non-configured remote slaves");
            break;
        case 0x51:
            what = QStringLiteral("fastscan %1, bit check %2, sub %3, next %4")
                       .arg(v32)
                       .arg(n > 5 ? d[5] : 0)
                       .arg(n > 6 ? d[6] : 0)
                       .arg(n > 7 ? d[7] : 0);
            break;
        case 0x5A:
        case 0x5B:
        case 0x5C:
        case 0x5D:
        case 0x5E:
            what = QStringLiteral("inquire %1").arg(QLatin1String(identity[cs - 0x5A]));
            break;
        // LSS FD (CANopen FD): the 20-byte frames carry big-endian addresses.
        case 0x81:
            what = QStringLiteral("FD switch state global %1").arg(n > 1 ? d[1] : 0);
            break;
        case 0x64:
        case 0x65: {
            QStringList address;
            for (int i = 0; i < 4; ++i) {
                const quint8 *a = d + 4 + 4 * i;
                const quint32 v = n >= 8 + 4 * i
                    ? quint32(a[0]) << 24 | quint32(a[1]) << 16 | quint32(a[2]) << 8 | a[3]
                    : 0;
                address << QStringLiteral("0x%1").arg(v, 8, 16, QLatin1Char('0'));
            }
            what = QStringLiteral("FD switch state selective%1 %2, window %3 ms")
                       .arg(cs == 0x65 ? QStringLiteral(" (select)") : QString(),
                           address.join(QLatin1Char(' ')))
                       .arg(n > 1 ? d[1] : 0);
            break;
        }
        case 0x83:
            what = QStringLiteral("FD configure node-ID %1 network-ID %2")
                       .arg(n > 1 ? d[1] : 0)
                       .arg(n > 2 ? d[2] : 0);
            break;
        case 0x85:
            what = QStringLiteral("FD store configuration");
            break;
        case 0x87:
            what = QStringLiteral("FD inquire LSS address");
            break;
        case 0x89:
            what = QStringLiteral("FD identify non-configured slaves");
            break;
        case 0x91:
        case 0xD1:
            what = QStringLiteral("FD scan query, window %1 ms").arg(n > 1 ? d[1] : 0);
            break;
        case 0x93:
            what = QStringLiteral("FD configure bit timing table %1 index %2")
                       .arg(n > 1 ? d[1] : 0)
                       .arg(n > 2 ? d[2] : 0);
            break;
        case 0x97:
            what = QStringLiteral("FD inquire node-ID");
            break;
        case 0xD3:
            what = QStringLiteral("FD activate bit timing, delay %1 ms").arg(n >= 3 ? le(d + 1, 2) : 0);
            break;
        default:
            what = QStringLiteral("command 0x%1").arg(cs, 2, 16, QLatin1Char('0'));
            break;
        }
    } else {
        auto result = [&](const char *name) {
            const quint8 e = n > 1 ? d[1] : 0;
            return QStringLiteral("%1 %2").arg(QLatin1String(name),
                e == 0 ? QStringLiteral("done")
                       : QStringLiteral("error %1 (specific %2)").arg(e).arg(n > 2 ? d[2] : 0));
        };
        switch (cs) {
        case 0x44:
            what = QStringLiteral("switch state selective done");
            break;
        case 0x11:
            what = result("configure node-ID");
            break;
        case 0x13:
            what = result("configure bit timing");
            break;
        case 0x17:
            what = result("store configuration");
            break;
        case 0x4F:
            what = QStringLiteral("identify slave");
            break;
        case 0x50:
            what = QStringLiteral("identify non-configured slave");
            break;
        case 0x5A:
        case 0x5B:
        case 0x5C:
        case 0x5D:
            what = QStringLiteral("inquire %1 = %2").arg(QLatin1String(identity[cs - 0x5A]), v32);
            break;
        case 0x5E:
            what = QStringLiteral("inquire node-ID = %1").arg(n > 1 ? d[1] : 0);
            break;
        case 0x83:
            what = result("FD configure node-ID and network-ID");
            break;
        case 0x85:
            what = result("FD store configuration");
            break;
        case 0x87:
            what = QStringLiteral("FD LSS address 0x%1 0x%2 0x%3 0x%4")
                       .arg(n >= 8 ? le(d + 4, 4) : 0, 8, 16, QLatin1Char('0'))
                       .arg(n >= 12 ? le(d + 8, 4) : 0, 8, 16, QLatin1Char('0'))
                       .arg(n >= 16 ? le(d + 12, 4) : 0, 8, 16, QLatin1Char('0'))
                       .arg(n >= 20 ? le(d + 16, 4) : 0, 8, 16, QLatin1Char('0'));
            break;
        case 0x8A:
            what = QStringLiteral("FD identify non-configured slave");
            break;
        case 0x93:
            what = result("FD configure bit timing");
            break;
        case 0x97:
            what = QStringLiteral("FD inquire node-ID = %1, network-ID %2")
                       .arg(n > 1 ? d[1] : 0)
                       .arg(n > 2 ? d[2] : 0);
            break;
        default:
            what = QStringLiteral("command 0x%1").arg(cs, 2, 16, QLatin1Char('0'));
            break;
        }
    }
    l.text = who + what;
    return l;
}

QList<BusDecoder::Line> BusDecoder::decodeIsoTp(const CAN::CanRxMessage &f)
{
    // ISO 15765-2: the high nibble of the first byte is the frame kind. CAN FD frames above 8
    // bytes use the escapes (single frame length in byte 1, first frame length in bytes 2-5).
    Line l;
    l.protocol = QStringLiteral("ISOTP");
    const int n = qMin<int>(f.length, 64);
    const quint8 *d = f.data;
    const QString who = QStringLiteral("ISO-TP 0x%1 ").arg(f.id, 3, 16, QLatin1Char('0'));
    if (n < 1) {
        l.text = who + QStringLiteral("empty frame");
        return { l };
    }
    IsoTpMessage &m = mIsoTp[f.id];
    QList<Line> lines;
    switch (d[0] >> 4) {
    case 0: {
        int len = d[0] & 0x0F;
        int from = 1;
        if (len == 0 && n > 8 && n >= 2) {
            len = d[1];
            from = 2;
        }
        len = qMin(len, n - from);
        l.text = who + QStringLiteral("single frame, %1 bytes").arg(len);
        lines << l;
        m = IsoTpMessage();
        if (len > 0)
            lines << decodeUds(f.id, QByteArray(reinterpret_cast<const char *>(d + from), len));
        return lines;
    }
    case 1: {
        if (n < 2) {
            l.text = who + QStringLiteral("first frame, short");
            return { l };
        }
        int len = ((d[0] & 0x0F) << 8) | d[1];
        int from = 2;
        if (len == 0 && n >= 6) {
            len = int(qMin<quint32>(
                quint32(d[2]) << 24 | quint32(d[3]) << 16 | quint32(d[4]) << 8 | d[5], 1u << 24));
            from = 6;
        }
        m.expected = len;
        m.data = QByteArray(reinterpret_cast<const char *>(d + from), qMin(n - from, len));
        l.text = who + QStringLiteral("first frame, %1 bytes").arg(len);
        return { l };
    }
    case 2: {
        l.text = who + QStringLiteral("consecutive frame %1").arg(d[0] & 0x0F);
        lines << l;
        if (m.expected > 0) {
            m.data.append(
                reinterpret_cast<const char *>(d + 1), qMin(n - 1, m.expected - int(m.data.size())));
            if (m.data.size() >= m.expected) {
                lines << decodeUds(f.id, m.data);
                m = IsoTpMessage();
            }
        }
        return lines;
    }
    case 3: {
        static const char *status[] = { "continue", "wait", "overflow" };
        const int fs = d[0] & 0x0F;
        l.text = who
            + QStringLiteral("flow control %1, block size %2, STmin 0x%3")
                  .arg(fs < 3 ? QLatin1String(status[fs]) : QStringLiteral("status %1").arg(fs))
                  .arg(n > 1 ? d[1] : 0)
                  .arg(n > 2 ? d[2] : 0, 2, 16, QLatin1Char('0'));
        return { l };
    }
    default:
        l.text = who + QStringLiteral("unknown frame kind 0x%1").arg(d[0] >> 4, 0, 16);
        return { l };
    }
}

QString BusDecoder::udsServiceName(quint8 sid)
{
    switch (sid) {
    case 0x10:
        return QStringLiteral("DiagnosticSessionControl");
    case 0x11:
        return QStringLiteral("ECUReset");
    case 0x14:
        return QStringLiteral("ClearDiagnosticInformation");
    case 0x19:
        return QStringLiteral("ReadDTCInformation");
    case 0x22:
        return QStringLiteral("ReadDataByIdentifier");
    case 0x23:
        return QStringLiteral("ReadMemoryByAddress");
    case 0x24:
        return QStringLiteral("ReadScalingDataByIdentifier");
    case 0x27:
        return QStringLiteral("SecurityAccess");
    case 0x28:
        return QStringLiteral("CommunicationControl");
    case 0x29:
        return QStringLiteral("Authentication");
    case 0x2A:
        return QStringLiteral("ReadDataByPeriodicIdentifier");
    case 0x2C:
        return QStringLiteral("DynamicallyDefineDataIdentifier");
    case 0x2E:
        return QStringLiteral("WriteDataByIdentifier");
    case 0x2F:
        return QStringLiteral("InputOutputControlByIdentifier");
    case 0x31:
        return QStringLiteral("RoutineControl");
    case 0x34:
        return QStringLiteral("RequestDownload");
    case 0x35:
        return QStringLiteral("RequestUpload");
    case 0x36:
        return QStringLiteral("TransferData");
    case 0x37:
        return QStringLiteral("RequestTransferExit");
    case 0x38:
        return QStringLiteral("RequestFileTransfer");
    case 0x3D:
        return QStringLiteral("WriteMemoryByAddress");
    case 0x3E:
        return QStringLiteral("TesterPresent");
    case 0x83:
        return QStringLiteral("AccessTimingParameter");
    case 0x84:
        return QStringLiteral("SecuredDataTransmission");
    case 0x85:
        return QStringLiteral("ControlDTCSetting");
    case 0x86:
        return QStringLiteral("ResponseOnEvent");
    case 0x87:
        return QStringLiteral("LinkControl");
    default:
        return QStringLiteral("service 0x%1").arg(sid, 2, 16, QLatin1Char('0'));
    }
}

QString BusDecoder::udsNrcText(quint8 nrc)
{
    switch (nrc) {
    case 0x10:
        return QStringLiteral("generalReject");
    case 0x11:
        return QStringLiteral("serviceNotSupported");
    case 0x12:
        return QStringLiteral("subFunctionNotSupported");
    case 0x13:
        return QStringLiteral("incorrectMessageLengthOrInvalidFormat");
    case 0x14:
        return QStringLiteral("responseTooLong");
    case 0x21:
        return QStringLiteral("busyRepeatRequest");
    case 0x22:
        return QStringLiteral("conditionsNotCorrect");
    case 0x24:
        return QStringLiteral("requestSequenceError");
    case 0x25:
        return QStringLiteral("noResponseFromSubnetComponent");
    case 0x26:
        return QStringLiteral("failurePreventsExecutionOfRequestedAction");
    case 0x31:
        return QStringLiteral("requestOutOfRange");
    case 0x33:
        return QStringLiteral("securityAccessDenied");
    case 0x35:
        return QStringLiteral("invalidKey");
    case 0x36:
        return QStringLiteral("exceededNumberOfAttempts");
    case 0x37:
        return QStringLiteral("requiredTimeDelayNotExpired");
    case 0x70:
        return QStringLiteral("uploadDownloadNotAccepted");
    case 0x71:
        return QStringLiteral("transferDataSuspended");
    case 0x72:
        return QStringLiteral("generalProgrammingFailure");
    case 0x73:
        return QStringLiteral("wrongBlockSequenceCounter");
    case 0x78:
        return QStringLiteral("requestCorrectlyReceived-ResponsePending");
    case 0x7E:
        return QStringLiteral("subFunctionNotSupportedInActiveSession");
    case 0x7F:
        return QStringLiteral("serviceNotSupportedInActiveSession");
    default:
        return QStringLiteral("NRC 0x%1").arg(nrc, 2, 16, QLatin1Char('0'));
    }
}

BusDecoder::Line BusDecoder::decodeUds(quint32 id, const QByteArray &message)
{
    Line l;
    l.protocol = QStringLiteral("UDS");
    const quint8 sid = quint8(message.at(0));
    const QString who = QStringLiteral("UDS 0x%1 ").arg(id, 3, 16, QLatin1Char('0'));
    if (sid == 0x7F) {
        const quint8 service = message.size() > 1 ? quint8(message.at(1)) : 0;
        const quint8 nrc = message.size() > 2 ? quint8(message.at(2)) : 0;
        l.text = who
            + QStringLiteral("negative response %1: 0x%2 %3")
                  .arg(udsServiceName(service))
                  .arg(nrc, 2, 16, QLatin1Char('0'))
                  .arg(udsNrcText(nrc));
        l.fields.insert(QStringLiteral("service"), udsServiceName(service));
        l.fields.insert(QStringLiteral("nrc"), QStringLiteral("0x%1").arg(nrc, 2, 16, QLatin1Char('0')));
        return l;
    }
    const bool response = (sid & 0x40) != 0;
    const QString service = udsServiceName(response ? quint8(sid & ~0x40) : sid);
    l.fields.insert(QStringLiteral("service"), service);
    l.text = who
        + QStringLiteral("%1 %2, %3 bytes: %4")
              .arg(response ? QStringLiteral("positive response") : QStringLiteral("request"), service)
              .arg(message.size())
              .arg(hexBytes(message, 16));
    return l;
}
