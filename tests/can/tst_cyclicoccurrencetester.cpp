#include "cyclicoccurrencetester.h"

#include <QElapsedTimer>
#include <QMap>
#include <QSignalSpy>
#include <QTest>

static CAN::CanRxMessage itemAt(const CanTimeStamp &base, qint64 ms)
{
    CAN::CanRxMessage m;
    m.timeStamp = base;
    m.timeStamp.addMSecs(ms);
    return m;
}

static QList<int> states(const QSignalSpy &spy)
{
    QList<int> s;
    for (const auto &args : spy)
        s.append(args.at(0).value<CAN::CyclicState>());
    return s;
}

class tst_CyclicOccurrenceTester : public QObject
{
    Q_OBJECT
private slots:
    void learnsThenCyclicThenLateThenStopped()
    {
        CyclicOccurrenceTester tester;
        QSignalSpy spy(&tester, &CyclicOccurrenceTester::sigNewItemState);
        // Items stamped 200 ms apart, fed at once; the overdue timer runs from the last one.
        const CanTimeStamp base = CanTimeStamp::now();
        QElapsedTimer sinceLast;
        sinceLast.start();
        QMap<int, qint64> at; // when each state was entered, after the last item
        connect(&tester, &CyclicOccurrenceTester::sigNewItemState, this,
            [&](CAN::CyclicState state) { at[state] = sinceLast.elapsed(); });
        for (int i = 0; i < 4; ++i)
            tester.handleNewItemMessage(itemAt(base, 200 * i));
        QCOMPARE(tester.state(), CAN::CyclicState_Cyclic);
        QCOMPARE(int(tester.interval()), 200);
        QCOMPARE(states(spy), (QList<int> { CAN::CyclicState_Learning, CAN::CyclicState_Cyclic }));
        QCOMPARE(spy.last().at(1).toUInt(), 4u);
        QCOMPARE(spy.last().at(2).value<unsigned short>(), (unsigned short)200);

        // Late after 1.5 intervals (300 ms), long before Stopped, which comes after 4 (800 ms).
        QTRY_COMPARE(tester.state(), CAN::CyclicState_Stopped);
        const qint64 late = at.value(CAN::CyclicState_Late), stopped = at.value(CAN::CyclicState_Stopped);
        QVERIFY2(late >= 300 && late < 500 && stopped >= 800,
            qPrintable(QStringLiteral("%1 %2").arg(late).arg(stopped)));
        QCOMPARE(states(spy).mid(2), (QList<int> { CAN::CyclicState_Late, CAN::CyclicState_Stopped }));

        // A new stream is learned afresh.
        const CanTimeStamp later = CanTimeStamp::now();
        tester.handleNewItemMessage(itemAt(later, 0));
        QCOMPARE(tester.state(), CAN::CyclicState_Learning);
        QCOMPARE(tester.itemCount(), 1u);
        tester.reset();
        QCOMPARE(tester.state(), CAN::CyclicState_Unknown);
    }
    void irregularItemsStayLearning()
    {
        CyclicOccurrenceTester tester;
        const CanTimeStamp base = CanTimeStamp::now();
        const int offsets[] = { 0, 10, 100, 105, 300, 310, 900 };
        for (int t : offsets)
            tester.handleNewItemMessage(itemAt(base, t));
        QCOMPARE(tester.state(), CAN::CyclicState_Learning);
    }
    void timeStamps()
    {
        CanTimeStamp t(10, 999500);
        t.addMSecs(1);
        QCOMPARE(t.seconds(), 11);
        QCOMPARE(t.microseconds(), 500);
        t.addMSecs(-2);
        QCOMPARE(t.seconds(), 10);
        QCOMPARE(t.microseconds(), 998500);
        t.addMSecs(-20000);
        QCOMPARE(t.seconds(), -10);
        QCOMPARE(t.microseconds(), 998500);
        CanTimeStamp u(1, 2500000); // normalised on construction
        QCOMPARE(u.seconds(), 3);
        QCOMPARE(u.microseconds(), 500000);
        QCOMPARE(CanTimeStamp(0, 0).msecsTo(CanTimeStamp(1, 500000)), 1500);
    }
};

QTEST_GUILESS_MAIN(tst_CyclicOccurrenceTester)
#include "tst_cyclicoccurrencetester.moc"
