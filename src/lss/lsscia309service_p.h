#pragma once

#include "lssservice_p.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

class AbstractCanAdapter;

/// LSS through a CiA 309-3 ASCII gateway: each request is one command line ("lss_store",
/// "lss_set_node 10", ...). Requests with a confirmation wait in a local event loop for the
/// gateway's answer with the same sequence number, at most one second, and return 0 for "OK"
/// and 6 for an error or no answer. Never emits lssResult. Fastscan, the two-value classical
/// scan and its helpers are not offered over a gateway (6, from the base).
class LSSCiA309Service : public LSSService
{
    Q_OBJECT
public:
    explicit LSSCiA309Service(QObject *parent = nullptr);
    ~LSSCiA309Service() override;

    CAN::RetType switchModeGlobal(LSSMaster::LssGlobalState state) override;
    CAN::RetType storeConfiguration() override;
    CAN::RetType configureNodeId(quint8 nodeId) override;
    CAN::RetType identifyNonConfigSlaves() override;
    CAN::RetType switchModeSelective(
        quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber) override;
    CAN::RetType classicalScan(quint32 vendorId, quint32 productCode, quint32 revisionLow,
        quint32 revisionHigh, quint32 serialLow, quint32 serialHigh) override;
    using LSSService::classicalScan;
    CAN::RetType activateBitTiming(quint16 switchDelay) override;
    CAN::RetType inquireNodeId() override;
    CAN::RetType configureBitTiming(quint8 tableSelector, quint8 tableIndex) override;
    void setCanScheduler(CanScheduler *scheduler) override;

public slots:
    void newResponseString(QString response);
    void handleTimeout();

private:
    /// One waiting request: its loop and its outcome.
    struct Wait
    {
        QEventLoop loop;
        CAN::RetType result = CAN::RetType_NoLink;
        Wait *outer = nullptr; ///< the request this one interrupted
    };

    AbstractCanAdapter *adapter() const;
    /// Sends a line with a sequence number and waits for its answer.
    CAN::RetType request(const QString &line);
    /// Sends a line whose answer is not evaluated.
    CAN::RetType sendLine(const QString &line);
    void handleLine(const QString &line);

    quint16 pendingSequence = 0xFFFF;
    QTimer responseTimer;
    Wait *waiting = nullptr;
    QPointer<AbstractCanAdapter> linkedAdapter;
};
