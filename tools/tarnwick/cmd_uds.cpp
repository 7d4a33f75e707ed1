// tarnwick uds: diagnostics of one ECU over ISO-TP.
#include "simudsecu.h"
#include "tool.h"
#include "toolbus.h"
#include "udsclient.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"

#include <QFileInfo>
#include <QJsonArray>

namespace {

struct Answer
{
    enum Kind { None, Positive, Negative, Timeout } kind = None;
    quint8 nrc = 0;
    QByteArray data;
};

Answer request(Tool &tool, UDSClient &uds, const std::function<CAN::RetType()> &send, CAN::RetType *sent)
{
    Answer a;
    auto c1 = QObject::connect(&uds, &UDSClient::error, [&](quint8 nrc) {
        a.kind = Answer::Negative;
        a.nrc = nrc;
    });
    auto c2 = QObject::connect(&uds, &UDSClient::response, [&] {
        if (a.kind == Answer::None)
            a.kind = Answer::Positive;
        a.data = uds.getResponseData();
    });
    auto c3 = QObject::connect(&uds, &UDSClient::timeout, [&] { a.kind = Answer::Timeout; });
    *sent = send();
    if (*sent == CAN::RetType_OK)
        tool.waitUntil(
            [&] {
                return a.kind != Answer::None && a.kind != Answer::Negative
                    ? true
                    : a.kind == Answer::Negative && !a.data.isEmpty();
            },
            60 * 60 * 1000);
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    QObject::disconnect(c3);
    return a;
}

int check(Tool &tool, const QString &what, const Answer &a, CAN::RetType sent)
{
    if (sent != CAN::RetType_OK)
        return tool.fail(Exit_Bus,
            QStringLiteral("uds %1: the request could not be sent (result %2)").arg(what).arg(int(sent)));
    switch (a.kind) {
    case Answer::Positive:
        return Exit_Ok;
    case Answer::Negative:
        return tool.fail(Exit_Aborted,
            QStringLiteral("uds %1: negative response 0x%2").arg(what).arg(a.nrc, 2, 16, QLatin1Char('0')));
    case Answer::Timeout:
    case Answer::None:
        break;
    }
    return tool.fail(Exit_NoAnswer, QStringLiteral("uds %1: the ECU did not answer").arg(what));
}

QByteArray parseHex(const QString &text, bool *ok)
{
    QString hex = text;
    hex.remove(QLatin1Char(' '));
    *ok = hex.size() % 2 == 0 && !hex.contains(QRegularExpression(QStringLiteral("[^0-9a-fA-F]")));
    return QByteArray::fromHex(hex.toLatin1());
}

} // namespace

int cmdUds(Tool &tool, const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption reqId(QStringLiteral("request-id"),
        QStringLiteral("Physical request identifier (default 0x7E0)."), QStringLiteral("id"));
    const QCommandLineOption resId(QStringLiteral("response-id"),
        QStringLiteral("Response identifier (default 0x7E8)."), QStringLiteral("id"));
    const QCommandLineOption funId(QStringLiteral("functional-id"),
        QStringLiteral("Functional request identifier (default 0x7DF)."), QStringLiteral("id"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
        QStringLiteral("Response time-out in ms (default 2000)."), QStringLiteral("ms"));
    const QCommandLineOption security(QStringLiteral("security"),
        QStringLiteral("Enter the extended session and unlock this security level first\n(with the key "
                       "algorithm of the simulated ECU)."),
        QStringLiteral("level"));
    const QCommandLineOption block(QStringLiteral("block"),
        QStringLiteral("Largest transfer block in bytes (default: what the ECU allows)."),
        QStringLiteral("bytes"));
    for (const auto *o : { &reqId, &resId, &funId, &timeout, &security, &block })
        parser.addOption(*o);
    parser.addPositionalArgument(QStringLiteral("action"),
        QStringLiteral(
            "session TYPE | reset [TYPE] | read-did DID... | write-did DID HEX | dtc | clear-dtc |\n"
            "read-memory ADDRESS SIZE | tester-present | flash FILE ADDRESS | dump FILE ADDRESS SIZE\n"
            "flash: programming session, RequestDownload, TransferData blocks, RequestTransferExit.\n"
            "dump: RequestUpload of SIZE bytes at ADDRESS into FILE."));
    const int parsed = tool.parse(
        parser, QStringLiteral("uds"), args, QStringLiteral("UDS diagnostics (ISO 14229) over ISO-TP."));
    if (parsed >= 0)
        return parsed;
    const QString cmd = QStringLiteral("uds");
    const QStringList pos = parser.positionalArguments();
    if (pos.isEmpty())
        return tool.usage(cmd, QStringLiteral("needs an action"));
    quint64 requestId = 0x7E0, responseId = 0x7E8, functionalId = 0x7DF, timeoutMs = 2000, level = 0,
            blockMax = 0;
    const QList<std::pair<const QCommandLineOption *, quint64 *>> numeric
        = { { &reqId, &requestId }, { &resId, &responseId }, { &funId, &functionalId },
              { &timeout, &timeoutMs }, { &security, &level }, { &block, &blockMax } };
    for (const auto &n : numeric) {
        if (parser.isSet(*n.first) && !parseNumber(parser.value(*n.first), 0x3FFFFFFF, n.second))
            return tool.usage(cmd, QStringLiteral("--%1 needs a number").arg(n.first->names().first()));
    }
    if (timeoutMs == 0 || timeoutMs > 65535)
        return tool.usage(cmd, QStringLiteral("--timeout needs 1..65535 ms"));
    const QString action = pos.first();
    QList<quint64> nums;
    auto numbers = [&](int from, int count, quint64 max) {
        for (int i = from; i < from + count; ++i) {
            quint64 v = 0;
            if (!parseNumber(pos.value(i), max, &v))
                return false;
            nums << v;
        }
        return true;
    };
    QByteArray payload;
    bool ok = true;
    if (action == QLatin1String("session")) {
        ok = pos.size() == 2 && numbers(1, 1, 0x7F);
    } else if (action == QLatin1String("reset")) {
        ok = pos.size() <= 2 && (pos.size() == 1 ? (nums << 1, true) : numbers(1, 1, 0x7F));
    } else if (action == QLatin1String("read-did")) {
        ok = pos.size() >= 2 && numbers(1, pos.size() - 1, 0xFFFF);
    } else if (action == QLatin1String("write-did")) {
        ok = pos.size() == 3 && numbers(1, 1, 0xFFFF);
        if (ok)
            payload = parseHex(pos.at(2), &ok);
    } else if (action == QLatin1String("dtc") || action == QLatin1String("clear-dtc")
        || action == QLatin1String("tester-present")) {
        ok = pos.size() == 1;
    } else if (action == QLatin1String("read-memory")) {
        ok = pos.size() == 3 && numbers(1, 2, 0xFFFFFFFFu) && nums.at(1) > 0 && nums.at(1) <= 4093;
    } else if (action == QLatin1String("flash")) {
        ok = pos.size() == 3 && numbers(2, 1, 0xFFFFFFFFu);
    } else if (action == QLatin1String("dump")) {
        ok = pos.size() == 4 && numbers(2, 2, 0xFFFFFFFFu) && nums.at(1) > 0;
    } else {
        return tool.usage(cmd, QStringLiteral("unknown action \"%1\"").arg(action));
    }
    if (!ok)
        return tool.usage(cmd, QStringLiteral("bad arguments for %1").arg(action));
    if (action == QLatin1String("flash")) {
        QFileInfo info(pos.at(1));
        if (!info.isFile() || !info.isReadable())
            return tool.fail(Exit_File, QStringLiteral("cannot read %1").arg(pos.at(1)));
        if (info.size() == 0 || info.size() > 0xFFFFFFFFLL)
            return tool.fail(Exit_File, QStringLiteral("%1: nothing to flash").arg(pos.at(1)));
    }
    int code = 0;
    if (tool.gatewayBus())
        return tool.notOverGateway(QStringLiteral("UDS"));
    if (!tool.openBus(&code))
        return code;

    UDSClient uds(tool.bus->scheduler());
    uds.setCanIDs(quint32(requestId), quint32(responseId), quint32(functionalId));
    uds.setCANFD(tool.fd);
    uds.setResponseTimeout(quint16(timeoutMs));
    CAN::RetType sent = CAN::RetType_OK;
    Answer a;
    auto printData = [&](const QString &label, const QByteArray &data) {
        if (tool.json)
            tool.printJson(
                { { QStringLiteral("action"), action }, { label, QString::fromLatin1(data.toHex()) } });
        else
            tool.print(QString::fromLatin1(data.toHex(' ')));
    };

    const bool transfer = action == QLatin1String("flash") || action == QLatin1String("dump");
    if (transfer) {
        a = request(
            tool, uds, [&] { return uds.DiagnosticSessionControl(0x02); }, &sent);
        if (const int r = check(tool, QStringLiteral("programming session"), a, sent))
            return r;
    }
    if (level > 0 && !transfer) {
        // Security access is not offered in the default session.
        a = request(
            tool, uds, [&] { return uds.DiagnosticSessionControl(0x03); }, &sent);
        if (const int r = check(tool, QStringLiteral("extended session"), a, sent))
            return r;
    }
    if (level > 0) {
        const quint8 seedLevel = quint8(level * 2 - 1);
        a = request(
            tool, uds, [&] { return uds.SecurityAccess(seedLevel, QByteArray(), false); }, &sent);
        if (const int r = check(tool, QStringLiteral("security seed"), a, sent))
            return r;
        const QByteArray seed = a.data.mid(2);
        const QByteArray key = SimUdsEcu::defaultKey(seedLevel, seed);
        a = request(
            tool, uds, [&] { return uds.SecurityAccess(quint8(seedLevel + 1), key, false); }, &sent);
        if (const int r = check(tool, QStringLiteral("security key"), a, sent))
            return r;
    }

    if (action == QLatin1String("session")) {
        a = request(
            tool, uds, [&] { return uds.DiagnosticSessionControl(quint8(nums.at(0))); }, &sent);
    } else if (action == QLatin1String("reset")) {
        a = request(
            tool, uds, [&] { return uds.ECUReset(quint8(nums.at(0)), false); }, &sent);
    } else if (action == QLatin1String("read-did")) {
        QList<quint16> ids;
        for (quint64 n : nums)
            ids << quint16(n);
        a = request(
            tool, uds, [&] { return uds.ReadDataByIdentifers(ids); }, &sent);
    } else if (action == QLatin1String("write-did")) {
        a = request(
            tool, uds, [&] { return uds.WriteDataByIdentifer(quint16(nums.at(0)), payload); }, &sent);
    } else if (action == QLatin1String("dtc")) {
        a = request(
            tool, uds, [&] { return uds.ReadDTCInformation(0x02, QByteArray(1, '\xFF')); }, &sent);
    } else if (action == QLatin1String("clear-dtc")) {
        a = request(
            tool, uds, [&] { return uds.ClearDiagnosticInformation(0xFFFFFF); }, &sent);
    } else if (action == QLatin1String("tester-present")) {
        a = request(
            tool, uds, [&] { return uds.TesterPresent(false, false); }, &sent);
    } else if (action == QLatin1String("read-memory")) {
        a = request(
            tool, uds,
            [&] { return uds.ReadMemoryByAddress(2, 4, quint32(nums.at(0)), quint32(nums.at(1))); }, &sent);
    }
    if (!transfer) {
        if (const int r = check(tool, action, a, sent))
            return r;
        if (action == QLatin1String("dtc")) {
            // 0x59 0x02 availability mask, then DTC (3 bytes) and status (1 byte) records.
            const QByteArray d = a.data;
            QJsonArray list;
            for (int i = 3; i + 3 < d.size(); i += 4) {
                const quint32 dtc
                    = (quint32(quint8(d[i])) << 16) | (quint32(quint8(d[i + 1])) << 8) | quint8(d[i + 2]);
                const QString line = QStringLiteral("DTC 0x%1 status 0x%2")
                                         .arg(dtc, 6, 16, QLatin1Char('0'))
                                         .arg(quint8(d[i + 3]), 2, 16, QLatin1Char('0'));
                tool.json ? list.append(line) : tool.print(line);
            }
            if (tool.json)
                tool.printJson({ { QStringLiteral("dtcs"), list } });
        } else if (action == QLatin1String("read-did") && nums.size() == 1 && a.data.size() >= 3) {
            // One identifier: its value, and as text when it is printable.
            const QByteArray value = a.data.mid(3);
            bool printable = !value.isEmpty();
            for (char c : value)
                printable = printable && c >= 0x20 && c < 0x7F;
            if (tool.json)
                tool.printJson({ { QStringLiteral("did"),
                                     QStringLiteral("0x%1").arg(nums.at(0), 4, 16, QLatin1Char('0')) },
                    { QStringLiteral("value"), QString::fromLatin1(value.toHex()) } });
            else
                tool.print(QString::fromLatin1(value.toHex(' '))
                    + (printable ? QStringLiteral("  \"%1\"").arg(QString::fromLatin1(value)) : QString()));
        } else {
            printData(QStringLiteral("response"), a.data);
        }
        return Exit_Ok;
    }

    // Transfers.
    const quint32 address = quint32(nums.at(0));
    const bool flash = action == QLatin1String("flash");
    const quint32 size = flash ? quint32(QFileInfo(pos.at(1)).size()) : quint32(nums.at(1));
    a = request(
        tool, uds,
        [&] {
            return flash ? uds.RequestDownload(0x00, 4, 4, address, size)
                         : uds.RequestUpload(0x00, 4, 4, address, size);
        },
        &sent);
    if (const int r
        = check(tool, flash ? QStringLiteral("request download") : QStringLiteral("request upload"), a, sent))
        return r;
    // 0x74/0x75, lengthFormatIdentifier (high nibble: bytes of maxNumberOfBlockLength), length.
    quint32 maxBlock = 4095;
    if (a.data.size() >= 2) {
        const int n = (quint8(a.data.at(1)) >> 4) & 0x0F;
        if (n > 0 && a.data.size() >= 2 + n) {
            quint64 m = 0;
            for (int i = 0; i < n; ++i)
                m = (m << 8) | quint8(a.data.at(2 + i));
            maxBlock = quint32(qBound<quint64>(3, m, 4095));
        }
    }
    quint32 blockData = maxBlock - 2; // minus service identifier and sequence counter
    if (blockMax > 0)
        blockData = qMin<quint32>(blockData, quint32(blockMax));
    bool done = false;
    int failure = -1;
    if (flash) {
        UDSFileDownloader downloader(&uds);
        downloader.setBlockDelay(0);
        QObject::connect(&downloader, &UDSFileDownloader::sigDownloadProgress,
            [&](quint8 p) { tool.progress(QStringLiteral("flash"), qMin(99, int(p))); });
        QObject::connect(&downloader, &UDSFileDownloader::completed, [&] { done = true; });
        QObject::connect(&downloader, &UDSFileDownloader::error, [&](quint8 e) { failure = e; });
        if (!downloader.downloadFile(pos.at(1), quint16(blockData)))
            return tool.fail(Exit_File, QStringLiteral("cannot read %1").arg(pos.at(1)));
        tool.waitUntil([&] { return done || failure >= 0; }, 24 * 3600 * 1000);
        tool.progress(QString(), 100);
        if (!done) {
            downloader.abort();
            return failure == 1
                ? tool.fail(Exit_NoAnswer, QStringLiteral("uds flash: the ECU stopped answering"))
                : tool.fail(Exit_Aborted,
                    QStringLiteral("uds flash: negative response 0x%1")
                        .arg(failure, 2, 16, QLatin1Char('0')));
        }
    } else {
        UDSFileUploader uploader(&uds);
        uploader.setBlockDelay(0);
        QObject::connect(&uploader, &UDSFileUploader::completed, [&] { done = true; });
        QObject::connect(&uploader, &UDSFileUploader::error, [&](quint8 e) { failure = e; });
        if (!uploader.uploadFile(pos.at(1), size))
            return tool.fail(Exit_File, QStringLiteral("cannot start the upload into %1").arg(pos.at(1)));
        tool.waitUntil([&] { return done || failure >= 0; }, 24 * 3600 * 1000);
        if (!done) {
            uploader.abort();
            if (failure == 2)
                return tool.fail(Exit_File, QStringLiteral("cannot write %1").arg(pos.at(1)));
            return failure == 1
                ? tool.fail(Exit_NoAnswer, QStringLiteral("uds dump: the ECU stopped answering"))
                : tool.fail(Exit_Aborted,
                    QStringLiteral("uds dump: negative response 0x%1").arg(failure, 2, 16, QLatin1Char('0')));
        }
    }
    a = request(
        tool, uds, [&] { return uds.RequestTransferExit(QByteArray()); }, &sent);
    if (const int r = check(tool, QStringLiteral("transfer exit"), a, sent))
        return r;
    if (tool.json)
        tool.printJson({ { QStringLiteral("action"), action }, { QStringLiteral("bytes"), qint64(size) },
            { QStringLiteral("address"), QStringLiteral("0x%1").arg(address, 8, 16, QLatin1Char('0')) } });
    else
        tool.print(QStringLiteral("%1 bytes %2 0x%3")
                       .arg(size)
                       .arg(flash ? "flashed at" : "read from")
                       .arg(address, 8, 16, QLatin1Char('0')));
    return Exit_Ok;
}
