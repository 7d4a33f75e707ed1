#pragma once

#include "virtualcanadapter.h"

#include <QList>

#include <deque>
#include <functional>

/// A scripted peer on a virtual bus: it collects every frame it receives, in order, and can
/// answer frames automatically. Tests read the collected frames as a bus transcript.
class BusPeer : public VirtualCanAdapter
{
    Q_OBJECT
public:
    using Responder = std::function<void(const CAN::CanRxMessage &, BusPeer &)>;

    explicit BusPeer(VirtualCanBus *bus, QObject *parent = nullptr);

    /// Waits (running the event loop) until a frame is there or timeoutMs passes; a frame with
    /// id 0xFFFFFFFF and length 0 on timeout.
    CAN::CanRxMessage takeFrame(int timeoutMs = 1000);
    /// Takes the next frame and checks identifier and hex bytes; false with a message otherwise.
    bool expect(quint32 id, const char *hex, int timeoutMs = 1000, QByteArray *why = nullptr);
    /// True when no frame arrives within ms.
    bool expectSilence(int ms);
    /// Sends a classic (or, above 8 bytes, CAN FD) frame with hex bytes.
    CAN::RetType send(quint32 id, const char *hex) { return send(id, QByteArray::fromHex(hex)); }
    CAN::RetType send(quint32 id, const QByteArray &bytes);

    /// Sends every frame as CAN FD (as a CANopen FD device does), not only those above 8 bytes.
    void setFdFrames(bool on) { mFdFrames = on; }

    /// Called for each received frame before it is queued; a responder may answer.
    void setResponder(Responder responder) { mResponder = std::move(responder); }
    int pending() const { return int(mFrames.size()); }
    void clearFrames() { mFrames.clear(); }

private:
    std::deque<CAN::CanRxMessage> mFrames;
    Responder mResponder;
    bool mFdFrames = false;
};
