// The simulated USDO server as an independent CiA 1301 device sees it: a scripted client on
// the bus sends the requests and checks every answer byte.
#include "usdotestbench.h"

class tst_SimUsdoServer : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data();
    void transcript();
};

// The peer is client 0x29 (requests on 0x629), the node is 5 (answers on 0x585). The node has
// u32 0x2001 (read-write), the read-only 0x1000, a domain 0x2000 and the 70-byte string 0x2002.
void tst_SimUsdoServer::transcript_data()
{
    QTest::addColumn<QByteArray>("script");
    auto row = [](const char *name, const QByteArray &script) { QTest::newRow(name) << script; };
    row("expedited upload", "<051103000120 >2931030001200704efbeadde");
    row("expedited download",
        "<050104000120070478563412 >2921040001200000 <051105000120 "
        ">293105000120070478563412");
    row("broadcast upload", "<001106000120 >2931060001200704efbeadde");
    row("no object", "<051107000030 >297f0700003033");
    row("no sub-index", "<051107090120 >297f0709012034");
    row("read-only", "<050107000010070400000000 >297f0700001032");
    row("type mismatch", "<05010700012006020000 >297f0700012036");
    row("too long for u32", "<05010700012007050000000000 >297f0700012037");
    row("domain too long", "<0502080000200f0000002000 >297f0800002037");
    row("segmented upload of 70 bytes",
        "<051109000220 >293209000220090046000000 <05130900 >29330900" + QByteArray("53").repeated(60)
            + " <05130901 >2934090a" + QByteArray("53").repeated(10) + "cccc");
    row("segment counter wrong", "<051109000220 >293209000220090046000000 <05130905 >297f0900022014");
    row("segment outside a transfer", "<05030100 >297f0100000011");
    row("bulk download, then a wrong length",
        "<05060a0000200f0003000000 >29260a0000200000 <05080a026162 >297f0a00002038");
    row("unknown command", "<05150b0000200000 >297f0b00002013");
    row("addressed to another node", "<061100000120 ~30");
    row("routed without routes: network unknown", "<059100020901290000100000 >29ff00012902090000101acc");
}

void tst_SimUsdoServer::transcript()
{
    QFETCH(QByteArray, script);
    UsdoSimBench sim;
    BusPeer peer(&sim.bus);
    peer.setFdFrames(true);
    using OD = SimObjectDictionary;
    sim.node.od()->addValue(0x2001, 0, OD::Unsigned32, OD::ReadWrite, 0xDEADBEEF);
    sim.node.od()->add(0x2002, 0, OD::VisibleString, OD::ReadWrite, QByteArray(70, 'S'));
    QCOMPARE(peer.takeFrame().id, 0x705u); // the boot-up
    const QByteArray why = playTranscript(peer, 0x585, 0x629, script);
    QVERIFY2(why.isEmpty(), why.constData());
}

QTEST_GUILESS_MAIN(tst_SimUsdoServer)
#include "tst_simusdoserver.moc"
