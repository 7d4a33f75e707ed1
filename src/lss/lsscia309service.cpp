#include "lsscia309service_p.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "tarnwicklogging_p.h"

LSSCiA309Service::LSSCiA309Service(QObject *parent)
    : LSSService(parent)
{
    responseTimer.setSingleShot(true);
    responseTimer.setInterval(1000);
    connect(&responseTimer, &QTimer::timeout, this, &LSSCiA309Service::handleTimeout, Qt::UniqueConnection);
}

LSSCiA309Service::~LSSCiA309Service()
{
    // A request still waiting (the host deleted us from a slot run by its loop) returns 6.
    for (Wait *w = waiting; w; w = w->outer)
        w->loop.quit();
}

AbstractCanAdapter *LSSCiA309Service::adapter() const
{
    return mScheduler ? mScheduler->canAdapter() : nullptr;
}

void LSSCiA309Service::setCanScheduler(CanScheduler *scheduler)
{
    mScheduler = scheduler;
    if (linkedAdapter)
        disconnect(linkedAdapter, &AbstractCanAdapter::newCiA309Response, this,
            &LSSCiA309Service::newResponseString);
    linkedAdapter = adapter();
    if (!linkedAdapter)
        return;
    connect(linkedAdapter, &AbstractCanAdapter::newCiA309Response, this, &LSSCiA309Service::newResponseString,
        Qt::UniqueConnection);
    connect(&responseTimer, &QTimer::timeout, this, &LSSCiA309Service::handleTimeout, Qt::UniqueConnection);
    responseTimer.setSingleShot(true);
    responseTimer.setInterval(1000);
}

CAN::RetType LSSCiA309Service::request(const QString &line)
{
    AbstractCanAdapter *a = adapter();
    if (!a)
        return CAN::RetType_NoLink;
    pendingSequence = 0xFFFF;
    const CAN::RetType sent = a->sendCiA309Request(line, pendingSequence);
    if (sent != CAN::RetType_OK) {
        pendingSequence = 0xFFFF;
        return sent;
    }
    qCDebug(lcLss) << "gateway request" << pendingSequence << line;
    // A request issued from a slot while another one waits takes over; the outer one then
    // ends with 6, its answer no longer being the one awaited.
    Wait wait;
    Wait *outer = waiting;
    wait.outer = outer;
    waiting = &wait;
    QPointer<LSSCiA309Service> self(this);
    responseTimer.start();
    wait.loop.exec();
    if (!self)
        return CAN::RetType_NoLink;
    waiting = outer;
    if (outer) {
        outer->loop.quit();
        responseTimer.stop();
    }
    return wait.result;
}

CAN::RetType LSSCiA309Service::sendLine(const QString &line)
{
    AbstractCanAdapter *a = adapter();
    if (!a)
        return CAN::RetType_NoLink;
    return a->sendCiA309Line(line);
}

void LSSCiA309Service::newResponseString(QString response)
{
    if (pendingSequence == 0xFFFF)
        return;
    const QStringList lines = response.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        handleLine(line);
}

void LSSCiA309Service::handleLine(const QString &line)
{
    if (pendingSequence == 0xFFFF)
        return;
    QString first = line.section(QLatin1Char(' '), 0, 0);
    first.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
    if (first.toUShort(nullptr, 10) != pendingSequence)
        return;
    pendingSequence = 0xFFFF;
    CAN::RetType result = CAN::RetType_NoLink;
    if (line.contains(QLatin1String("ERROR"), Qt::CaseInsensitive))
        result = CAN::RetType_NoLink;
    else if (line.contains(QLatin1String("OK"), Qt::CaseInsensitive))
        result = CAN::RetType_OK;
    responseTimer.stop();
    if (waiting) {
        waiting->result = result;
        waiting->loop.quit();
    }
}

void LSSCiA309Service::handleTimeout()
{
    pendingSequence = 0xFFFF;
    if (waiting)
        waiting->loop.quit();
}

static QString hex(quint32 value)
{
    return QString::number(value, 16);
}

CAN::RetType LSSCiA309Service::switchModeGlobal(LSSMaster::LssGlobalState state)
{
    return request(
        QStringLiteral("lss_switch_glob %1")
            .arg(state == LSSMaster::LssGlobalState_Configuration ? QLatin1Char('1') : QLatin1Char('0')));
}

CAN::RetType LSSCiA309Service::storeConfiguration()
{
    return request(QStringLiteral("lss_store"));
}

CAN::RetType LSSCiA309Service::configureNodeId(quint8 nodeId)
{
    return request(QStringLiteral("lss_set_node %1").arg(nodeId));
}

CAN::RetType LSSCiA309Service::identifyNonConfigSlaves()
{
    return sendLine(QStringLiteral("lss_ident_nonconf"));
}

CAN::RetType LSSCiA309Service::switchModeSelective(
    quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber)
{
    return request(QStringLiteral("lss_switch_sel 0x%1 0x%2 0x%3 0x%4")
                       .arg(hex(vendorId), hex(productCode), hex(revisionNumber), hex(serialNumber)));
}

CAN::RetType LSSCiA309Service::classicalScan(quint32 vendorId, quint32 productCode, quint32 revisionLow,
    quint32 revisionHigh, quint32 serialLow, quint32 serialHigh)
{
    return sendLine(QStringLiteral("lss_identity %1 0x%2 0x%3 0x%4 0x%5 0x%6")
                        .arg(QString::number(vendorId), hex(productCode), hex(revisionLow), hex(revisionHigh),
                            hex(serialLow), hex(serialHigh)));
}

CAN::RetType LSSCiA309Service::activateBitTiming(quint16 switchDelay)
{
    return request(QStringLiteral("lss_activate_bitrate %1").arg(switchDelay));
}

CAN::RetType LSSCiA309Service::inquireNodeId()
{
    return sendLine(QStringLiteral("lss_get_node_node"));
}

CAN::RetType LSSCiA309Service::configureBitTiming(quint8 tableSelector, quint8 tableIndex)
{
    return request(QStringLiteral("lss_conf_bitrate 0x%1 0x%2").arg(hex(tableSelector), hex(tableIndex)));
}
