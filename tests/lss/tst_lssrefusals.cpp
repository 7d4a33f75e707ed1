// LSS requests under adapter refusals end in exactly one lssResult.
#include "canscheduler.h"
#include "lssmaster.h"
#include "scriptedadapter.h"

#include <QSignalSpy>
#include <QTest>

class tst_LssRefusals : public QObject
{
    Q_OBJECT
private slots:
    void fastScanQueryRefused();
};

void tst_LssRefusals::fastScanQueryRefused()
{
    // The first query goes out and a slave answers, the second is refused: the scan ends as
    // timed out instead of taking the missing answer for a bit value.
    ScriptedAdapter adapter;
    adapter.script = { CAN::RetType_OK, CAN::RetType_DeviceError };
    CanScheduler scheduler(&adapter);
    LSSMaster master(&scheduler);
    master.setTimeout(10);
    QSignalSpy results(&master, &LSSMaster::lssResult);
    QCOMPARE(master.fastScan(0, 0, 0, 0, false), CAN::RetType_OK);
    QTRY_COMPARE(adapter.frames.size(), 1);
    adapter.injectFrame(0x7E4, QByteArray::fromHex("4f00000000000000"));
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).value<LSSMaster::LssAction>(), LSSMaster::LssAction_FastScan);
    QCOMPARE(results.at(0).at(1).value<LSSMaster::LssResult>(), LSSMaster::LssResult_Timeout);
    QVERIFY(!results.wait(100));
    QCOMPARE(adapter.frames.size(), 2);
}

QTEST_GUILESS_MAIN(tst_LssRefusals)
#include "tst_lssrefusals.moc"
