// The LSS master on CAN frames (a scripted peer checks every byte and answers) and through a
// CiA 309-3 gateway (command lines, and the wait of at most one second for the answer with the
// request's sequence number); refusals and the service following the scheduler.

#include "buspeer.h"
#include "lssnetwork.h"
#include "recordingadapter.h"
#include "scriptedadapter.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <iterator>
#include <memory>

namespace {
using A = LSSMaster;
constexpr int Timeout = 60; // answer time-out of these tests

struct Request
{
    const char *name;
    CAN::RetType (*call)(LSSMaster &);
    LSSMaster::LssAction awaits; // LssAction_None: no answer awaited
    const char *frames; // classic frames, space-separated
    const char *fdFrames; // with CANopen FD on
    const char *line; // through a gateway, numbered; null: unnumbered
};

const Request Requests[] = {
    { "switchGlobalWaiting", [](A &m) { return m.switchModeGlobal(A::LssGlobalState_Waiting); },
        A::LssAction_None, "0400000000000000", "0400", "lss_switch_glob 0" },
    { "switchGlobalConfiguration", [](A &m) { return m.switchModeGlobal(A::LssGlobalState_Configuration); },
        A::LssAction_None, "0401000000000000", "0401", "lss_switch_glob 1" },
    { "configureNodeId", [](A &m) { return m.configureNodeId(5); }, A::LssAction_ConfigureNodeId,
        "1105000000000000", "1105", "lss_set_node 5" },
    { "configureBitTiming", [](A &m) { return m.configureBitTiming(0, 4); }, A::LssAction_ConfigureBitTiming,
        "1300040000000000", "1300040000000000", "lss_conf_bitrate 0x0 0x4" },
    { "activateBitTiming", [](A &m) { return m.activateBitTiming(0x1234); }, A::LssAction_ActivateBitTiming,
        "1534120000000000", "153412", "lss_activate_bitrate 4660" },
    { "storeConfiguration", [](A &m) { return m.storeConfiguration(); }, A::LssAction_StoreConfiguration,
        "1700000000000000", "17", "lss_store" },
    { "identifyNonConfigSlaves", [](A &m) { return m.identifyNonConfigSlaves(); }, A::LssAction_None,
        "4c00000000000000", "4c", nullptr },
    { "inquireNodeId", [](A &m) { return m.inquireNodeId(); }, A::LssAction_InquireNodeId, "5e00000000000000",
        "5e", nullptr },
    { "switchSelective", [](A &m) { return m.switchModeSelective(0x1A2, 0x10, 1, 0xFFFFFFFF); },
        A::LssAction_SwitchModeSelective,
        "40a2010000000000 4110000000000000 4201000000000000 43ffffffff000000",
        "40a2010000000000 4110000000000000 4201000000000000 43ffffffff000000",
        "lss_switch_sel 0x1a2 0x10 0x1 0xffffffff" },
};

struct Bench : LssNetwork
{
    BusPeer peer { &bus };
    Bench() { master.setTimeout(Timeout); }
};

/// Every request of the table, then, with scans, the scans and their companions.
QList<CAN::RetType> everyRequest(LSSMaster &m, bool scans)
{
    QList<CAN::RetType> all;
    for (const Request &r : Requests)
        all << r.call(m);
    quint32 v = 0;
    if (scans)
        all << m.fastScan(0, 0, 0, 0, false) << m.classicalScan(1, 2) << m.classicalScan(1, 2, 0, 1, 0, 1)
            << m.getFastScanValues(&v, &v, &v, &v) << m.abortClassicalScan();
    return all;
}
/// A master on a CiA 309-3 gateway adapter.
struct GatewayBench
{
    GatewayBench()
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

} // namespace

class TestLssMaster : public QObject
{
    Q_OBJECT

    std::unique_ptr<Bench> b;

private slots:
    void initTestCase() // before any spy: the master itself registers its types for queued connections
    {
        LSSMaster master;
        for (const char *type : { "LSSMaster::LssAction", "LSSMaster::LssResult" })
            QVERIFY2(QMetaType::type(type) != QMetaType::UnknownType, type);
    }
    void init() { b = std::make_unique<Bench>(); }
    void cleanup()
    {
        CANopenService::mUseCANopenFD = false;
        b.reset();
    }

    // Exact frames; a request that awaits an answer is busy until its answer (only its own, of
    // 8 bytes) or its time-out ends it, once.
    void exchange_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("fd");
        QTest::addColumn<QByteArray>("answer"); // null: none
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("value");
        const int ok = A::LssResult_Success, error = A::LssResult_Error, none = A::LssResult_Timeout;
        for (const Request &r : Requests)
            for (bool fd : { false, true })
                QTest::addRow("%s%s", r.name, fd ? " FD" : "")
                    << QByteArray(r.name) << fd << QByteArray() << none << 0;
        const struct
        {
            const char *row, *name, *answer;
            int result, value;
        } rows[] = {
            { "node-ID ok", "configureNodeId", "1100000000000000", ok, 0 },
            { "node-ID out of range", "configureNodeId", "1101000000000000", error, 1 },
            { "bit timing ok", "configureBitTiming", "1300000000000000", ok, 0 },
            { "bit timing specific", "configureBitTiming", "13ff070000000000", error, 0xFF },
            { "store ok", "storeConfiguration", "1700000000000000", ok, 0 },
            { "store media error", "storeConfiguration", "1702000000000000", error, 2 },
            { "inquire node-ID", "inquireNodeId", "5e2a000000000000", ok, 0x2A },
            { "selective", "switchSelective", "4400000000000000", ok, 0 },
            { "7 bytes", "configureNodeId", "11000000000000", none, 0 },
            { "9 bytes", "inquireNodeId", "5e0500000000000000", none, 0 },
            { "store answer to node-ID", "configureNodeId", "1700000000000000", none, 0 },
            { "selective answer to inquire", "inquireNodeId", "4400000000000000", none, 0 },
            { "inquire answer to selective", "switchSelective", "5e05000000000000", none, 0 },
            { "unknown command", "configureBitTiming", "9900000000000000", none, 0 },
        };
        for (const auto &r : rows)
            QTest::newRow(r.row) << QByteArray(r.name) << false << QByteArray(r.answer) << r.result
                                 << r.value;
    }
    void exchange()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, fd);
        QFETCH(QByteArray, answer);
        QFETCH(int, result);
        QFETCH(int, value);
        const Request &r = request(Requests, name);
        b->master.activateCANopenFD(fd);
        QCOMPARE(r.call(b->master), CAN::RetType_OK);
        for (const QByteArray &hex : QByteArray(fd ? r.fdFrames : r.frames).split(' ')) {
            const CAN::CanRxMessage m = b->peer.takeFrame();
            QCOMPARE(m.id, 0x7E5u);
            QCOMPARE(frameHex(m), hex);
            QVERIFY(!m.fd && !m.bitRateSwitch && !m.remote && !m.extended);
        }
        if (r.awaits == A::LssAction_None) {
            QCOMPARE(b->master.inquireNodeId(), CAN::RetType_OK); // nothing was left pending
            return;
        }
        QCOMPARE(b->master.configureNodeId(9), CAN::RetType_Busy);
        if (!answer.isNull())
            b->peer.send(0x7E4, answer.constData());
        QTRY_COMPARE(b->results.count(), 1);
        QCOMPARE(b->outcome(0), lssOutcome(r.awaits, result, value));
        QVERIFY(b->peer.expectSilence(2 * Timeout)); // the answer timer reports nothing more
        QCOMPARE(b->results.count(), 1);
        QCOMPARE(b->master.inquireNodeId(), CAN::RetType_OK);
    }

    void identifyNonConfigSlavesReportsEachAnswer()
    {
        QCOMPARE(b->master.identifyNonConfigSlaves(), CAN::RetType_OK);
        QVERIFY(b->peer.expect(0x7E5, "4c00000000000000"));
        for (int i = 0; i < 3; ++i)
            b->peer.send(0x7E4, "5000000000000000");
        QTRY_COMPARE(b->results.count(), 3);
        QCOMPARE(b->outcome(2), lssOutcome(A::LssAction_IdentifyNonConfigSlaves, A::LssResult_Success, 0));
    }

    // Refused by the adapter (its code passed on), without scheduler or after it is gone (6):
    // no request stays pending, none reports anything.
    void refused_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("scheduler"); // false: never one
        QTest::newRow("not ready") << 7 << true;
        QTest::newRow("offline") << 4 << true;
        QTest::newRow("scheduler gone") << 6 << true;
        QTest::newRow("no scheduler") << 6 << false;
    }
    void refused()
    {
        QFETCH(int, code);
        QFETCH(bool, scheduler);
        RecordingAdapter recorder;
        auto owned = std::make_unique<CanScheduler>(&recorder);
        LSSMaster m(scheduler ? owned.get() : nullptr);
        m.setTimeout(Timeout);
        QSignalSpy spy(&m, &LSSMaster::lssResult);
        recorder.result = CAN::RetType(code);
        if (code == CAN::RetType_NoLink)
            owned.reset();
        for (CAN::RetType r : everyRequest(m, !scheduler))
            QCOMPARE(int(r), code);
        QCOMPARE(recorder.frames.size(), owned ? int(std::size(Requests)) : 0);
        QTest::qWait(2 * Timeout);
        QCOMPARE(spy.count(), 0);
    }

    // A later frame of a request is refused: the selective switch ends with an error; the
    // fastscan, whose first query a slave answered, ends as timed out instead of taking the
    // missing answer for a bit value.
    void followUpFrameRefused_data()
    {
        QTest::addColumn<bool>("fastScan");
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("result");
        QTest::newRow("selective") << false << int(A::LssAction_SwitchModeSelective)
                                   << int(A::LssResult_Error);
        QTest::newRow("fastscan") << true << int(A::LssAction_FastScan) << int(A::LssResult_Timeout);
    }
    void followUpFrameRefused()
    {
        QFETCH(bool, fastScan);
        QFETCH(int, action);
        QFETCH(int, result);
        ScriptedAdapter adapter;
        adapter.script = { CAN::RetType_OK, CAN::RetType_DeviceError };
        CanScheduler scheduler(&adapter);
        LSSMaster master(&scheduler);
        master.setTimeout(10);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QCOMPARE(fastScan ? master.fastScan(0, 0, 0, 0, false) : master.switchModeSelective(1, 2, 3, 4),
            CAN::RetType_OK);
        QTRY_COMPARE(adapter.frames.size(), 1);
        if (fastScan)
            adapter.injectFrame(0x7E4, QByteArray::fromHex("4f00000000000000"));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(lssOutcome(spy.at(0)), lssOutcome(action, result, 0));
        QVERIFY(!spy.wait(100));
        QCOMPARE(adapter.frames.size(), 2);
    }

    // The service follows the scheduler: settings carry over, the old service's scan and
    // registration end with it; a null scheduler leaves the current service as it is.
    void schedulerChanges()
    {
        RecordingAdapter first, gateway, second;
        gateway.setGateway(true);
        CanScheduler firstScheduler(&first), gatewayScheduler(&gateway), secondScheduler(&second);
        LSSMaster master;
        master.setTimeout(10);
        master.setMessageGap(7);
        master.setCanScheduler(&firstScheduler);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QCOMPARE(master.fastScan(0, 0, 0, 0), CAN::RetType_OK);
        master.setCanScheduler(&gatewayScheduler);
        // The fast scan of the replaced service ends with an outcome of its own.
        QCOMPARE(spy.count(), 1);
        QCOMPARE(lssOutcome(spy.at(0)), lssOutcome(A::LssAction_FastScan, A::LssResult_Error, QVariant()));
        spy.clear();
        QCOMPARE(firstScheduler.registeredCount(), 0);
        QCOMPARE(master.getFastScanValues(nullptr, nullptr, nullptr, nullptr), CAN::RetType_NoLink);
        master.setCanScheduler(&secondScheduler);
        QCOMPARE(QList<int>({ master.getTimeout(), master.getScanTimeout(), master.getMessageGap() }),
            QList<int>({ 10, 10, 7 }));
        QTest::qWait(60);
        QCOMPARE(first.frames.size(), 1);
        QCOMPARE(spy.count(), 0);
        master.setCanScheduler(nullptr);
        QCOMPARE(master.inquireNodeId(), CAN::RetType_OK);
        QCOMPARE(second.frames.size(), 1);
        first.injectFrame(0x7E4, QByteArray::fromHex("5e07000000000000"));
        second.injectFrame(0x7E4, QByteArray::fromHex("5e05000000000000"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(2).toInt(), 5);
    }

    // Through a CiA 309-3 gateway: each request's line and its result from the numbered answer; the answers
    // to the store show how answers are read.
    void awaitedRequests_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("result");
        for (const Request &r : Requests)
            if (r.line)
                QTest::newRow(r.line) << QByteArray(r.name) << "[1] OK" << 0;
        const QByteArray store = "storeConfiguration";
        QTest::newRow("error") << store << "[1] ERROR:504 #LSS parameter storing failed" << 6;
        QTest::newRow("lower-case ok") << store << "[1] ok" << 0;
        QTest::newRow("answer without a word") << store << "[1] 5" << 6;
        QTest::newRow("stale answer first, in one text") << store << "[0] ERROR:100\n[1] OK" << 0;
    }
    void awaitedRequests()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, answer);
        QFETCH(int, result);
        GatewayBench b;
        QSignalSpy spy(&b.master, &LSSMaster::lssResult);
        b.answerLater(answer);
        QElapsedTimer clock;
        clock.start();
        const Request &r = request(Requests, name);
        QCOMPARE(int(r.call(b.master)), result);
        QVERIFY(clock.elapsed() < 900); // ended by the answer, not the second
        QCOMPARE(b.adapter.requestLines, QStringList { r.line });
        QCOMPARE(b.adapter.sequenceIn, QList<quint16> { 0xFFFF });
        QVERIFY(b.adapter.lines.isEmpty() && b.adapter.frames.isEmpty());
        QCOMPARE(spy.count(), 0); // results come back as the return value only
    }

    // Lines whose answer is not evaluated go out unnumbered and return at once; what a gateway
    // cannot do is refused without a line.
    void unansweredAndRefused()
    {
        GatewayBench b;
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

    // Without the matching answer (a stale one does not count) a request gives up after one
    // second; a request issued while another waits takes over, the first one ends with 6.
    void noMatchingAnswerAndNested()
    {
        GatewayBench b;
        b.answerLater(QStringLiteral("[7] OK"));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(b.master.configureNodeId(10), CAN::RetType_NoLink);
        QVERIFY(clock.elapsed() >= 950);
        b.adapter.injectGateway(QStringLiteral("[1] OK")); // too late: nothing waits for it
        CAN::RetType inner = CAN::RetType_Busy;
        QTimer::singleShot(5, [&] {
            b.answerLater(QStringLiteral("[3] OK"));
            inner = b.master.configureNodeId(3);
        });
        QCOMPARE(b.master.storeConfiguration(), CAN::RetType_NoLink);
        QCOMPARE(inner, CAN::RetType_OK);
    }

    void hostMayDeleteTheMasterWhileItWaits()
    {
        auto *b = new GatewayBench;
        QPointer<LSSMaster> master = &b->master;
        QTimer::singleShot(5, [b] { delete b; });
        QCOMPARE(master->storeConfiguration(), CAN::RetType_NoLink);
        QVERIFY(!master);
    }
};

QTEST_GUILESS_MAIN(TestLssMaster)
#include "tst_lssmaster.moc"
