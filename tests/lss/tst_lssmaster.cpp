// The LSS master facade: choice of service per scheduler, settings kept across changes.

#include "canscheduler.h"
#include "lssmaster.h"
#include "recordingadapter.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

class TestLssMaster : public QObject
{
    Q_OBJECT

    static QList<CAN::RetType> everyRequest(LSSMaster &m)
    {
        quint32 v = 0;
        return {m.switchModeGlobal(LSSMaster::LssGlobalState_Configuration),
                m.storeConfiguration(),
                m.configureNodeId(3),
                m.identifyNonConfigSlaves(),
                m.switchModeSelective(1, 2, 3, 4),
                m.fastScan(0, 0, 0, 0, false),
                m.classicalScan(1, 2),
                m.classicalScan(1, 2, 0, 1, 0, 1),
                m.getFastScanValues(&v, &v, &v, &v),
                m.activateBitTiming(10),
                m.inquireNodeId(),
                m.configureBitTiming(0, 2),
                m.abortClassicalScan()};
    }

private slots:
    void metaTypesRegistered()
    {
        LSSMaster master;
        for (const char *name : {"LSSMaster::LssAction", "LSSMaster::LssResult", "LSSMaster::LssGlobalState"})
            QVERIFY2(QMetaType::type(name) != QMetaType::UnknownType, name);
        // Results cross queued connections.
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        master.setCanScheduler(&scheduler);
        master.setTimeout(10);
        QObject receiver;
        LSSMaster::LssAction received = LSSMaster::LssAction_None;
        connect(&master, &LSSMaster::lssResult, &receiver,
                [&](LSSMaster::LssAction action, LSSMaster::LssResult, QVariant) { received = action; },
                Qt::QueuedConnection);
        QCOMPARE(master.inquireNodeId(), CAN::RetType_OK);
        QTRY_COMPARE(received, LSSMaster::LssAction_InquireNodeId);
    }

    void withoutSchedulerEverythingIsRefused()
    {
        LSSMaster master;
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        for (CAN::RetType r : everyRequest(master))
            QCOMPARE(r, CAN::RetType_NoLink);
        QTest::qWait(20);
        QCOMPARE(spy.count(), 0);
    }

    void gatewayAdapterLeavesBaseService()
    {
        RecordingAdapter gateway;
        gateway.setGateway(true);
        CanScheduler scheduler(&gateway);
        LSSMaster master(&scheduler);
        for (CAN::RetType r : everyRequest(master))
            QCOMPARE(r, CAN::RetType_NoLink);
        QVERIFY(gateway.frames.isEmpty());
        QVERIFY(gateway.lines.isEmpty() && gateway.requestLines.isEmpty());
    }

    void settingsSurviveSchedulerChanges()
    {
        LSSMaster master;
        QCOMPARE(master.getTimeout(), quint16(500));
        QCOMPARE(master.getScanTimeout(), quint16(90));
        QCOMPARE(master.getMessageGap(), quint16(1));
        master.setTimeout(200);
        master.setMessageGap(7);

        RecordingAdapter frames;
        CanScheduler frameScheduler(&frames);
        RecordingAdapter gateway;
        gateway.setGateway(true);
        CanScheduler gatewayScheduler(&gateway);
        for (CanScheduler *s : {&frameScheduler, &gatewayScheduler, &frameScheduler}) {
            master.setCanScheduler(s);
            QCOMPARE(master.getTimeout(), quint16(200));
            QCOMPARE(master.getScanTimeout(), quint16(200));
            QCOMPARE(master.getMessageGap(), quint16(7));
        }
        QCOMPARE(master.configureNodeId(4), CAN::RetType_OK);
        QCOMPARE(frames.frames.size(), 1);
    }

    void gatewaySchedulerEndsRunningFastscan()
    {
        RecordingAdapter frames;
        CanScheduler frameScheduler(&frames);
        RecordingAdapter gateway;
        gateway.setGateway(true);
        CanScheduler gatewayScheduler(&gateway);
        LSSMaster master(&frameScheduler);
        master.setTimeout(10);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QCOMPARE(master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        QCOMPARE(frames.frames.size(), 1);
        master.setCanScheduler(&gatewayScheduler);
        QTest::qWait(60);
        QCOMPARE(frames.frames.size(), 1);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(master.getFastScanValues(nullptr, nullptr, nullptr, nullptr), CAN::RetType_NoLink);
    }

    void nullSchedulerKeepsTheService()
    {
        RecordingAdapter frames;
        CanScheduler scheduler(&frames);
        LSSMaster master(&scheduler);
        master.setCanScheduler(nullptr);
        QCOMPARE(master.canScheduler(), nullptr);
        QCOMPARE(master.configureNodeId(4), CAN::RetType_OK);
        QCOMPARE(frames.frames.size(), 1);
        // Answers still arrive through the registration on the old scheduler.
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        frames.injectFrame(0x7E4, QByteArray::fromHex("1100000000000000"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(1).value<LSSMaster::LssResult>(), LSSMaster::LssResult_Success);
    }

    void replacedServiceNoLongerListens()
    {
        RecordingAdapter first;
        CanScheduler firstScheduler(&first);
        RecordingAdapter second;
        CanScheduler secondScheduler(&second);
        LSSMaster master(&firstScheduler);
        master.setTimeout(30);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QCOMPARE(master.inquireNodeId(), CAN::RetType_OK);
        master.setCanScheduler(&secondScheduler);
        QCOMPARE(firstScheduler.registeredCount(), 0);
        first.injectFrame(0x7E4, QByteArray::fromHex("5e05000000000000"));
        QTest::qWait(60);
        QCOMPARE(spy.count(), 0); // the old request ended with its service
        QCOMPARE(master.inquireNodeId(), CAN::RetType_OK);
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
};

QTEST_GUILESS_MAIN(TestLssMaster)
#include "tst_lssmaster.moc"
