// A host's most natural first line, `Service(&scheduler)`, gives a working service.
#include "canscheduler.h"
#include "emcyconsumer.h"
#include "lssmaster.h"
#include "nmtnetwork.h"
#include "nmtslave.h"
#include "recordingadapter.h"
#include "sdoclient.h"
#include "syncproducer.h"

#include <QTest>

#include <type_traits>

// Without a parent argument, nullptr still means "no parent" for these classes.
static_assert(std::is_constructible<SDOClient, std::nullptr_t>::value, "SDOClient(nullptr)");
static_assert(std::is_constructible<NMTSlave, std::nullptr_t>::value, "NMTSlave(nullptr)");
static_assert(std::is_constructible<SYNCProducer, std::nullptr_t>::value, "SYNCProducer(nullptr)");
// An EMCY consumer without its COB-ID would consume nothing: a scheduler alone does not compile.
static_assert(!std::is_constructible<EMCYConsumer, CanScheduler *>::value, "EMCYConsumer(&scheduler)");
static_assert(std::is_constructible<EMCYConsumer, std::nullptr_t>::value, "EMCYConsumer(nullptr)");

class tst_ServiceConstructors : public QObject
{
    Q_OBJECT
    struct DerivedScheduler : CanScheduler
    {
        using CanScheduler::CanScheduler;
    };
private slots:
    void schedulerOnly()
    {
        RecordingAdapter adapter;
        DerivedScheduler scheduler(&adapter);
        SDOClient sdo(&scheduler);
        NMTSlave slave(&scheduler);
        SYNCProducer sync(&scheduler);
        QVERIFY(sdo.getCanScheduler() == &scheduler && slave.canScheduler() == &scheduler
            && sync.canScheduler() == &scheduler);
        QVERIFY(!sdo.parent() && !slave.parent() && !sync.parent());
        QVERIFY(
            sdo.setNodeId(3) == CAN::RetType_OK && sdo.read(0x1000, 0, CAN::UNSIGNED32) == CAN::RetType_OK);
        QVERIFY(slave.setNodeId(3) == CAN::RetType_OK && slave.sendCommand(NMT_Start) == CAN::RetType_OK);
        QCOMPARE(sync.oneSync(), CAN::RetType_OK);
        QCOMPARE(adapter.frames.size(), 3);
        // The documented spellings for "no parent" and "no scheduler yet".
        NMTNetwork network(static_cast<QObject *>(nullptr));
        NMTNetwork noScheduler(static_cast<CanScheduler *>(nullptr), &network);
        LSSMaster master(static_cast<QObject *>(nullptr));
        QVERIFY(network.start() == CAN::RetType_NoLink && noScheduler.start() == CAN::RetType_NoLink
            && master.inquireNodeId() == CAN::RetType_NoLink);
    }
};

QTEST_GUILESS_MAIN(tst_ServiceConstructors)
#include "tst_serviceconstructors.moc"
