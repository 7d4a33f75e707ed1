#pragma once

#include "canopendatatype.h"
#include "canrxmessage.h"
#include "tarnwicksim_export.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>

class AbstractCanAdapter;
class CanScheduler;
class LSSMaster;
class QTcpServer;
class QTcpSocket;
class SDOClient;

/// A CiA 309-3 ASCII gateway in front of a CAN network: a TCP server on 127.0.0.1 that reads
/// command lines ("[7] 5 r 0x1018 1 u32", "[8] 0 start", "[9] lss_store", "set sdo_timeout
/// 500") and answers each with a line of its sequence number ("[7] 305419896", "[8] OK",
/// "[9] ERROR:0x06020000 #Object does not exist"). It reaches the nodes through its own CAN
/// adapter (on a virtual bus, one of its own): SDO through an SDO client, expedited or
/// segmented as the size of the value asks; NMT and LSS frames; and it reports every EMCY
/// ("5 EMCY 0x8110 0x01 0x11 0x22 0x33 0x44 0x55") and boot-up ("5 BOOT_UP") it sees to all
/// connected clients. Requests run one at a time, in the order they arrived.
class TARNWICKSIM_EXPORT SimCiA309Gateway : public QObject
{
    Q_OBJECT
public:
    explicit SimCiA309Gateway(AbstractCanAdapter *canAdapter, QObject *parent = nullptr);
    ~SimCiA309Gateway() override;

    /// Starts listening; port 0 picks a free one. False with errorString() when it cannot.
    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress::LocalHost);
    quint16 serverPort() const;
    QString errorString() const;
    int clientCount() const;

    /// The SDO time-out of the gateway in ms (changed by "set sdo_timeout").
    quint32 sdoTimeout() const { return mSdoTimeout; }
    /// The node of commands that name none (changed by "set node"); 0: none.
    quint8 defaultNode() const { return mDefaultNode; }
    /// Answer time-out of LSS requests in ms (default 200).
    void setLssTimeout(quint16 ms);
    /// Strings and domains by block transfer where the SDO client offers it (default on).
    void setBlockTransfer(bool on) { mBlockTransfer = on; }

signals:
    /// Every command line received, as received (for traces and tests).
    void commandReceived(const QString &line);

private:
    struct Command
    {
        QPointer<QTcpSocket> client;
        QString sequence; ///< "[7]", or empty when the line carried none
        QString line; ///< the line after the sequence number
    };
    enum Pending {
        Pending_None,
        Pending_SdoRead,
        Pending_SdoWrite,
        Pending_Lss,
        Pending_LssIdentify,
        Pending_LssIdentity,
    };

    void newClient();
    void readClient(QTcpSocket *client);
    void enqueue(QTcpSocket *client, const QByteArray &raw);
    void runNext();
    /// Starts the command; false when it answered at once.
    bool execute(const Command &command);
    void reply(const QString &text);
    void replyError(quint32 code);
    void replySdoAbort(quint32 code);
    void broadcast(const QString &line);
    void frameReceived(const CAN::CanRxMessage &message);
    void lssTimeout();

    bool executeSdo(quint8 node, bool write, const QStringList &words, const QString &valueText);
    bool executeNmt(quint8 node, const QString &word);
    bool executeSet(const QStringList &words);
    bool executeLss(const QString &word, const QStringList &args);
    void sdoResult(const QVariant &value);
    void sdoError(quint32 code);
    void lssResult(int action, int result, const QVariant &value);

    QTcpServer *mServer = nullptr;
    QPointer<AbstractCanAdapter> mAdapter;
    CanScheduler *mScheduler = nullptr;
    SDOClient *mSdo = nullptr;
    LSSMaster *mLss = nullptr;
    std::deque<Command> mQueue;
    Command mCurrent;
    Pending mPending = Pending_None;
    QString mSdoType; ///< type word of the pending SDO read
    int mLssAction = 0;
    bool mLssAnswered = false;
    QTimer mLssTimer;
    quint32 mSdoTimeout = 1000;
    quint8 mDefaultNode = 0;
    quint16 mLssTimeout = 200;
    bool mBlockTransfer = true;
};
