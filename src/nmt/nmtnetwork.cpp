#include "nmtnetwork.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "tarnwicklogging_p.h"

NMTNetwork::NMTNetwork(QObject *parent)
    : CANopenService(parent)
{
}

NMTNetwork::NMTNetwork(CanScheduler *scheduler, QObject *parent)
    : CANopenService(parent)
{
    mScheduler = scheduler;
}

void NMTNetwork::setCanScheduler(CanScheduler *scheduler)
{
    mScheduler = scheduler;
}

QString NMTNetwork::gatewayWord(NmtCommands command)
{
    switch (command) {
    case NMT_Start:
        return QStringLiteral("start");
    case NMT_Stop:
        return QStringLiteral("stop");
    case NMT_PreOperational:
        return QStringLiteral("preop");
    case NMT_ResetNode:
        return QStringLiteral("reset node");
    case NMT_ResetCommunication:
        return QStringLiteral("reset comm");
    }
    return QString();
}

CAN::RetType NMTNetwork::sendCommand(NmtCommands command)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    if (adapter->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool())
        return sendCiA309Command(command);

    CAN::CanMessage frame;
    frame.length = 2;
    frame.data[0] = command;
    const bool fd = mUseCANopenFD.load();
    frame.fd = fd;
    frame.bitRateSwitch = fd;
    qCDebug(lcNmt) << "NMT command" << Qt::hex << int(command) << "to all nodes";
    return adapter->sendCanMessage(frame);
}

CAN::RetType NMTNetwork::start()
{
    return sendCommand(NMT_Start);
}
CAN::RetType NMTNetwork::stop()
{
    return sendCommand(NMT_Stop);
}
CAN::RetType NMTNetwork::preop()
{
    return sendCommand(NMT_PreOperational);
}
CAN::RetType NMTNetwork::resetAppl()
{
    return sendCommand(NMT_ResetNode);
}
CAN::RetType NMTNetwork::resetComm()
{
    return sendCommand(NMT_ResetCommunication);
}

CAN::RetType NMTNetwork::sendCiA309Command(NmtCommands command)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    const QString word = gatewayWord(command);
    if (word.isEmpty())
        return CAN::RetType_InvalidRequest;
    quint16 sequence = 0xFFFF;
    return adapter->sendCiA309Request(QLatin1String("0 ") + word, sequence);
}
