#include "simcia309gateway.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cia309gatewayadapter.h"
#include "lssmaster.h"
#include "sdoclient.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <cctype>
#include <cstring>
#include <limits>

// Longest command line accepted (a domain of a few MiB in Base64); a longer one is dropped.
static constexpr int kMaxLineBytes = 16 * 1024 * 1024;

namespace {

// CiA 309-3 gateway error numbers used here.
enum GatewayError : quint32 {
    Error_NotSupported = 100,
    Error_Syntax = 101,
    Error_InternalState = 102,
    Error_Timeout = 103,
    Error_NoDefaultNode = 105,
    Error_UnsupportedNet = 106,
    Error_UnsupportedNode = 107,
    Error_LssManufacturer = 501,
    Error_LssNodeId = 502,
    Error_LssBitRate = 503,
    Error_LssStore = 504,
    Error_LssMedia = 505,
};

// LSS over CAN (CiA 305): identify remote slave, the answer of a matching slave.
constexpr quint32 kLssRequestId = 0x7E5;
constexpr quint32 kLssAnswerId = 0x7E4;
constexpr quint8 kLssIdentifyVendor = 0x46;
constexpr quint8 kLssIdentifySlave = 0x4F;

/// The value bytes of a fixed-size type word: size, and how to read them.
struct TypeInfo
{
    enum Kind { Unsigned, Signed, Real, Time, Visible, Octet, Domain } kind;
    int size; ///< bytes; 0 for the variable-length types
};

bool typeInfo(const QString &word, TypeInfo *info)
{
    static const QHash<QString, TypeInfo> types = {
        { QStringLiteral("b"), { TypeInfo::Unsigned, 1 } },
        { QStringLiteral("u8"), { TypeInfo::Unsigned, 1 } },
        { QStringLiteral("u16"), { TypeInfo::Unsigned, 2 } },
        { QStringLiteral("u24"), { TypeInfo::Unsigned, 3 } },
        { QStringLiteral("u32"), { TypeInfo::Unsigned, 4 } },
        { QStringLiteral("u40"), { TypeInfo::Unsigned, 5 } },
        { QStringLiteral("u48"), { TypeInfo::Unsigned, 6 } },
        { QStringLiteral("u56"), { TypeInfo::Unsigned, 7 } },
        { QStringLiteral("u64"), { TypeInfo::Unsigned, 8 } },
        { QStringLiteral("i8"), { TypeInfo::Signed, 1 } },
        { QStringLiteral("i16"), { TypeInfo::Signed, 2 } },
        { QStringLiteral("i24"), { TypeInfo::Signed, 3 } },
        { QStringLiteral("i32"), { TypeInfo::Signed, 4 } },
        { QStringLiteral("i40"), { TypeInfo::Signed, 5 } },
        { QStringLiteral("i48"), { TypeInfo::Signed, 6 } },
        { QStringLiteral("i56"), { TypeInfo::Signed, 7 } },
        { QStringLiteral("i64"), { TypeInfo::Signed, 8 } },
        { QStringLiteral("r32"), { TypeInfo::Real, 4 } },
        { QStringLiteral("r64"), { TypeInfo::Real, 8 } },
        { QStringLiteral("t"), { TypeInfo::Time, 6 } },
        { QStringLiteral("vs"), { TypeInfo::Visible, 0 } },
        { QStringLiteral("os"), { TypeInfo::Octet, 0 } },
        { QStringLiteral("d"), { TypeInfo::Domain, 0 } },
    };
    const auto it = types.constFind(word.toLower());
    if (it == types.constEnd())
        return false;
    *info = *it;
    return true;
}

bool parseNumber(const QString &text, quint32 max, quint32 *value)
{
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 0);
    if (!ok || v > max)
        return false;
    *value = quint32(v);
    return true;
}

QByteArray littleEndian(quint64 value, int size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char((value >> (8 * i)) & 0xFF);
    return out;
}

quint64 fromLittleEndian(const QByteArray &bytes, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value |= quint64(quint8(bytes.at(i))) << (8 * i);
    return value;
}

/// The bytes a written value text stands for; false when the text does not fit the type.
bool encodeValue(const TypeInfo &type, const QString &word, QString text, QByteArray *out)
{
    switch (type.kind) {
    case TypeInfo::Unsigned: {
        bool ok = false;
        const qulonglong v = text.toULongLong(&ok, 0);
        const int bits = word == QLatin1String("b") ? 1 : 8 * type.size;
        if (!ok || (bits < 64 && v >> bits))
            return false;
        *out = littleEndian(v, type.size);
        return true;
    }
    case TypeInfo::Signed: {
        bool ok = false;
        const qlonglong v = text.toLongLong(&ok, 0);
        const int bits = 8 * type.size;
        if (!ok || (bits < 64 && (v < -(qlonglong(1) << (bits - 1)) || v >= (qlonglong(1) << (bits - 1)))))
            return false;
        *out = littleEndian(quint64(v), type.size);
        return true;
    }
    case TypeInfo::Real: {
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (!ok)
            return false;
        if (type.size == 4) {
            const float f = float(v);
            quint32 raw;
            std::memcpy(&raw, &f, 4);
            *out = littleEndian(raw, 4);
        } else {
            quint64 raw;
            std::memcpy(&raw, &v, 8);
            *out = littleEndian(raw, 8);
        }
        return true;
    }
    case TypeInfo::Time:
        return false;
    case TypeInfo::Visible:
        if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))) {
            text = text.mid(1, text.size() - 2);
            text.replace(QLatin1String("\"\""), QLatin1String("\""));
        }
        *out = text.toUtf8();
        return true;
    case TypeInfo::Octet: {
        text.remove(QLatin1Char(' '));
        const QByteArray hex = text.toLatin1();
        if (hex.size() % 2 != 0)
            return false;
        for (char c : hex) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return false;
        }
        *out = QByteArray::fromHex(hex);
        return true;
    }
    case TypeInfo::Domain: {
        const auto decoded
            = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return false;
        *out = *decoded;
        return true;
    }
    }
    return false;
}

/// The answer text of read bytes; false (with an abort code) when they do not fit the type.
bool formatValue(const TypeInfo &type, const QByteArray &bytes, QString *out, quint32 *abortCode)
{
    if (type.size > 0 && bytes.size() != type.size) {
        *abortCode = bytes.size() > type.size ? 0x06070012 : 0x06070013;
        return false;
    }
    switch (type.kind) {
    case TypeInfo::Unsigned:
        *out = QString::number(fromLittleEndian(bytes, type.size));
        return true;
    case TypeInfo::Signed: {
        quint64 v = fromLittleEndian(bytes, type.size);
        if (type.size < 8 && (v >> (8 * type.size - 1)) & 1)
            v |= ~quint64(0) << (8 * type.size); // sign extension
        *out = QString::number(qint64(v));
        return true;
    }
    case TypeInfo::Real:
        if (type.size == 4) {
            const quint32 raw = quint32(fromLittleEndian(bytes, 4));
            float f;
            std::memcpy(&f, &raw, 4);
            *out = QString::number(double(f), 'g', 9);
        } else {
            const quint64 raw = fromLittleEndian(bytes, 8);
            double d;
            std::memcpy(&d, &raw, 8);
            *out = QString::number(d, 'g', 17);
        }
        return true;
    case TypeInfo::Time:
    case TypeInfo::Octet:
        *out = QString::fromLatin1(bytes.toHex());
        return true;
    case TypeInfo::Visible: {
        QString text = QString::fromUtf8(bytes);
        text.replace(QLatin1Char('"'), QLatin1String("\"\""));
        text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        *out = QLatin1Char('"') + text + QLatin1Char('"');
        return true;
    }
    case TypeInfo::Domain:
        *out = QString::fromLatin1(bytes.toBase64());
        return true;
    }
    return false;
}

/// Splits at runs of blanks; starts receives where each word begins in text.
QStringList words(const QString &text, QList<int> *starts)
{
    QStringList out;
    int i = 0;
    const int n = text.size();
    while (i < n) {
        while (i < n && (text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t')))
            ++i;
        if (i >= n)
            break;
        const int begin = i;
        while (i < n && text.at(i) != QLatin1Char(' ') && text.at(i) != QLatin1Char('\t'))
            ++i;
        out << text.mid(begin, i - begin);
        if (starts)
            starts->append(begin);
    }
    return out;
}

bool isNumber(const QString &word)
{
    bool ok = false;
    word.toUInt(&ok, 0);
    return ok;
}

} // namespace

SimCiA309Gateway::SimCiA309Gateway(AbstractCanAdapter *canAdapter, QObject *parent)
    : QObject(parent)
    , mServer(new QTcpServer(this))
    , mAdapter(canAdapter)
    , mScheduler(new CanScheduler(canAdapter, this))
    , mSdo(new SDOClient(0x580, 0x600, mScheduler, this))
    , mLss(new LSSMaster(mScheduler, this))
{
    mSdo->setSdoTimeout(mSdoTimeout);
    mLss->setTimeout(mLssTimeout);
    mLssTimer.setSingleShot(true);
    connect(&mLssTimer, &QTimer::timeout, this, &SimCiA309Gateway::lssTimeout);
    connect(mServer, &QTcpServer::newConnection, this, &SimCiA309Gateway::newClient);
    connect(mScheduler, &CanScheduler::messageReceived, this, &SimCiA309Gateway::frameReceived);
    connect(mSdo, &SDOClient::resultReceived, this,
        [this](quint16, quint8, const QVariant &value) { sdoResult(value); });
    connect(mSdo, &SDOClient::errorReceived, this, [this](quint16, quint8, quint32 code) { sdoError(code); });
    connect(mLss, &LSSMaster::lssResult, this,
        [this](LSSMaster::LssAction a, LSSMaster::LssResult r, const QVariant &v) { lssResult(a, r, v); });
}

SimCiA309Gateway::~SimCiA309Gateway()
{
    // Sockets first: nothing is answered while the clients go.
    mQueue.clear();
    mCurrent = Command();
    const auto sockets = mServer->findChildren<QTcpSocket *>();
    for (QTcpSocket *s : sockets) {
        s->disconnect(this);
        s->abort();
    }
}

bool SimCiA309Gateway::listen(quint16 port, const QHostAddress &address)
{
    return mServer->listen(address, port);
}

quint16 SimCiA309Gateway::serverPort() const
{
    return mServer->serverPort();
}

QString SimCiA309Gateway::errorString() const
{
    return mServer->errorString();
}

int SimCiA309Gateway::clientCount() const
{
    return mServer->findChildren<QTcpSocket *>().size();
}

void SimCiA309Gateway::setLssTimeout(quint16 ms)
{
    mLssTimeout = ms;
    mLss->setTimeout(ms);
}

void SimCiA309Gateway::newClient()
{
    while (QTcpSocket *client = mServer->nextPendingConnection()) {
        client->setProperty("lineBuffer", QByteArray());
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readClient(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void SimCiA309Gateway::readClient(QTcpSocket *client)
{
    QByteArray buffer = client->property("lineBuffer").toByteArray() + client->readAll();
    int from = 0;
    for (int end; (end = buffer.indexOf('\n', from)) >= 0; from = end + 1) {
        int length = end - from;
        if (length > 0 && buffer.at(end - 1) == '\r')
            --length;
        enqueue(client, buffer.mid(from, length));
    }
    buffer.remove(0, from);
    if (buffer.size() > kMaxLineBytes)
        buffer.clear();
    client->setProperty("lineBuffer", buffer);
    if (mPending == Pending_None)
        runNext();
}

void SimCiA309Gateway::enqueue(QTcpSocket *client, const QByteArray &raw)
{
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.isEmpty())
        return;
    emit commandReceived(line);
    Command command;
    command.client = client;
    command.line = line;
    if (line.startsWith(QLatin1Char('['))) {
        const int close = line.indexOf(QLatin1Char(']'));
        command.sequence = close > 0 ? line.left(close + 1) : line.section(QLatin1Char(' '), 0, 0);
        command.line = close > 0 ? line.mid(close + 1).trimmed() : QString();
    }
    mQueue.push_back(command);
}

void SimCiA309Gateway::runNext()
{
    while (mPending == Pending_None && !mQueue.empty()) {
        mCurrent = mQueue.front();
        mQueue.pop_front();
        if (!mCurrent.client)
            continue; // the client left before its turn
        if (execute(mCurrent))
            return; // an answer from the bus is awaited
    }
}

void SimCiA309Gateway::reply(const QString &text)
{
    mPending = Pending_None;
    mLssTimer.stop();
    if (mCurrent.client && mCurrent.client->state() == QAbstractSocket::ConnectedState) {
        const QString line = mCurrent.sequence.isEmpty() ? text : mCurrent.sequence + QLatin1Char(' ') + text;
        mCurrent.client->write(line.toUtf8() + "\r\n");
    }
    mCurrent = Command();
}

void SimCiA309Gateway::replyError(quint32 code)
{
    reply(QStringLiteral("ERROR:%1 #%2").arg(code).arg(CiA309GatewayAdapter::gatewayErrorText(code)));
}

void SimCiA309Gateway::replySdoAbort(quint32 code)
{
    reply(QStringLiteral("ERROR:0x%1 #%2")
              .arg(code, 8, 16, QLatin1Char('0'))
              .arg(SDOClient::interpretSdoAbort(code)));
}

void SimCiA309Gateway::broadcast(const QString &line)
{
    const QByteArray out = line.toUtf8() + "\r\n";
    const auto sockets = mServer->findChildren<QTcpSocket *>();
    for (QTcpSocket *s : sockets) {
        if (s->state() == QAbstractSocket::ConnectedState)
            s->write(out);
    }
}

bool SimCiA309Gateway::execute(const Command &command)
{
    if (!command.sequence.isEmpty()) {
        bool ok = false;
        command.sequence.mid(1, command.sequence.size() - 2).toUInt(&ok);
        if (!ok || !command.sequence.endsWith(QLatin1Char(']'))) {
            replyError(Error_Syntax);
            return false;
        }
    }
    QList<int> starts;
    QStringList w = words(command.line, &starts);
    if (w.isEmpty()) {
        replyError(Error_Syntax);
        return false;
    }
    // [[net] node] command ...
    int at = 0;
    quint32 net = 1, node = 0;
    bool nodeGiven = false;
    if (isNumber(w.at(0))) {
        if (w.size() > 1 && isNumber(w.at(1))) {
            parseNumber(w.at(0), 0xFFFF, &net);
            at = 1;
        }
        if (!parseNumber(w.at(at), 0xFF, &node)) {
            replyError(Error_UnsupportedNode);
            return false;
        }
        nodeGiven = true;
        ++at;
    }
    if (net != 1) {
        replyError(Error_UnsupportedNet);
        return false;
    }
    const QString word = w.value(at).toLower();
    const QStringList args = w.mid(at + 1);
    if (!nodeGiven
        && (word == QLatin1String("r") || word == QLatin1String("read") || word == QLatin1String("w")
            || word == QLatin1String("write") || word == QLatin1String("start")
            || word == QLatin1String("stop") || word == QLatin1String("preop")
            || word == QLatin1String("preoperational") || word == QLatin1String("reset"))) {
        if (mDefaultNode == 0) {
            replyError(Error_NoDefaultNode);
            return false;
        }
        node = mDefaultNode;
    }
    if (word == QLatin1String("r") || word == QLatin1String("read") || word == QLatin1String("w")
        || word == QLatin1String("write")) {
        const bool write = word.startsWith(QLatin1Char('w'));
        if (node < 1 || node > 127) {
            replyError(Error_UnsupportedNode);
            return false;
        }
        // The value of a write is the rest of the line, blanks included.
        const int valueWord = at + 4;
        const QString value
            = write && valueWord < w.size() ? command.line.mid(starts.at(valueWord)) : QString();
        return executeSdo(quint8(node), write, args, value);
    }
    if (word == QLatin1String("start") || word == QLatin1String("stop") || word == QLatin1String("preop")
        || word == QLatin1String("preoperational") || word == QLatin1String("reset")) {
        if (node > 127) {
            replyError(Error_UnsupportedNode);
            return false;
        }
        return executeNmt(quint8(node), (QStringList { word } + args).join(QLatin1Char(' ')).toLower());
    }
    const bool known = word == QLatin1String("set") || word.startsWith(QLatin1String("lss_"));
    if (nodeGiven && known) { // these take no node
        replyError(Error_Syntax);
        return false;
    }
    if (word == QLatin1String("set"))
        return executeSet(args);
    if (word.startsWith(QLatin1String("lss_")))
        return executeLss(word, args);
    replyError(Error_NotSupported);
    return false;
}

bool SimCiA309Gateway::executeSdo(quint8 node, bool write, const QStringList &args, const QString &valueText)
{
    quint32 index = 0, sub = 0;
    TypeInfo type;
    if (args.size() < 3 || !parseNumber(args.at(0), 0xFFFF, &index) || !parseNumber(args.at(1), 0xFF, &sub)
        || !typeInfo(args.at(2), &type) || (write && valueText.isEmpty()) || (!write && args.size() > 3)) {
        replyError(Error_Syntax);
        return false;
    }
    QByteArray bytes;
    if (write && !encodeValue(type, args.at(2).toLower(), valueText, &bytes)) {
        replyError(type.kind == TypeInfo::Time ? Error_NotSupported : Error_Syntax);
        return false;
    }
    mSdo->setNodeId(node);
    mSdo->setSdoTimeout(mSdoTimeout);
    // Raw bytes both ways: the SDO client goes expedited, segmented or block by their number and
    // the type, as a gateway chooses, and the value text is this gateway's own business. Strings
    // and domains go block when the SDO client offers it, else segmented.
    const bool variable = type.size == 0;
    auto start = [&](bool block) {
        mSdo->setTemporaryBlockHandling(
            block ? SDOClient::BlockHandling_BlockOnce : SDOClient::BlockHandling_NoBlockOnce);
        return write ? mSdo->write(quint16(index), quint8(sub), CAN::DOMAIN, bytes)
                     : mSdo->read(quint16(index), quint8(sub), CAN::DOMAIN);
    };
    CAN::RetType ret = start(variable && mBlockTransfer);
    if (ret == CAN::RetType_InvalidRequest && variable && mBlockTransfer)
        ret = start(false); // no block transfer in this SDO client
    if (ret != CAN::RetType_OK) {
        replyError(Error_InternalState);
        return false;
    }
    mPending = write ? Pending_SdoWrite : Pending_SdoRead;
    mSdoType = args.at(2).toLower();
    return true;
}

void SimCiA309Gateway::sdoResult(const QVariant &value)
{
    if (mPending == Pending_SdoWrite) {
        reply(QStringLiteral("OK"));
    } else if (mPending == Pending_SdoRead) {
        TypeInfo type;
        typeInfo(mSdoType, &type);
        QString text;
        quint32 abortCode = 0;
        if (formatValue(type, value.toByteArray(), &text, &abortCode))
            reply(text);
        else
            replySdoAbort(abortCode);
    } else {
        return;
    }
    // The SDO client is still inside its signal: start the next request on a later turn.
    QMetaObject::invokeMethod(this, &SimCiA309Gateway::runNext, Qt::QueuedConnection);
}

void SimCiA309Gateway::sdoError(quint32 code)
{
    if (mPending != Pending_SdoRead && mPending != Pending_SdoWrite)
        return;
    replySdoAbort(code);
    QMetaObject::invokeMethod(this, &SimCiA309Gateway::runNext, Qt::QueuedConnection);
}

bool SimCiA309Gateway::executeNmt(quint8 node, const QString &word)
{
    quint8 command = 0;
    if (word == QLatin1String("start"))
        command = 0x01;
    else if (word == QLatin1String("stop"))
        command = 0x02;
    else if (word == QLatin1String("preop") || word == QLatin1String("preoperational"))
        command = 0x80;
    else if (word == QLatin1String("reset node"))
        command = 0x81;
    else if (word == QLatin1String("reset comm") || word == QLatin1String("reset communication"))
        command = 0x82;
    if (command == 0) {
        replyError(Error_Syntax);
        return false;
    }
    CAN::CanMessage frame;
    frame.length = 2;
    frame.data[0] = command;
    frame.data[1] = node;
    const CAN::RetType sent = mAdapter ? mAdapter->sendCanMessage(frame) : CAN::RetType_NoLink;
    if (sent == CAN::RetType_OK)
        reply(QStringLiteral("OK"));
    else
        replyError(Error_InternalState);
    return false;
}

bool SimCiA309Gateway::executeSet(const QStringList &args)
{
    quint32 value = 0;
    const QString what = args.value(0).toLower();
    if (args.size() != 2) {
        replyError(Error_Syntax);
    } else if (what == QLatin1String("sdo_timeout")) {
        if (!parseNumber(args.at(1), 0xFFFF, &value) || value == 0) {
            replyError(Error_Syntax);
            return false;
        }
        mSdoTimeout = value;
        reply(QStringLiteral("OK"));
    } else if (what == QLatin1String("node")) {
        if (!parseNumber(args.at(1), 127, &value) || value == 0) {
            replyError(Error_UnsupportedNode);
            return false;
        }
        mDefaultNode = quint8(value);
        reply(QStringLiteral("OK"));
    } else if (what == QLatin1String("network")) {
        if (!parseNumber(args.at(1), 0xFFFF, &value) || value != 1)
            replyError(Error_UnsupportedNet);
        else
            reply(QStringLiteral("OK"));
    } else {
        replyError(Error_NotSupported);
    }
    return false;
}

bool SimCiA309Gateway::executeLss(const QString &word, const QStringList &args)
{
    QList<quint32> v;
    for (const QString &a : args) {
        quint32 n = 0;
        if (!parseNumber(a, 0xFFFFFFFFu, &n)) {
            replyError(Error_Syntax);
            return false;
        }
        v << n;
    }
    auto arity = [&](int n) {
        if (v.size() == n)
            return true;
        replyError(Error_Syntax);
        return false;
    };
    CAN::RetType sent = CAN::RetType_OK;
    LSSMaster::LssAction action = LSSMaster::LssAction_None;
    if (word == QLatin1String("lss_switch_glob")) {
        if (!arity(1))
            return false;
        if (v.at(0) > 1) {
            replyError(Error_Syntax);
            return false;
        }
        // No slave answers the global switch: done when the frame is out.
        sent = mLss->switchModeGlobal(
            v.at(0) ? LSSMaster::LssGlobalState_Configuration : LSSMaster::LssGlobalState_Waiting);
        sent == CAN::RetType_OK ? reply(QStringLiteral("OK")) : replyError(Error_InternalState);
        return false;
    } else if (word == QLatin1String("lss_switch_sel")) {
        if (!arity(4))
            return false;
        action = LSSMaster::LssAction_SwitchModeSelective;
        sent = mLss->switchModeSelective(v.at(0), v.at(1), v.at(2), v.at(3));
    } else if (word == QLatin1String("lss_set_node")) {
        if (!arity(1))
            return false;
        if (v.at(0) < 1 || (v.at(0) > 127 && v.at(0) != 255)) {
            replyError(Error_LssNodeId);
            return false;
        }
        action = LSSMaster::LssAction_ConfigureNodeId;
        sent = mLss->configureNodeId(quint8(v.at(0)));
    } else if (word == QLatin1String("lss_conf_bitrate")) {
        if (!arity(2))
            return false;
        if (v.at(0) > 0xFF || v.at(1) > 0xFF) {
            replyError(Error_LssBitRate);
            return false;
        }
        action = LSSMaster::LssAction_ConfigureBitTiming;
        sent = mLss->configureBitTiming(quint8(v.at(0)), quint8(v.at(1)));
    } else if (word == QLatin1String("lss_activate_bitrate")) {
        if (!arity(1))
            return false;
        if (v.at(0) > 0xFFFF) {
            replyError(Error_Syntax);
            return false;
        }
        action = LSSMaster::LssAction_ActivateBitTiming;
        sent = mLss->activateBitTiming(quint16(v.at(0)));
    } else if (word == QLatin1String("lss_store")) {
        if (!arity(0))
            return false;
        action = LSSMaster::LssAction_StoreConfiguration;
        sent = mLss->storeConfiguration();
    } else if (word == QLatin1String("lss_get_node")) {
        if (!arity(0))
            return false;
        action = LSSMaster::LssAction_InquireNodeId;
        sent = mLss->inquireNodeId();
    } else if (word == QLatin1String("lss_ident_nonconf")) {
        if (!arity(0))
            return false;
        sent = mLss->identifyNonConfigSlaves();
        if (sent != CAN::RetType_OK) {
            replyError(Error_InternalState);
            return false;
        }
        // Any number of slaves may answer: collect for the LSS time-out.
        mPending = Pending_LssIdentify;
        mLssAnswered = false;
        mLssTimer.start(mLssTimeout);
        return true;
    } else if (word == QLatin1String("lss_identity")) {
        if (!arity(6))
            return false;
        // Identify remote slave (CiA 305): vendor, product, revision range, serial range; every
        // slave in the ranges answers 0x4F.
        for (int i = 0; i < 6; ++i) {
            CAN::CanMessage frame;
            frame.id = kLssRequestId;
            frame.length = 8;
            frame.data[0] = quint8(kLssIdentifyVendor + i);
            qToLittleEndian<quint32>(v.at(i), frame.data + 1);
            if (!mAdapter || mAdapter->sendCanMessage(frame) != CAN::RetType_OK) {
                replyError(Error_InternalState);
                return false;
            }
        }
        mPending = Pending_LssIdentity;
        mLssAnswered = false;
        mLssTimer.start(mLssTimeout);
        return true;
    } else {
        replyError(Error_NotSupported);
        return false;
    }
    if (sent != CAN::RetType_OK) {
        replyError(Error_InternalState);
        return false;
    }
    mPending = Pending_Lss;
    mLssAction = action;
    return true;
}

void SimCiA309Gateway::lssResult(int action, int result, const QVariant &value)
{
    if (mPending == Pending_LssIdentify && action == LSSMaster::LssAction_IdentifyNonConfigSlaves) {
        mLssAnswered = true;
        return;
    }
    if (mPending != Pending_Lss || action != mLssAction)
        return;
    if (action == LSSMaster::LssAction_ActivateBitTiming) {
        reply(QStringLiteral("OK")); // nobody answers it; its time-out ends it
    } else if (result == LSSMaster::LssResult_Success) {
        reply(action == LSSMaster::LssAction_InquireNodeId ? QString::number(value.toInt())
                                                           : QStringLiteral("OK"));
    } else if (result == LSSMaster::LssResult_Timeout) {
        replyError(Error_Timeout);
    } else {
        const int code = value.toInt();
        quint32 error = Error_LssManufacturer;
        if (action == LSSMaster::LssAction_ConfigureNodeId && code == 1)
            error = Error_LssNodeId;
        else if (action == LSSMaster::LssAction_ConfigureBitTiming && code == 1)
            error = Error_LssBitRate;
        else if (action == LSSMaster::LssAction_StoreConfiguration)
            error = code == 2 ? Error_LssMedia : Error_LssStore;
        replyError(error);
    }
    runNext();
}

void SimCiA309Gateway::lssTimeout()
{
    if (mPending != Pending_LssIdentify && mPending != Pending_LssIdentity)
        return;
    mLssAnswered ? reply(QStringLiteral("OK")) : replyError(Error_Timeout);
    runNext();
}

void SimCiA309Gateway::frameReceived(const CAN::CanRxMessage &message)
{
    if (message.extended || message.remote)
        return;
    const quint32 id = message.id;
    if (id == kLssAnswerId && message.length >= 1 && message.data[0] == kLssIdentifySlave
        && mPending == Pending_LssIdentity) {
        mLssAnswered = true;
    } else if (id > 0x80 && id <= 0xFF) {
        quint8 d[8] = {};
        std::memcpy(d, message.data, qMin<size_t>(message.length, 8));
        broadcast(QStringLiteral("%1 EMCY 0x%2 0x%3 0x%4 0x%5 0x%6 0x%7 0x%8")
                      .arg(id - 0x80)
                      .arg(d[0] | d[1] << 8, 4, 16, QLatin1Char('0'))
                      .arg(d[2], 2, 16, QLatin1Char('0'))
                      .arg(d[3], 2, 16, QLatin1Char('0'))
                      .arg(d[4], 2, 16, QLatin1Char('0'))
                      .arg(d[5], 2, 16, QLatin1Char('0'))
                      .arg(d[6], 2, 16, QLatin1Char('0'))
                      .arg(d[7], 2, 16, QLatin1Char('0')));
    } else if (id > 0x700 && id <= 0x77F && message.length == 1 && message.data[0] == 0) {
        broadcast(QStringLiteral("%1 BOOT_UP").arg(id - 0x700));
    }
}
