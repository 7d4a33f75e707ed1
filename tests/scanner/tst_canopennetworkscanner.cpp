#include "canopennetworkscanner.h"
#include "canscheduler.h"
#include "scriptedadapter.h"
#include "sdoclient.h"
#include "simcanopennode.h"
#include "simnetwork.h"
#include "simsdoserver.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QtEndian>

#include <memory>

using Scanner = CANopenNetworkscanner;

// The scanner sets 250 ms when it starts; the client takes a new time-out only between requests,
// so it is applied after each outcome (as the tarnwick tool does).
static void shortenSdoTimeout(Scanner &scanner, quint32 ms)
{
    SDOClient *sdo = scanner.sdoClient();
    auto apply = [sdo, ms] { sdo->setSdoTimeout(ms); };
    QObject::connect(sdo, &SDOClient::resultReceived, sdo, apply);
    QObject::connect(sdo, &SDOClient::errorReceived, sdo, apply);
}

/// An SDO upload request as "node:index/sub".
static QString sdoRead(const CAN::CanMessage &m)
{
    return QString::asprintf("%d:%02x%02x/%d", int(m.id) - 0x600, m.data[2], m.data[1], m.data[3]);
}

// The host (scheduler and scanner) and at most one simulated node on a virtual bus. Every SDO
// upload request the host sends is recorded as "node:index/sub", with the scanner's state.
struct ScanBench
{
    VirtualCanBus bus;
    VirtualCanAdapter hostAdapter { &bus };
    VirtualCanAdapter nodeAdapter { &bus };
    CanScheduler scheduler { &hostAdapter };
    Scanner scanner;
    std::unique_ptr<SimCanopenNode> node;
    std::unique_ptr<SimSdoServer> server;
    QStringList requests;
    QSet<int> states;
    int timeoutAborts = 0;

    ScanBench()
    {
        QObject::connect(
            &hostAdapter, &VirtualCanAdapter::frameSent, &hostAdapter, [this](const CAN::CanMessage &m) {
                if (m.id < 0x600 || m.id > 0x6FF || m.length != 8) // any node-ID a byte can hold
                    return;
                states.insert(scanner.getCurrentState());
                if (m.data[0] == 0x40)
                    requests << sdoRead(m);
                timeoutAborts += m.data[0] == 0x80 && qFromLittleEndian<quint32>(m.data + 4) == 0x05040000;
            });
    }
    void addNode(quint8 id, int receivePdos, int transmitPdos, bool inhibitTime)
    {
        node.reset(new SimCanopenNode(&nodeAdapter, id));
        server.reset(new SimSdoServer(node.get()));
        node->setIdentity(0x1234, 0x5678, 0x10002, 42);
        SimNetwork::addPdoObjects(node->od(), id, receivePdos, transmitPdos, inhibitTime);
        node->powerOn();
    }
};

static const QString kIdentity = QStringLiteral("1000/0 1018/1 1018/2 1018/3 1018/4");

/// Node 1 with PDOs, a request ("index/sub") its server aborts with abortCode (0: ignores), and
/// the reads the walk sends it after its identity before it moves on to node 2.
struct NodeCase
{
    bool readPdos;
    int receivePdos, transmitPdos;
    bool inhibitTime;
    const char *scripted;
    quint32 abortCode;
    QString transcript;
};
Q_DECLARE_METATYPE(NodeCase)
enum StopPoint { StopWhileWaiting, StopOnTimeout, StopOnResult };
Q_DECLARE_METATYPE(StopPoint)

class tst_CANopenNetworkscanner : public QObject
{
    Q_OBJECT
private slots:
    // No node answers: one read of the device type per node, each ended by the client's time-out
    // abort; or the adapter refuses: a refused read is repeated or skipped. One sigFinished.
    void wholeWalk_data()
    {
        QTest::addColumn<bool>("readPdos");
        QTest::addColumn<QList<CAN::RetType>>("script"); // then every frame answered with `result`
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("readsOfNode1");
        QTest::addColumn<int>("aborts");
        using R = QList<CAN::RetType>;
        QTest::newRow("nobody answers") << false << R {} << 0 << 1 << 127;
        QTest::newRow("nobody answers, with PDOs") << true << R {} << 0 << 1 << 127;
        QTest::newRow("offline from the start") << true << R {} << 4 << 1 << 0;
        // Not ready twice: the read goes out on the third try and times out as usual.
        const CAN::RetType busy = CAN::RetType_NotReady;
        QTest::newRow("not ready, then sent") << true << R { busy, busy, CAN::RetType_OK } << 4 << 3 << 1;
        QTest::newRow("not ready for good")
            << true << QVector<CAN::RetType>(26, busy).toList() << 4 << 26 << 0;
    }
    void wholeWalk()
    {
        QFETCH(bool, readPdos);
        QFETCH(QList<CAN::RetType>, script);
        QFETCH(int, result);
        QFETCH(int, readsOfNode1);
        QFETCH(int, aborts);
        ScriptedAdapter adapter;
        adapter.script = script;
        adapter.result = CAN::RetType(result);
        CanScheduler scheduler(&adapter);
        Scanner scanner;
        shortenSdoTimeout(scanner, 5);
        QSignalSpy finished(&scanner, &Scanner::sigFinished);
        scanner.startScan(&scheduler, readPdos);
        QVERIFY(finished.wait(20000));
        QCOMPARE(scanner.getCurrentState(), Scanner::CS_Finished);
        QStringList reads, expected;
        for (int n = 1; n <= 127; ++n)
            for (int i = 0; i < (n == 1 ? readsOfNode1 : 1); ++i)
                expected << QStringLiteral("%1:1000/0").arg(n);
        int abortFrames = 0;
        for (const CAN::CanMessage &m : qAsConst(adapter.frames)) {
            if (m.data[0] == 0x40)
                reads << QString::asprintf(
                    "%d:%02x%02x/%d", int(m.id) - 0x600, m.data[2], m.data[1], m.data[3]);
            abortFrames += m.data[0] == 0x80;
        }
        QCOMPARE(reads, expected);
        QCOMPARE(abortFrames, aborts);
        QVERIFY(!finished.wait(100));
        QCOMPARE(finished.count(), 1);
    }
    void nodeTranscript_data()
    {
        QTest::addColumn<NodeCase>("c");
        const QString rpdo1 = "1400/1 1400/2 1400/3 1400/5 1401/1",
                      tpdo1 = "1800/1 1800/2 1800/3 1800/5 1801/1";
        // clang-format off
        QTest::newRow("identity only")                           << NodeCase { false, 2, 1, true, "", 0, "" };
        QTest::newRow("revision aborts, serial still read")      << NodeCase { false, 0, 0, true, "1018/3", 0x06090011u, "" };
        QTest::newRow("device type aborts, identity still read") << NodeCase { false, 0, 0, true, "1000/0", 0x06020000u, "" };
        QTest::newRow("two receive PDOs") << NodeCase { true, 2, 1, true, "", 0,
            rpdo1 + " 1401/2 1401/3 1401/5 1402/1 1600/1 1600/2 1600/3 " + tpdo1 + " 1a00/1 1a00/2 1a00/3" };
        QTest::newRow("no inhibit time ends each parameter phase") << NodeCase { true, 2, 2, false, "", 0,
            "1400/1 1400/2 1400/3 1600/1 1600/2 1600/3 1800/1 1800/2 1800/3 1a00/1 1a00/2 1a00/3" };
        QTest::newRow("no PDOs") << NodeCase { true, 0, 0, true, "", 0, "1400/1 1600/1 1800/1 1a00/1" };
        QTest::newRow("hardware error on a transmit parameter")
            << NodeCase { true, 0, 1, true, "1800/2", 0x06060000u, "1400/1 1600/1 1800/1 1800/2 1a00/1 1a00/2 1a00/3" };
        QTest::newRow("receive parameter times out")
            << NodeCase { true, 2, 0, true, "1400/2", 0, "1400/1 1400/2 1600/1 1600/2 1600/3 1800/1 1a00/1" };
        QTest::newRow("receive mapping times out")
            << NodeCase { true, 1, 1, true, "1600/1", 0, rpdo1 + " 1600/1 " + tpdo1 + " 1a00/1 1a00/2 1a00/3" };
        QTest::newRow("transmit mapping times out")
            << NodeCase { true, 0, 1, true, "1a00/2", 0, "1400/1 1600/1 " + tpdo1 + " 1a00/1 1a00/2" };
        // clang-format on
    }
    void nodeTranscript()
    {
        QFETCH(NodeCase, c);
        ScanBench b;
        b.addNode(1, c.receivePdos, c.transmitPdos, c.inhibitTime);
        if (*c.scripted) {
            SimSdoServer::Script script;
            script.abortCode = c.abortCode;
            script.silent = c.abortCode == 0;
            const QStringList at = QString(c.scripted).split('/');
            b.server->setScript(quint16(at[0].toUInt(nullptr, 16)), quint8(at[1].toUInt()), script);
        }
        QSignalSpy finished(&b.scanner, &Scanner::sigFinished);
        b.scanner.startScan(&b.scheduler, c.readPdos);
        // The walk leaves node 1 only for node 2, whatever happened during its PDO phases.
        QTRY_VERIFY_WITH_TIMEOUT(b.requests.contains("2:1000/0"), 10000);
        b.scanner.stop();
        const QString node1 = (kIdentity + ' ' + c.transcript).trimmed().replace(" ", " 1:");
        QCOMPARE(b.requests.join(' '), "1:" + node1 + " 2:1000/0");
        QSet<int> states { Scanner::CS_Running };
        if (c.readPdos)
            states += { Scanner::CS_RunningRPDOParameter, Scanner::CS_RunningRPDOMapping,
                Scanner::CS_RunningTPDOParameter, Scanner::CS_RunningTPDOMapping };
        QCOMPARE(b.states, states);
        QCOMPARE(finished.count(), 0);
    }
    void stopEndsTheWalk_data()
    {
        QTest::addColumn<StopPoint>("when");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("while a late answer is pending") << StopWhileWaiting << QStringList { "1:1000/0" };
        QTest::newRow("on a time-out of an absent node") << StopOnTimeout << QStringList { "1:1000/0" };
        QTest::newRow("on a result") << StopOnResult << QStringList { "1:1000/0", "1:1018/1", "1:1018/2" };
    }
    void stopEndsTheWalk()
    {
        QFETCH(StopPoint, when);
        QFETCH(QStringList, expected);
        ScanBench b;
        if (when != StopOnTimeout) {
            b.addNode(1, 1, 1, true);
            SimSdoServer::Script late;
            late.delayMs = 100;
            if (when == StopWhileWaiting)
                b.server->setScript(0x1000, 0, late);
        }
        SDOClient *sdo = b.scanner.sdoClient();
        // A host that stops the walk when an outcome arrives, before the scanner has seen it.
        if (when == StopOnTimeout)
            QObject::connect(sdo, &SDOClient::errorReceived, &b.scanner, [&b] { b.scanner.stop(); });
        if (when == StopOnResult)
            QObject::connect(sdo, &SDOClient::resultReceived, &b.scanner, [&b](quint16 index, quint8 sub) {
                if (index == 0x1018 && sub == 2)
                    b.scanner.stop();
            });
        QSignalSpy finished(&b.scanner, &Scanner::sigFinished);
        b.scanner.startScan(&b.scheduler, false);
        QTRY_COMPARE_WITH_TIMEOUT(b.requests.size(), expected.size(), 2000);
        if (when == StopWhileWaiting)
            b.scanner.stop();
        QTRY_COMPARE(b.scanner.getCurrentState(), Scanner::CS_Stopped);

        // Longer than the SDO time-out and the late answer: nothing more goes out.
        QTest::qWait(400);
        QCOMPARE(b.requests, expected);
        QCOMPARE(b.scanner.getCurrentState(), Scanner::CS_Stopped);
        QCOMPARE(finished.count(), 0);
    }
    void startAgainWhileRunning()
    {
        ScanBench b;
        b.scanner.startScan(&b.scheduler, false);
        QTRY_COMPARE(b.requests.size(), 1);
        // The waiting read is dropped: the client takes the new walk's first read at once.
        b.scanner.startScan(&b.scheduler, false);
        QCOMPARE(b.requests, QStringList({ "1:1000/0", "1:1000/0" }));
        QTRY_COMPARE_WITH_TIMEOUT(b.requests.size(), 3, 2000);
        QCOMPARE(b.requests.last(), QStringLiteral("2:1000/0"));
        QCOMPARE(b.timeoutAborts, 1);
        b.scanner.stop();
    }
};

QTEST_GUILESS_MAIN(tst_CANopenNetworkscanner)
#include "tst_canopennetworkscanner.moc"
