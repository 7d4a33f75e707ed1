#include "buspeer.h"
#include "canmessagetransmitter.h"
#include "recordingadapter.h"
#include "virtualcanbus.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

class tst_CanMessageTransmitter : public QObject
{
    Q_OBJECT
private slots:
    void sendsOncePerPeriodUntilStopped()
    {
        VirtualCanBus bus;
        VirtualCanAdapter adapter(&bus);
        BusPeer peer(&bus);
        CanMessageTransmitter tx(0, nullptr);
        tx.setCanAdapter(&adapter);
        tx.setTranmissionParameter(makeFrame(0x80, ""), 20, 0);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(tx.operate());
        QTRY_VERIFY_WITH_TIMEOUT(peer.pending() >= 10, 5000);
        const qint64 elapsed = clock.elapsed();
        tx.stopTransmission();
        // 10 frames at 20 ms need at least 9 periods; a busy machine may be slower, never faster.
        QVERIFY2(elapsed >= 9 * 20 - 5, qPrintable(QString::number(elapsed)));
        QTest::qWait(5);
        peer.clearFrames();
        QVERIFY(peer.expectSilence(60));
        const CAN::CanRxMessage m = [&] {
            tx.operate();
            return peer.takeFrame();
        }();
        QCOMPARE(m.id, 0x80u);
        QCOMPARE(int(m.length), 0);
        tx.stopTransmission();
    }
    void syncCounter_data()
    {
        QTest::addColumn<int>("overflow");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("overflow 3") << 3 << QByteArray::fromHex("0102030102");
        QTest::newRow("overflow 240") << 240 << QByteArray::fromHex("0102030405");
        QTest::newRow("overflow 0") << 0 << QByteArray::fromHex("0101010101");
    }
    void syncCounter()
    {
        QFETCH(int, overflow);
        QFETCH(QByteArray, expected);
        VirtualCanBus bus;
        VirtualCanAdapter adapter(&bus);
        BusPeer peer(&bus);
        CanMessageTransmitter tx;
        tx.setCanAdapter(&adapter);
        tx.setTranmissionParameter(makeFrame(0x80, "00"), 5, 0);
        tx.setSyncValues(true, quint8(overflow));
        tx.operate();
        QByteArray counters;
        while (counters.size() < expected.size()) {
            const CAN::CanRxMessage m = peer.takeFrame(2000);
            QCOMPARE(int(m.length), 1);
            counters.append(char(m.data[0]));
        }
        tx.stopTransmission();
        QCOMPARE(counters.toHex(), expected.toHex());
    }
    void refusals()
    {
        CanMessageTransmitter tx;
        tx.setTranmissionParameter(makeFrame(0x80, ""), 10, 0);
        QVERIFY(!tx.operate()); // no adapter
        VirtualCanBus bus;
        VirtualCanAdapter adapter(&bus);
        tx.setCanAdapter(&adapter);
        tx.setTranmissionParameter(makeFrame(0x80, ""), 0, 0);
        QVERIFY(!tx.operate()); // period 0
        // An adapter that refuses reports each refusal and transmission goes on.
        tx.setTranmissionParameter(makeFrame(0x80, ""), 5, 0);
        adapter.leaveBus();
        QSignalSpy errors(&tx, &CanMessageTransmitter::transmissionError);
        QVERIFY(tx.operate());
        QTRY_VERIFY(errors.count() >= 2);
        QCOMPARE(errors.first().first().value<CAN::RetType>(), CAN::RetType_Offline);
        tx.stopTransmission();
    }
    void countLimit()
    {
        VirtualCanBus bus;
        VirtualCanAdapter adapter(&bus);
        BusPeer peer(&bus);
        CanMessageTransmitter tx;
        tx.setCanAdapter(&adapter);
        tx.setTranmissionParameter(makeFrame(0x123, "aa"), 2, 3);
        tx.operate();
        QTRY_VERIFY(!tx.isActive());
        QTRY_COMPARE(peer.pending(), 3);
        peer.clearFrames();
        QVERIFY(peer.expectSilence(20));
        QCOMPARE(tx.sentCount(), 3u);
    }
};

QTEST_GUILESS_MAIN(tst_CanMessageTransmitter)
#include "tst_canmessagetransmitter.moc"
