#pragma once

#include "canopendatatype.h"
#include "canopenservice.h"
#include "canrxmessage.h"
#include "cantypes.h"
#include "tarnwick_export.h"

#include <QList>
#include <QPointer>
#include <QVariant>

class AbstractCanAdapter;
class CanSender;
class QTimer;

/// USDO (CANopen FD, CiA 1301) expedited transfers: one value of up to 56 bytes in one request
/// and one answer, to one node, to all nodes (node-ID 0, every answer reported until the
/// timeout) or routed through a gateway into another network. Errors arrive as errorReceived
/// with the 8-bit USDO abort code. Driven by SDOClient; base of the USDO segmented client.
class TARNWICK_EXPORT USDOExpeditedClient : public CANopenService
{
    Q_OBJECT
public:
    explicit USDOExpeditedClient(QObject *parent = nullptr);
    USDOExpeditedClient(quint8 localId, quint8 nodeId, CanScheduler *scheduler, QObject *parent);
    ~USDOExpeditedClient() override;

    /// The client's own node-ID (it sends on 0x600 + localId) and the server's (answers on
    /// 0x580 + nodeId; 0 listens to every node for a broadcast). 1 while a request runs.
    CAN::RetType setNodeIds(quint8 localId, quint8 nodeId);
    /// Moves the registrations to another scheduler (null clears it). 1 while busy.
    CAN::RetType setCanScheduler(CanScheduler *scheduler);
    /// Answer timeout in ms (default 2000; 0: requests are sent unsupervised). 1 while busy.
    CAN::RetType setSdoTimeout(quint32 ms);
    quint32 getSdoTimeout() const { return sdoTimeout; }
    /// Routes the next expedited requests through gatewayNode to destNode in destNetwork.
    void setRouting(bool routed, quint8 gatewayNode, quint8 destNetwork, quint8 destNode);

    /// Expedited upload. 0 sent, 1 busy, 2 type not expedited, 6 no scheduler/adapter or the
    /// adapter refused. Values of up to four bytes arrive decoded, longer ones as QByteArray.
    CAN::RetType read(quint16 index, quint8 sub, CAN::CANopenDataType type);
    /// Expedited download of up to 56 bytes; same results as read.
    CAN::RetType write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value);
    /// Ends the request; a code other than 0 is sent to the server (low 8 bits) and reported
    /// as errorReceived. Always 0.
    CAN::RetType abort(quint32 code);

    bool isBusy() const { return state != 0 || segState != 0; }
    quint8 localNodeId() const { return localId; }
    quint8 serverNodeId() const { return nodeId; }

signals:
    void resultReceived(quint16 index, quint8 sub, QVariant value, bool faultyDataType = false);
    void broadcastResultReceived(quint8 nodeId, quint16 index, quint8 sub, QVariant value);
    void errorReceived(quint16 index, quint8 sub, quint32 errorCode);
    void broadcastRequestFinished();

public slots:
    void newCanMessageReceived(CAN::CanRxMessage message);

private slots:
    void timeout();

protected:
    AbstractCanAdapter *adapter() const;
    /// Sends length bytes as a CAN FD frame on txCob (bit-rate switch unless routed).
    CAN::RetType sendUsdoFrame(const quint8 *bytes, int length, bool brs = true);
    /// The abort frame: destination, 0x7F, session of the last request, sub, index, code.
    CAN::RetType sendAbortFrame(quint8 code);
    /// Writes the unrouted request header; the frame-specific bytes follow at 6.
    void putHeader(quint8 *frame, quint8 command) const;
    /// The header of a request, routed or not; returns where the bytes after the object go.
    int putRequestHeader(quint8 *frame, quint8 command) const;
    /// Sends a read or write request and waits for its answer (kind: the Kind_ of the request).
    CAN::RetType sendRequest(const quint8 *frame, int length, int requestKind);
    void setTransferActive(bool active);
    /// True for an answer from the server to this client about the running request
    /// (unrouted layout: destination, command, session, sub-index, index).
    bool answerMatches(const CAN::CanRxMessage &message) const;
    /// Drops every receive registration.
    void dropRegistrations();
    void registerReception();
    void registerBroadcastReception();

    quint8 localId = 0;
    quint8 nodeId = 0;
    const quint8 sourceNetwork = 1;
    quint8 destNetwork = 1;
    quint8 destNode = 1;
    bool routed = false;
    quint8 gatewayNode = 0;
    quint32 rxCob = 0x580;
    quint32 txCob = 0x600;
    quint16 index = 0;
    quint8 subIndex = 0;
    CAN::CANopenDataType dataType = CAN::UNSIGNED32;
    quint32 sdoTimeout = 2000;
    QPointer<CanSender> registration;
    QList<QPointer<CanSender>> broadcastRegistrations;
    QPointer<CanSender> gatewayRegistration;
    QPointer<QTimer> timer;
    QVariant writeValue;
    enum State : int {
        State_Idle = 0,
        State_Waiting = 1, ///< waiting for the answer
        State_Collecting = 2, ///< collecting the answers to a broadcast
    };
    enum Kind : int {
        Kind_None = 0,
        Kind_Upload = 1,
        Kind_Download = 2,
        Kind_Aborted = 3,
        Kind_BroadcastUpload = 4,
        Kind_BroadcastDownload = 5,
    };
    enum SegState : int {
        SegState_Idle = 0,
        SegState_Running = 1,
        SegState_LastSegmentSent = 2, ///< download: the last segment is out
    };
    int state = State_Idle;
    int kind = Kind_None;
    quint8 session = 0; ///< the session of the next request
    quint8 requestSession = 0; ///< the session of the last request
    int segState = SegState_Idle; ///< the multi-frame transfer of the segmented client

private:
    void handleExpeditedAnswer(const CAN::CanRxMessage &message, const quint8 *value, quint8 type, int n);
    bool routedAnswerMatches(const CAN::CanRxMessage &message) const;
    void registerGateway();
};
