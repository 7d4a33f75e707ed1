#include "buspeer.h"
#include "sdotestbench.h"
#include "simobjectdictionary.h"
#include "simsdoserver.h"

#include <QSignalSpy>
#include <QTest>

using OD = SimObjectDictionary;

// A scripted SDO client (the peer) and simulated node 5 with its server.
struct ServerBench
{
    VirtualCanBus bus;
    VirtualCanAdapter nodeAdapter { &bus };
    SimCanopenNode node { &nodeAdapter, 5 };
    SimSdoServer server { &node };
    BusPeer peer { &bus };
    ServerBench()
    {
        node.od()->addValue(0x2001, 0, OD::Unsigned32, OD::WriteOnly, 0);
        node.od()->addValue(0x2002, 0, OD::Unsigned32, OD::ReadWrite, 0x11223344);
        node.od()->add(0x2003, 0, OD::VisibleString, OD::ReadWrite, QByteArray("ABCDEFGHI"));
        node.powerOn();
        peer.takeFrame(); // boot-up
    }
};

class tst_SimSdoServer : public QObject
{
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void segmentedUpload();
    void segmentedDownload();
    void downloadLengthMismatch();
    void serverTimeout();
    void scriptedAbort();
    void scriptedSilenceAndDelay();
    void scriptedMidTransfer();
    void stoppedNodeIsSilent();
};

void tst_SimSdoServer::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("expedited upload") << QByteArray("4002200000000000") << QByteArray("4302200044332211");
    QTest::newRow("1-byte upload") << QByteArray("4018100000000000") << QByteArray("4f18100004000000");
    QTest::newRow("expedited download") << QByteArray("2302200078563412") << QByteArray("6002200000000000");
    QTest::newRow("no object") << QByteArray("4000250000000000") << QByteArray("8000250000000206");
    QTest::newRow("no sub-index") << QByteArray("4018100900000000") << QByteArray("8018100911000906");
    QTest::newRow("read-only") << QByteArray("2300100000000000") << QByteArray("8000100002000106");
    QTest::newRow("write-only") << QByteArray("4001200000000000") << QByteArray("8001200001000106");
    QTest::newRow("too short") << QByteArray("2b02200001000000") << QByteArray("8002200013000706");
    QTest::newRow("announced too long") << QByteArray("2117100005000000") << QByteArray("8017100012000706");
    QTest::newRow("block not offered") << QByteArray("a003200000000000") << QByteArray("8003200001000405");
    QTest::newRow("segment out of place") << QByteArray("0041414141414141") << QByteArray("8000000001000405");
}

void tst_SimSdoServer::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    ServerBench b;
    b.peer.send(0x605, request.constData());
    EXPECT_FRAME(b.peer, 0x585, answer.constData());
}

void tst_SimSdoServer::segmentedUpload()
{
    ServerBench b;
    b.peer.send(0x605, "4003200000000000");
    EXPECT_FRAME(b.peer, 0x585, "4103200009000000");
    b.peer.send(0x605, "6000000000000000");
    EXPECT_FRAME(b.peer, 0x585,
        "00414243444546"
        "47");
    b.peer.send(0x605, "6000000000000000"); // toggle not alternated
    EXPECT_FRAME(b.peer, 0x585, "8003200000000305");
    QVERIFY(!b.server.isTransferRunning());
}

void tst_SimSdoServer::segmentedDownload()
{
    ServerBench b;
    QSignalSpy done(&b.server, &SimSdoServer::transferCompleted);
    b.peer.send(0x605, "210320000a000000");
    EXPECT_FRAME(b.peer, 0x585, "6003200000000000");
    b.peer.send(0x605, "0030313233343536");
    EXPECT_FRAME(b.peer, 0x585, "2000000000000000");
    b.peer.send(0x605, "1937383900000000");
    EXPECT_FRAME(b.peer, 0x585, "3000000000000000");
    QCOMPARE(b.node.od()->value(0x2003, 0), QByteArray("0123456789"));
    QCOMPARE(done.count(), 1);
    // Toggle error in a second download.
    b.peer.send(0x605, "2103200000000000");
    EXPECT_FRAME(b.peer, 0x585, "6003200000000000");
    b.peer.send(0x605, "1f00000000000000");
    EXPECT_FRAME(b.peer, 0x585, "8003200000000305");
}

void tst_SimSdoServer::downloadLengthMismatch()
{
    ServerBench b;
    b.peer.send(0x605, "210320000a000000");
    EXPECT_FRAME(b.peer, 0x585, "6003200000000000");
    b.peer.send(0x605, "0130313233343536"); // last segment after 7 of 10 bytes
    EXPECT_FRAME(b.peer, 0x585, "8003200010000706");
    QCOMPARE(b.node.od()->value(0x2003, 0), QByteArray("ABCDEFGHI"));
}

void tst_SimSdoServer::serverTimeout()
{
    ServerBench b;
    b.server.setTimeout(50);
    QSignalSpy aborts(&b.server, &SimSdoServer::abortSent);
    b.peer.send(0x605, "2103200014000000");
    EXPECT_FRAME(b.peer, 0x585, "6003200000000000");
    EXPECT_FRAME(b.peer, 0x585, "8003200000000405");
    QCOMPARE(aborts.count(), 1);
    QVERIFY(b.peer.expectSilence(100));
}

void tst_SimSdoServer::scriptedAbort()
{
    ServerBench b;
    SimSdoServer::Script script;
    script.abortCode = 0x08000022;
    b.server.setScript(0x2002, 0, script);
    b.peer.send(0x605, "4002200000000000");
    EXPECT_FRAME(b.peer, 0x585, "8002200022000008");
    b.peer.send(0x605, "4018100100000000"); // other entries are served
    EXPECT_FRAME(b.peer, 0x585, "4318100100000000");
    b.server.clearScripts();
    b.peer.send(0x605, "4002200000000000");
    EXPECT_FRAME(b.peer, 0x585, "4302200044332211");
}

void tst_SimSdoServer::scriptedSilenceAndDelay()
{
    ServerBench b;
    SimSdoServer::Script silent;
    silent.silent = true;
    b.server.setScript(0x2002, 0, silent);
    b.peer.send(0x605, "4002200000000000");
    QVERIFY(b.peer.expectSilence(50));

    SimSdoServer::Script late;
    late.delayMs = 100;
    b.server.setDefaultScript(late);
    b.peer.send(0x605, "4018100100000000");
    QVERIFY(b.peer.expectSilence(30));
    EXPECT_FRAME(b.peer, 0x585, "4318100100000000");
}

void tst_SimSdoServer::scriptedMidTransfer()
{
    ServerBench b;
    b.server.setTimeout(50);
    SimSdoServer::Script script;
    script.answerFrames = 1; // answers the initiate, then falls silent (no timeout abort either)
    b.server.setScript(0x2003, 0, script);
    b.peer.send(0x605, "4003200000000000");
    EXPECT_FRAME(b.peer, 0x585, "4103200009000000");
    b.peer.send(0x605, "6000000000000000");
    QVERIFY(b.peer.expectSilence(120));

    script = SimSdoServer::Script();
    script.abortCode = 0x06060000;
    script.abortAtFrame = 1;
    b.server.setScript(0x2003, 0, script);
    b.peer.send(0x605, "4003200000000000");
    EXPECT_FRAME(b.peer, 0x585, "4103200009000000");
    b.peer.send(0x605, "6000000000000000");
    EXPECT_FRAME(b.peer, 0x585, "8003200000000606");

    script = SimSdoServer::Script();
    script.wrongToggle = true;
    b.server.setScript(0x2003, 0, script);
    b.peer.send(0x605, "4003200000000000");
    EXPECT_FRAME(b.peer, 0x585, "4103200009000000");
    b.peer.send(0x605, "6000000000000000");
    EXPECT_FRAME(b.peer, 0x585,
        "10414243444546"
        "47");
}

void tst_SimSdoServer::stoppedNodeIsSilent()
{
    ServerBench b;
    b.peer.send(0, "0205"); // NMT stop node 5
    QTRY_COMPARE(b.node.nmtState(), SimCanopenNode::NmtState_Stopped);
    b.peer.send(0x605, "4018100100000000");
    QVERIFY(b.peer.expectSilence(50));
    b.peer.send(0, "8005"); // pre-operational again
    b.peer.send(0x605, "4018100100000000");
    EXPECT_FRAME(b.peer, 0x585, "4318100100000000");
}

QTEST_GUILESS_MAIN(tst_SimSdoServer)
#include "tst_simsdoserver.moc"
