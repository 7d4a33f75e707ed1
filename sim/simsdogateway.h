#pragma once

#include "canrxmessage.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"
#include "tarnwicksim_export.h"

#include <QHash>
#include <QObject>
#include <QPointer>

/// An SDO routing gateway of CiA 301 on a simulated node. It answers the SDO network
/// indication (E0, network, 0, node-ID) on the node's default SDO channel: it confirms with the
/// same frame and from then on serves that remote node's dictionary through the SDO server of
/// the gateway node, or it aborts with 0x0A000001 (network unknown) or 0x0A000002 (node
/// unknown). Tests may make it abort with a chosen code or keep silent.
class TARNWICKSIM_EXPORT SimSdoGateway : public QObject
{
    Q_OBJECT
public:
    SimSdoGateway(SimSdoServer *server, QObject *parent = nullptr);

    /// A node reachable through the gateway: network, its node-ID and its dictionary.
    void addRemoteNode(quint16 network, quint8 nodeId, SimObjectDictionary *od);
    /// Every indication is aborted with code (0: answer normally).
    void setAbortCode(quint32 code) { mAbortCode = code; }
    /// Indications are not answered at all.
    void setSilent(bool silent) { mSilent = silent; }

    int indications() const { return mIndications; }
    quint8 routedNetwork() const { return mNetwork; }
    quint8 routedNode() const { return mNode; }

signals:
    void indicationReceived(quint8 network, quint8 nodeId);

private:
    bool handleIndication(const CAN::CanRxMessage &message);

    QPointer<SimSdoServer> mServer;
    QHash<quint32, QPointer<SimObjectDictionary>> mRemote;
    quint32 mAbortCode = 0;
    bool mSilent = false;
    int mIndications = 0;
    quint8 mNetwork = 0;
    quint8 mNode = 0;
};
