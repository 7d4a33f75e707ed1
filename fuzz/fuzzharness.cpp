#include "fuzzharness.h"

#include "virtualtimedispatcher.h"
#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>

QByteArray FuzzInput::bytes(int n)
{
    QByteArray out(n, '\0');
    for (int i = 0; i < n && mPos < mSize; ++i)
        out[i] = char(mData[mPos++]);
    return out;
}

QByteArray FuzzInput::rest(int n)
{
    const int take = int(qMin<size_t>(size_t(n), remaining()));
    QByteArray out(reinterpret_cast<const char *>(mData + mPos), take);
    mPos += size_t(take);
    return out;
}

FuzzGatewayAdapter::FuzzGatewayAdapter(QObject *parent)
    : AbstractCanAdapter(parent)
{
    setCanAdapterOption(AdapterOption_CiA309Gateway, true);
}

CAN::RetType FuzzGatewayAdapter::sendCiA309Line(const QString &line)
{
    if (sent.size() < 64)
        sent.append(line);
    return CAN::RetType_OK;
}

CAN::RetType FuzzGatewayAdapter::sendCiA309Request(const QString &line, quint16 &sequence)
{
    sequence = nextSequence++;
    return sendCiA309Line(line);
}

CAN::RetType FuzzGatewayAdapter::sendCanMessage(CAN::CanMessage &)
{
    return CAN::RetType_NoLink;
}

FuzzBus::FuzzBus()
{
    adapter.setCanFdCapable(true);
    peer.setCanFdCapable(true);
    // Frames are stamped on the virtual clock, so that time taken from them agrees with the timers.
    bus.setClock([] {
        const qint64 ms = VirtualTimeDispatcher::instance()->now();
        return CanTimeStamp(qint32(ms / 1000), qint32(ms % 1000 * 1000));
    });
}

void fuzzSettle()
{
    VirtualTimeDispatcher *dispatcher = VirtualTimeDispatcher::instance();
    for (int i = 0; i < 64 && dispatcher->processEvents(QEventLoop::AllEvents); ++i) { }
}

bool fuzzAdvanceTime()
{
    const bool any = VirtualTimeDispatcher::instance()->advanceToNextTimer();
    fuzzSettle();
    return any;
}

void fuzzPlayFrames(FuzzInput &in, FuzzBus &bus, const QVector<quint32> &ids, int maxRecords, bool settle)
{
    for (int record = 0; record < maxRecords && !in.atEnd(); ++record) {
        const quint8 op = in.u8();
        const int kind = op & 3;
        static const bool trace = qEnvironmentVariableIsSet("TARNWICK_FUZZ_TRACE");
        if (trace)
            fprintf(stderr, "[t=%lld] record op %02x\n", VirtualTimeDispatcher::instance()->now(), op);
        if (kind == 2) {
            if (settle)
                fuzzAdvanceTime();
            continue;
        }
        CAN::CanMessage m;
        m.remote = op & 0x20;
        m.fd = op & 0x40;
        m.extended = op & 0x80;
        if (kind == 1)
            m.id = in.u32() & (m.extended ? 0x1FFFFFFFu : 0x7FFu);
        else
            m.id = ids.isEmpty() ? 0 : ids.at(((op >> 2) & 7) % ids.size());
        const quint8 len = in.u8();
        if (kind == 3) {
            m.length = len % 65;
            const QByteArray d = in.bytes(m.length);
            memcpy(m.data, d.constData(), size_t(m.length));
            if (trace)
                fprintf(stderr, "  raw %x %s\n", m.id, d.toHex(' ').constData());
            emit bus.adapter.messageReceived(CAN::CanRxMessage(m, CanTimeStamp::now()));
        } else {
            m.length = m.fd ? len % 65 : len % 9;
            const QByteArray d = in.bytes(m.length);
            memcpy(m.data, d.constData(), size_t(m.length));
            const CAN::RetType sent = bus.peer.sendCanMessage(m);
            if (trace)
                fprintf(stderr, "  %x%s%s %s -> %d\n", m.id, m.fd ? " fd" : "", m.remote ? " rtr" : "",
                    d.toHex(' ').constData(), sent);
        }
        if (settle)
            fuzzSettle();
    }
}

void fuzzRunOut(int limit)
{
    for (int i = 0; i < limit && fuzzAdvanceTime(); ++i) { }
    fuzzSettle();
}

void fuzzFail(const char *what)
{
    fprintf(stderr, "fuzz invariant broken: %s\n", what);
    fflush(stderr);
    abort();
}

void fuzzInit()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tarnwick-fuzz";
    static char *argv[] = { name, nullptr };
    QCoreApplication::setEventDispatcher(new VirtualTimeDispatcher);
    new QCoreApplication(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
}
