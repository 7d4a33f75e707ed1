// The LSS master facade: choice of service per scheduler, settings kept across changes,
// refusals.

#include "canscheduler.h"
#include "lssmaster.h"
#include "recordingadapter.h"
#include "scriptedadapter.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

class TestLssMaster : public QObject
{
    Q_OBJECT

    static QList<CAN::RetType> everyRequest(LSSMaster &m)
    {
        quint32 v = 0;
        return { m.switchModeGlobal(LSSMaster::LssGlobalState_Configuration), m.storeConfiguration(),
            m.configureNodeId(3), m.identifyNonConfigSlaves(), m.switchModeSelective(1, 2, 3, 4),
            m.fastScan(0, 0, 0, 0, false), m.classicalScan(1, 2), m.classicalScan(1, 2, 0, 1, 0, 1),
            m.getFastScanValues(&v, &v, &v, &v), m.activateBitTiming(10), m.inquireNodeId(),
            m.configureBitTiming(0, 2), m.abortClassicalScan() };
    }
    static QList<int> settings(const LSSMaster &m)
    {
        return { m.getTimeout(), m.getScanTimeout(), m.getMessageGap() };
    }

private slots:
    // Without a scheduler the master has no LSS service to offer.
    void everythingRefused()
    {
        RecordingAdapter adapter;
        LSSMaster master;
        for (const char *name : { "LSSMaster::LssAction", "LSSMaster::LssResult" })
            QVERIFY2(QMetaType::type(name) != QMetaType::UnknownType, name);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        for (CAN::RetType r : everyRequest(master))
            QCOMPARE(r, CAN::RetType_NoLink);
        QTest::qWait(20);
        QCOMPARE(spy.count(), 0);
        QVERIFY(adapter.frames.isEmpty() && adapter.lines.isEmpty() && adapter.requestLines.isEmpty());
    }

    // The service follows the scheduler: settings carry over, the old service's scan and
    // registration end with it; a null scheduler leaves the current service as it is.
    void schedulerChanges()
    {
        RecordingAdapter first, gateway, second;
        gateway.setGateway(true);
        CanScheduler firstScheduler(&first), gatewayScheduler(&gateway), secondScheduler(&second);
        LSSMaster master;
        QCOMPARE(settings(master), QList<int>({ 500, 90, 1 }));
        master.setTimeout(10);
        master.setMessageGap(7);
        master.setCanScheduler(&firstScheduler);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QCOMPARE(master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        master.setCanScheduler(&gatewayScheduler);
        // The fast scan of the replaced service ends with an outcome of its own.
        QCOMPARE(spy.count(), 1);
        const QList<QVariant> dropped = spy.takeFirst();
        QCOMPARE(dropped.at(0).value<LSSMaster::LssAction>(), LSSMaster::LssAction_FastScan);
        QCOMPARE(dropped.at(1).value<LSSMaster::LssResult>(), LSSMaster::LssResult_Error);
        QCOMPARE(firstScheduler.registeredCount(), 0);
        QCOMPARE(master.getFastScanValues(nullptr, nullptr, nullptr, nullptr), CAN::RetType_NoLink);
        master.setCanScheduler(&secondScheduler);
        QCOMPARE(settings(master), QList<int>({ 10, 10, 7 }));
        QTest::qWait(60);
        QCOMPARE(first.frames.size(), 1);
        QCOMPARE(spy.count(), 0);
        master.setCanScheduler(nullptr);
        QCOMPARE(master.canScheduler(), nullptr);
        QCOMPARE(master.inquireNodeId(), CAN::RetType_OK);
        QCOMPARE(second.frames.size(), 1);
        first.injectFrame(0x7E4, QByteArray::fromHex("5e07000000000000"));
        second.injectFrame(0x7E4, QByteArray::fromHex("5e05000000000000"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(2).toInt(), 5);
    }

    void hostMayDeleteTheMasterInItsSlot()
    {
        RecordingAdapter frames;
        CanScheduler scheduler(&frames);
        QPointer<LSSMaster> master = new LSSMaster(&scheduler);
        master->setTimeout(5);
        int calls = 0;
        connect(master, &LSSMaster::lssResult, master, [&] {
            ++calls;
            delete master.data();
        });
        QCOMPARE(master->storeConfiguration(), CAN::RetType_OK);
        QTRY_VERIFY(master.isNull());
        frames.injectFrame(0x7E4, QByteArray::fromHex("1700000000000000"));
        QCOMPARE(calls, 1);
        QCOMPARE(scheduler.registeredCount(), 0);
    }

    // The first fastscan query goes out and a slave answers, the second is refused: the scan
    // ends as timed out instead of taking the missing answer for a bit value.
    void fastScanQueryRefused()
    {
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
};

QTEST_GUILESS_MAIN(TestLssMaster)
#include "tst_lssmaster.moc"
