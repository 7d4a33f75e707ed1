#pragma once

#include "abstractcanadapter.h"
#include "vendrel_export.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QString>

#include <deque>

class QTcpSocket;

/// A CiA 309-3 ASCII gateway reached over TCP. The CANopen services see a gateway adapter
/// (AdapterOption_CiA309Gateway set) and send command lines instead of frames: a request goes
/// out as "[n] line" CR LF with a sequence number n of the adapter's choice, every received line
/// (ended by CR LF or LF) comes back through newCiA309Response. Never blocks: connecting runs in
/// the background and is reported by connected() or errorOccurred().
///
/// Results: 0 sent; 6 not connected (or CAN frames, which a gateway does not carry); 2 a line
/// holding a line break; 5 the socket refused the data. When the connection ends, every request
/// still waiting for its answer gets the line "[n] ERROR:201 #Lost connection", so that no
/// service waits forever.
class VENDREL_EXPORT CiA309GatewayAdapter : public AbstractCanAdapter
{
    Q_OBJECT
public:
    explicit CiA309GatewayAdapter(QObject *parent = nullptr);
    ~CiA309GatewayAdapter() override;

    /// Starts connecting (an open connection is closed first).
    void connectToGateway(const QString &host, quint16 port);
    void disconnectFromGateway();
    bool isConnected() const;
    QAbstractSocket::SocketState state() const;
    /// The last connection error, empty when there was none.
    QString errorString() const { return mError; }

    CAN::RetType sendCiA309Line(const QString &line) override;
    CAN::RetType sendCiA309Request(const QString &line, quint16 &sequence) override;
    CAN::RetType sendCanMessage(CAN::CanMessage &message) override;

    /// Bytes written but not yet handed to the network.
    qint64 bytesToWrite() const;
    /// Requests sent whose answer has not arrived yet.
    int pendingRequests() const { return int(mPending.size()); }

    /// Text of a CiA 309-3 gateway error number (100 "Request not supported", ...); empty for
    /// numbers the standard does not define.
    static QString gatewayErrorText(quint32 code);

signals:
    void connected();
    void disconnected();
    void stateChanged(QAbstractSocket::SocketState state);
    void errorOccurred(const QString &message);

private slots:
    void readAnswers();
    void connectionLost();
    void socketError(QAbstractSocket::SocketError error);

private:
    CAN::RetType writeLine(const QByteArray &line);
    void answered(const QByteArray &line);
    void failPending();

    QTcpSocket *mSocket = nullptr;
    QByteArray mBuffer;
    std::deque<quint16> mPending;
    quint16 mNextSequence = 1;
    int mLastAnswered = -1; ///< sequence number of the latest answer line, -1: none
    QString mError;
};
