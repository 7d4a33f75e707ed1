// LSS fastscan and classical scan against simulated LSS slaves, and commissioning a new device:
// found by fastscan, given node-ID and bit timing, stored, booted.

#include "lssnetwork.h"
#include "nmtslave.h"
#include "scriptedadapter.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTest>
#include <QTimer>

namespace {
using A = LSSMaster;
constexpr quint16 Step = 10; // fastscan step time-out of these tests
using Slave = QList<quint32>; // node-ID, vendor-ID, product code, revision, serial number

QList<QByteArray> fastscanFrames(const QList<CAN::CanMessage> &frames)
{
    QList<QByteArray> out;
    for (const CAN::CanMessage &m : frames) {
        if (m.id == 0x7E5 && m.length == 8 && m.data[0] == 0x51)
            out.append(frameHex(m));
    }
    return out;
}

constexpr quint16 Answer = 10; // answer time-out of each range query in these tests
constexpr quint32 Vendor = 0x1A2;
constexpr quint32 Product = 0x10;
const QString EndMark = lssOutcome(
    A::LssAction_ClassicalScan, A::LssResult_Success, QStringList { "4294967295", "0", "0", "0" });

QString found(quint32 revision, quint32 serial)
{
    return lssOutcome(A::LssAction_ClassicalScan, A::LssResult_Success,
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

} // namespace

class TestLssScans : public QObject
{
    Q_OBJECT

private slots:
    // A search from scratch finds the non-configured slave of the lowest address and leaves it
    // (only it) in configuration state: reset query, then 32 bit queries and a confirmation per
    // entry. A known identity takes the reset query and one confirmation per entry; a wrong value
    // is not confirmed and ends the scan with that entry's sub-index. The frames keep 8 bytes
    // with CANopen FD on.
    void fastScan_data()
    {
        QTest::addColumn<QList<Slave>>("slaves");
        QTest::addColumn<QList<quint32>>("known"); // empty: a search from scratch
        QTest::addColumn<int>("selected"); // index in slaves; -1: none
        QTest::addColumn<int>("timedOutAt"); // sub-index; -1: found
        QTest::addColumn<QList<QByteArray>>("frames"); // first, some inside, last
        QTest::addColumn<int>("frameCount");
        const Slave slave = { 0xFF, 0x1A2, 0x10, 0x30001, 0xCAFE };
        const QList<QByteArray> confirmations = { "51a2010000800000", "51a2010000000001", "5110000000000102",
            "5101000300000203", "51feca0000000300" };
        QTest::newRow("lowest of two, last bit apart")
            << QList<Slave> { { 0xFF, 1, 0x12345678, 0xA5, 0xFFFFFFFF },
                   { 0xFF, 1, 0x12345678, 0xA5, 0xFFFFFFFE }, { 3, 1, 0x12345678, 0xA5, 0 } }
            << QList<quint32> {} << 1 << -1
            << QList<QByteArray> { "5100000000800000", "5101000000000001", "51feffffff000300" } << 1 + 4 * 33;
        QTest::newRow("no non-configured slave") << QList<Slave> { { 3, 5, 7, 1, 1 } } << QList<quint32> {}
                                                 << -1 << 0 << QList<QByteArray> { "5100000000800000" } << 1;
        QTest::newRow("known, confirmed")
            << QList<Slave> { slave } << slave.mid(1) << 0 << -1 << confirmations << 5;
        QTest::newRow("known, vendor-ID refused")
            << QList<Slave> { slave } << QList<quint32> { 0x1A3, 0x10, 0x30001, 0xCAFE } << -1 << 0
            << QList<QByteArray> { "51a3010000800000", "51a3010000000001" } << 2;
        QTest::newRow("known, serial number refused")
            << QList<Slave> { slave } << QList<quint32> { 0x1A2, 0x10, 0x30001, 0xCAFF } << -1 << 3
            << confirmations.mid(0, 4) + QList<QByteArray> { "51ffca0000000300" } << 5;
    }
    void fastScan()
    {
        QFETCH(QList<Slave>, slaves);
        QFETCH(QList<quint32>, known);
        QFETCH(int, selected);
        QFETCH(int, timedOutAt);
        QFETCH(QList<QByteArray>, frames);
        QFETCH(int, frameCount);
        LssNetwork net;
        QList<SimLssSlave *> sims;
        for (const Slave &s : slaves)
            sims.append(net.addSlave(quint8(s[0]), s[1], s[2], s[3], s[4]));
        net.master.setTimeout(Step);
        net.master.activateCANopenFD(true);
        const QList<quint32> k = known.isEmpty() ? QList<quint32> { 0, 0, 0, 0 } : known;
        QCOMPARE(net.master.fastScan(k[0], k[1], k[2], k[3], !known.isEmpty()), CAN::RetType_OK);
        QCOMPARE(net.master.configureNodeId(2), CAN::RetType_Busy);
        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_Busy);
        QVERIFY(net.results.wait(20000));
        net.master.activateCANopenFD(false);
        QCOMPARE(net.outcome(0),
            lssOutcome(A::LssAction_FastScan, timedOutAt < 0 ? A::LssResult_Success : A::LssResult_Timeout,
                qMax(timedOutAt, 0)));
        quint32 v[4] = {};
        QCOMPARE(net.master.getFastScanValues(&v[0], &v[1], &v[2], &v[3]), CAN::RetType_OK);
        if (selected >= 0)
            QCOMPARE((QList<quint32> { v[0], v[1], v[2], v[3] }), slaves[selected].mid(1));
        for (int i = 0; i < sims.size(); ++i)
            QCOMPARE(sims[i]->lssState(),
                i == selected ? SimLssSlave::LssState_Configuration : SimLssSlave::LssState_Waiting);
        const QList<QByteArray> sent = fastscanFrames(net.requests);
        QCOMPARE(net.requests.size(), frameCount);
        QCOMPARE(sent.size(), frameCount);
        QCOMPARE(sent.first(), frames.first());
        QCOMPARE(sent.last(), frames.last());
        for (const QByteArray &f : frames)
            QVERIFY2(sent.contains(f), f);
        QTest::qWait(3 * Step);
        QCOMPARE(net.results.count(), 1);
    }

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
        QCOMPARE(net.outcome(0), lssOutcome(A::LssAction_ClassicalScan, A::LssResult_Timeout, 0));
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
            << 5 << 3 << lssOutcome(A::LssAction_ClassicalScan, A::LssResult_Timeout, 0);
        QTest::newRow("not ready") << 7 << 7 << EndMark;
    }
    void refusedFrame()
    {
        QFETCH(int, code);
        QFETCH(int, frames);
        QFETCH(QString, outcome);
        ScriptedAdapter recorder;
        recorder.script = { CAN::RetType_OK, CAN::RetType_OK, CAN::RetType(code) };
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
        QCOMPARE(lssOutcome(spy.at(0)), outcome);
    }

    // The story of a new device.
    void newDeviceGetsItsNodeId()
    {
        LssNetwork net;
        net.master.setTimeout(Step);
        SimLssSlave *device = net.addSlave(0xFF, 0x1A2, 0x10, 0x30001, 0xCAFE);
        SimLssSlave *neighbour = net.addSlave(3, 0x1A2, 0x10, 0x30001, 0x0001);
        const auto ok
            = [](int action, int value = 0) { return lssOutcome(action, A::LssResult_Success, value); };

        QCOMPARE(net.run(net.master.fastScan(0, 0, 0, 0)), ok(A::LssAction_FastScan));
        QCOMPARE(device->lssState(), SimLssSlave::LssState_Configuration);

        QCOMPARE(net.run(net.master.inquireNodeId()), ok(A::LssAction_InquireNodeId, 0xFF));
        QCOMPARE(net.run(net.master.configureNodeId(0x20)), ok(A::LssAction_ConfigureNodeId));
        QCOMPARE(net.run(net.master.configureBitTiming(0, 2)), ok(A::LssAction_ConfigureBitTiming));
        QSignalSpy activated(device, &SimLssSlave::bitTimingActivated);
        QCOMPARE(net.run(net.master.activateBitTiming(100)),
            lssOutcome(A::LssAction_ActivateBitTiming, A::LssResult_Timeout, 0));
        QCOMPARE(activated.count(), 1);
        QCOMPARE(activated.at(0), QVariantList({ 2, 100 }));

        QCOMPARE(net.run(net.master.storeConfiguration()), ok(A::LssAction_StoreConfiguration));
        QCOMPARE(device->storedNodeId(), quint8(0x20));
        QCOMPARE(device->storedBitTiming(), 2);

        // Back to waiting: the node takes its new node-ID and announces itself.
        NMTSlave monitor(0x20, &net.scheduler);
        QSignalSpy states(&monitor, &NMTSlave::NodeStateChanged);
        QCOMPARE(net.master.switchModeGlobal(A::LssGlobalState_Waiting), CAN::RetType_OK);
        QTRY_COMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).value<NMTSlave::NmtState>(), NMTSlave::NmtState_BootUp);
        QCOMPARE(device->lssState(), SimLssSlave::LssState_Waiting);

        // Configured now: no longer among the non-configured, reachable by its address.
        QCOMPARE(net.run(net.master.switchModeSelective(0x1A2, 0x10, 0x30001, 0xCAFE)),
            ok(A::LssAction_SwitchModeSelective));
        QCOMPARE(neighbour->lssState(), SimLssSlave::LssState_Waiting);
        QCOMPARE(net.run(net.master.inquireNodeId()), ok(A::LssAction_InquireNodeId, 0x20));
    }
};

QTEST_GUILESS_MAIN(TestLssScans)
#include "tst_lssscans.moc"
