#pragma once

#include "canopendatatype.h"
#include "canopenservice.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QByteArray>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVariant>

class AbstractCanAdapter;

/// Reads and writes object-dictionary entries through a CiA 309-3 ASCII gateway: one command
/// line a request ("5 r 0x1018 1 u32"), the outcome from the gateway's answer line (a value,
/// "OK", "ERROR:<code>" or Base64 domain data). Requests return at once; the gateway's own SDO
/// time-out (set with setSdoTimeout) bounds each of them. A gateway that stays silent well beyond
/// it (see guardTime) ends the request with 0x05040000. Driven by SDOClient on gateway adapters.
///
/// Results: fixed-size numbers as uint/int (qulonglong/qlonglong for the 40- to 64-bit types),
/// REAL32/REAL64 as float, strings as QString, domains as QByteArray. Errors carry the SDO
/// abort code the gateway reported, or the gateway's own error number (100..999, e.g. 100
/// "Request not supported") when the failure is the gateway's.
class TARNWICK_EXPORT SDOCiA309Client : public CANopenService
{
    Q_OBJECT
public:
    explicit SDOCiA309Client(QObject *parent = nullptr);
    SDOCiA309Client(CanScheduler *scheduler, QObject *parent);
    ~SDOCiA309Client() override;

    /// 1 while a request is pending or for a null scheduler; else 0. On a gateway adapter the
    /// gateway's SDO time-out is sent at once.
    CAN::RetType setCanScheduler(CanScheduler *scheduler);
    /// The gateway's SDO time-out in ms (default 2000), sent to the gateway when linked. Always 0.
    CAN::RetType setSdoTimeout(quint32 ms);
    quint32 getSdoTimeout() const { return sdoTimeout; }

    /// 0 sent, 1 busy / type without a gateway word / no scheduler, or the adapter's refusal.
    CAN::RetType read(quint8 nodeId, quint16 index, quint8 sub, CAN::CANopenDataType type);
    /// As read; also 1 for a value that does not convert, 6 for a value without a text.
    CAN::RetType write(quint8 nodeId, quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value);
    /// Ends the pending request locally (the gateway is not told) and reports code. Always 0.
    CAN::RetType abort(quint32 code);
    /// The domain bytes a read has collected so far.
    QByteArray getCurrentlyReceivedData() const;
    bool isBusy() const { return transferState != TransferState_Idle; }
    /// The gateway's word for a data type ("u32", "vs", ...); empty when it has none.
    QString typeWord(CAN::CANopenDataType type) const { return typeWords.value(type); }
    /// How long a request may go without any answer line before it fails: the SDO time-out plus
    /// a second, plus for a domain write 1 ms per 2 bytes, for a domain read a minute.
    int guardTime(CAN::CANopenDataType type, bool write, int bytes) const;

signals:
    void resultReceived(quint16 index, quint8 sub, QVariant value);
    void errorReceived(quint16 index, quint8 sub, quint32 errorCode);
    void progress(quint8 percentValue);

public slots:
    void newResponseString(QString response);

private slots:
    void dataSettled();
    void guardExpired();

private:
    enum TransferState {
        TransferState_DomainRead = 0, ///< domain read sent; progress, then the data line
        TransferState_DomainLastBlock = 1, ///< the last block is reported; the data line is due
        TransferState_DomainData = 2, ///< collecting Base64 lines
        TransferState_DomainWrite = 3, ///< domain write sent; progress, then "OK"
        TransferState_DomainWriteDone = 4, ///< the last block is written; "OK" is due
        TransferState_Value = 5, ///< read or write of a non-domain type sent
        TransferState_Idle = 6,
    };

    void connectAdapter();
    void handleLine(const QString &line);
    void handleBlockLine(const QStringList &tokens);
    bool handleDataLine(QStringView line);
    void startData(QStringView text);
    void appendData(QStringView text);
    void finishDomain();
    void finishResult(const QVariant &value);
    void finishError(quint32 code);
    QVariant convertValue(const QStringList &tokens) const;
    QString valueText(CAN::CANopenDataType type, const QVariant &value) const;
    CAN::RetType start(
        quint16 index, quint8 sub, CAN::CANopenDataType type, TransferState state, const QString &line);

    QHash<CAN::CANopenDataType, QString> typeWords;
    quint16 pendingSequence = 0xFFFF;
    quint16 currentIndex = 0;
    quint8 currentSub = 0;
    CAN::CANopenDataType currentType = CAN::UNSIGNED32;
    TransferState transferState = TransferState_Idle;
    // A domain read's data, decoded as its lines arrive, and the Base64 characters of an
    // unfinished quartet (at most three) waiting for the next line.
    QByteArray receivedData;
    QByteArray base64Rest;
    void decodeBase64(QStringView text);
    quint32 sdoTimeout = 2000;
    QPointer<AbstractCanAdapter> linkedAdapter;
    /// A Base64 line without padding may be the whole domain or the first of several lines:
    /// the data is taken as complete when no further line follows within this time.
    QTimer settleTimer;
    /// Ends a request the gateway never answers (a hung gateway on a live connection).
    QTimer guardTimer;
};
