// LSS fastscan against simulated LSS slaves.

#include "lssnetwork.h"
#include "recordingadapter.h"

#include <QTest>

namespace {
constexpr quint16 Step = 15; // fastscan step time-out of these tests
using A = LSSMaster;
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

QList<quint32> fastScanValues(LSSMaster &master)
{
    quint32 v = 0, p = 0, r = 0, s = 0;
    if (master.getFastScanValues(&v, &p, &r, &s) != CAN::RetType_OK)
        return {};
    return { v, p, r, s };
}
} // namespace

class TestLssFastScan : public QObject
{
    Q_OBJECT

private slots:
    // A search from scratch finds the non-configured slave of the lowest address and leaves it
    // (only it) in configuration state: reset query, then 32 bit queries and a confirmation per entry.
    void search_data()
    {
        QTest::addColumn<QList<Slave>>("slaves");
        QTest::addColumn<int>("selected"); // index in slaves; -1: none
        QTest::addColumn<QList<QByteArray>>("frames"); // first, some inside, last
        QTest::addColumn<int>("frameCount");
        QTest::newRow("the only slave")
            << QList<Slave> { { 0xFF, 1, 0x12345678, 0xA5, 0xFFFFFFFE } } << 0
            << QList<QByteArray> { "5100000000800000", "5101000000000001", "51feffffff000300" } << 1 + 4 * 33;
        QTest::newRow("lowest of two")
            << QList<Slave> { { 0xFF, 5, 7, 1, 100 }, { 0xFF, 5, 7, 1, 99 }, { 3, 5, 7, 1, 1 } } << 1
            << QList<QByteArray> { "5100000000800000", "5163000000000300" } << 1 + 4 * 33;
        QTest::newRow("no non-configured slave")
            << QList<Slave> { { 3, 5, 7, 1, 1 } } << -1 << QList<QByteArray> { "5100000000800000" } << 1;
    }
    void search()
    {
        QFETCH(QList<Slave>, slaves);
        QFETCH(int, selected);
        QFETCH(QList<QByteArray>, frames);
        QFETCH(int, frameCount);
        LssNetwork net;
        QList<SimLssSlave *> sims;
        for (const Slave &s : slaves)
            sims.append(net.addSlave(quint8(s[0]), s[1], s[2], s[3], s[4]));
        net.master.setTimeout(Step);
        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        QCOMPARE(net.master.configureNodeId(2), CAN::RetType_Busy);
        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_Busy);
        QTRY_COMPARE_WITH_TIMEOUT(net.results.count(), 1, 20000);
        QCOMPARE(net.outcome(0),
            lssOutcome(A::LssAction_FastScan, selected < 0 ? A::LssResult_Timeout : A::LssResult_Success, 0));
        if (selected >= 0)
            QCOMPARE(fastScanValues(net.master), slaves[selected].mid(1));
        for (int i = 0; i < sims.size(); ++i)
            QCOMPARE(sims[i]->lssState(),
                i == selected ? SimLssSlave::LssState_Configuration : SimLssSlave::LssState_Waiting);
        const QList<QByteArray> sent = fastscanFrames(net.requests);
        QCOMPARE(sent.size(), frameCount);
        QCOMPARE(sent.first(), frames.first());
        QCOMPARE(sent.last(), frames.last());
        for (const QByteArray &f : frames)
            QVERIFY2(sent.contains(f), f);
        QTest::qWait(3 * Step);
        QCOMPARE(net.results.count(), 1);
    }

    // Known identity: reset query, then one confirmation per entry; a wrong value is not
    // confirmed and ends the scan with that entry's sub-index.
    void knownIdentity_data()
    {
        QTest::addColumn<int>("wrongEntry");
        QTest::newRow("confirmed") << -1;
        QTest::newRow("vendor-ID refused") << 0;
        QTest::newRow("product code refused") << 1;
        QTest::newRow("revision refused") << 2;
        QTest::newRow("serial number refused") << 3;
    }
    void knownIdentity()
    {
        QFETCH(int, wrongEntry);
        LssNetwork net;
        SimLssSlave *slave = net.addSlave(0xFF, 0x1A2, 0x10, 0x30001, 0xCAFE);
        net.master.setTimeout(Step);
        net.master.activateCANopenFD(true); // the fastscan frame keeps 8 bytes
        QList<quint32> given = { 0x1A2, 0x10, 0x30001, 0xCAFE };
        if (wrongEntry >= 0)
            given[wrongEntry] += 1;
        QCOMPARE(net.master.fastScan(given[0], given[1], given[2], given[3], true), CAN::RetType_OK);
        QTRY_COMPARE_WITH_TIMEOUT(net.results.count(), 1, 20000);
        net.master.activateCANopenFD(false);
        const bool found = wrongEntry < 0;
        QCOMPARE(net.outcome(0),
            lssOutcome(A::LssAction_FastScan, found ? A::LssResult_Success : A::LssResult_Timeout,
                found ? 0 : wrongEntry));
        QCOMPARE(
            slave->lssState(), found ? SimLssSlave::LssState_Configuration : SimLssSlave::LssState_Waiting);
        // Reset query, then the confirmations up to the refused one.
        const QList<QByteArray> expected = { "51a2010000800000", "51a2010000000001", "5110000000000102",
            "5101000300000203", "51feca0000000300" };
        const QList<QByteArray> frames = fastscanFrames(net.requests);
        QCOMPARE(net.requests.size(), found ? 5 : wrongEntry + 2);
        QCOMPARE(frames.mid(found ? 0 : 1, found ? 5 : wrongEntry),
            expected.mid(found ? 0 : 1, found ? 5 : wrongEntry));
        if (found)
            QCOMPARE(fastScanValues(net.master), given);
        QTest::qWait(3 * Step);
        QCOMPARE(net.results.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestLssFastScan)
#include "tst_lssfastscan.moc"
