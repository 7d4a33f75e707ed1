#include "simsdogateway.h"

#include "simcanopennode.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"

#include <QtEndian>

#include <cstring>

static quint32 remoteKey(quint16 network, quint8 nodeId)
{
    return (quint32(network) << 8) | nodeId;
}

SimSdoGateway::SimSdoGateway(SimSdoServer *server, QObject *parent)
    : QObject(parent)
    , mServer(server)
{
    if (mServer)
        mServer->setCommandHandler(7, [this](const CAN::CanRxMessage &m) { return handleIndication(m); });
}

void SimSdoGateway::addRemoteNode(quint16 network, quint8 nodeId, SimObjectDictionary *od)
{
    mRemote.insert(remoteKey(network, nodeId), od);
}

bool SimSdoGateway::handleIndication(const CAN::CanRxMessage &message)
{
    const quint8 *d = message.data;
    if (d[0] != 0xE0)
        return false; // not a network indication: the server answers it
    ++mIndications;
    const quint8 network = d[1];
    const quint8 node = d[3];
    emit indicationReceived(network, node);
    if (mSilent || !mServer)
        return true;
    quint32 code = mAbortCode;
    bool networkKnown = false;
    for (auto it = mRemote.constBegin(); it != mRemote.constEnd(); ++it)
        networkKnown = networkKnown || (it.key() >> 8) == network;
    const auto target = mRemote.constFind(remoteKey(network, node));
    if (code == 0 && !networkKnown)
        code = 0x0A000001; // Network ID unknown
    else if (code == 0 && (target == mRemote.constEnd() || !*target))
        code = 0x0A000002; // Node ID unknown
    quint8 answer[8];
    std::memcpy(answer, d, 8);
    if (code != 0) {
        answer[0] = 0x80;
        qToLittleEndian<quint32>(code, answer + 4);
        mServer->sendAnswer(answer);
        return true;
    }
    // Confirmed: the gateway's SDO channel now reaches the remote node.
    mNetwork = network;
    mNode = node;
    mServer->setDictionary(target->data());
    mServer->sendAnswer(answer);
    return true;
}
