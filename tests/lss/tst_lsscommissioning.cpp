// Commissioning a new device with LSS, at the default timing: find the unconfigured node by
// fastscan, give it a node-ID and bit timing, store, release it and watch it boot.

#include "lssnetwork.h"
#include "nmtslave.h"

#include <QTest>

using A = LSSMaster;

class TestLssCommissioning : public QObject
{
    Q_OBJECT

    /// The outcome of an accepted request: its one lssResult.
    static QString outcome(LssNetwork &net, CAN::RetType sent)
    {
        if (sent != CAN::RetType_OK)
            return QStringLiteral("refused %1").arg(sent);
        const int seen = net.results.count();
        if (!QTest::qWaitFor([&] { return net.results.count() > seen; }, 20000))
            return QStringLiteral("no result");
        return net.results.count() == seen + 1 ? net.outcome(seen) : QStringLiteral("several results");
    }

private slots:
    void newDeviceGetsItsNodeId()
    {
        LssNetwork net;
        SimLssSlave *device = net.addSlave(0xFF, 0x1A2, 0x10, 0x30001, 0xCAFE);
        SimLssSlave *neighbour = net.addSlave(3, 0x1A2, 0x10, 0x30001, 0x0001);
        SimCanopenNode *node = device->node();

        QCOMPARE(outcome(net, net.master.identifyNonConfigSlaves()),
            lssOutcome(A::LssAction_IdentifyNonConfigSlaves, A::LssResult_Success, 0));
        QCOMPARE(outcome(net, net.master.fastScan(0, 0, 0, 0)),
            lssOutcome(A::LssAction_FastScan, A::LssResult_Success, 0));
        quint32 v = 0, p = 0, r = 0, s = 0;
        QCOMPARE(net.master.getFastScanValues(&v, &p, &r, &s), CAN::RetType_OK);
        QCOMPARE(QList<quint32>({ v, p, r, s }), QList<quint32>({ 0x1A2, 0x10, 0x30001, 0xCAFE }));
        QCOMPARE(device->lssState(), SimLssSlave::LssState_Configuration);
        QCOMPARE(neighbour->lssState(), SimLssSlave::LssState_Waiting);

        QCOMPARE(outcome(net, net.master.inquireNodeId()),
            lssOutcome(A::LssAction_InquireNodeId, A::LssResult_Success, 0xFF));
        QCOMPARE(outcome(net, net.master.configureNodeId(0x20)),
            lssOutcome(A::LssAction_ConfigureNodeId, A::LssResult_Success, 0));
        QCOMPARE(node->pendingNodeId(), quint8(0x20));
        QCOMPARE(outcome(net, net.master.configureBitTiming(0, 2)),
            lssOutcome(A::LssAction_ConfigureBitTiming, A::LssResult_Success, 0));
        QSignalSpy activated(device, &SimLssSlave::bitTimingActivated);
        QCOMPARE(outcome(net, net.master.activateBitTiming(100)),
            lssOutcome(A::LssAction_ActivateBitTiming, A::LssResult_Timeout, 0));
        QCOMPARE(activated.count(), 1);
        QCOMPARE(activated.at(0), QVariantList({ 2, 100 }));

        device->setStoreError(2);
        QCOMPARE(outcome(net, net.master.storeConfiguration()),
            lssOutcome(A::LssAction_StoreConfiguration, A::LssResult_Error, 2));
        QCOMPARE(device->storeCount(), 0);
        device->setStoreError(0);
        QCOMPARE(outcome(net, net.master.storeConfiguration()),
            lssOutcome(A::LssAction_StoreConfiguration, A::LssResult_Success, 0));
        QCOMPARE(device->storedNodeId(), quint8(0x20));
        QCOMPARE(device->storedBitTiming(), 2);

        // Back to waiting: the node takes its new node-ID and announces itself.
        NMTSlave monitor(0x20, &net.scheduler);
        QSignalSpy states(&monitor, &NMTSlave::NodeStateChanged);
        QCOMPARE(net.master.switchModeGlobal(A::LssGlobalState_Waiting), CAN::RetType_OK);
        QTRY_COMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).value<NMTSlave::NmtState>(), NMTSlave::NmtState_BootUp);
        QCOMPARE(node->nodeId(), quint8(0x20));
        QCOMPARE(device->lssState(), SimLssSlave::LssState_Waiting);

        // Configured now: no longer among the non-configured, reachable by its address.
        QCOMPARE(net.master.identifyNonConfigSlaves(), CAN::RetType_OK);
        QCOMPARE(outcome(net, net.master.switchModeSelective(0x1A2, 0x10, 0x30001, 0xCAFE)),
            lssOutcome(A::LssAction_SwitchModeSelective, A::LssResult_Success, 0));
        QCOMPARE(neighbour->lssState(), SimLssSlave::LssState_Waiting);
        QCOMPARE(outcome(net, net.master.inquireNodeId()),
            lssOutcome(A::LssAction_InquireNodeId, A::LssResult_Success, 0x20));
        QCOMPARE(net.master.switchModeGlobal(A::LssGlobalState_Waiting), CAN::RetType_OK);
        QTest::qWait(50);
        QCOMPARE(states.count(), 1); // no second boot: the node-ID did not change
    }
};

QTEST_GUILESS_MAIN(TestLssCommissioning)
#include "tst_lsscommissioning.moc"
