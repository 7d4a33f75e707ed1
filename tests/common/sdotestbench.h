#pragma once

#include "abstractcanadapter.h"
#include "buspeer.h"
#include "canscheduler.h"
#include "recordingadapter.h"
#include "sdoclient.h"
#include "simcanopennode.h"
#include "simsdoserver.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

/// A virtual adapter that refuses, with the code given, the first offer of each frame whose byte 0
/// is listed (as a full transmit queue or a failing device would); other frames go on the bus.
class RefusingAdapter : public VirtualCanAdapter
{
public:
    using VirtualCanAdapter::VirtualCanAdapter;
    CAN::RetType sendCanMessage(CAN::CanMessage &message) override
    {
        for (int i = 0; i < refuse.size(); ++i) {
            if (refuse.at(i).first == message.data[0])
                return refuse.takeAt(i).second;
        }
        return VirtualCanAdapter::sendCanMessage(message);
    }
    QList<QPair<quint8, CAN::RetType>> refuse;
};

/// Plays a bus transcript with the peer as the other end of the side under test. Steps are
/// separated by blanks: ">hex" is the next frame the tested side must send (on out), "<hex" a
/// frame the peer sends to it (on in), either as "<id:hex" on another identifier (hex), and
/// "~ms" means no frame for ms milliseconds. A hex ending in "." is filled up with zeros to 8
/// bytes. "!code:hex" makes host refuse, with that return code, the next frame starting with
/// byte hex. Returns what went wrong, or nothing.
inline QByteArray playTranscript(
    BusPeer &peer, quint32 out, quint32 in, const QByteArray &script, RefusingAdapter *host = nullptr)
{
    for (const QByteArray &step : script.simplified().split(' ')) {
        const int colon = step.indexOf(':');
        const quint32 own = step.startsWith('>') ? out : in;
        const quint32 id = colon > 0 ? step.mid(1, colon - 1).toUInt(nullptr, 16) : own;
        QByteArray arg = step.mid(colon > 0 ? colon + 1 : 1);
        if (arg.endsWith('.'))
            arg = arg.chopped(1).leftJustified(16, '0');
        QByteArray why;
        if (step.startsWith('>') && !peer.expect(id, arg.constData(), 1000, &why))
            return step + ": " + why;
        if (step.startsWith('<'))
            peer.send(id, QByteArray::fromHex(arg));
        if (step.startsWith('~') && !peer.expectSilence(arg.toInt()))
            return step + ": got " + frameHex(peer.takeFrame());
        if (step.startsWith('!') && host)
            host->refuse.append({ quint8(arg.toUInt(nullptr, 16)), CAN::RetType(id) });
    }
    return QByteArray();
}

/// Plays a transcript on a bench (see playTranscript) and fails the test at the first mismatch.
#define PLAY(bench, script)                                                                                  \
    do {                                                                                                     \
        const QByteArray why_ = (bench).play(script);                                                        \
        QVERIFY2(why_.isEmpty(), why_.constData());                                                          \
    } while (false)

/// Puts the SDO client's process-wide settings back to their defaults, for a suite's cleanup().
inline void resetSdoSettings()
{
    SDOClient::mUseBlockTransfer = SDOClient::mUseUSDO = SDOClient::mFastSeg = false;
    SDOClient::mRoutingActive = CANopenService::mUseCANopenFD = false;
    SDOClient::mBlockThreshold = 29;
    SDOClient::mBlockUploadSize = 127;
    SDOClient::mFastSegCnt = SDOClient::mRoutingNetwork = SDOClient::mRoutingGatewayInLocalNetwork = 0;
}

inline bool transferActive(const AbstractCanAdapter &adapter)
{
    return adapter.getCanAdapterOption(AdapterOption_TransferActive).toBool();
}

/// A value as outcome() shows it: "type value", with bytes in hex, for instance "uint 378".
inline QByteArray describeValue(const QVariant &v)
{
    const bool bytes = v.userType() == QMetaType::QByteArray;
    return v.typeName() + QByteArray(" ") + (bytes ? v.toByteArray().toHex() : v.toString().toLatin1());
}

/// Every outcome a client's spies saw, results first: "index/sub type value" (with " faulty" when
/// argument faultyAt of the result is true) or "index/sub code", with numbers in decimal and the
/// rest in hex (codes at least codeWidth digits).
inline QByteArray spyOutcome(
    const QSignalSpy &results, const QSignalSpy &errors, int codeWidth, int faultyAt = -1)
{
    QByteArrayList all;
    auto object = [](const QList<QVariant> &args) {
        return QString::asprintf("%04x/%x ", args.at(0).toUInt(), args.at(1).toUInt()).toLatin1();
    };
    for (const QList<QVariant> &r : results)
        all << object(r) + describeValue(r.at(2).value<QVariant>())
                + (r.value(faultyAt).toBool() ? " faulty" : "");
    for (const QList<QVariant> &e : errors)
        all << object(e) + QByteArray::number(e.at(2).toUInt(), 16).rightJustified(codeWidth, '0');
    return all.join("; ");
}

/// The host's adapter and scheduler and a scripted peer on one virtual bus, and an SDO client
/// of the host on node 5's channel with spies on its outcome signals.
template<class Client> struct SdoClientBench
{
    VirtualCanBus bus;
    RefusingAdapter adapter { &bus };
    BusPeer peer { &bus };
    CanScheduler scheduler { &adapter };
    Client client { 0x585, 0x605, &scheduler, nullptr };
    QSignalSpy results { &client, &Client::resultReceived };
    QSignalSpy errors { &client, &Client::errorReceived };

    QByteArray play(const QByteArray &script) { return playTranscript(peer, 0x605, 0x585, script, &adapter); }
    QVariant value(int i = 0) const { return results.at(i).at(2).value<QVariant>(); }
    /// Every outcome so far (see spyOutcome), for instance "1018/1 uint 378" or "1018/1 05040000".
    QByteArray outcome() const { return spyOutcome(results, errors, 8); }
};

/// A simulated node (node-ID 5) with its SDO server and a scripted SDO client (the peer) on one bus.
struct SdoServerBench
{
    VirtualCanBus bus;
    VirtualCanAdapter nodeAdapter { &bus };
    SimCanopenNode node { &nodeAdapter, 5 };
    SimSdoServer server { &node };
    BusPeer peer { &bus };

    void powerOn()
    {
        node.powerOn();
        peer.takeFrame(); // boot-up
    }
    QByteArray play(const QByteArray &script) { return playTranscript(peer, 0x585, 0x605, script); }
};

/// The host's adapter and scheduler and a simulated node (node-ID 5) with its SDO server.
struct SdoSimBench
{
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    VirtualCanAdapter nodeAdapter { &bus };
    SimCanopenNode node { &nodeAdapter, 5 };
    SimSdoServer server { &node };
    CanScheduler scheduler { &adapter };
    SdoSimBench() { node.powerOn(); }
};
