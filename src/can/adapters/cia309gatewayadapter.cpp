#include "cia309gatewayadapter.h"

#include "canlogging_p.h"

#include <QHash>
#include <QTcpSocket>

// Longest answer line kept (a domain of several MiB in Base64 fits); a longer one is dropped.
static constexpr int kMaxLineBytes = 16 * 1024 * 1024;
// Requests remembered for the connection-loss answer; older ones are forgotten.
static constexpr size_t kMaxPending = 1024;

CiA309GatewayAdapter::CiA309GatewayAdapter(QObject *parent)
    : AbstractCanAdapter(parent)
    , mSocket(new QTcpSocket(this))
{
    setCanAdapterOption(AdapterOption_CiA309Gateway, true);
    connect(mSocket, &QTcpSocket::readyRead, this, &CiA309GatewayAdapter::readAnswers);
    connect(mSocket, &QTcpSocket::connected, this, [this] {
        mError.clear();
        emit connected();
    });
    connect(mSocket, &QTcpSocket::disconnected, this, &CiA309GatewayAdapter::connectionLost);
    connect(mSocket, &QTcpSocket::stateChanged, this, &CiA309GatewayAdapter::stateChanged);
    connect(mSocket, &QAbstractSocket::errorOccurred, this, &CiA309GatewayAdapter::socketError);
}

CiA309GatewayAdapter::~CiA309GatewayAdapter()
{
    // Nobody is to be told any more: leave quietly.
    mSocket->disconnect(this);
    mSocket->abort();
}

void CiA309GatewayAdapter::connectToGateway(const QString &host, quint16 port)
{
    if (mSocket->state() != QAbstractSocket::UnconnectedState)
        disconnectFromGateway();
    mBuffer.clear();
    mError.clear();
    mSocket->connectToHost(host, port);
}

void CiA309GatewayAdapter::disconnectFromGateway()
{
    mSocket->abort();
    failPending();
}

bool CiA309GatewayAdapter::isConnected() const
{
    return mSocket->state() == QAbstractSocket::ConnectedState;
}

QAbstractSocket::SocketState CiA309GatewayAdapter::state() const
{
    return mSocket->state();
}

qint64 CiA309GatewayAdapter::bytesToWrite() const
{
    return mSocket->bytesToWrite();
}

CAN::RetType CiA309GatewayAdapter::writeLine(const QByteArray &line)
{
    if (!isConnected())
        return CAN::RetType_NoLink;
    if (line.contains('\n') || line.contains('\r'))
        return CAN::RetType_InvalidRequest; // would be read as two commands
    QByteArray out;
    out.reserve(line.size() + 2);
    out += line;
    out += "\r\n";
    if (mSocket->write(out) != out.size())
        return CAN::RetType_DeviceError;
    qCDebug(lcCan) << "gateway <<" << line;
    return CAN::RetType_OK;
}

CAN::RetType CiA309GatewayAdapter::sendCiA309Line(const QString &line)
{
    return writeLine(line.toUtf8());
}

CAN::RetType CiA309GatewayAdapter::sendCiA309Request(const QString &line, quint16 &sequence)
{
    const quint16 number = mNextSequence;
    const CAN::RetType ret = writeLine(
        QByteArray(1, '[') + QByteArray::number(number) + QByteArrayLiteral("] ") + line.toUtf8());
    if (ret != CAN::RetType_OK)
        return ret;
    // 1..0xFFFE: 0xFFFF means "none" to the services, 0 is what an unnumbered line reads as.
    mNextSequence = mNextSequence >= 0xFFFE ? 1 : mNextSequence + 1;
    sequence = number;
    mPending.push_back(number);
    if (mPending.size() > kMaxPending)
        mPending.pop_front();
    return CAN::RetType_OK;
}

CAN::RetType CiA309GatewayAdapter::sendCanMessage(CAN::CanMessage &message)
{
    Q_UNUSED(message)
    return CAN::RetType_NoLink; // a gateway carries command lines, not frames
}

void CiA309GatewayAdapter::readAnswers()
{
    mBuffer += mSocket->readAll();
    int from = 0;
    for (;;) {
        const int end = mBuffer.indexOf('\n', from);
        if (end < 0)
            break;
        int length = end - from;
        if (length > 0 && mBuffer.at(end - 1) == '\r')
            --length;
        answered(mBuffer.mid(from, length));
        from = end + 1;
    }
    mBuffer.remove(0, from);
    if (mBuffer.size() > kMaxLineBytes) {
        qCWarning(lcCan) << "gateway line longer than" << kMaxLineBytes << "bytes dropped";
        mBuffer.clear();
    }
}

void CiA309GatewayAdapter::answered(const QByteArray &line)
{
    qCDebug(lcCan) << "gateway >>" << line.left(200);
    if (line.startsWith('[')) {
        const int close = line.indexOf(']');
        bool ok = false;
        const uint number = close > 1 ? line.mid(1, close - 1).toUInt(&ok) : 0;
        if (ok) {
            mLastAnswered = int(number);
            for (auto it = mPending.begin(); it != mPending.end(); ++it) {
                if (*it == number) {
                    mPending.erase(it);
                    break;
                }
            }
        }
    }
    emit newCiA309Response(QString::fromUtf8(line));
}

void CiA309GatewayAdapter::failPending()
{
    // Emitting may run service code that sends again; take the list first. The last answered
    // request is told too: its answer may have been the first of several lines (a domain in
    // Base64 over lines), cut off here. A service that is done with it ignores the line.
    std::deque<quint16> pending;
    pending.swap(mPending);
    if (mLastAnswered >= 0)
        pending.push_front(quint16(mLastAnswered));
    mLastAnswered = -1;
    for (quint16 number : pending)
        emit newCiA309Response(QStringLiteral("[%1] ERROR:201 #Lost connection").arg(number));
}

void CiA309GatewayAdapter::connectionLost()
{
    mBuffer.clear();
    failPending();
    emit disconnected();
}

void CiA309GatewayAdapter::socketError(QAbstractSocket::SocketError error)
{
    Q_UNUSED(error)
    mError = mSocket->errorString();
    // A refused or failed connect never reaches disconnected(): end the waiting requests here.
    if (mSocket->state() != QAbstractSocket::ConnectedState)
        failPending();
    emit errorOccurred(mError);
}

QString CiA309GatewayAdapter::gatewayErrorText(quint32 code)
{
    static const QHash<quint32, QString> texts = {
        { 100, QStringLiteral("Request not supported") },
        { 101, QStringLiteral("Syntax error") },
        { 102, QStringLiteral("Request not processed due to internal state") },
        { 103, QStringLiteral("Time-out") },
        { 104, QStringLiteral("No default net set") },
        { 105, QStringLiteral("No default node set") },
        { 106, QStringLiteral("Unsupported net") },
        { 107, QStringLiteral("Unsupported node") },
        { 200, QStringLiteral("Lost guarding message") },
        { 201, QStringLiteral("Lost connection") },
        { 202, QStringLiteral("Heartbeat started") },
        { 203, QStringLiteral("Heartbeat lost") },
        { 204, QStringLiteral("Wrong NMT state") },
        { 205, QStringLiteral("Boot-up") },
        { 300, QStringLiteral("Error passive") },
        { 301, QStringLiteral("Bus off") },
        { 303, QStringLiteral("CAN buffer overflow") },
        { 304, QStringLiteral("CAN init") },
        { 305, QStringLiteral("CAN active (at init or start-up)") },
        { 400, QStringLiteral("PDO already used") },
        { 401, QStringLiteral("PDO length exceeded") },
        { 501, QStringLiteral("LSS implementation- / manufacturer-specific error") },
        { 502, QStringLiteral("LSS node-ID not supported") },
        { 503, QStringLiteral("LSS bit-rate not supported") },
        { 504, QStringLiteral("LSS parameter storing failed") },
        { 505, QStringLiteral("LSS command failed because of media error") },
        { 600, QStringLiteral("Running out of memory") },
    };
    return texts.value(code);
}
