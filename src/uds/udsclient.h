#pragma once

#include "cantypes.h"
#include "tarnwick_export.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class CanScheduler;
class ISOTPHandler;

/// UDS (ISO 14229) client for one server. Each service operation sends one request over
/// ISO-TP and returns at once: 0 sent, 1 busy (a request is outstanding, or the transport is
/// still sending a suppressed request), 6 not possible, or the transport's refusal (2 no
/// receive registration, or the adapter's own result, e.g. 7); a refused request is not pending.
/// The outcome arrives as response() (fetch the message with getResponseData()), preceded by
/// error(nrc) for a negative response, or as timeout(). Response-pending replies (NRC 0x78)
/// extend the wait. A set suppress flag sends the request without waiting for any answer.
class TARNWICK_EXPORT UDSClient : public QObject
{
    Q_OBJECT
public:
    explicit UDSClient(CanScheduler *scheduler, QObject *parent = nullptr);
    ~UDSClient() override;

    /// Physical request, response and functional request identifiers (above 0x1FFFFFFF:
    /// 29-bit). Normal addressing.
    void setCanIDs(quint32 requestId, quint32 responseId, quint32 functionalId);
    /// As setCanIDs, with extended addressing: each identifier with its address byte.
    void setCanIDsExt(quint32 requestId, quint8 requestAddress, quint32 responseId, quint8 responseAddress,
        quint32 functionalId, quint8 functionalAddress);
    /// CAN FD framing on or off (only takes effect on an adapter that can send CAN FD).
    void setCANFD(bool enable);
    /// Added to a non-zero STmin the server asks for (physical transport).
    void setIsoTPsetGapOffset(quint8 offset);
    /// Treat every STmin of the server as 0 (physical transport).
    void setIsoTPIgnoreSTmin(bool ignore);
    /// Time to wait for a response, and again after each response-pending reply (default 5000 ms).
    void setResponseTimeout(quint16 timeoutMs);
    quint16 responseTimeout() const { return mResponseTimeout; }
    /// True while a request waits for its response.
    bool isBusy() const { return mBusy != 0; }
    /// The last received message, starting with its service identifier byte.
    QByteArray getResponseData() const;
    /// Stops waiting; nothing is signalled.
    void abortService();

    CAN::RetType DiagnosticSessionControl(quint8 sessionType);
    CAN::RetType ECUReset(quint8 resetType, bool suppressResponse);
    /// groupOfDTC: the low 24 bits are sent.
    CAN::RetType ClearDiagnosticInformation(quint32 groupOfDTC);
    CAN::RetType ReadDTCInformation(quint8 reportType, QByteArray parameters);
    CAN::RetType ReadDataByIdentifers(QList<quint16> identifiers);
    /// Lengths in bytes (0..15); address and size are sent big-endian in that many bytes.
    CAN::RetType ReadMemoryByAddress(quint8 sizeLength, quint8 addressLength, quint32 address, quint32 size);
    CAN::RetType SecurityAccess(quint8 accessType, QByteArray data, bool suppressResponse);
    /// controlType 4 and 5 (with node identification number) are refused with 6.
    CAN::RetType ControlCommunication(quint8 controlType, quint8 communicationType, bool suppressResponse);
    CAN::RetType Authentication(quint8 authenticationTask, const QByteArray &data);
    CAN::RetType ReadDataByIdentifersPeriodic(quint8 transmissionMode, QList<quint8> identifiers);
    CAN::RetType WriteDataByIdentifer(quint16 identifier, QByteArray data);
    CAN::RetType IOControlByIdentifier(quint16 identifier, quint8 controlParameter, QByteArray data);
    CAN::RetType RoutineControl(
        quint8 controlType, quint16 routineId, QByteArray options, bool suppressResponse);
    /// Note the order: address length before size length.
    CAN::RetType RequestDownload(
        quint8 dataFormat, quint8 addressLength, quint8 sizeLength, quint32 address, quint32 size);
    CAN::RetType RequestUpload(
        quint8 dataFormat, quint8 addressLength, quint8 sizeLength, quint32 address, quint32 size);
    /// At most 4094 data bytes, else 6.
    CAN::RetType TransferData(quint8 blockSequenceCounter, const QByteArray &data);
    CAN::RetType RequestTransferExit(QByteArray parameters);
    CAN::RetType WriteMemoryByAddress(
        quint8 sizeLength, quint8 addressLength, quint32 address, quint32 size, QByteArray data);
    /// functional: send on the functional identifier.
    CAN::RetType TesterPresent(bool functional, bool suppressResponse);
    CAN::RetType ControlDTCSetting(quint8 settingType, bool suppressResponse, QByteArray parameters);

signals:
    /// No (complete) response within the response timeout.
    void timeout();
    /// A complete message arrived; getResponseData() has it.
    void response();
    /// The message that arrived is a negative response with this code (before response()).
    void error(quint8 nrc);

public slots:
    void dataReceived(quint32 deviceCanId);
    void timerElasped(quint32 deviceCanId);
    void isotpError(quint32 deviceCanId);

private:
    ISOTPHandler *createTransport();
    void configureTransports(quint32 requestId, quint32 responseId, quint32 functionalId, bool extended);
    CAN::RetType sendRequest(QByteArray &message, bool suppress, bool functional = false);
    CAN::RetType requestTransfer(quint8 sid, quint8 dataFormat, quint8 addressLength, quint8 sizeLength,
        quint32 address, quint32 size);
    bool memoryRequest(
        QByteArray &message, quint8 sizeLength, quint8 addressLength, quint32 address, quint32 size) const;

    QPointer<CanScheduler> mScheduler;
    QPointer<ISOTPHandler> mPhysicalTransport;
    QPointer<ISOTPHandler> mFunctionalTransport;
    QPointer<ISOTPHandler> mLastTransport; // the one whose buffer getResponseData() copies
    quint32 mRequestCanId = 0x7E0;
    quint32 mResponseCanId = 0x7E8;
    quint32 mFunctionalCanId = 0;
    quint8 mRequestExtAddress = 0;
    quint8 mResponseExtAddress = 0;
    quint8 mFunctionalExtAddress = 0;
    bool mCanFD = false;
    quint16 mResponseTimeout = 5000;
    enum Busy : int {
        Busy_Idle = 0,
        Busy_Waiting = 1, ///< a request is out and its answer awaited
    };
    int mBusy = Busy_Idle;
    quint8 mRequestSid = 0; // the service the pending answer must belong to
    // Runs from the request, or the last response-pending reply, for the response timeout; only
    // its remaining time is read (so the window follows the event loop's clock).
    QTimer mResponseWindow;
};
