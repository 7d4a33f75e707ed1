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

    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    BusPeer peer { &bus };

private slots:
    void cleanup() { peer.clearFrames(); }

    void sendsOncePerPeriodUntilStopped()
    {
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
        tx.operate();
        QVERIFY(peer.expect(0x80, ""));
    }
    // The SYNC counter byte: 1 up to the overflow value, then 1 again; overflow 0 keeps it at 1.
    // A count ends transmission after that many frames.
    void syncCounter_data()
    {
        QTest::addColumn<int>("overflow");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("overflow 3") << 3 << 0 << QByteArray("0102030102");
        QTest::newRow("overflow 240") << 240 << 0 << QByteArray("0102030405");
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
    void refusals()
    {
        CanMessageTransmitter tx;
        tx.setTranmissionParameter(makeFrame(0x80, ""), 10, 0);
        QVERIFY(!tx.operate()); // no adapter
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
    }
};

QTEST_GUILESS_MAIN(tst_CanMessageTransmitter)
#include "tst_canmessagetransmitter.moc"
