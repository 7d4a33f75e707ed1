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
    void blockTranscript_data();
    void blockTranscript();
};

void tst_SimSdoServer::transcript_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("everyEntry"); // the script is the default one, else that of 2003/0
    QTest::addColumn<QByteArray>("transcript");
    QTest::addColumn<QByteArray>("stored"); // the value of 2003/0 afterwards
    QTest::addColumn<int>("gatewayCode"); // the gateway's scripted abort code, -1 for a silent gateway
    auto row = [](const char *name, const char *transcript, const Script &script = Script(),
                   const char *stored = "ABCDEFGHI", bool everyEntry = false, int gatewayCode = 0) {
        QTest::newRow(name) << script << everyEntry << QByteArray(transcript) << QByteArray(stored)
                            << gatewayCode;
    };
    row("expedited upload", "<4002200000000000 >4302200044332211");
    row("1-byte upload", "<4018100000000000 >4f18100004000000");
    row("expedited download", "<2302200078563412 >6002200000000000");
    row("no object", "<4000250000000000 >8000250000000206");
    row("no sub-index", "<4018100900000000 >8018100911000906");
    row("no sub-index, download", "<2318100900000000 >8018100911000906");
    row("request shorter than 8 bytes", "<40181001 ~30");
    row("read-only", "<2300100000000000 >8000100002000106");
    row("write-only", "<4001200000000000 >8001200001000106");
    row("too short", "<2b02200001000000 >8002200013000706");
    row("announced too long", "<2117100005000000 >8017100012000706");
    row("unknown command", "<ff03200000000000 >8003200001000405");
    row("segment out of place", "<0041414141414141 >8000000001000405");
    row("segmented upload, toggle not alternated",
        "<4003200000000000 >4103200009000000 <6000000000000000 >0041424344454647 <6000000000000000 "
        ">8003200000000305");
    row("segmented download",
        "<210320000a000000 >6003200000000000 <0030313233343536 >2000000000000000 <1937383900000000 "
        ">3000000000000000",
        Script(), "0123456789");
    row("segmented download, toggle not alternated",
        "<2103200000000000 >6003200000000000 <1f00000000000000 >8003200000000305");
    row("segmented download, last segment too early",
        "<210320000a000000 >6003200000000000 <0130313233343536 >8003200010000706");
    row("server timeout", "<2103200014000000 >6003200000000000 >8003200000000405 ~150");
    row("stopped node is silent",
        "<0:0205 <4018100100000000 ~50 <0:8005 <4018100100000000 >4318100100000000");
    // Once the gateway has confirmed, its channel reaches the routed node (whose 1018/1 is 0x17A).
    row("gateway confirms", "<e002000600000000 >e002000600000000 <4018100100000000 >431810017a010000");
    row("gateway, network unknown",
        "<e003000600000000 >800300060100000a <4018100100000000 >4318100100000000");
    row("gateway, node unknown", "<e002000700000000 >800200070200000a <4018100100000000 >4318100100000000");
    row("gateway, scripted abort", "<e002000600000000 >800200060300000a <4018100100000000 >4318100100000000",
        Script(), "ABCDEFGHI", false, 0x0A000003);
    row("gateway, silent", "<e002000600000000 ~50 <4018100100000000 >4318100100000000", Script(), "ABCDEFGHI",
        false, -1);
    Script abort, silent, late, muted, abortLater, wrongToggle;
    abort.abortCode = 0x08000022;
    silent.silent = true;
    late.delayMs = 100;
    muted.answerFrames = 1; // answers the initiate, then falls silent without a timeout abort
    abortLater.abortCode = 0x06060000;
    abortLater.abortAtFrame = 1;
    wrongToggle.wrongToggle = true;
    row("scripted abort, other entries served",
        "<4003200000000000 >8003200022000008 <4018100100000000 >4318100100000000", abort);
    row("scripted silence", "<4003200000000000 ~50", silent);
    row("scripted delay for every entry", "<4018100100000000 ~30 >4318100100000000", late, "ABCDEFGHI", true);
    row("scripted fall silent", "<4003200000000000 >4103200009000000 <6000000000000000 ~150", muted);
    row("scripted abort at frame 1",
        "<4003200000000000 >4103200009000000 <6000000000000000 >8003200000000606", abortLater);
    row("scripted wrong toggle", "<4003200000000000 >4103200009000000 <6000000000000000 >1041424344454647",
        wrongToggle);
}

void tst_SimSdoServer::transcript()
{
    QFETCH(Script, script);
    QFETCH(bool, everyEntry);
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
    b.powerOn();
    PLAY(b, transcript);
    QCOMPARE(b.node.od()->value(0x2003, 0), stored);
    QCOMPARE(gateway.indications(), transcript.startsWith("<e0") ? 1 : 0);
}

// Block transfers with 2003/0 ("ABCDEFGHI"), the peer being an independent block client that
// uses the CRC, repeats what the server acknowledges short and skips segments on purpose.
void tst_SimSdoServer::blockTranscript_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("blockSize"); // the server's
    QTest::addColumn<QByteArray>("transcript");
    QTest::addColumn<QByteArray>("stored");
    auto row = [](const char *name, const char *transcript, const char *stored = "ABCDEFGHI",
                   int blockSize = 127, const Script &script = Script()) {
        QTest::newRow(name) << script << blockSize << QByteArray(transcript) << QByteArray(stored);
    };
    row("download",
        "<c20320000a000000 >a00320007f000000 <0130313233343536 <8237383900000000 >a2027f0000000000 "
        "<d100000000000000 >a100000000000000",
        "0123456789");
    row("download with CRC",
        "<c60320000a000000 >a40320007f000000 <0130313233343536 <8237383900000000 >a2027f0000000000 "
        "<d1589c0000000000 >a100000000000000",
        "0123456789");
    row("download, wrong CRC",
        "<c60320000a000000 >a40320007f000000 <0130313233343536 <8237383900000000 >a2027f0000000000 "
        "<d100000000000000 >8003200004000405");
    row("download, block size 2",
        "<c203200014000000 >a003200002000000 <0141424344454647 <0248494a4b4c4d4e >a202020000000000 "
        "<814f505152535400 >a201020000000000 <c500000000000000 >a100000000000000",
        "ABCDEFGHIJKLMNOPQRST", 2);
    // Segment 2 is missing: the server acknowledges segment 1 and the client repeats from there.
    row("download, wrong sequence acknowledged as received",
        "<c203200015000000 >a003200004000000 <0141424344454647 <834f505152535455 >a201040000000000 "
        "<0148494a4b4c4d4e <824f505152535455 >a202040000000000 <c100000000000000 >a100000000000000",
        "ABCDEFGHIJKLMNOPQRSTU", 4);
    row("download, size differs at the end",
        "<c20320000a000000 >a00320007f000000 <0130313233343536 <8237383900000000 >a2027f0000000000 "
        "<c100000000000000 >8003200010000706");
    // Inside a sub-block every frame but an abort is a segment: this one is out of sequence.
    row("download, end request inside a sub-block",
        "<c20320000a000000 >a003200002000000 <0130313233343536 <0237383900000000 >a202020000000000 "
        "<c100000000000000 >a200020000000000",
        "ABCDEFGHI", 2);
    row("download too long for the entry", "<c202200005000000 >8002200012000706");
    row("download to a read-only entry", "<c200100004000000 >8000100002000106");
    row("upload",
        "<a003200004000000 >c203200009000000 <a300000000000000 >0141424344454647 >8248490000000000 "
        "<a2027f0000000000 >d500000000000000 <a100000000000000 <4018100100000000 >4318100100000000");
    row("upload with CRC",
        "<a403200004000000 >c603200009000000 <a300000000000000 >0141424344454647 >8248490000000000 "
        "<a2027f0000000000 >d5dc1a0000000000 <a100000000000000");
    row("upload, acknowledged short: the server repeats",
        "<a003200002000000 >c203200009000000 <a300000000000000 >0141424344454647 >8248490000000000 "
        "<a201010000000000 >8148490000000000 <a201020000000000 >d500000000000000 <a100000000000000");
    row("upload at or below the protocol switch threshold",
        "<a00320007f090000 >4103200009000000 <6000000000000000 >0041424344454647");
    row("upload, block size 0", "<a003200000000000 >8003200002000405");
    row("upload, acknowledgement beyond what was sent",
        "<a003200002000000 >c203200009000000 <a300000000000000 >0141424344454647 >8248490000000000 "
        "<a203020000000000 >8003200003000405");
    row("upload start out of place", "<a300000000000000 >8000000001000405");
    Script late, silent, abortInBlock, muted, ackShort;
    late.delayMs = 50;
    silent.silent = true;
    abortInBlock.abortCode = 0x08000020;
    abortInBlock.abortAtFrame = 1;
    muted.answerFrames = 1;
    ackShort.ackFewer = 1;
    row("scripted delay", "<a003200004000000 ~30 >c203200009000000", "ABCDEFGHI", 127, late);
    row("scripted silence", "<c20320000a000000 ~50", "ABCDEFGHI", 127, silent);
    row("scripted abort in a sub-block",
        "<c20320000a000000 >a00320007f000000 <0130313233343536 >8003200020000008", "ABCDEFGHI", 127,
        abortInBlock);
    row("scripted fall silent after the initiate",
        "<c20320000a000000 >a00320007f000000 <0130313233343536 <8237383900000000 ~150", "ABCDEFGHI", 127,
        muted);
    row("scripted short acknowledgement",
        "<c20320000a000000 >a00320007f000000 <0130313233343536 <8237383900000000 >a2017f0000000000 "
        "<8137383900000000 >a2017f0000000000 <d100000000000000 >a100000000000000",
        "0123456789", 127, ackShort);
    row("server timeout in a sub-block",
        "<c20320000a000000 >a00320007f000000 <0130313233343536 >8003200000000405");
}

void tst_SimSdoServer::blockTranscript()
{
    QFETCH(Script, script);
    QFETCH(int, blockSize);
    QFETCH(QByteArray, transcript);
    QFETCH(QByteArray, stored);
    SdoServerBench b;
    b.node.od()->addValue(0x2002, 0, OD::Unsigned32, OD::ReadWrite, 0x11223344);
    b.node.od()->add(0x2003, 0, OD::VisibleString, OD::ReadWrite, QByteArray("ABCDEFGHI"));
    b.server.setScript(0x2003, 0, script);
    b.server.setBlockSize(quint8(blockSize));
    b.server.setTimeout(100);
    b.powerOn();
    PLAY(b, transcript);
    QCOMPARE(b.node.od()->value(0x2003, 0), stored);
}

QTEST_GUILESS_MAIN(tst_SimSdoServer)
#include "tst_simsdoserver.moc"
