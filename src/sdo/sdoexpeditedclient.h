#pragma once

#include "canopendatatype.h"
#include "canopenservice.h"
#include "canrxmessage.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QPointer>
#include <QVariant>

#include <atomic>

class AbstractCanAdapter;
class CanSender;
class QTimer;

/// One CiA 301 expedited SDO transfer at a time with one SDO server: a read (upload) or write
/// (download) of up to four bytes, one request and one response frame. The outcome arrives as
/// resultReceived or errorReceived (with the CiA 301 abort code). Driven by SDOClient; it is
/// also the base of the segmented client, which shares its identifiers, timer and signals.
class TARNWICK_EXPORT SDOExpeditedClient : public CANopenService
{
    Q_OBJECT
public:
    explicit SDOExpeditedClient(QObject *parent = nullptr);
    SDOExpeditedClient(quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent);
    ~SDOExpeditedClient() override;

    /// COB-IDs server to client (listened to) and client to server (sent on), and the
    /// extended-identifier flag of the frames. 1 while a transfer runs, else 0.
    virtual CAN::RetType setCobIds(quint32 serverCob, quint32 clientCob, bool extended);
    /// Moves the receive registration to another scheduler (null clears it). 1 while busy, else 0.
    virtual CAN::RetType setCanScheduler(CanScheduler *scheduler);

    /// Response timeout in ms (default 2000; 0 sends without supervision). 1 while busy.
    CAN::RetType setSdoTimeout(quint32 ms);
    quint32 getSdoTimeout() const { return sdoTimeout; }

    /// Upload of a numeric type of up to four bytes. 0 sent, 1 busy, 2 type not expedited,
    /// 6 no scheduler/adapter, or the adapter's refusal.
    CAN::RetType read(quint16 index, quint8 sub, CAN::CANopenDataType type);
    /// Download of value as type (strings and domains of 1 to 4 bytes). 0 sent, 1 busy,
    /// 2 type or value not expedited, 6 no scheduler/adapter or the adapter refused.
    CAN::RetType write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value);
    /// Ends the transfer; with a code other than 0 sends the abort frame and reports the code
    /// as errorReceived. Always 0.
    CAN::RetType abort(quint32 code);

    bool isBusy() const { return busy.load() != 0; }

signals:
    void resultReceived(quint16 index, quint8 sub, QVariant value);
    void errorReceived(quint16 index, quint8 sub, quint32 errorCode);

public slots:
    void newCanMessageReceived(CAN::CanRxMessage message);

private slots:
    void timeout();

protected:
    /// The adapter of the live scheduler, or null.
    AbstractCanAdapter *adapter() const;
    /// Sends eight bytes on clientCob; 6 without adapter, else the adapter's result.
    CAN::RetType sendSdoFrame(const quint8 bytes[8]);
    /// Sends the abort frame for the stored index and sub-index.
    CAN::RetType sendAbortFrame(quint32 code);
    /// Tells the adapter whether a long transfer runs (AdapterOption_TransferActive).
    void setTransferActive(bool active);
    /// Registers serverCob with the scheduler, dropping the previous registration.
    void registerReception();

    quint32 serverCob = 0;
    quint32 clientCob = 0;
    bool extended = false;
    quint16 index = 0;
    quint8 subIndex = 0;
    quint32 sdoTimeout = 2000;
    CAN::CANopenDataType dataType = CAN::UNSIGNED32;
    QPointer<CanSender> registration;
    QPointer<QTimer> timer;
    QVariant writeValue;
    std::atomic<int> busy { 0 };
    /// Values of transferKind.
    enum TransferKind : int {
        TransferKind_None = 0,
        TransferKind_Upload = 1,
        TransferKind_Download = 2,
        TransferKind_Aborted = 3,
    };
    int transferKind = TransferKind_None;
};
