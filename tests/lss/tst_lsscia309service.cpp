// LSS through a CiA 309-3 gateway: the command line of every request, and the wait of at most
// one second for the answer with the request's sequence number.
#include "canscheduler.h"
#include "lssmaster.h"
#include "recordingadapter.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <iterator>

namespace {
using A = LSSMaster;

struct Bench
{
    Bench()
    {
        adapter.setGateway(true);
        master.setCanScheduler(&scheduler);
    }
    /// Answers with text once the request waits (the adapter assigns sequence 1 first).
    void answerLater(const QString &text)
    {
        QTimer::singleShot(5, &adapter, [this, text] { adapter.injectGateway(text); });
    }
    RecordingAdapter adapter;
    CanScheduler scheduler { &adapter };
    LSSMaster master;
};

const struct
{
    const char *line;
    CAN::RetType (*call)(A &);
} Awaited[] = {
    { "lss_switch_glob 1", [](A &m) { return m.switchModeGlobal(A::LssGlobalState_Configuration); } },
    { "lss_switch_glob 0", [](A &m) { return m.switchModeGlobal(A::LssGlobalState_Waiting); } },
    { "lss_store", [](A &m) { return m.storeConfiguration(); } },
    { "lss_set_node 10", [](A &m) { return m.configureNodeId(10); } },
    { "lss_switch_sel 0x1a2 0x10 0x1 0xffffffff",
        [](A &m) { return m.switchModeSelective(0x1A2, 0x10, 1, 0xFFFFFFFF); } },
    { "lss_activate_bitrate 100", [](A &m) { return m.activateBitTiming(100); } },
    { "lss_conf_bitrate 0x0 0x4", [](A &m) { return m.configureBitTiming(0, 4); } },
};
} // namespace

class tst_LssCiA309Service : public QObject
{
    Q_OBJECT

private slots:
    // Each request's line and its result from the numbered answer; the answers to the store
    // show how answers are read.
    void awaitedRequests_data()
    {
        QTest::addColumn<int>("request");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("result");
        for (int i = 0; i < int(std::size(Awaited)); ++i)
            QTest::newRow(Awaited[i].line) << i << "[1] OK" << 0;
        QTest::newRow("error") << 2 << "[1] ERROR:504 #LSS parameter storing failed" << 6;
        QTest::newRow("lower-case ok") << 2 << "[1] ok" << 0;
        QTest::newRow("answer without a word") << 2 << "[1] 5" << 6;
        QTest::newRow("stale answer first, in one text") << 2 << "[0] ERROR:100\n[1] OK" << 0;
    }
    void awaitedRequests()
    {
        QFETCH(int, request);
        QFETCH(QString, answer);
        QFETCH(int, result);
        Bench b;
        QSignalSpy spy(&b.master, &LSSMaster::lssResult);
        b.answerLater(answer);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(Awaited[request].call(b.master)), result);
        QVERIFY(clock.elapsed() < 900); // ended by the answer, not the second
        QCOMPARE(b.adapter.requestLines, QStringList { Awaited[request].line });
        QCOMPARE(b.adapter.sequenceIn, QList<quint16> { 0xFFFF });
        QVERIFY(b.adapter.lines.isEmpty() && b.adapter.frames.isEmpty());
        QCOMPARE(spy.count(), 0); // results come back as the return value only
    }

    // Lines whose answer is not evaluated go out unnumbered and return at once; what a gateway
    // cannot do is refused without a line.
    void unansweredAndRefused()
    {
        Bench b;
        QCOMPARE(b.master.identifyNonConfigSlaves(), CAN::RetType_OK);
        QCOMPARE(b.master.inquireNodeId(), CAN::RetType_OK);
        QCOMPARE(b.master.classicalScan(418, 0x10, 0, 0xFFFFFFFF, 0, 0xFFFFFFFF), CAN::RetType_OK);
        QCOMPARE(b.adapter.lines,
            (QStringList { "lss_ident_nonconf", "lss_get_node_node",
                "lss_identity 418 0x10 0x0 0xffffffff 0x0 0xffffffff" }));
        quint32 v = 0;
        QCOMPARE(b.master.fastScan(0, 0, 0, 0, false), CAN::RetType_NoLink);
        QCOMPARE(b.master.classicalScan(1, 2), CAN::RetType_NoLink);
        QCOMPARE(b.master.getFastScanValues(&v, &v, &v, &v), CAN::RetType_NoLink);
        QCOMPARE(b.master.abortClassicalScan(), CAN::RetType_NoLink);
        QVERIFY(b.adapter.requestLines.isEmpty() && b.adapter.frames.isEmpty());
        b.adapter.result = CAN::RetType_NotReady; // the adapter's refusal comes back at once
        QCOMPARE(b.master.storeConfiguration(), CAN::RetType_NotReady);
        QCOMPARE(b.master.inquireNodeId(), CAN::RetType_NotReady);
    }

    // Without the matching answer the request gives up after one second.
    void noMatchingAnswer_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("silence") << QString();
        QTest::newRow("stale sequence number") << "[7] OK";
    }
    void noMatchingAnswer()
    {
        QFETCH(QString, answer);
        Bench b;
        if (!answer.isEmpty())
            b.answerLater(answer);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(b.master.configureNodeId(10), CAN::RetType_NoLink);
        QVERIFY(clock.elapsed() >= 950);
        b.adapter.injectGateway(QStringLiteral("[1] OK")); // too late: nothing waits for it
        b.answerLater(QStringLiteral("[2] OK"));
        QCOMPARE(b.master.storeConfiguration(), CAN::RetType_OK);
    }

    void hostMayDeleteTheMasterWhileItWaits()
    {
        auto *b = new Bench;
        QPointer<LSSMaster> master = &b->master;
        QTimer::singleShot(5, [b] { delete b; });
        QCOMPARE(master->storeConfiguration(), CAN::RetType_NoLink);
        QVERIFY(!master);
    }

    // A request issued while another waits takes over; the first one ends with 6.
    void nestedRequest()
    {
        Bench b;
        CAN::RetType inner = CAN::RetType_Busy;
        QTimer::singleShot(5, [&] {
            b.answerLater(QStringLiteral("[2] OK"));
            inner = b.master.configureNodeId(3);
        });
        QCOMPARE(b.master.storeConfiguration(), CAN::RetType_NoLink);
        QCOMPARE(inner, CAN::RetType_OK);
    }
};

QTEST_GUILESS_MAIN(tst_LssCiA309Service)
#include "tst_lsscia309service.moc"
