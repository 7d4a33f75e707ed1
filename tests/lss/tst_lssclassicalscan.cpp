// LSS classical scan (identify remote slave over ranges) against simulated LSS slaves.

#include "lssnetwork.h"
#include "recordingadapter.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTest>
#include <QTimer>

namespace {
constexpr quint16 Answer = 20; // answer time-out of each range query in these tests
constexpr quint32 Vendor = 0x1A2;
constexpr quint32 Product = 0x10;
const QString EndMark = lssOutcome(LSSMaster::LssAction_ClassicalScan, LSSMaster::LssResult_Success,
    QStringList { "4294967295", "0", "0", "0" });

QString found(quint32 revision, quint32 serial)
{
    return lssOutcome(LSSMaster::LssAction_ClassicalScan, LSSMaster::LssResult_Success,
        QStringList { QString::number(Vendor), QString::number(Product), QString::number(revision),
            QString::number(serial) });
}

using Numbers = QList<quint32>; // a device: revision, serial; ranges: revision low, high, serial low, high

/// The range queries the master sent (frames 0x46..0x4B), each as its six values.
QList<QList<quint32>> queries(const QList<CAN::CanMessage> &frames)
{
    QList<QList<quint32>> out;
    QList<quint32> current;
    for (const CAN::CanMessage &m : frames) {
        if (m.id != 0x7E5 || m.data[0] < 0x46 || m.data[0] > 0x4B)
            continue;
        current.append(m.data[1] | m.data[2] << 8 | m.data[3] << 16 | quint32(m.data[4]) << 24);
        if (m.data[0] == 0x4B) {
            out.append(current);
            current.clear();
        }
    }
    return out;
}

/// Refuses the third frame it is given, once, with a chosen code.
class RefuseThirdFrame : public RecordingAdapter
{
public:
    CAN::RetType code = CAN::RetType_OK;
    CAN::RetType sendCanMessage(CAN::CanMessage &message) override
    {
        const CAN::RetType r = RecordingAdapter::sendCanMessage(message);
        return frames.size() == 3 ? code : r;
    }
};
} // namespace

class TestLssClassicalScan : public QObject
{
    Q_OBJECT

private slots:
    // Every slave in the ranges is reported exactly once, then the end mark; no range is
    // queried twice, and the serial range is halved only once the revision is known.
    void findsEachSlaveOnce_data()
    {
        QTest::addColumn<QList<Numbers>>("devices"); // revision, serial
        QTest::addColumn<QList<Numbers>>("outside"); // same product, outside the ranges
        QTest::addColumn<Numbers>("ranges"); // empty: the two-value form, full ranges
        QTest::addColumn<int>("queryCount");
        QTest::newRow("one, full ranges")
            << QList<Numbers> { { 5, 9 } } << QList<Numbers> {} << Numbers {} << 129;
        QTest::newRow("three") << QList<Numbers> { { 1, 100 }, { 3, 107 }, { 3, 115 } }
                               << QList<Numbers> { { 5, 100 }, { 2, 99 }, { 0, 107 } }
                               << Numbers { 1, 4, 100, 115 } << 29;
        QTest::newRow("corners of the ranges")
            << QList<Numbers> { { 2, 10 }, { 2, 20 }, { 9, 10 }, { 9, 20 } }
            << QList<Numbers> { { 10, 10 }, { 2, 21 } } << Numbers { 2, 9, 10, 20 } << 35;
        QTest::newRow("none") << QList<Numbers> {} << QList<Numbers> {} << Numbers {} << 1;
    }
    void findsEachSlaveOnce()
    {
        QFETCH(QList<Numbers>, devices);
        QFETCH(QList<Numbers>, outside);
        QFETCH(Numbers, ranges);
        QFETCH(int, queryCount);
        LssNetwork net;
        for (const Numbers &d : devices + outside)
            net.addSlave(0xFF, Vendor, Product, d[0], d[1]);
        net.addSlave(4, Vendor, Product + 1, 5, 9); // another product
        net.master.setTimeout(Answer);
        const bool full = ranges.isEmpty();
        if (full)
            ranges = { 0, 0xFFFFFFFF, 0, 0xFFFFFFFF };
        QCOMPARE(full ? net.master.classicalScan(Vendor, Product)
                      : net.master.classicalScan(Vendor, Product, ranges[0], ranges[1], ranges[2], ranges[3]),
            CAN::RetType_OK);
        QCOMPARE(net.master.inquireNodeId(), CAN::RetType_Busy);
        QTRY_VERIFY_WITH_TIMEOUT(
            !net.results.isEmpty() && net.outcome(net.results.count() - 1) == EndMark, 20000);

        QStringList reported, expected;
        for (int i = 0; i < net.results.count() - 1; ++i)
            reported.append(net.outcome(i));
        for (const Numbers &d : devices)
            expected.append(found(d[0], d[1]));
        reported.sort();
        expected.sort();
        QCOMPARE(reported, expected);

        const QList<QList<quint32>> sent = queries(net.requests);
        QCOMPARE(sent.size(), queryCount);
        QCOMPARE(sent.first(), (QList<quint32> { Vendor, Product } + ranges));
        QSet<QList<quint32>> distinct;
        for (const QList<quint32> &q : sent) {
            QVERIFY(q[2] == q[3] || (q[4] == ranges[2] && q[5] == ranges[3]));
            distinct.insert(q);
        }
        QCOMPARE(distinct.size(), sent.size());
        QTest::qWait(3 * Answer);
        QCOMPARE(net.requests.size(), 6 * queryCount);
        QCOMPARE(net.master.inquireNodeId(), CAN::RetType_OK);
    }

    void abort()
    {
        LssNetwork net;
        QCOMPARE(net.master.abortClassicalScan(), CAN::RetType_Busy); // nothing to abort
        net.addSlave(0xFF, Vendor, Product, 5, 9);
        net.master.setTimeout(Answer);
        QCOMPARE(net.master.classicalScan(Vendor, Product), CAN::RetType_OK);
        QTRY_VERIFY(net.requests.size() >= 18);
        QCOMPARE(net.master.abortClassicalScan(), CAN::RetType_OK);
        const int sent = net.requests.size();
        QTRY_COMPARE(net.results.count(), 1);
        QCOMPARE(
            net.outcome(0), lssOutcome(LSSMaster::LssAction_ClassicalScan, LSSMaster::LssResult_Timeout, 0));
        QTest::qWait(4 * Answer);
        QCOMPARE(net.requests.size(), sent);
        QCOMPARE(net.results.count(), 1);
        // A new scan replaces the aborted one.
        QCOMPARE(net.master.classicalScan(Vendor, Product, 5, 5, 9, 9), CAN::RetType_OK);
        QTRY_COMPARE(net.results.count(), 3);
        QCOMPARE(net.outcome(1), found(5, 9));
        QCOMPARE(net.outcome(2), EndMark);
    }

    // A refused frame ends the scan; "not ready" is waited out, blocking, and the frame repeated.
    void refusedFrame_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("device error")
            << 5 << 3 << lssOutcome(LSSMaster::LssAction_ClassicalScan, LSSMaster::LssResult_Timeout, 0);
        QTest::newRow("not ready") << 7 << 7 << EndMark;
    }
    void refusedFrame()
    {
        QFETCH(int, code);
        QFETCH(int, frames);
        QFETCH(QString, outcome);
        RefuseThirdFrame recorder;
        recorder.code = CAN::RetType(code);
        CanScheduler scheduler(&recorder);
        LSSMaster master(&scheduler);
        master.setTimeout(Answer);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QElapsedTimer blocked;
        blocked.start();
        QCOMPARE(master.classicalScan(Vendor, Product, 1, 2, 3, 4), CAN::RetType_OK);
        QVERIFY(blocked.elapsed() < 1000); // the 5 s wait after a 7 does not block the host
        // A timer of the host fires while the scan waits to repeat the refused frame.
        bool hostTimerFiredDuringWait = false;
        QTimer::singleShot(100, this, [&] { hostTimerFiredDuringWait = recorder.frames.size() == 3; });
        QTRY_COMPARE_WITH_TIMEOUT(recorder.frames.size(), frames, 8000);
        QVERIFY(code != CAN::RetType_NotReady || (hostTimerFiredDuringWait && blocked.elapsed() >= 4900));
        QCOMPARE(frameHex(recorder.frames.at(2)), QByteArray("4801000000000000"));
        QCOMPARE(frameHex(recorder.frames.last()),
            code == 7 ? QByteArray("4b04000000000000") : "4801000000000000");
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(lssOutcome(spy.at(0).at(0).toInt(), spy.at(0).at(1).toInt(), spy.at(0).at(2)), outcome);
    }
};

QTEST_GUILESS_MAIN(TestLssClassicalScan)
#include "tst_lssclassicalscan.moc"
