#include "buspeer.h"

#include "recordingadapter.h"

#include <QDeadlineTimer>
#include <QTest>

BusPeer::BusPeer(VirtualCanBus *bus, QObject *parent)
    : VirtualCanAdapter(bus, parent)
{
    setCanFdCapable(true);
    connect(this, &AbstractCanAdapter::messageReceived, this, [this](const CAN::CanRxMessage &m) {
        mFrames.push_back(m);
        if (mResponder)
            mResponder(m, *this);
    });
}

CAN::CanRxMessage BusPeer::takeFrame(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (mFrames.empty() && !deadline.hasExpired())
        QTest::qWait(1);
    CAN::CanRxMessage m;
    m.id = 0xFFFFFFFF; // none
    if (!mFrames.empty()) {
        m = mFrames.front();
        mFrames.pop_front();
    }
    return m;
}

bool BusPeer::expect(quint32 id, const char *hex, int timeoutMs, QByteArray *why)
{
    const CAN::CanRxMessage m = takeFrame(timeoutMs);
    const QByteArray want = QByteArray::fromHex(hex).toHex();
    if (m.id == id && frameHex(m) == want)
        return true;
    if (why)
        *why = QByteArray("expected ") + QByteArray::number(id, 16) + " " + want + ", got "
            + (m.id == 0xFFFFFFFF ? QByteArray("nothing") : QByteArray::number(m.id, 16) + " " + frameHex(m));
    return false;
}

bool BusPeer::expectSilence(int ms)
{
    QTest::qWait(ms);
    return mFrames.empty();
}

CAN::RetType BusPeer::send(quint32 id, const QByteArray &bytes)
{
    CAN::CanMessage m = makeFrame(id, bytes);
    m.fd = m.fd || mFdFrames;
    return sendCanMessage(m);
}
