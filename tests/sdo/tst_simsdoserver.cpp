#include "sdotestbench.h"
#include "simobjectdictionary.h"
#include "simsdogateway.h"
#include "simsdoserver.h"

using OD = SimObjectDictionary;
using Script = SimSdoServer::Script;
Q_DECLARE_METATYPE(SimSdoServer::Script)

// The peer is the SDO client of simulated node 5: "<" are its requests, ">" the server's answers.
// Node 5 is also an SDO gateway to node 6 of network 2.
class tst_SimSdoServer : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data();
    void transcript();
};

void tst_SimSdoServer::transcript_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("everyEntry"); // the script is the default one, else that of 2003/0
    QTest::addColumn<int>("blockSize"); // the server's
    QTest::addColumn<QByteArray>("transcript");
    QTest::addColumn<QByteArray>("stored"); // the value of 2003/0 afterwards
    QTest::addColumn<int>("gatewayCode"); // the gateway's scripted abort code, -1 for a silent gateway
    auto row = [](const char *name, const char *transcript, const Script &script = Script(),
                   const char *stored = "ABCDEFGHI", bool everyEntry = false, int gatewayCode = 0) {
        QTest::newRow(name) << script << everyEntry << 127 << QByteArray(transcript) << QByteArray(stored)
                            << gatewayCode;
    };
    row("expedited upload", "<40022000. >4302200044332211");
    row("1-byte upload", "<40181000. >4f18100004.");
    row("expedited download", "<2302200078563412 >60022000.");
    row("no object", "<40002500. >8000250000000206");
    row("no sub-index", "<40181009. >8018100911000906");
    row("request shorter than 8 bytes", "<40181001 ~30");
    row("read-only", "<23001000. >8000100002000106");
    row("write-only", "<40012000. >8001200001000106");
    row("too short", "<2b02200001. >8002200013000706");
    row("announced too long", "<2117100005. >8017100012000706");
    row("unknown command", "<ff032000. >8003200001000405");
    row("segment out of place", "<0041414141414141 >8000000001000405");
    row("segmented upload, toggle not alternated",
        "<40032000. >4103200009. <60. >0041424344454647 <60. >8003200000000305");
    row("segmented download", "<210320000a. >60032000. <0030313233343536 >20. <19373839. >30.", Script(),
        "0123456789");
    row("segmented download, toggle not alternated", "<21032000. >60032000. <1f. >8003200000000305");
    row("segmented download, last segment too early",
        "<210320000a. >60032000. <0130313233343536 >8003200010000706");
    row("server timeout", "<2103200014. >60032000. >8003200000000405 ~150");
    row("stopped node is silent", "<0:0205 <40181001. ~50 <0:8005 <40181001. >43181001.");
    // Once the gateway has confirmed, its channel reaches the routed node (whose 1018/1 is 0x17A).
    row("gateway confirms", "<e0020006. >e0020006. <40181001. >431810017a01.");
    row("gateway, network unknown", "<e0030006. >800300060100000a <40181001. >43181001.");
    row("gateway, node unknown", "<e0020007. >800200070200000a <40181001. >43181001.");
    row("gateway, scripted abort", "<e0020006. >800200060300000a <40181001. >43181001.", Script(),
        "ABCDEFGHI", false, 0x0A000003);
    row("gateway, silent", "<e0020006. ~50 <40181001. >43181001.", Script(), "ABCDEFGHI", false, -1);
    Script abort, silent, late, muted, abortLater, wrongToggle;
    abort.abortCode = 0x08000022;
    silent.silent = true;
    late.delayMs = 100;
    muted.answerFrames = 1; // answers the initiate, then falls silent without a timeout abort
    abortLater.abortCode = 0x06060000;
    abortLater.abortAtFrame = 1;
    wrongToggle.wrongToggle = true;
    row("scripted abort, other entries served", "<40032000. >8003200022000008 <40181001. >43181001.", abort);
    row("scripted silence", "<40032000. ~50", silent);
    row("scripted delay for every entry", "<40181001. ~30 >43181001.", late, "ABCDEFGHI", true);
    row("scripted fall silent", "<40032000. >4103200009. <60. ~150", muted);
    row("scripted abort at frame 1", "<40032000. >4103200009. <60. >8003200000000606", abortLater);
    row("scripted wrong toggle", "<40032000. >4103200009. <60. >1041424344454647", wrongToggle);
    // Block transfers with 2003/0, the peer being an independent block client that uses the CRC,
    // repeats what the server acknowledges short and skips segments on purpose.
    auto block = [](const char *name, const char *transcript, const char *stored = "ABCDEFGHI",
                     int blockSize = 127, const Script &script = Script()) {
        QTest::newRow(name) << script << false << blockSize << QByteArray(transcript) << QByteArray(stored)
                            << 0;
    };
    block("download", "<c20320000a. >a00320007f. <0130313233343536 <82373839. >a2027f00. <d1. >a1.",
        "0123456789");
    block("download with CRC",
        "<c60320000a. >a40320007f. <0130313233343536 <82373839. >a2027f00. <d1589c00. >a1.", "0123456789");
    block("download, wrong CRC",
        "<c60320000a. >a40320007f. <0130313233343536 <82373839. >a2027f00. <d1. >8003200004000405");
    block("download, block size 2",
        "<c203200014. >a003200002. <0141424344454647 <0248494a4b4c4d4e >a2020200. <814f505152535400 "
        ">a2010200. <c5. >a1.",
        "ABCDEFGHIJKLMNOPQRST", 2);
    // Segment 2 is missing: the server acknowledges segment 1 and the client repeats from there.
    block("download, wrong sequence acknowledged as received",
        "<c203200015. >a003200004. <0141424344454647 <834f505152535455 >a2010400. <0148494a4b4c4d4e "
        "<824f505152535455 >a2020400. <c1. >a1.",
        "ABCDEFGHIJKLMNOPQRSTU", 4);
    block("download, size differs at the end",
        "<c20320000a. >a00320007f. <0130313233343536 <82373839. >a2027f00. <c1. >8003200010000706");
    // Inside a sub-block every frame but an abort is a segment: this one is out of sequence.
    block("download, end request inside a sub-block",
        "<c20320000a. >a003200002. <0130313233343536 <02373839. >a2020200. <c1. >a2000200.", "ABCDEFGHI", 2);
    block("download too long for the entry", "<c202200005. >8002200012000706");
    block("download to a read-only entry", "<c200100004. >8000100002000106");
    block("upload",
        "<a003200004. >c203200009. <a3. >0141424344454647 >82484900. <a2027f00. >d5. <a1. <40181001. "
        ">43181001.");
    block("upload with CRC",
        "<a403200004. >c603200009. <a3. >0141424344454647 >82484900. <a2027f00. >d5dc1a00. <a1.");
    block("upload, acknowledged short: the server repeats",
        "<a003200002. >c203200009. <a3. >0141424344454647 >82484900. <a2010100. >81484900. <a2010200. >d5. "
        "<a1.");
    block("upload at or below the protocol switch threshold",
        "<a00320007f09. >4103200009. <60. >0041424344454647");
    block("upload, block size 0", "<a0032000. >8003200002000405");
    block("upload, acknowledgement beyond what was sent",
        "<a003200002. >c203200009. <a3. >0141424344454647 >82484900. <a2030200. >8003200003000405");
    block("upload start out of place", "<a3. >8000000001000405");
    Script abortInBlock, ackShort;
    abortInBlock.abortCode = 0x08000020;
    abortInBlock.abortAtFrame = 1;
    ackShort.ackFewer = 1;
    block("scripted abort in a sub-block", "<c20320000a. >a00320007f. <0130313233343536 >8003200020000008",
        "ABCDEFGHI", 127, abortInBlock);
    block("scripted fall silent after the initiate",
        "<c20320000a. >a00320007f. <0130313233343536 <82373839. ~150", "ABCDEFGHI", 127, muted);
    block("scripted short acknowledgement",
        "<c20320000a. >a00320007f. <0130313233343536 <82373839. >a2017f00. <81373839. >a2017f00. <d1. >a1.",
        "0123456789", 127, ackShort);
    block("server timeout in a sub-block", "<c20320000a. >a00320007f. <0130313233343536 >8003200000000405");
}

void tst_SimSdoServer::transcript()
{
    QFETCH(Script, script);
    QFETCH(bool, everyEntry);
    QFETCH(int, blockSize);
    QFETCH(QByteArray, transcript);
    QFETCH(QByteArray, stored);
    QFETCH(int, gatewayCode);
    SdoServerBench b;
    SimSdoGateway gateway(&b.server);
    SimObjectDictionary routed;
    routed.addValue(0x1018, 1, OD::Unsigned32, OD::ReadOnly, 0x17A);
    gateway.addRemoteNode(2, 6, &routed);
    gateway.setAbortCode(quint32(qMax(gatewayCode, 0)));
    gateway.setSilent(gatewayCode < 0);
    b.node.od()->addValue(0x2001, 0, OD::Unsigned32, OD::WriteOnly, 0);
    b.node.od()->addValue(0x2002, 0, OD::Unsigned32, OD::ReadWrite, 0x11223344);
    b.node.od()->add(0x2003, 0, OD::VisibleString, OD::ReadWrite, QByteArray("ABCDEFGHI"));
    if (everyEntry)
        b.server.setDefaultScript(script);
    else
        b.server.setScript(0x2003, 0, script);
    b.server.setTimeout(100);
    b.server.setBlockSize(quint8(blockSize));
    b.powerOn();
    PLAY(b, transcript);
    QCOMPARE(b.node.od()->value(0x2003, 0), stored);
    QCOMPARE(gateway.indications(), transcript.startsWith("<e0") ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_SimSdoServer)
#include "tst_simsdoserver.moc"
