// The network scanner under adapter refusals: a refused read is repeated or skipped, and the
// walk always ends with exactly one sigFinished.
#include "canopennetworkscanner.h"
#include "canscheduler.h"
#include "scriptedadapter.h"
#include "sdoclient.h"

#include <QSignalSpy>
#include <QTest>

class tst_ScannerRefusals : public QObject
{
    Q_OBJECT
private slots:
    void refusedReads_data()
    {
        QTest::addColumn<QList<CAN::RetType>>("script"); // then every frame refused as offline
        QTest::addColumn<int>("readsOfNode1"); // upload requests of 0x1000 for node 1
        using R = QList<CAN::RetType>;
        QTest::newRow("offline from the start") << R {} << 1;
        // Not ready twice: the read goes out on the third try and times out as usual.
        QTest::newRow("not ready, then sent")
            << R { CAN::RetType_NotReady, CAN::RetType_NotReady, CAN::RetType_OK } << 3;
        R full;
        for (int i = 0; i < 30; ++i)
            full << CAN::RetType_NotReady;
        QTest::newRow("not ready for good") << full << 26;
    }
    void refusedReads()
    {
        QFETCH(QList<CAN::RetType>, script);
        QFETCH(int, readsOfNode1);
        ScriptedAdapter adapter;
        adapter.script = script;
        adapter.result = CAN::RetType_Offline;
        CanScheduler scheduler(&adapter);
        CANopenNetworkscanner scanner;
        QSignalSpy finished(&scanner, &CANopenNetworkscanner::sigFinished);
        scanner.startScan(&scheduler, true);
        QVERIFY(finished.wait(5000));
        QCOMPARE(scanner.getCurrentState(), CANopenNetworkscanner::CS_Finished);
        int node1 = 0;
        int highest = 0;
        for (const CAN::CanMessage &m : qAsConst(adapter.frames)) {
            if (m.id == 0x601 && m.data[0] == 0x40)
                ++node1;
            highest = qMax<int>(highest, int(m.id) - 0x600);
        }
        QCOMPARE(node1, readsOfNode1);
        QCOMPARE(highest, 127); // every node was tried, none above 127
        QVERIFY(!finished.wait(300));
        QCOMPARE(finished.count(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_ScannerRefusals)
#include "tst_scannerrefusals.moc"
