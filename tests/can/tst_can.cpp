// The CAN layer: frame records and time stamps, the cyclic occurrence tester, the scheduler that
// routes received frames to services, the periodic transmitter and the virtual bus.
#include "buspeer.h"
#include "canmessage.h"
#include "canmessagetransmitter.h"
#include "canrxmessage.h"
#include "canscheduler.h"
#include "cansender.h"
#include "cantypes.h"
#include "cyclicoccurrencetester.h"
#include "recordingadapter.h"
#include "virtualcanbus.h"

#include <QElapsedTimer>
#include <QMap>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

namespace {
CAN::CanRxMessage itemAt(const CanTimeStamp &base, qint64 ms)
{
    CAN::CanRxMessage m;
    m.timeStamp = base;
    m.timeStamp.addMSecs(ms);
    return m;
}

struct Receiver : QObject
{
    QList<QByteArray> got; // id and hex of each frame
    Receiver(CanSender *sender) { connect(sender, &CanSender::received, this, &Receiver::take); }
    void take(const CAN::CanRxMessage &m) { got.append(QByteArray::number(m.id, 16) + ' ' + frameHex(m)); }
};
} // namespace

class tst_Can : public QObject
{
    Q_OBJECT
    enum { Fd = 1, Remote = 2, Capable = 4 }; // Capable: the adapter is CAN FD capable

    RecordingAdapter recording;
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    BusPeer peer { &bus };

private slots:
    void cleanup() { peer.clearFrames(); }

    void records()
    {
        CAN::CanMessage m;
        const QByteArray big(100, '\x5a');
        m.setPayload(big.constData(), int(big.size()));
        QCOMPARE(int(m.length), 64);
        m.setPayload(big.constData(), -3);
        QCOMPARE(int(m.length), 0);
        // A received copy of a frame with an impossible length is clamped, never read past.
        m.length = 200;
        const CAN::CanRxMessage rx(m, CanTimeStamp(1, 2));
        QCOMPARE(rx.payload(), big.left(64));
        QCOMPARE(rx.timeStamp, CanTimeStamp(1, 2));
        QCOMPARE(QList<int>({ CAN::canFdLengthFor(8), CAN::canFdLengthFor(9), CAN::canFdLengthFor(33),
                     CAN::canFdLengthFor(64) }),
            QList<int>({ 8, 12, 48, 64 }));
        QCOMPARE(CAN::CanErrorTexts.value(1), QStringLiteral("Stuff error"));
        QCOMPARE(CAN::CanErrorTexts.value(8), QStringLiteral("unspecified error"));
    }
    void timeStamps()
    {
        CanTimeStamp t(10, 999500);
        t.addMSecs(1);
        QCOMPARE(t, CanTimeStamp(11, 500));
        t.addMSecs(-2);
        QCOMPARE(t, CanTimeStamp(10, 998500));
        t.addMSecs(-20000);
        QVERIFY(t.seconds() == -10 && t.microseconds() == 998500);
        QVERIFY(CanTimeStamp(1, 2500000).seconds() == 3 && CanTimeStamp(1, 2500000).microseconds() == 500000);
        QCOMPARE(CanTimeStamp(0, 0).msecsTo(CanTimeStamp(1, 500000)), 1500);
    }
    void cyclicOccurrence()
    {
        CyclicOccurrenceTester tester;
        // Irregular items stay in learning.
        const CanTimeStamp base = CanTimeStamp::now();
        for (int t : { 0, 10, 100, 105, 300, 310, 900 })
            tester.handleNewItemMessage(itemAt(base, t));
        QCOMPARE(tester.state(), CAN::CyclicState_Learning);
        tester.reset();
        QCOMPARE(tester.state(), CAN::CyclicState_Unknown);
        // Items stamped 200 ms apart, fed at once; the overdue timer runs from the last one.
        QElapsedTimer sinceLast;
        sinceLast.start();
        QMap<int, qint64> at; // when each state was entered, after the last item
        QStringList states; // state/count/interval of each signal
        connect(
            &tester, &CyclicOccurrenceTester::sigNewItemState, this, [&](int state, uint n, ushort interval) {
                at[state] = sinceLast.elapsed();
                states << QString("%1/%2/%3").arg(state).arg(n).arg(interval);
            });
        for (int i = 0; i < 4; ++i)
            tester.handleNewItemMessage(itemAt(base, 200 * i));
        QCOMPARE(int(tester.interval()), 200);
        // Late after 1.5 intervals (300 ms), long before Stopped, which comes after 4 (800 ms).
        QTRY_COMPARE(tester.state(), CAN::CyclicState_Stopped);
        const qint64 late = at.value(CAN::CyclicState_Late), stopped = at.value(CAN::CyclicState_Stopped);
        QVERIFY(late >= 300 && late < 500 && stopped >= 800);
        QVERIFY2(states.join(" ").startsWith("1/1/0 2/4/200 3/4/200 4/") && states.size() == 4,
            qPrintable(states.join(" ")));
        // A new stream is learned afresh.
        tester.handleNewItemMessage(itemAt(CanTimeStamp::now(), 0));
        QCOMPARE(tester.state(), CAN::CyclicState_Learning);
        QCOMPARE(tester.itemCount(), 1u);
    }

    void scheduler()
    {
        CanScheduler scheduler(&recording);
        QPointer<CanSender> s = scheduler.registerCanId(0x581);
        QCOMPARE(scheduler.registerCanId(0x581), s); // one sender per identifier
        Receiver a(s), b(s), other(scheduler.registerCanId(0x582));
        recording.injectFrame(0x581, QByteArray::fromHex("4300100092010000"));
        recording.injectFrame(0x583, QByteArray::fromHex("00")); // nobody listens
        QCOMPARE(a.got, QList<QByteArray> { "581 4300100092010000" });
        QVERIFY(b.got == a.got && other.got.isEmpty() && scheduler.registeredCount() == 2);

        // Unregistering keeps the other users; the last user ends the sender.
        scheduler.unregisterCan(s, &a);
        recording.injectFrame(0x581, QByteArray::fromHex("05"));
        QVERIFY(a.got.size() == 1 && b.got.size() == 2 && s);
        scheduler.unregisterCan(s, &b);
        QCOMPARE(scheduler.registeredCount(), 1);
        recording.injectFrame(0x581, QByteArray::fromHex("01"));
        QCOMPARE(b.got.size(), 2);
        QTRY_VERIFY(s.isNull());
        // Unregistering a dead or foreign sender is harmless.
        scheduler.unregisterCan(s, &a);
        CanScheduler otherScheduler(&recording);
        QPointer<CanSender> foreign = otherScheduler.registerCanId(0x185);
        scheduler.unregisterCan(foreign, &a);
        QVERIFY(foreign);

        // Unregistering from inside the delivery.
        s = scheduler.registerCanId(0x100);
        Receiver r(s);
        connect(s, &CanSender::received, &r, [&] { scheduler.unregisterCan(s, &r); });
        recording.injectFrame(0x100, QByteArray::fromHex("01"));
        recording.injectFrame(0x100, QByteArray::fromHex("02"));
        QCOMPARE(r.got.size(), 1);

        // A range of identifiers.
        const auto senders = scheduler.registerCanIdRange(0x7D0, 0x7DF);
        QVERIFY(
            senders.size() == 16 && senders.first()->canId() == 0x7D0 && senders.last()->canId() == 0x7DF);
        QVERIFY(scheduler.registerCanIdRange(0x10, 0x0F).isEmpty());
        Receiver ranged(senders.at(5));
        recording.injectFrame(0x7D5, QByteArray::fromHex("aa"));
        recording.injectFrame(0x7E0, QByteArray::fromHex("bb"));
        QCOMPARE(ranged.got, QList<QByteArray> { "7d5 aa" });

        // Another adapter: the old one no longer delivers; a destroyed one is let go.
        auto *second = new RecordingAdapter;
        scheduler.setCanAdapter(second);
        recording.injectFrame(0x7D5, QByteArray::fromHex("01"));
        second->injectFrame(0x7D5, QByteArray::fromHex("02"));
        QCOMPARE(ranged.got, QList<QByteArray>({ "7d5 aa", "7d5 02" }));
        delete second;
        QVERIFY(!scheduler.canAdapter());
    }

    // The SYNC counter byte: 1 up to the overflow value, then 1 again; overflow 0 keeps it at 1.
    // A count ends transmission after that many frames.
    void syncCounter_data()
    {
        QTest::addColumn<int>("overflow");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("overflow 3") << 3 << 0 << QByteArray("0102030102");
        QTest::newRow("overflow 0") << 0 << 0 << QByteArray("0101010101");
        QTest::newRow("count 3") << 4 << 3 << QByteArray("010203");
    }
    void syncCounter()
    {
        QFETCH(int, overflow);
        QFETCH(int, count);
        QFETCH(QByteArray, expected);
        CanMessageTransmitter tx;
        tx.setCanAdapter(&adapter);
        tx.setTranmissionParameter(makeFrame(0x80, "00"), 2, count);
        tx.setSyncValues(true, quint8(overflow));
        tx.operate();
        QByteArray counters;
        while (counters.size() < expected.size() / 2) {
            const CAN::CanRxMessage m = peer.takeFrame(2000);
            QVERIFY(m.id == 0x80 && m.length == 1);
            counters.append(char(m.data[0]));
        }
        QCOMPARE(counters.toHex(), expected);
        if (count) {
            QTRY_VERIFY(!tx.isActive());
            QVERIFY(peer.expectSilence(20));
            QCOMPARE(tx.sentCount(), quint64(count));
        }
    }
    void transmitterRefusals()
    {
        CanMessageTransmitter tx;
        tx.setTranmissionParameter(makeFrame(0x80, ""), 10, 0);
        QVERIFY(!tx.operate()); // no adapter
        VirtualCanAdapter offline(&bus);
        tx.setCanAdapter(&offline);
        tx.setTranmissionParameter(makeFrame(0x80, ""), 0, 0);
        QVERIFY(!tx.operate()); // period 0
        // An adapter that refuses reports each refusal and transmission goes on.
        tx.setTranmissionParameter(makeFrame(0x80, ""), 5, 0);
        offline.leaveBus();
        QSignalSpy errors(&tx, &CanMessageTransmitter::transmissionError);
        QVERIFY(tx.operate());
        QTRY_VERIFY(errors.count() >= 2);
        QCOMPARE(errors.first().first().value<CAN::RetType>(), CAN::RetType_Offline);
    }

    void deliversInOrderOnALaterTurnToEveryOtherAdapter()
    {
        VirtualCanBus bus;
        BusPeer a(&bus), b(&bus), c(&bus);
        QSignalSpy tap(&a, &VirtualCanAdapter::frameSent);
        const CanTimeStamp before = CanTimeStamp::now();
        QCOMPARE(a.send(0x123, "0102"), CAN::RetType_OK);
        b.send(0x2, "02");
        a.send(0x3, "03");
        QCOMPARE(tap.count(), 2);
        QCOMPARE(b.pending() + c.pending(), 0); // nothing arrives inside the send
        const CAN::CanRxMessage m = c.takeFrame();
        QVERIFY(m.id == 0x123 && frameHex(m) == "0102");
        QVERIFY(!(m.timeStamp < before) && m.timeStamp.msecsTo(CanTimeStamp::now()) < 5000);
        QVERIFY(c.expect(0x2, "02") && c.expect(0x3, "03"));
        QVERIFY(b.expect(0x123, "0102") && b.expect(0x3, "03"));
        QVERIFY(a.expect(0x2, "02")); // the sender does not hear itself
        QVERIFY(a.expectSilence(10));
    }
    // What an adapter accepts (0) or refuses (3), and what reaches the bus, padded.
    void frameChecks_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("result");
        QTest::newRow("classic 8") << 8 << 0 << 0;
        QTest::newRow("fd 13, padded to 16") << 13 << (Fd | Capable) << 0;
        QTest::newRow("classic 9") << 9 << 0 << 3;
        QTest::newRow("fd without capability") << 12 << int(Fd) << 3;
        QTest::newRow("fd 64") << 64 << (Fd | Capable) << 0;
        QTest::newRow("length 65") << 65 << (Fd | Capable) << 3;
        QTest::newRow("fd remote") << 0 << (Fd | Remote | Capable) << 3;
        QTest::newRow("classic remote") << 1 << int(Remote) << 0;
    }
    void frameChecks()
    {
        QFETCH(int, length);
        QFETCH(int, flags);
        QFETCH(int, result);
        adapter.setCanFdCapable(flags & Capable);
        CAN::CanMessage m = makeFrame(0x10, "");
        m.length = quint8(length);
        m.fd = flags & Fd;
        m.remote = flags & Remote;
        std::fill_n(m.data, qMin(length, 64), quint8(0x11));
        QCOMPARE(int(adapter.sendCanMessage(m)), result);
        const int padded = m.fd ? CAN::canFdLengthFor(length) : length;
        if (result == 0)
            QCOMPARE(peer.takeFrame().payload(),
                QByteArray(length, '\x11') + QByteArray(padded - length, char(CAN::CanFdPaddingByte)));
        else
            QVERIFY(peer.expectSilence(5));
    }
    void queueFullAnswers7()
    {
        VirtualCanBus bus;
        BusPeer a(&bus), b(&bus);
        a.setTransmitQueueLimit(3);
        for (const char *data : { "01", "02", "03" })
            QCOMPARE(a.send(0x1, data), CAN::RetType_OK);
        QCOMPARE(a.send(0x1, "04"), CAN::RetType_NotReady);
        QCOMPARE(a.pendingFrames(), 3);
        QVERIFY(b.expect(0x1, "01") && b.expect(0x1, "02") && b.expect(0x1, "03"));
        QCOMPARE(a.send(0x1, "05"), CAN::RetType_OK); // drained: accepted again
        QVERIFY(b.expect(0x1, "05"));
        // A paused transmitter keeps its queue until resumed.
        a.setTransmitPaused(true);
        a.send(0x2, "aa");
        QVERIFY(b.expectSilence(10));
        a.setTransmitPaused(false);
        QVERIFY(b.expect(0x2, "aa"));
    }
    void faults()
    {
        auto run = [](quint32 seed) {
            VirtualCanBus bus;
            bus.setRandomFaults(seed, 0.2, 0.1);
            BusPeer a(&bus), b(&bus);
            for (int i = 0; i < 200; ++i)
                a.send(0x100, QByteArray(1, char(i)));
            for (int i = 0; i < 100 && a.pendingFrames() > 0; ++i)
                QTest::qWait(1);
            QByteArray seen;
            while (b.pending())
                seen.append(b.takeFrame().payload());
            return qMakePair(seen, bus.framesDropped());
        };
        const auto first = run(42);
        QCOMPARE(run(42), first); // reproducible
        QVERIFY(first.second > 10 && first.second < 80 && first.first.size() != 200); // dropped or duplicated
        QVERIFY(run(7) != first);

        // A rule drops or duplicates chosen frames.
        VirtualCanBus bus;
        bus.setFaultRule([](const CAN::CanMessage &m, quint64) {
            return m.data[0] == 1 ? VirtualCanBus::Fault_Drop
                : m.data[0] == 2  ? VirtualCanBus::Fault_Duplicate
                                  : VirtualCanBus::Fault_None;
        });
        BusPeer a(&bus), b(&bus);
        for (const char *data : { "01", "02", "03" })
            a.send(0x1, data);
        QVERIFY(b.expect(0x1, "02") && b.expect(0x1, "02") && b.expect(0x1, "03"));
        QVERIFY(b.expectSilence(5));
        QCOMPARE(bus.framesDropped(), 1u);
    }
    // Adapters leave the bus, are deleted while it delivers, or outlive it.
    void lifetimes()
    {
        auto *bus = new VirtualCanBus;
        BusPeer a(bus), b(bus);
        auto *c = new VirtualCanAdapter(bus);
        auto *d = new BusPeer(bus);
        // c deletes d while handling the frame: d must not be touched afterwards.
        connect(c, &AbstractCanAdapter::messageReceived, c, [&d] {
            delete d;
            d = nullptr;
        });
        a.send(0x1, "01");
        QTRY_VERIFY(!d);
        delete c;
        a.send(0x1, "02");
        QVERIFY(b.expect(0x1, "01") && b.expect(0x1, "02"));
        a.send(0x5, "05"); // queued, then discarded
        a.leaveBus();
        QCOMPARE(a.send(0x5, "06"), CAN::RetType_Offline);
        QVERIFY(b.expectSilence(10));
        delete bus;
        QCOMPARE(b.send(0x5, "07"), CAN::RetType_Offline);
        QVERIFY(!b.bus());
    }
};

QTEST_GUILESS_MAIN(tst_Can)
#include "tst_can.moc"
