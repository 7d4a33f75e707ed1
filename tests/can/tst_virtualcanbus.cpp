#include "buspeer.h"
#include "recordingadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

#include <algorithm>

class tst_VirtualCanBus : public QObject
{
    Q_OBJECT
private slots:
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
    void frameChecks_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("fd");
        QTest::addColumn<bool>("remote");
        QTest::addColumn<bool>("fdCapable");
        QTest::addColumn<int>("result");
        QTest::newRow("classic 8") << 8 << false << false << false << 0;
        QTest::newRow("fd 13, padded to 16") << 13 << true << false << true << 0;
        QTest::newRow("classic 9") << 9 << false << false << false << 3;
        QTest::newRow("fd without capability") << 12 << true << false << false << 3;
        QTest::newRow("fd 64") << 64 << true << false << true << 0;
        QTest::newRow("length 65") << 65 << true << false << true << 3;
        QTest::newRow("fd remote") << 0 << true << true << true << 3;
        QTest::newRow("classic remote") << 1 << false << true << false << 0;
    }
    void frameChecks()
    {
        QFETCH(int, length);
        QFETCH(bool, fd);
        QFETCH(bool, remote);
        QFETCH(bool, fdCapable);
        QFETCH(int, result);
        VirtualCanBus bus;
        VirtualCanAdapter adapter(&bus);
        BusPeer peer(&bus);
        adapter.setCanFdCapable(fdCapable);
        CAN::CanMessage m = makeFrame(0x10, "");
        m.length = quint8(length);
        m.fd = fd;
        m.remote = remote;
        std::fill_n(m.data, qMin(length, 64), quint8(0x11));
        QCOMPARE(int(adapter.sendCanMessage(m)), result);
        const int padded = fd ? CAN::canFdLengthFor(length) : length;
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
    void leavingTheBus()
    {
        auto *bus = new VirtualCanBus;
        BusPeer a(bus), b(bus);
        a.send(0x5, "05"); // queued, then discarded
        a.leaveBus();
        QCOMPARE(a.send(0x5, "06"), CAN::RetType_Offline);
        QVERIFY(b.expectSilence(10));
        delete bus;
        QCOMPARE(b.send(0x5, "07"), CAN::RetType_Offline);
        QVERIFY(!b.bus());
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
        QVERIFY(first.second > 10 && first.second < 80);
        QVERIFY(first.first.size() != 200); // something was dropped or duplicated
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
    void adapterDeletedDuringDelivery()
    {
        VirtualCanBus bus;
        BusPeer a(&bus);
        auto *b = new VirtualCanAdapter(&bus);
        auto *c = new BusPeer(&bus);
        // b deletes c while handling the frame: c must not be touched afterwards.
        connect(b, &AbstractCanAdapter::messageReceived, b, [&c] {
            delete c;
            c = nullptr;
        });
        a.send(0x1, "01");
        QTRY_VERIFY(!c);
        delete b;
        a.send(0x1, "02");
        QTest::qWait(5);
    }
};

QTEST_GUILESS_MAIN(tst_VirtualCanBus)
#include "tst_virtualcanbus.moc"
