#include "sdocia309client.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "tarnwicklogging_p.h"

#include <limits>

// How long a Base64 line that could be followed by more lines waits for them (ms).
static constexpr int kDataSettleMs = 100;

SDOCiA309Client::SDOCiA309Client(QObject *parent)
    : CANopenService(parent)
{
    typeWords = {
        { CAN::BOOLEAN, QStringLiteral("b") },
        { CAN::INTEGER8, QStringLiteral("i8") },
        { CAN::UNSIGNED8, QStringLiteral("u8") },
        { CAN::INTEGER16, QStringLiteral("i16") },
        { CAN::UNSIGNED16, QStringLiteral("u16") },
        { CAN::INTEGER24, QStringLiteral("i24") },
        { CAN::UNSIGNED24, QStringLiteral("u24") },
        { CAN::INTEGER32, QStringLiteral("i32") },
        { CAN::UNSIGNED32, QStringLiteral("u32") },
        { CAN::INTEGER64, QStringLiteral("i64") },
        { CAN::UNSIGNED40, QStringLiteral("u40") },
        { CAN::REAL32, QStringLiteral("r32") },
        { CAN::UNSIGNED48, QStringLiteral("u48") },
        { CAN::REAL64, QStringLiteral("r64") },
        { CAN::UNSIGNED64, QStringLiteral("u64") },
        { CAN::TIME_OF_DAY, QStringLiteral("t") },
        { CAN::VISIBLE_STRING, QStringLiteral("vs") },
        { CAN::OCTET_STRING, QStringLiteral("os") },
        { CAN::DOMAIN, QStringLiteral("d") },
    };
    settleTimer.setSingleShot(true);
    settleTimer.setInterval(kDataSettleMs);
    connect(&settleTimer, &QTimer::timeout, this, &SDOCiA309Client::dataSettled);
    guardTimer.setSingleShot(true);
    connect(&guardTimer, &QTimer::timeout, this, &SDOCiA309Client::guardExpired);
}

SDOCiA309Client::SDOCiA309Client(CanScheduler *scheduler, QObject *parent)
    : SDOCiA309Client(parent)
{
    mScheduler = scheduler;
    connectAdapter();
}

SDOCiA309Client::~SDOCiA309Client() = default;

void SDOCiA309Client::connectAdapter()
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (linkedAdapter && linkedAdapter != adapter)
        disconnect(
            linkedAdapter, &AbstractCanAdapter::newCiA309Response, this, &SDOCiA309Client::newResponseString);
    linkedAdapter = adapter;
    if (adapter)
        connect(adapter, &AbstractCanAdapter::newCiA309Response, this, &SDOCiA309Client::newResponseString,
            Qt::UniqueConnection);
}

CAN::RetType SDOCiA309Client::setCanScheduler(CanScheduler *scheduler)
{
    if (transferState != TransferState_Idle)
        return CAN::RetType_Busy;
    mScheduler = scheduler;
    if (!scheduler) {
        connectAdapter();
        return CAN::RetType_Busy;
    }
    connectAdapter();
    if (linkedAdapter && linkedAdapter->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool())
        linkedAdapter->sendCiA309Line(QStringLiteral("set sdo_timeout %1").arg(sdoTimeout));
    return CAN::RetType_OK;
}

CAN::RetType SDOCiA309Client::setSdoTimeout(quint32 ms)
{
    sdoTimeout = ms;
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (adapter && adapter->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool()) {
        quint16 sequence = 0xFFFF; // the answer is not awaited
        adapter->sendCiA309Request(QStringLiteral("set sdo_timeout %1").arg(ms), sequence);
    }
    return CAN::RetType_OK;
}

CAN::RetType SDOCiA309Client::start(
    quint16 index, quint8 sub, CAN::CANopenDataType type, TransferState state, const QString &line)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_Busy;
    currentIndex = index;
    currentSub = sub;
    currentType = type;
    transferState = state;
    receivedData.clear();
    base64Rest.clear();
    pendingSequence = 0xFFFF;
    connectAdapter();
    qCDebug(lcSdo) << "gateway request" << line;
    const CAN::RetType ret = adapter->sendCiA309Request(line, pendingSequence);
    if (ret != CAN::RetType_OK) {
        // The refusal is the request's outcome: the client is free for the next one.
        transferState = TransferState_Idle;
        pendingSequence = 0xFFFF;
    }
    return ret;
}

int SDOCiA309Client::guardTime(CAN::CANopenDataType type, bool write, int bytes) const
{
    qint64 ms = qint64(sdoTimeout) + 1000;
    if (type == CAN::DOMAIN)
        ms += write ? bytes / 2 : 60000;
    return int(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

void SDOCiA309Client::guardExpired()
{
    if (transferState != TransferState_Idle)
        finishError(0x05040000); // SDO protocol timed out
}

CAN::RetType SDOCiA309Client::read(quint8 nodeId, quint16 index, quint8 sub, CAN::CANopenDataType type)
{
    if (transferState != TransferState_Idle || !typeWords.contains(type))
        return CAN::RetType_Busy;
    const QString line = QStringLiteral("%1 r 0x%2 %3 %4")
                             .arg(QString::number(nodeId), QString::number(index, 16), QString::number(sub),
                                 typeWords.value(type));
    const CAN::RetType ret
        = start(index, sub, type, type == CAN::DOMAIN ? TransferState_DomainRead : TransferState_Value, line);
    if (ret == CAN::RetType_OK)
        guardTimer.start(guardTime(type, false, 0));
    return ret;
}

static bool convertible(CAN::CANopenDataType type, const QVariant &value)
{
    switch (type) {
    case CAN::BOOLEAN:
        return value.canConvert<bool>();
    case CAN::INTEGER8:
        return value.canConvert<signed char>();
    case CAN::INTEGER16:
        return value.canConvert<short>();
    case CAN::INTEGER24:
    case CAN::INTEGER32:
        return value.canConvert<int>();
    case CAN::UNSIGNED8:
        return value.canConvert<unsigned char>();
    case CAN::UNSIGNED16:
        return value.canConvert<unsigned short>();
    case CAN::UNSIGNED24:
    case CAN::UNSIGNED32:
        return value.canConvert<unsigned int>();
    case CAN::REAL32:
    case CAN::REAL64:
        return value.canConvert<double>();
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
        return value.canConvert<QString>();
    case CAN::TIME_OF_DAY:
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED64:
        return value.canConvert<qulonglong>();
    case CAN::DOMAIN:
        return value.canConvert<QByteArray>();
    case CAN::INTEGER64:
        return value.canConvert<qlonglong>();
    case CAN::UNICODE_STRING:
    case CAN::TIME_DIFFERENCE:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::UNSIGNED56:
        return false;
    }
    return false;
}

QString SDOCiA309Client::valueText(CAN::CANopenDataType type, const QVariant &value) const
{
    switch (type) {
    case CAN::BOOLEAN:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case CAN::INTEGER8:
    case CAN::INTEGER16:
    case CAN::INTEGER24:
    case CAN::INTEGER32:
        return QString::number(value.toInt());
    case CAN::UNSIGNED8:
    case CAN::UNSIGNED16:
    case CAN::UNSIGNED24:
    case CAN::UNSIGNED32:
        return QString::number(value.toUInt());
    case CAN::INTEGER64:
        return QString::number(value.toLongLong());
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED64:
        return QString::number(value.toULongLong());
    case CAN::REAL32:
    case CAN::REAL64:
        return QString::number(value.toDouble(), 'g', 6);
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
        return value.toString();
    case CAN::DOMAIN:
        return QString::fromLatin1(value.toByteArray().toBase64());
    case CAN::TIME_OF_DAY:
    case CAN::UNICODE_STRING:
    case CAN::TIME_DIFFERENCE:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::UNSIGNED56:
        break;
    }
    return QString();
}

CAN::RetType SDOCiA309Client::write(
    quint8 nodeId, quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value)
{
    if (transferState != TransferState_Idle || !typeWords.contains(type) || !convertible(type, value))
        return CAN::RetType_Busy;
    const QString text = valueText(type, value);
    if (text.isEmpty())
        return CAN::RetType_NoLink;
    const QString line = QStringLiteral("%1 w 0x%2 %3 %4 %5")
                             .arg(QString::number(nodeId), QString::number(index, 16), QString::number(sub),
                                 typeWords.value(type), text);
    const CAN::RetType ret = start(
        index, sub, type, type == CAN::DOMAIN ? TransferState_DomainWrite : TransferState_Value, line);
    if (ret == CAN::RetType_OK)
        guardTimer.start(guardTime(type, true, text.size() * 3 / 4));
    return ret;
}

CAN::RetType SDOCiA309Client::abort(quint32 code)
{
    transferState = TransferState_Idle;
    pendingSequence = 0xFFFF; // a late answer of the gateway finds nothing pending
    settleTimer.stop();
    guardTimer.stop();
    emit errorReceived(currentIndex, currentSub, code);
    return CAN::RetType_OK;
}

QByteArray SDOCiA309Client::getCurrentlyReceivedData() const
{
    return receivedData;
}

void SDOCiA309Client::decodeBase64(QStringView text)
{
    // Slice by slice, so that memory holds the decoded data and one slice, never a copy of the
    // whole text. Characters outside the Base64 alphabet are skipped, as QByteArray::fromBase64
    // does; whole quartets are decoded, the rest waits for more.
    constexpr int Slice = 4096;
    for (int from = 0; from < int(text.size()); from += Slice) {
        const int end = int(qMin<qsizetype>(text.size(), from + Slice));
        for (int i = from; i < end; ++i) {
            const ushort c = text.at(i).unicode();
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+'
                || c == '/' || c == '=')
                base64Rest.append(char(c));
        }
        const int whole = base64Rest.size() - base64Rest.size() % 4;
        if (whole > 0) {
            receivedData += QByteArray::fromBase64(QByteArray::fromRawData(base64Rest.constData(), whole));
            base64Rest.remove(0, whole);
        }
    }
}

// --- answers ------------------------------------------------------------------------------

void SDOCiA309Client::newResponseString(QString response)
{
    if (pendingSequence == 0xFFFF)
        return; // the common case for all but one client of a gateway
    if (!response.contains(QLatin1Char('\n'))) {
        handleLine(response);
        return;
    }
    const QStringList lines = response.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        handleLine(line);
}

// "[12]" -> 12; anything else gives 0, which no adapter uses as a sequence number.
static quint16 sequenceOf(const QString &token)
{
    QString digits = token;
    digits.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
    return digits.toUShort(nullptr, 10);
}

// The code of an error answer. Both spellings are understood: "ERROR: 0x06020000" (the code as
// the next word) and "ERROR:0x06020000 #Object does not exist." (the code joined to the word,
// a comment after '#'): the last number before the comment is the code, 0 when there is none.
static quint32 errorCodeOf(const QStringList &tokens)
{
    int i = 0;
    while (i < tokens.size() && !tokens.at(i).contains(QLatin1String("error"), Qt::CaseInsensitive))
        ++i;
    quint32 code = 0;
    auto take = [&code](const QString &text) {
        bool ok = false;
        const quint32 value = text.toUInt(&ok, 0);
        if (ok)
            code = value;
    };
    if (i < tokens.size()) {
        const int colon = tokens.at(i).indexOf(QLatin1Char(':'));
        if (colon >= 0)
            take(tokens.at(i).mid(colon + 1));
    }
    for (++i; i < tokens.size() && !tokens.at(i).startsWith(QLatin1Char('#')); ++i)
        take(tokens.at(i));
    return code;
}

void SDOCiA309Client::handleLine(const QString &rawLine)
{
    if (pendingSequence == 0xFFFF || handleDataLine(QStringView(rawLine).trimmed()))
        return;
    const QString line = rawLine.simplified();
    const QStringList tokens = line.split(QLatin1Char(' '));
    const bool sequenced = line.startsWith(QLatin1Char('['));
    const bool matches = sequenced && sequenceOf(tokens.first()) == pendingSequence;
    // The answer's word follows the sequence number. Only there is "ERROR" or "OK" an outcome:
    // a string value that merely contains such a word is a value.
    const QString word = tokens.value(1);
    if (matches && word.startsWith(QLatin1String("ERROR"), Qt::CaseInsensitive)) {
        finishError(errorCodeOf(tokens));
        return;
    }
    const bool blockLine = tokens.contains(QStringLiteral("BLOCK"));
    switch (transferState) {
    case TransferState_Idle:
        return;
    case TransferState_Value:
    case TransferState_DomainWriteDone:
        if (!matches)
            return;
        if (word == QLatin1String("OK")) {
            finishResult(0);
        } else {
            finishResult(convertValue(tokens));
            if (transferState == TransferState_Idle) { // unless the host's slot started the next one
                currentIndex = 0; // a value answer leaves no entry behind
                currentSub = 0;
            }
        }
        return;
    case TransferState_DomainWrite:
        if (blockLine)
            handleBlockLine(tokens);
        else if (matches && word == QLatin1String("OK"))
            finishResult(0);
        return;
    case TransferState_DomainRead:
        if (blockLine)
            handleBlockLine(tokens);
        else if (matches)
            startData(tokens.size() < 2 ? QStringView() : QStringView(tokens.last()));
        return;
    case TransferState_DomainLastBlock:
        if (matches)
            startData(tokens.size() < 2 ? QStringView() : QStringView(tokens.last()));
        return;
    case TransferState_DomainData:
        if (line.isEmpty() || sequenced)
            finishDomain(); // an empty line, or the next answer, ends the data
        else
            appendData(line);
        return;
    }
}

void SDOCiA309Client::handleBlockLine(const QStringList &tokens)
{
    if (tokens.size() < 5) {
        if (transferState == TransferState_DomainRead)
            finishError(0);
        return;
    }
    guardTimer.start(); // the gateway is at work: progress restarts the guard
    const quint16 done = tokens.at(3).toUShort(nullptr, 10);
    const quint16 total = tokens.at(4).toUShort(nullptr, 10);
    if (total == 0)
        return;
    if (transferState == TransferState_DomainRead) {
        if (done == total)
            transferState = TransferState_DomainLastBlock;
        else
            emit progress(quint8(quint32(done) * 100 / total));
        return;
    }
    if (done == total)
        transferState = TransferState_DomainWriteDone;
    emit progress(quint8(quint32(done) * 100 / total));
}

// Base64 lines of a domain can be megabytes: they are decoded where they lie, never copied or
// split into words. True when the line was such a line.
bool SDOCiA309Client::handleDataLine(QStringView line)
{
    if (transferState == TransferState_DomainData) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('[')))
            return false;
        appendData(line);
        return true;
    }
    // The first line of the data, "[n] <Base64>": only long ones take this way.
    if ((transferState != TransferState_DomainRead && transferState != TransferState_DomainLastBlock)
        || line.size() < 1024 || !line.startsWith(QLatin1Char('[')))
        return false;
    const int space = int(line.indexOf(QLatin1Char(' ')));
    if (space < 0)
        return false;
    const QStringView data = line.mid(space + 1).trimmed();
    if (data.contains(QLatin1Char(' ')) || data.startsWith(QLatin1String("ERROR"), Qt::CaseInsensitive)
        || sequenceOf(line.left(space).toString()) != pendingSequence)
        return false;
    startData(data);
    return true;
}

void SDOCiA309Client::startData(QStringView text)
{
    receivedData.clear();
    base64Rest.clear();
    transferState = TransferState_DomainData;
    if (text.isEmpty()) { // "[16]" alone: an empty domain
        finishDomain();
        return;
    }
    appendData(text);
}

void SDOCiA309Client::appendData(QStringView text)
{
    decodeBase64(text);
    guardTimer.start();
    // A line that is not a whole number of Base64 quartets, or that ends in padding, is the
    // last one. A line of whole quartets may be the only one (gateways that send a domain as one
    // line) or be followed by more: an empty line, another data line, or silence decides.
    if (text.size() % 4 != 0 || text.endsWith(QLatin1Char('=')))
        finishDomain();
    else
        settleTimer.start();
}

void SDOCiA309Client::dataSettled()
{
    if (transferState == TransferState_DomainData)
        finishDomain();
}

void SDOCiA309Client::finishDomain()
{
    settleTimer.stop();
    guardTimer.stop();
    transferState = TransferState_Idle;
    pendingSequence = 0xFFFF;
    emit progress(100);
    receivedData += QByteArray::fromBase64(base64Rest); // an unpadded last quartet
    base64Rest.clear();
    emit resultReceived(currentIndex, currentSub, receivedData);
}

void SDOCiA309Client::finishResult(const QVariant &value)
{
    settleTimer.stop();
    guardTimer.stop();
    transferState = TransferState_Idle;
    pendingSequence = 0xFFFF;
    const quint16 index = currentIndex;
    const quint8 sub = currentSub;
    emit resultReceived(index, sub, value);
}

void SDOCiA309Client::finishError(quint32 code)
{
    settleTimer.stop();
    guardTimer.stop();
    transferState = TransferState_Idle;
    pendingSequence = 0xFFFF;
    emit errorReceived(currentIndex, currentSub, code);
}

QVariant SDOCiA309Client::convertValue(const QStringList &tokens) const
{
    const QString last = tokens.last();
    switch (currentType) {
    case CAN::BOOLEAN:
    case CAN::UNSIGNED8:
    case CAN::UNSIGNED16:
    case CAN::UNSIGNED24:
    case CAN::UNSIGNED32:
        return last.toUInt(nullptr, 0);
    case CAN::INTEGER8:
    case CAN::INTEGER16:
    case CAN::INTEGER24:
    case CAN::INTEGER32:
        return last.toInt(nullptr, 0);
    case CAN::REAL32:
    case CAN::REAL64:
        return last.toFloat();
    case CAN::INTEGER64:
        return last.toLongLong(nullptr, 0);
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED64:
        return last.toULongLong(nullptr, 0);
    case CAN::OCTET_STRING:
    case CAN::DOMAIN:
        return last;
    case CAN::VISIBLE_STRING: {
        QString text = tokens.mid(1).join(QLatin1Char(' '));
        if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))) {
            text = text.mid(1, text.size() - 2);
            text.replace(QLatin1String("\"\""), QLatin1String("\"")); // a quote inside is doubled
        }
        return text;
    }
    case CAN::UNICODE_STRING:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::UNSIGNED56:
        break;
    }
    return QVariant();
}
