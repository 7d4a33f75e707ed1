// CAN records and time stamps, and the cyclic occurrence tester that judges a stream of them.
#include "canmessage.h"
#include "canrxmessage.h"
#include "cantypes.h"
#include "cyclicoccurrencetester.h"

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
} // namespace

class tst_CanMessage : public QObject
{
    Q_OBJECT
private slots:
    void records()
    {
        const CAN::CanMessage zero;
        QVERIFY(zero.id == 0 && zero.length == 0 && zero.reserved == 0 && !zero.remote && !zero.extended
            && !zero.fd && !zero.bitRateSwitch);
        QVERIFY(std::all_of(std::begin(zero.data), std::end(zero.data), [](quint8 b) { return b == 0; }));
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
        for (const char *type : { "CAN::CanRxMessage", "CAN::CanMessage", "CAN::CyclicState" })
            QVERIFY2(QMetaType::type(type) != QMetaType::UnknownType, type);
        QCOMPARE(CAN::CanFdDataLengths, (QList<int> { 12, 16, 20, 24, 32, 48, 64 }));
        QCOMPARE(QList<int>({ CAN::canFdLengthFor(8), CAN::canFdLengthFor(9), CAN::canFdLengthFor(33),
                     CAN::canFdLengthFor(64) }),
            QList<int>({ 8, 12, 48, 64 }));
        QCOMPARE(CAN::CanErrorTexts.value(1), QStringLiteral("Stuff error"));
        QCOMPARE(CAN::CanErrorTexts.value(8), QStringLiteral("unspecified error"));
        QCOMPARE(CAN::CanopenMessageTypeNames.value(0), QStringLiteral("UNKNOWN"));
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
        QSignalSpy spy(&tester, &CyclicOccurrenceTester::sigNewItemState);
        // Irregular items stay in learning.
        const CanTimeStamp base = CanTimeStamp::now();
        for (int t : { 0, 10, 100, 105, 300, 310, 900 })
            tester.handleNewItemMessage(itemAt(base, t));
        QCOMPARE(tester.state(), CAN::CyclicState_Learning);
        tester.reset();
        QCOMPARE(tester.state(), CAN::CyclicState_Unknown);
        spy.clear();
        // Items stamped 200 ms apart, fed at once; the overdue timer runs from the last one.
        QElapsedTimer sinceLast;
        sinceLast.start();
        QMap<int, qint64> at; // when each state was entered, after the last item
        connect(&tester, &CyclicOccurrenceTester::sigNewItemState, this,
            [&](CAN::CyclicState state) { at[state] = sinceLast.elapsed(); });
        for (int i = 0; i < 4; ++i)
            tester.handleNewItemMessage(itemAt(base, 200 * i));
        QCOMPARE(int(tester.interval()), 200);
        QCOMPARE(spy.last().at(1).toUInt(), 4u);
        QCOMPARE(spy.last().at(2).value<unsigned short>(), (unsigned short)200);
        // Late after 1.5 intervals (300 ms), long before Stopped, which comes after 4 (800 ms).
        QTRY_COMPARE(tester.state(), CAN::CyclicState_Stopped);
        const qint64 late = at.value(CAN::CyclicState_Late), stopped = at.value(CAN::CyclicState_Stopped);
        QVERIFY2(late >= 300 && late < 500 && stopped >= 800,
            qPrintable(QStringLiteral("%1 %2").arg(late).arg(stopped)));
        QList<int> states;
        for (const auto &args : spy)
            states.append(args.at(0).value<CAN::CyclicState>());
        QCOMPARE(states,
            (QList<int> { CAN::CyclicState_Learning, CAN::CyclicState_Cyclic, CAN::CyclicState_Late,
                CAN::CyclicState_Stopped }));
        // A new stream is learned afresh.
        tester.handleNewItemMessage(itemAt(CanTimeStamp::now(), 0));
        QCOMPARE(tester.state(), CAN::CyclicState_Learning);
        QCOMPARE(tester.itemCount(), 1u);
    }
};

QTEST_GUILESS_MAIN(tst_CanMessage)
#include "tst_canmessage.moc"
