// Commissioning a new device with LSS, at the default timing: find the unconfigured node by
// fastscan, give it a node-ID and bit timing, store, release it and watch it boot.

#include "lssnetwork.h"
#include "nmtslave.h"

#include <QTest>

class TestLssCommissioning : public QObject
{
    Q_OBJECT

    /// Waits for the next lssResult and checks it.
    static bool next(LssNetwork &net, LSSMaster::LssAction action, LSSMaster::LssResult result, QVariant value = 0)
    {
        const int seen = net.results.count();
        if (!QTest::qWaitFor([&] { return net.results.count() > seen; }, 20000))
            return false;
        const int i = net.results.count() - 1;
        return net.results.count() == seen + 1 && net.action(i) == action && net.result(i) == result
               && net.value(i) == value;
    }

private slots:
    void newDeviceGetsItsNodeId()
    {
        LssNetwork net;
        QCOMPARE(net.master.getScanTimeout(), quint16(90)); // a full-length fastscan
        SimLssSlave *device = net.addSlave(0xFF, 0x1A2, 0x10, 0x30001, 0xCAFE);
        SimLssSlave *neighbour = net.addSlave(3, 0x1A2, 0x10, 0x30001, 0x0001);
        SimCanopenNode *node = device->node();
        QVERIFY(!node->isConfigured());

        QCOMPARE(net.master.identifyNonConfigSlaves(), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_IdentifyNonConfigSlaves, LSSMaster::LssResult_Success));

        QCOMPARE(net.master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_FastScan, LSSMaster::LssResult_Success));
        quint32 v = 0, p = 0, r = 0, s = 0;
        QCOMPARE(net.master.getFastScanValues(&v, &p, &r, &s), CAN::RetType_OK);
        QCOMPARE(QList<quint32>({v, p, r, s}), QList<quint32>({0x1A2, 0x10, 0x30001, 0xCAFE}));
        QCOMPARE(device->lssState(), SimLssSlave::LssState_Configuration);
        QCOMPARE(neighbour->lssState(), SimLssSlave::LssState_Waiting);

        QCOMPARE(net.master.inquireNodeId(), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_InquireNodeId, LSSMaster::LssResult_Success, 0xFF));
        QCOMPARE(net.master.configureNodeId(200), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_ConfigureNodeId, LSSMaster::LssResult_Error, 1));
        QCOMPARE(net.master.configureNodeId(0x20), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_ConfigureNodeId, LSSMaster::LssResult_Success));
        QCOMPARE(node->pendingNodeId(), quint8(0x20));

        QCOMPARE(net.master.configureBitTiming(0, 5), CAN::RetType_OK); // index 5 is reserved
        QVERIFY(next(net, LSSMaster::LssAction_ConfigureBitTiming, LSSMaster::LssResult_Error, 1));
        QCOMPARE(net.master.configureBitTiming(0, 2), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_ConfigureBitTiming, LSSMaster::LssResult_Success));
        QSignalSpy activated(device, &SimLssSlave::bitTimingActivated);
        QCOMPARE(net.master.activateBitTiming(100), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_ActivateBitTiming, LSSMaster::LssResult_Timeout));
        QCOMPARE(activated.count(), 1);
        QCOMPARE(activated.at(0).at(0).toInt(), 2);
        QCOMPARE(activated.at(0).at(1).toUInt(), 100u);

        device->setStoreError(2);
        QCOMPARE(net.master.storeConfiguration(), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_StoreConfiguration, LSSMaster::LssResult_Error, 2));
        QCOMPARE(device->storeCount(), 0);
        device->setStoreError(0);
        QCOMPARE(net.master.storeConfiguration(), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_StoreConfiguration, LSSMaster::LssResult_Success));
        QCOMPARE(device->storedNodeId(), quint8(0x20));
        QCOMPARE(device->storedBitTiming(), 2);

        // Back to waiting: the node takes its new node-ID and announces itself.
        NMTSlave monitor(0x20, &net.scheduler);
        QSignalSpy states(&monitor, &NMTSlave::NodeStateChanged);
        QCOMPARE(net.master.switchModeGlobal(LSSMaster::LssGlobalState_Waiting), CAN::RetType_OK);
        QTRY_COMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).value<NMTSlave::NmtState>(), NMTSlave::NmtState_BootUp);
        QCOMPARE(node->nodeId(), quint8(0x20));
        QCOMPARE(device->lssState(), SimLssSlave::LssState_Waiting);

        // Configured now: no longer among the non-configured, reachable by its address.
        QCOMPARE(net.master.identifyNonConfigSlaves(), CAN::RetType_OK);
        QCOMPARE(net.master.switchModeSelective(0x1A2, 0x10, 0x30001, 0xCAFE), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_SwitchModeSelective, LSSMaster::LssResult_Success));
        QCOMPARE(neighbour->lssState(), SimLssSlave::LssState_Waiting);
        QCOMPARE(net.master.inquireNodeId(), CAN::RetType_OK);
        QVERIFY(next(net, LSSMaster::LssAction_InquireNodeId, LSSMaster::LssResult_Success, 0x20));
        QCOMPARE(net.master.switchModeGlobal(LSSMaster::LssGlobalState_Waiting), CAN::RetType_OK);
        QTest::qWait(50);
        QCOMPARE(states.count(), 1); // no second boot: the node-ID did not change
    }
};

QTEST_GUILESS_MAIN(TestLssCommissioning)
#include "tst_lsscommissioning.moc"
