// LSS fastscan against simulated LSS slaves.

#include "lssnetwork.h"
#include "recordingadapter.h"

#include <QTest>

namespace {
constexpr quint16 Step = 15;          // fastscan step time-out of these tests
constexpr int SearchSteps = 1 + 4 * 33; // reset query, 32 bits and a confirmation per entry
constexpr int Patience = 20000;

QList<QByteArray> fastscanFrames(const QList<CAN::CanMessage> &frames)
{
    QList<QByteArray> out;
    for (const CAN::CanMessage &m : frames) {
        if (m.id == 0x7E5 && m.length == 8 && m.data[0] == 0x51)
            out.append(frameHex(m));
    }
    return out;
}

struct Identity
{
    quint32 v, p, r, s;
};
} // namespace

class TestLssFastScan : public QObject
{
    Q_OBJECT

    static Identity found(LSSMaster &master)
    {
        Identity id{0, 0, 0, 0};
        if (master.getFastScanValues(&id.v, &id.p, &id.r, &id.s) != CAN::RetType_OK)
            return {0xDEAD, 0, 0, 0};
        return id;
    }

private slots:
    void findsTheOnlySlave()
    {
        LssNetwork net;
        SimLssSlave *slave = net.addSlave(0xFF, 0x00000001, 0x12345678, 0xA5, 0xFFFFFFFE);
        net.master.setTimeout(Step);
        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        QCOMPARE(net.master.configureNodeId(2), CAN::RetType_Busy);
        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_Busy);
        QTRY_COMPARE_WITH_TIMEOUT(net.results.count(), 1, Patience);
        QCOMPARE(net.action(0), LSSMaster::LssAction_FastScan);
        QCOMPARE(net.result(0), LSSMaster::LssResult_Success);
        QCOMPARE(net.value(0).toInt(), 0);

        const Identity id = found(net.master);
        QCOMPARE(id.v, 0x00000001u);
        QCOMPARE(id.p, 0x12345678u);
        QCOMPARE(id.r, 0xA5u);
        QCOMPARE(id.s, 0xFFFFFFFEu);
        QCOMPARE(slave->lssState(), SimLssSlave::LssState_Configuration);

        const QList<QByteArray> frames = fastscanFrames(net.requests);
        QCOMPARE(frames.size(), SearchSteps);
        QCOMPARE(frames.first(), QByteArray("5100000000800000"));
        // Vendor-ID 1: bit 0 stays unanswered, so the confirmation carries 1 and LSSNext 1.
        QVERIFY(frames.contains("5101000000000001"));
        QCOMPARE(frames.last(), QByteArray("51feffffff000300"));
        QTest::qWait(3 * Step);
        QCOMPARE(net.results.count(), 1);
    }

    void findsTheLowestOfTwo()
    {
        LssNetwork net;
        SimLssSlave *higher = net.addSlave(0xFF, 5, 7, 1, 100);
        SimLssSlave *lower = net.addSlave(0xFF, 5, 7, 1, 99);
        net.addSlave(3, 5, 7, 1, 1); // configured: takes no part
        net.master.setTimeout(Step);
        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        QTRY_COMPARE_WITH_TIMEOUT(net.results.count(), 1, Patience);
        QCOMPARE(net.result(0), LSSMaster::LssResult_Success);
        const Identity id = found(net.master);
        QCOMPARE(id.v, 5u);
        QCOMPARE(id.p, 7u);
        QCOMPARE(id.r, 1u);
        QCOMPARE(id.s, 99u);
        QCOMPARE(lower->lssState(), SimLssSlave::LssState_Configuration);
        QCOMPARE(higher->lssState(), SimLssSlave::LssState_Waiting);
    }

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
        // The fastscan frame keeps 8 bytes with CANopen FD on.
        net.master.activateCANopenFD(true);
        quint32 given[4] = {0x1A2, 0x10, 0x30001, 0xCAFE};
        if (wrongEntry >= 0)
            given[wrongEntry] += 1;
        QCOMPARE(net.master.fastScan(given[0], given[1], given[2], given[3], true), CAN::RetType_OK);
        QTRY_COMPARE_WITH_TIMEOUT(net.results.count(), 1, Patience);
        net.master.activateCANopenFD(false);
        QCOMPARE(net.action(0), LSSMaster::LssAction_FastScan);

        const QList<QByteArray> expected = {"51a2010000800000", "51a2010000000001", "5110000000000102",
                                            "5101000300000203", "51feca0000000300"};
        QList<QByteArray> frames = fastscanFrames(net.requests);
        if (wrongEntry < 0) {
            QCOMPARE(net.result(0), LSSMaster::LssResult_Success);
            QCOMPARE(net.value(0).toInt(), 0);
            QCOMPARE(frames, expected);
            QCOMPARE(slave->lssState(), SimLssSlave::LssState_Configuration);
        } else {
            QCOMPARE(net.result(0), LSSMaster::LssResult_Timeout);
            QCOMPARE(net.value(0).toInt(), wrongEntry);
            QCOMPARE(frames.size(), wrongEntry + 2); // reset query, confirmations up to the refused one
            QCOMPARE(frames.mid(1, wrongEntry), expected.mid(1, wrongEntry));
            QCOMPARE(slave->lssState(), SimLssSlave::LssState_Waiting);
        }
        QCOMPARE(net.requests.size(), frames.size());
        QTest::qWait(3 * Step);
        QCOMPARE(net.results.count(), 1);
    }

    void noNonConfiguredSlave()
    {
        LssNetwork net;
        net.addSlave(3, 5, 7, 1, 1);
        net.master.setTimeout(Step);
        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        QTRY_COMPARE(net.results.count(), 1);
        QCOMPARE(net.result(0), LSSMaster::LssResult_Timeout);
        QCOMPARE(net.value(0).toInt(), 0);
        QCOMPARE(fastscanFrames(net.requests), QList<QByteArray>{"5100000000800000"});
        QTest::qWait(3 * Step);
        QCOMPARE(net.results.count(), 1);
        // The values of the scan that gave up are still there to read.
        QCOMPARE(net.master.getFastScanValues(nullptr, nullptr, nullptr, nullptr), CAN::RetType_OK);
    }

    void adapterWithoutBusEndsLikeSilence()
    {
        RecordingAdapter recorder;
        recorder.result = CAN::RetType_Offline;
        CanScheduler scheduler(&recorder);
        LSSMaster master(&scheduler);
        master.setTimeout(Step);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QCOMPARE(master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(1).value<LSSMaster::LssResult>(), LSSMaster::LssResult_Timeout);
        QCOMPARE(spy.at(0).at(2).toInt(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLssFastScan)
#include "tst_lssfastscan.moc"
