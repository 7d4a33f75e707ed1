// Segmented and block SDO transfers: wire transcripts of both clients, and round trips of the
// facade against the simulated node.
#include "sdoblockclient.h"
#include "sdoclient.h"
#include "sdosegmentedclient.h"
#include "sdotestbench.h"
#include "simobjectdictionary.h"

class tst_SdoTransfers : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { resetSdoSettings(); }
    void transcript_data();
    void transcript();
    void roundTrip_data();
    void roundTrip();
};

static QByteArray pattern(int length)
{
    QByteArray data(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        data[i] = char(i * 7 + 1);
    return data;
}

// Transcript steps of count block segments of data, the first being segment number first of the
// whole transfer: numbered from 1, the last segment of the data flagged with 0x80. dir is '>'
// when the client sends them, '<' when the server does.
static QByteArray seg(const QByteArray &data, int first, int count, char dir)
{
    const int total = qMax(1, int((data.size() + 6) / 7));
    QByteArray steps;
    for (int i = 0; i < count; ++i) {
        QByteArray segment = data.mid((first + i) * 7, 7);
        segment.append(7 - segment.size(), '\0');
        const char head = char((i + 1) | (first + i == total - 1 ? 0x80 : 0));
        steps += ' ' + QByteArray(1, dir) + QByteArray(1, head).toHex() + segment.toHex();
    }
    return steps + ' ';
}

void tst_SdoTransfers::transcript_data()
{
    QTest::addColumn<bool>("block"); // the client: block or segmented
    QTest::addColumn<QByteArray>("data"); // what to download; null for an upload
    QTest::addColumn<int>("option"); // block: upload block size; segmented: fast download frames
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("outcome");
    auto segmented = [](const char *name, const QByteArray &data, const char *script, const char *outcome,
                         int fast = 0) {
        QTest::newRow(name) << false << data << fast << QByteArray(script) << QByteArray(outcome);
    };
    auto down = [](const char *name, const QByteArray &data, const QByteArray &script, const char *outcome) {
        QTest::newRow(name) << true << data << 127 << script << QByteArray(outcome);
    };
    auto up = [](const char *name, const QByteArray &script, const QByteArray &outcome, int blockSize = 127) {
        QTest::newRow(name) << true << QByteArray() << blockSize << script << outcome;
    };
    segmented("download 0 bytes", "", ">21002000. <60002000. >0f. <20. ~20", "2000/0 int 0");
    segmented("download 1 byte", "1", ">2100200001. <60002000. >0d31. <20. ~20", "2000/0 int 0");
    segmented(
        "download 7 bytes", "1234567", ">2100200007. <60002000. >0131323334353637 <20. ~20", "2000/0 int 0");
    segmented("download, abort naming another index", QByteArray(20, 'x'),
        ">2100200014. <8000300100000206 ~20", "3000/1 06020000");
    segmented("download, timeout after a segment, late answers", QByteArray(20, 'x'),
        ">2100200014. <60002000. >0078787878787878 >8000200000000405 <20. <8000200000000405 ~150",
        "2000/0 05040000");
    // Segments go in pairs, and the transfer ends only when every one of them is answered.
    segmented("fast download", QByteArray(30, 'a'),
        ">210020001e. <60002000. >0061616161616161 >1061616161616161 ~20 <20. >0061616161616161 "
        ">1061616161616161 ~20 <30. >0b6161. <20. ~20",
        "", 4);
    // CAN may deliver a frame twice: a repeated confirmation or segment is ignored.
    segmented("download 10 bytes, every confirmation repeated", "ABCDEFGHIJ",
        ">210020000a. <60002000. <60002000. >0041424344454647 <20. <20. >1948494a. <30. <30. ~20",
        "2000/0 int 0");
    // A segment refused as not ready goes again after a short pause, another refusal ends it.
    segmented("download, first segment refused twice as not ready", "ABCDEFGHIJ",
        ">210020000a. !7:00 !7:00 <60002000. >0041424344454647 <20. >1948494a. <30. ~20", "2000/0 int 0");
    segmented("download, first segment refused by the device", "ABCDEFGHIJ",
        ">210020000a. !5:00 <60002000. >8000200000000008 ~20", "2000/0 08000000");
    segmented("download, first confirmation with toggle 1", "ABCDEFGHIJ",
        ">210020000a. <60002000. >0041424344454647 <30. >8000200000000305 ~20", "2000/0 05030000");
    segmented("upload 9 bytes, initiate answer and a segment repeated", {},
        ">40002000. <4100200009. >60. <4100200009. <0041424344454647 >70. <0041424344454647 <1b4849. ~20",
        "2000/0 QByteArray 414243444546474849");
    segmented("upload, expedited 1 byte", {}, ">40002000. <4f00200001020304 ~20", "2000/0 QByteArray 01");
    segmented(
        "upload, expedited no size", {}, ">40002000. <4200200001020304 ~20", "2000/0 QByteArray 01020304");
    segmented(
        "upload without size", {}, ">40002000. <40002000. >60. <0b414243. ~20", "2000/0 QByteArray 4142");
    segmented("upload, toggle not alternated", {},
        ">40002000. <4100200009. >60. <1041424344454647 >8000200000000305 ~20", "2000/0 05030000");
    // Round trips (below) cover the other lengths, 127 segments and more among them.
    const QByteArray ok = "2000/0 int 0", s7 = pattern(7), s20 = pattern(20), s30 = pattern(30),
                     to = ">8000200000000405 ";
    down("download 0 bytes", "", ">c2002000. <a40020007f. >81. <a2017f. >dd. <a1. ~20", ok);
    down("download 7 bytes", s7, ">c200200007. <a00020007f." + seg(s7, 0, 1, '>') + "<a2017f. >c1. <a1.", ok);
    // 20 bytes: two full segments and one with 6 bytes of data, so n = 1. Refused frames go again.
    down("download 20 bytes, segments and end request refused once", s20,
        "!7:02 !7:83 !7:c5 >c200200014. <a40020007f. >0101080f161d242b >02323940474e555c >83636a71787f8600 "
        "<a2037f. >c5. <a1.",
        ok);
    // The start of a download of 20 bytes in one sub-block, of 30 bytes in sub-blocks of 2 segments.
    const QByteArray d20 = ">c200200014. <a00020007f." + seg(s20, 0, 3, '>'),
                     d30 = ">c20020001e. <a000200002." + seg(s30, 0, 2, '>'), general = "2000/0 08000000",
                     timeout = "2000/0 05040000";
    down("download, block size changed in an acknowledgement", s30,
        d30 + "<a20203." + seg(s30, 2, 3, '>') + "<a20303. >d5. <a1.", ok);
    down("download, short acknowledgement", pattern(40),
        ">c200200028. <a000200004." + seg(pattern(40), 0, 4, '>') + "<a20204. >8000200000000008 ~20",
        general);
    down("download, last sub-block acknowledged short", s20, d20 + "<a2027f. >8000200000000008 ~20", general);
    down("download, server abort instead of an acknowledgement", s30, d30 + "<8000200022000008 ~20",
        "2000/0 08000022");
    down("download, server abort at the end", s20, d20 + "<a2037f. >c5. <8000200010000706 ~20",
        "2000/0 06070010");
    down("download, timeout waiting for an acknowledgement", s30, d30 + to + "~50", timeout);
    down("download, timeout at the end, late answer", s20, d20 + "<a2037f. >c5. " + to + "<a1. ~50", timeout);
    down("download, frames that do not fit are ignored", pattern(1),
        ">c200200001. <60002000. <a000 <a00020007f. >8101. <a1 <a2017f. >d9. <a2017f. <a1.", ok);

    auto value = [](const QByteArray &data) { return "2000/0 QByteArray " + data.toHex(); };
    up("upload 0 bytes", ">a00020007f. <c2002000. >a3. <81. >a2017f. <dd. >a1. ~20", value(""));
    up("upload 1 byte", ">a00020007f. <c600200001. >a3. <8101. >a2017f. <d9c2e4. >a1.", value(pattern(1)));
    up("upload 7 bytes, start and acknowledgement refused once",
        "!7:a3 !7:a2 >a00020007f. <c200200007. >a3." + seg(s7, 0, 1, '<') + ">a2017f. <c1. >a1.", value(s7));
    up("upload 30 bytes, block size 4",
        ">a000200004. <c20020001e. >a3." + seg(s30, 0, 4, '<') + ">a20404." + seg(s30, 4, 1, '<')
            + ">a20104. <d5. >a1.",
        value(s30), 4);
    // Without a size the count of unused bytes in the end request cuts the last segment.
    up("upload 10 bytes, size not indicated",
        ">a00020007f. <c0002000. >a3." + seg(pattern(10), 0, 2, '<') + ">a2027f. <d1. >a1.",
        value(pattern(10)));
    // CAN may deliver a frame twice; a segment may be lost. A repeated segment is ignored, the
    // segments after a lost one too, and the acknowledgement names the last good one.
    const QByteArray s30seg = seg(s30, 0, 4, '<'), s455 = pattern(455), s455seg = seg(s455, 0, 65, '<'),
                     u30 = ">a000200004. <c20020001e. >a3."; // the start of an upload of 30 bytes
    up("upload 30 bytes, segments repeated",
        u30 + s30seg.left(36) + s30seg.mid(18, 18) + s30seg.mid(36) + ">a20404." + s30seg.mid(54, 18)
            + seg(s30, 4, 1, '<') + ">a20104. <d5. >a1.",
        value(s30), 4);
    up("upload 30 bytes, a segment lost",
        u30 + s30seg.left(18) + s30seg.mid(36) + ">a20104." + seg(s30, 1, 4, '<') + ">a20404. <d5. >a1.",
        value(s30), 4);
    // The 65th segment, the last, reads c1 like the end request.
    up("upload 455 bytes, the last segment repeated",
        ">a00020007f. <c2002000c701. >a3." + s455seg + ">a2417f." + s455seg.mid(18 * 64, 18) + " <c1. >a1.",
        value(s455));
    // A server that takes a repeated acknowledgement for a new one skips data: what arrives no
    // longer comes to the size it indicated (37 bytes here, 30 arrive).
    up("upload, data short of the indicated size",
        ">a000200004. <c200200025. >a3." + s30seg + ">a20404." + seg(s30, 4, 1, '<')
            + ">a20104. <d5. >8000200010000706 ~20",
        "2000/0 06070010", 4);
    up("upload, size above the limit", ">a00020007f. <c200200000000020 >8000200005000405 ~20",
        "2000/0 05040005");
    up("upload, server abort at initiate", ">a00020007f. <8000200001000106 ~20", "2000/0 06010001");
    up("upload, server abort in a sub-block", u30 + seg(s30, 0, 2, '<') + "<8000200000000606 ~20",
        "2000/0 06060000", 4);
    up("upload, timeout at initiate", ">a00020007f. " + to + "~50", timeout);
    up("upload, timeout in a sub-block", u30 + seg(s30, 0, 2, '<') + to + "~50", timeout, 4);
    up("upload, timeout at the end",
        ">a00020007f. <c200200007. >a3." + seg(s7, 0, 1, '<') + ">a2017f. " + to + "<c1. ~50", timeout);
}

template<class Client>
static void playRow(const QByteArray &data, int option, const QByteArray &script, const QByteArray &outcome)
{
    SdoClientBench<Client> b;
    QSignalSpy progress(&b.client, &Client::progress);
    b.client.setSdoTimeout(100);
    if constexpr (std::is_same_v<Client, SDOBlockClient>)
        b.client.setBlockSize(quint8(option));
    else
        b.client.setFastSegmentedDownload(option != 0, quint8(option));
    QCOMPARE(data.isNull() ? b.client.read(0x2000, 0) : b.client.write(0x2000, 0, data), CAN::RetType_OK);
    QVERIFY(transferActive(b.adapter));
    QCOMPARE(b.client.write(0x2001, 0, "xyz") + b.client.read(0x2001, 0), 2 * CAN::RetType_Busy);
    // The block client leaves the running transfer's option alone; the segmented client's
    // refusal clears it, as the classic segmented protocol has it.
    QCOMPARE(transferActive(b.adapter), (std::is_same_v<Client, SDOBlockClient>));
    PLAY(b, script);
    QTRY_COMPARE(b.outcome(), outcome); // a timeout may still be on its way
    QTest::qWait(20);
    QCOMPARE(b.outcome(), outcome); // and only one outcome
    QCOMPARE(b.client.isRunning(), outcome.isEmpty());
    if (std::is_same_v<Client, SDOBlockClient> || !outcome.isEmpty())
        QCOMPARE(transferActive(b.adapter), outcome.isEmpty());
    if (std::is_same_v<Client, SDOBlockClient> && !b.results.isEmpty())
        QCOMPARE(progress.last().at(0).toInt(), 100);
}

void tst_SdoTransfers::transcript()
{
    QFETCH(bool, block);
    QFETCH(QByteArray, data);
    QFETCH(int, option);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, outcome);
    block ? playRow<SDOBlockClient>(data, option, script, outcome)
          : playRow<SDOSegmentedClient>(data, option, script, outcome);
}

// Facade round trips against the simulated node, block or segmented.
void tst_SdoTransfers::roundTrip_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("serverBlockSize");
    QTest::addColumn<int>("clientBlockSize"); // 0: segmented, not block
    QTest::addColumn<int>("fast"); // segmented download frames in flight (0: one)
    QTest::addColumn<int>("queueLimit"); // of both transmit queues (0: unbounded)
    for (int n : { 0, 1, 7, 8, 889, 890 })
        QTest::addRow("%d bytes", n) << n << 127 << 127 << 0 << 0;
    QTest::newRow("890 bytes, block size 1") << 890 << 1 << 1 << 0 << 0;
    QTest::newRow("2000 bytes, transmit queues of 5 frames") << 2000 << 127 << 127 << 0 << 5;
    QTest::newRow("1 MiB, block sizes 5 and 3") << (1 << 20) << 5 << 3 << 0 << 0;
    for (int n : { 5, 7, 8, 14, 15, 701, 1 << 20 })
        QTest::addRow("%d bytes segmented", n) << n << 127 << 0 << 0 << 0;
    for (int n : { 7, 8, 15, 701 })
        QTest::addRow("%d bytes segmented fast", n) << n << 127 << 0 << 4 << 0;
}

void tst_SdoTransfers::roundTrip()
{
    QFETCH(int, length);
    QFETCH(int, serverBlockSize);
    QFETCH(int, clientBlockSize);
    QFETCH(int, fast);
    QFETCH(int, queueLimit);
    SdoSimBench b;
    b.adapter.setTransmitQueueLimit(queueLimit);
    b.nodeAdapter.setTransmitQueueLimit(queueLimit);
    b.node.od()->add(0x2100, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
    b.server.setBlockSize(quint8(serverBlockSize));
    SDOClient::mUseBlockTransfer = clientBlockSize > 0;
    SDOClient::mBlockThreshold = 0;
    SDOClient::mBlockUploadSize = quint32(clientBlockSize);
    SDOClient::mFastSeg = fast > 0;
    SDOClient::mFastSegCnt = quint8(fast);
    SDOClient client(0x585, 0x605, &b.scheduler);
    QSignalSpy results(&client, &SDOClient::resultReceived);
    QSignalSpy progress(&client, &SDOClient::progress);
    // Segmented: frames of the host not yet answered by the node, bounded by the fast download's limit.
    int inFlight = 0, maxInFlight = 0;
    connect(&b.adapter, &VirtualCanAdapter::frameSent, this,
        [&] { maxInFlight = qMax(maxInFlight, ++inFlight); });
    connect(&b.nodeAdapter, &VirtualCanAdapter::frameSent, this, [&] { --inFlight; });
    const QByteArray data = pattern(length);
    QCOMPARE(client.write(0x2100, 0, CAN::DOMAIN, data), CAN::RetType_OK);
    QTRY_COMPARE_WITH_TIMEOUT(results.count(), 1, 30000);
    QCOMPARE(b.node.od()->value(0x2100, 0), data);
    QVERIFY(clientBlockSize > 0 || maxInFlight <= qMax(fast, 1));
    QVERIFY(!fast || length <= 14 || maxInFlight > 1);
    QCOMPARE(progress.last().at(0).toInt(), 100);
    const bool everyPercent = clientBlockSize == 0 && length == 1 << 20; // 1 to 100 percent, each once
    QVERIFY(!everyPercent || progress.count() == 100);
    for (int i = 0; everyPercent && i < 100; ++i)
        QCOMPARE(progress.at(i).at(0).toInt(), i + 1);
    QCOMPARE(client.read(0x2100, 0, CAN::DOMAIN), CAN::RetType_OK);
    QTRY_COMPARE_WITH_TIMEOUT(results.count(), 2, 30000);
    QCOMPARE(results.at(1).at(2).value<QVariant>().toByteArray(), data);
    QCOMPARE(client.getCurrentlyReceivedData(), data);
    QTRY_VERIFY(!b.server.isTransferRunning()); // its end answer reaches the node on a later turn
    QVERIFY(!transferActive(b.adapter));
}

QTEST_GUILESS_MAIN(tst_SdoTransfers)
#include "tst_sdotransfers.moc"
