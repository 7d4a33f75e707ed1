#pragma once

#include "canopendatatype.h"
#include "canopenservice.h"
#include "canrxmessage.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QVariant>

class AbstractCanAdapter;
class CanSender;
class QTimer;

/// USDO (CANopen FD) bulk download of a large DOMAIN value to one node: an initiate exchange in
/// which the server fixes the pace, then a stream of 64-byte segments of 60 data bytes without
/// answers, a last shorter segment and the server's final confirmation. Reports progress in
/// percent; errors arrive as errorReceived with the 8-bit USDO abort code.
class TARNWICK_EXPORT USDOBulkClient : public CANopenService
{
    Q_OBJECT
public:
    explicit USDOBulkClient(QObject *parent = nullptr);
    USDOBulkClient(quint8 localId, quint8 nodeId, CanScheduler *scheduler, QObject *parent);
    ~USDOBulkClient() override;

    /// The client's own node-ID (it sends on 0x600 + localId) and the server's. 1 while busy.
    CAN::RetType setNodeIds(quint8 localId, quint8 nodeId);
    /// Moves the registration to another scheduler. 1 while busy.
    CAN::RetType setCanScheduler(CanScheduler *scheduler);
    /// Supervision of the server's answers in ms (default 2000). 1 while busy.
    CAN::RetType setSdoTimeout(quint32 ms);
    quint32 getSdoTimeout() const { return sdoTimeout; }

    /// Starts the bulk download of value (as bytes). 0 started, 1 busy, 6 type not DOMAIN, no
    /// scheduler/adapter or the initiate frame was refused. The result is the int 0.
    CAN::RetType write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value);
    /// Ends the transfer; a code other than 0 is sent to the server and reported. Always 0.
    CAN::RetType abort(quint32 code);

    bool isBusy() const { return bulkState != 0; }
    /// The pause between segments in ms, as the server fixed it for the last transfer.
    quint16 getSegmentGap() const { return segmentGap; }

signals:
    void resultReceived(quint16 index, quint8 sub, QVariant value);
    void errorReceived(quint16 index, quint8 sub, quint32 errorCode);
    void progress(quint8 percentValue);

public slots:
    void newCanMessageReceived(CAN::CanRxMessage message);

private slots:
    void timeout();
    void handleFirstTimeout();
    void handleDownloadTimer();

private:
    AbstractCanAdapter *adapter() const;
    void dropRegistrations();
    void registerReception();
    void registerBroadcastReception();
    CAN::RetType sendFrame(const quint8 *bytes, int length);
    void setTransferActive(bool active);

    quint8 localId = 0;
    quint8 nodeId = 0;
    QPointer<CanSender> registration;
    QList<QPointer<CanSender>> broadcastRegistrations;
    quint32 sdoTimeout = 2000;
    enum BulkState : int {
        BulkState_Idle = 0,
        BulkState_Initiated = 1, ///< the initiate request is out
        BulkState_Sending = 2, ///< segments flow
        BulkState_LastSegmentSent = 3,
    };
    int bulkState = BulkState_Idle;
    quint16 index = 0;
    quint8 subIndex = 0;
    QByteArray buffer;
    quint32 totalSize = 0;
    quint32 offset = 0;
    quint8 transferCounter = 0;
    quint8 segmentCounter = 0;
    quint16 segmentGap = 10;
    quint8 lastPercent = 0;
    QTimer *responseTimer;
    QTimer *firstResponseTimer;
    QTimer *segmentTimer;
};
