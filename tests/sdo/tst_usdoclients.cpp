// The USDO clients (expedited, segmented, bulk) on the wire against a scripted peer and in round
// trips with the simulated USDO server, that server against a scripted client, and the SDO
// client facade on CANopen FD.
#include "sdoclient.h"
#include "usdobulkclient.h"
#include "usdosegmentedclient.h"
#include "usdotestbench.h"

#include <type_traits>

namespace {
QByteArray a(int n)
{
    return QByteArray("61").repeated(n);
}

/// Plays a script after a started request and returns its one outcome, once the client is idle
/// and nothing more follows.
template<class C> QByteArray play(UsdoClientBench<C> &b, CAN::RetType started, const QByteArray &script)
{
    if (started != CAN::RetType_OK)
        return "refused " + QByteArray::number(started);
    const QByteArray why = b.play(script);
    if (!why.isEmpty())
        return why;
    if (!QTest::qWaitFor([&] { return b.results.count() + b.errors.count() > 0; }))
        return "no outcome";
    if (!b.peer.expectSilence(20) || b.client.isBusy())
        return "not idle: " + b.outcome();
    return b.outcome();
}

/// A request on 0x2000:0 of 121 bytes against a server following script: exactly one error,
/// the domain left as it was, and an abort to the server when the client timed out.
template<class C> void failure(const SimUsdoServer::Script &script, bool upload)
{
    UsdoSimClientBench<C> sim;
    sim.node.od()->setValue(0x2000, 0, usdoPattern(121));
    sim.server.setScript(0x2000, 0, script);
    QSignalSpy clientAborts(&sim.server, &SimUsdoServer::abortReceived);
    sim.client.setSdoTimeout(80);
    if constexpr (std::is_same_v<C, USDOSegmentedClient>)
        QCOMPARE(upload ? sim.client.read(0x2000, 0, CAN::DOMAIN)
                        : sim.client.write(0x2000, 0, CAN::DOMAIN, QByteArray(121, 'w')),
            CAN::RetType_OK);
    else
        QCOMPARE(sim.client.write(0x2000, 0, CAN::DOMAIN, QByteArray(121, 'w')), CAN::RetType_OK);
    QTRY_COMPARE(sim.errors.count(), 1);
    QCOMPARE(sim.errors.first().at(2).toInt(), script.abortCode ? script.abortCode : 0x12);
    QTest::qWait(100); // nothing more follows
    QCOMPARE(sim.outcomes(), 1);
    QCOMPARE(clientAborts.count(), script.abortCode ? 0 : 1);
    QCOMPARE(sim.node.od()->value(0x2000, 0), usdoPattern(121));
    QVERIFY(!sim.client.isBusy());
    QVERIFY(!transferActive(sim.adapter));
}
} // namespace

class tst_UsdoClients : public QObject
{
    Q_OBJECT

private slots:
    // Wire transcripts against node 5. "expedited" and "routed" read 0x1000:0 and write 0x1017:0;
    // routed requests go through gateway 7 into network 2: the header carries the route, the
    // object and value four bytes later, and answers come from the gateway. "segmented" transfers
    // use the domain 0x2000:0 (a write of N bytes 'a'). "bulk N" writes 0x1F50:1, the first
    // transfer with counter 1; bytes 6-7 of the initiate answer give the segment spacing in 100 us
    // steps, which the client takes as whole milliseconds: the outcome adds progress and gap.
    void transcript_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("outcome");
        auto row
            = [](const char *name, const char *request, const QByteArray &script, const QByteArray &outcome) {
                  QTest::newRow(name) << QByteArray(request) << script << outcome;
              };
        row("upload u32", "expedited read u32", ">051100000010 <293100000010070478563412",
            "1000/0 uint 305419896");
        row("upload, the server names another type", "expedited read u32",
            ">051100000010 <29310000001006023412", "1000/0 ushort 4660 faulty");
        row("upload string", "expedited read string", ">051100000010 <29310000001009054142434445",
            "1000/0 QByteArray 4142434445");
        row("wrong session, destination, sub-index, index and node are ignored", "expedited read u32",
            ">051100000010 <293101000010070401000000 <283100000010070402000000 <293100010010070403000000 "
            "<293100000001070404000000 <586:293100000010070405000000 <293100000010070406000000",
            "1000/0 uint 6");
        row("server abort", "expedited read u32", ">051100000010 <297f0000001033", "1000/0 33");
        row("unknown answer", "expedited read u32", ">051100000010 <2925000000100000 >057f0000001013",
            "1000/0 13");
        row("timeout", "expedited read u32", ">051100000010 >057f0000001012", "1000/0 12");
        row("download u16", "expedited write u16 1000", ">0501000017100602e803cccc <2921000017100000",
            "1017/0 int 1000");
        row("download 10-byte string", "expedited write string ABCDEFGHIJ",
            ">050100001710090a4142434445464748494acccc <2921000017100000",
            "1017/0 QByteArray 4142434445464748494a");
        row("download, server abort", "expedited write u16 1000", ">0501000017100602e803cccc <297f0000171032",
            "1017/0 32");
        row("routed upload", "routed read u32",
            ">079100020501290000100000 <587:29b10001290205000010070478563412", "1000/0 uint 305419896");
        row("routed upload, wrong object ignored", "routed read u32",
            ">079100020501290000100000 <587:29b10001290205000110070401000000 "
            "<587:29b10001290205000010070402000000",
            "1000/0 uint 2");
        row("routed upload, gateway abort", "routed read u32",
            ">079100020501290000100000 <587:29ff00012902050000101a", "1000/0 1a");
        row("routed download", "routed write u16 1000",
            ">078100020501290017100602e803cccc <587:29a100012902050017100000", "1017/0 int 1000");
        row("segmented download 61 bytes", "segmented write 61",
            ">0502000000200f003d000000 <2922000000200000 >05030000" + a(60)
                + " <29230000 >0504000161 <29240000",
            "2000/0 int 0");
        row("segmented download 60 bytes: one last segment of 64", "segmented write 60",
            ">0502000000200f003c000000 <2922000000200000 >0504003c" + a(60) + " <29240000", "2000/0 int 0");
        row("segmented download, the server aborts at the first segment", "segmented write 61",
            ">0502000000200f003d000000 <2922000000200000 >05030000" + a(60) + " <297f0000002037",
            "2000/0 37");
        row("segmented download, an answer of another session is ignored", "segmented write 61",
            ">0502000000200f003d000000 <2922010000200000 >057f0000002012", "2000/0 12");
        row("segmented upload 61 bytes", "segmented read",
            ">051100000020 <2932000000200f003d000000 >05130000 <29330000" + a(60) + " >05130001 <2934000161",
            "2000/0 QByteArray " + a(61));
        // CAN can deliver a frame twice: a repeated answer must neither end a download before the
        // last segment is confirmed nor add data to an upload.
        row("segmented download, answers repeated, the last one never confirmed", "segmented write 61",
            ">0502000000200f003d000000 <2922000000200000 >05030000" + a(60)
                + " <2922000000200000 <29230000 >0504000161 <29230000 >057f0000002012",
            "2000/0 12");
        row("segmented upload 121 bytes, answers repeated", "segmented read",
            ">051100000020 <2932000000200f0079000000 >05130000 <2932000000200f0079000000 <29330000" + a(60)
                + " >05130001 <29330000" + a(60) + " <29330001" + a(60) + " >05130002 <2934000161",
            "2000/0 QByteArray " + a(60) + a(60) + a(1));
        row("segmented upload, expedited answer", "segmented read", ">051100000020 <2931000000200f03616263",
            "2000/0 QByteArray 616263");
        row("segmented upload, announced size too large", "segmented read",
            ">051100000020 <2932000000200f0000000020 >057f0000002016", "2000/0 16");
        row("segmented upload, unknown answer", "segmented read",
            ">051100000020 <2935000000200f00 >057f0000002013", "2000/0 13");
        const QByteArray init = ">05060101501f0f0096000000 <29260101501f0000 ";
        const QByteArray segments = ">05070100" + a(60) + " >05070101" + a(60) + " >0508011e" + a(30)
            + QByteArray("cc").repeated(14) + " "; // 34 bytes go as a CAN FD frame of 48
        row("bulk 150 bytes", "bulk 150", init + segments + "<29280100", "1f50/1 int 0 | 40,80,100 gap 0");
        row("bulk 60 bytes: one last segment of 64", "bulk 60",
            ">05060101501f0f003c000000 <29260101501f0000 >0508013c" + a(60) + " <29280100",
            "1f50/1 int 0 | 100 gap 0");
        const char *paces[][2] = { { "0000", "0" }, { "0500", "1" }, { "0a00", "1" }, { "0b00", "2" } };
        for (const auto &pace : paces)
            QTest::addRow("bulk empty, spacing %s", pace[0])
                << QByteArray("bulk 0")
                << ">05060101501f0f0000000000 <29260101501f" + QByteArray(pace[0]) + " >05080100 <29280100"
                << "1f50/1 int 0 | 100 gap " + QByteArray(pace[1]);
        row("bulk, server abort", "bulk 150", init + segments + "<29ff0101501f12", "1f50/1 12 | 40,80 gap 0");
        row("bulk, wrong counter and destination ignored, then the confirmation times out", "bulk 150",
            init + segments + "<29280200 <28280100 >057f0101501f12", "1f50/1 12 | 40,80 gap 0");
        row("bulk, no answer to the initiate: one error", "bulk 150",
            ">05060101501f0f0096000000 >057f0101501f12 ~150", "1f50/1 12 |  gap 10");
    }
    void transcript()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, outcome);
        const QList<QByteArray> w = request.split(' ');
        if (w[0] == "bulk") {
            UsdoClientBench<USDOBulkClient> b;
            QSignalSpy percents(&b.client, &USDOBulkClient::progress);
            b.client.setSdoTimeout(100);
            QByteArrayList got;
            const QByteArray result
                = play(b, b.client.write(0x1F50, 1, CAN::DOMAIN, QByteArray(w[1].toInt(), 'a')), script);
            for (const QList<QVariant> &p : qAsConst(percents))
                got << QByteArray::number(p.at(0).toInt());
            QCOMPARE(result + " | " + got.join(',') + " gap " + QByteArray::number(b.client.getSegmentGap()),
                outcome);
        } else if (w[0] == "segmented") {
            UsdoClientBench<USDOSegmentedClient> b;
            b.client.setSdoTimeout(100);
            const CAN::RetType started = w[1] == "read"
                ? b.client.read(0x2000, 0, CAN::DOMAIN)
                : b.client.write(0x2000, 0, CAN::DOMAIN, QByteArray(w[2].toInt(), 'a'));
            QVERIFY(transferActive(b.adapter));
            QCOMPARE(play(b, started, script), outcome);
            QVERIFY(!transferActive(b.adapter));
        } else {
            UsdoClientBench<USDOExpeditedClient> b;
            b.client.setSdoTimeout(100);
            b.client.setRouting(w[0] == "routed", 7, 2, 5);
            const auto type = w[2] == "string" ? CAN::VISIBLE_STRING
                : w[2] == "u16"                ? CAN::UNSIGNED16
                                               : CAN::UNSIGNED32;
            const QVariant value
                = type == CAN::VISIBLE_STRING ? QVariant(w.value(3)) : QVariant(w.value(3).toInt());
            QCOMPARE(
                play(b,
                    w[1] == "read" ? b.client.read(0x1000, 0, type) : b.client.write(0x1017, 0, type, value),
                    script),
                outcome);
        }
    }

    // The answer echoes the session into the value: sessions count 0..255, then 0 again.
    void sessionCounterWraps()
    {
        UsdoClientBench<USDOExpeditedClient> b;
        b.peer.setResponder([&](const CAN::CanRxMessage &m, BusPeer &peer) {
            QByteArray answer = QByteArray::fromHex("293100000010070400000000");
            answer[2] = answer[8] = char(m.data[2]);
            peer.send(0x585, answer);
        });
        for (int i = 0; i < 258; ++i) {
            QCOMPARE(b.client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
            QTRY_COMPARE(b.results.count(), i + 1);
            QCOMPARE(b.results.last().at(2).value<QVariant>().toUInt(), uint(i & 0xFF));
        }
    }

    // One node answering a broadcast with something else (a download answer) and another one
    // refusing neither end nor stall the collection: the third node's value arrives and the
    // broadcast finishes once.
    void broadcastOutlivesAWrongAnswer()
    {
        UsdoClientBench<USDOExpeditedClient> b(0);
        QSignalSpy answers(&b.client, &USDOExpeditedClient::broadcastResultReceived);
        QSignalSpy finished(&b.client, &USDOExpeditedClient::broadcastRequestFinished);
        b.client.setSdoTimeout(50);
        QCOMPARE(b.client.read(0x2000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
        QCOMPARE(b.peer.takeFrame().id, 0x629u);
        b.peer.send(0x585, QByteArray::fromHex("2922000000200000"));
        b.peer.send(0x587, QByteArray::fromHex("297f0000002033"));
        b.peer.send(0x586, QByteArray::fromHex("293100000020070478010000"));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(answers.count(), 1);
        QCOMPARE(answers.at(0).at(0).toUInt(), 6u);
        QCOMPARE(b.results.count() + b.errors.count(), 0);
        QVERIFY(!b.client.isBusy());
    }

    void expeditedRefusalsAndHostAbort()
    {
        UsdoClientBench<USDOExpeditedClient> b;
        QCOMPARE(b.client.read(0x1000, 0, CAN::REAL64), CAN::RetType_InvalidRequest);
        QCOMPARE(b.client.write(0x2000, 0, CAN::DOMAIN, QByteArray(57, 'x')), CAN::RetType_InvalidRequest);
        QCOMPARE(b.client.write(0x2000, 0, CAN::UNSIGNED40, QByteArray(4, 'x')), CAN::RetType_InvalidRequest);
        b.adapter.setCanFdCapable(false); // the adapter refuses FD frames
        QCOMPARE(b.client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
        QVERIFY(!b.client.isBusy());
        b.adapter.setCanFdCapable(true);
        USDOExpeditedClient orphan(0x29, 5, nullptr, nullptr);
        QCOMPARE(orphan.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
        QCOMPARE(
            b.client.write(0x2000, 0, CAN::UNSIGNED40, QByteArray::fromHex("0102030405")), CAN::RetType_OK);
        QCOMPARE(b.client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_Busy);
        QCOMPARE(b.client.setNodeIds(0x29, 6), CAN::RetType_Busy);
        QCOMPARE(b.client.abort(0x30), CAN::RetType_OK);
        // The refused request above used session 0.
        PLAY(b, ">05010100002018050102030405cccccc >057f0100002030 <2921010000200000");
        QVERIFY(b.peer.expectSilence(20));
        QCOMPARE(b.outcome(), QByteArray("2000/0 30")); // the late answer finds the client idle
    }

    // Node 5 is a gateway into network 2, where node 9 lives: a routed read and write reach
    // its dictionary; another node of that network is unknown to the gateway.
    void routedAgainstSimulatedGateway()
    {
        UsdoSimBench sim;
        using OD = SimObjectDictionary;
        OD remote;
        remote.addRecord(0x1018, { { OD::Unsigned32, 1 }, { OD::Unsigned32, 0x1234 } });
        remote.add(0x2001, 0, OD::Unsigned16, OD::ReadWrite, QByteArray(2, 0));
        sim.server.setRoutedNode(2, 9, &remote);
        USDOExpeditedClient client(0x29, 9, &sim.scheduler, nullptr);
        QSignalSpy results(&client, &USDOExpeditedClient::resultReceived);
        QSignalSpy errors(&client, &USDOExpeditedClient::errorReceived);
        client.setRouting(true, 5, 2, 9);
        QCOMPARE(client.read(0x1018, 2, CAN::UNSIGNED32), CAN::RetType_OK);
        QTRY_COMPARE(results.count(), 1);
        QCOMPARE(client.write(0x2001, 0, CAN::UNSIGNED16, 0xBEEF), CAN::RetType_OK);
        QTRY_COMPARE(results.count(), 2);
        QCOMPARE(remote.unsignedValue(0x2001, 0), quint64(0xBEEF));
        client.setRouting(true, 5, 2, 8);
        QCOMPARE(client.read(0x1018, 2, CAN::UNSIGNED32), CAN::RetType_OK);
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(
            spyOutcome(results, errors, 0, 3), QByteArray("1018/2 uint 4660; 2001/0 int 48879; 1018/2 1b"));
    }

    // Lengths around the 56-byte expedited limit and the 60-byte segments, with the frames the
    // client sends: initiate plus segments for a download, request plus segment requests for
    // an upload. A negative window: fast download through an adapter queue of one frame.
    void segmentedRoundTrip_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("downloadFrames");
        QTest::addColumn<int>("uploadFrames");
        QTest::addColumn<int>("fast"); // window of the fast segmented download
        const int rows[][4] = { { 0, 2, 1, 0 }, { 56, 2, 1, 0 }, { 57, 2, 2, 0 }, { 60, 2, 2, 0 },
            { 61, 3, 3, 0 }, { 121, 4, 4, 0 }, { 121, 4, 4, 4 }, { 5000, 85, 85, 6 }, { 5000, 85, 85, -6 } };
        for (const auto &r : rows)
            QTest::addRow("%d bytes, window %d", r[0], r[3]) << r[0] << r[1] << r[2] << r[3];
    }
    void segmentedRoundTrip()
    {
        QFETCH(int, size);
        QFETCH(int, downloadFrames);
        QFETCH(int, uploadFrames);
        QFETCH(int, fast);
        UsdoSimClientBench<USDOSegmentedClient> sim;
        sim.client.setFastSegmentedDownload(fast != 0, quint8(qAbs(fast)));
        sim.adapter.setTransmitQueueLimit(fast < 0 ? 1 : 0); // a full queue answers 7: sent again later
        QSignalSpy sent(&sim.adapter, &VirtualCanAdapter::frameSent);
        const QByteArray data = usdoPattern(size);
        QCOMPARE(sim.client.write(0x2000, 0, CAN::DOMAIN, data), CAN::RetType_OK);
        QTRY_COMPARE(sim.outcomes(), 1);
        QCOMPARE(sim.node.od()->value(0x2000, 0), data);
        QCOMPARE(sent.count(), downloadFrames);
        QCOMPARE(sim.progress.last().at(0).toInt(), 100);
        sent.clear();
        QCOMPARE(sim.client.read(0x2000, 0, CAN::DOMAIN), CAN::RetType_OK);
        QTRY_COMPARE(sim.outcomes(), 2);
        QCOMPARE(sim.results.last().at(2).value<QVariant>().toByteArray(), data);
        QCOMPARE(sim.client.getCurrentlyReceivedData(), data);
        QCOMPARE(sent.count(), uploadFrames);
        QVERIFY(!sim.server.isTransferRunning());
    }

    // 121 bytes: a segmented or bulk download is initiate, two segments, last segment (frames
    // 0-3); an upload the request and two segment requests (frames 0-2). The server answers up
    // to the frame, then aborts with the code, or with code 0 falls silent.
    void failures_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("frame");
        QTest::addColumn<int>("abortCode");
        const struct
        {
            const char *request;
            int frame, abortCode;
        } rows[] = { { "download", 0, 0x32 }, { "download", 1, 0x60 }, { "download", 3, 0x61 },
            { "upload", 0, 0x31 }, { "upload", 2, 0x64 }, { "download", 1, 0 }, { "upload", 2, 0 },
            { "bulk", 0, 0x32 }, { "bulk", 2, 0x60 }, { "bulk", 3, 0x37 }, { "bulk", 0, 0 },
            { "bulk", 3, 0 } };
        for (const auto &r : rows)
            QTest::addRow("%s, frame %d, code %x", r.request, r.frame, r.abortCode)
                << QByteArray(r.request) << r.frame << r.abortCode;
    }
    void failures()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, frame);
        QFETCH(int, abortCode);
        SimUsdoServer::Script script;
        script.abortCode = quint8(abortCode);
        script.abortAtFrame = frame;
        script.answerFrames = abortCode == 0 ? frame : -1;
        if (request == "bulk")
            failure<USDOBulkClient>(script, false);
        else
            failure<USDOSegmentedClient>(script, request == "upload");
    }

    void bulkRefusals()
    {
        UsdoClientBench<USDOBulkClient> b;
        QCOMPARE(b.client.write(0x1F50, 1, CAN::UNSIGNED32, 5), CAN::RetType_NoLink);
        QCOMPARE(b.client.write(0x1F50, 1, CAN::DOMAIN, QByteArray(10, 'x')), CAN::RetType_OK);
        QCOMPARE(b.client.write(0x1F50, 1, CAN::DOMAIN, QByteArray(10, 'x')), CAN::RetType_Busy);
        QCOMPARE(b.client.setNodeIds(0x29, 6), CAN::RetType_Busy);
        USDOBulkClient orphan(0x29, 5, nullptr, nullptr);
        QCOMPARE(orphan.write(0x1F50, 1, CAN::DOMAIN, QByteArray(10, 'x')), CAN::RetType_NoLink);
        // An abort by the host reaches the server and is reported once.
        QCOMPARE(b.client.abort(0x60), CAN::RetType_OK);
        PLAY(b, ">05060101501f0f000a000000 >057f0101501f60");
        QCOMPARE(b.client.abort(0x60), CAN::RetType_OK); // nothing runs any more
        QVERIFY(b.peer.expectSilence(20));
        QCOMPARE(b.outcome(), QByteArray("1f50/1 60"));
    }

    void bulkRoundTrip_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("spacing");
        QTest::newRow("1 MiB") << (1 << 20) << 0;
        QTest::newRow("300 bytes, paced at 2.5 ms") << 300 << 25;
    }
    void bulkRoundTrip()
    {
        QFETCH(int, size);
        QFETCH(int, spacing);
        UsdoSimClientBench<USDOBulkClient> sim;
        sim.server.setBulkSpacing(quint16(spacing));
        const QByteArray data = usdoPattern(size);
        QCOMPARE(sim.client.write(0x2000, 0, CAN::DOMAIN, data), CAN::RetType_OK);
        QTRY_COMPARE_WITH_TIMEOUT(sim.outcomes(), 1, 10000);
        QCOMPARE(sim.node.od()->value(0x2000, 0), data);
        QCOMPARE(sim.progress.last().at(0).toInt(), 100);
        QCOMPARE(int(sim.client.getSegmentGap()), spacing ? 3 : 0);
        QVERIFY(!sim.client.isBusy());
    }

    // The server as an independent CiA 1301 device sees it: the peer is client 0x29 (requests
    // on 0x629), the node is 5 (answers on 0x585). The node has u32 0x2001 (read-write), the
    // read-only 0x1000, a domain 0x2000 and the 70-byte string 0x2002.
    void server_data()
    {
        QTest::addColumn<QByteArray>("script");
        auto row = [](const char *name, const QByteArray &script) { QTest::newRow(name) << script; };
        row("expedited upload", "<051103000120 >2931030001200704efbeadde");
        row("expedited download",
            "<050104000120070478563412 >2921040001200000 <051105000120 >293105000120070478563412");
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
    void server()
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

    // SDOClient on CANopen FD: the choice between USDO expedited, segmented and bulk, and the
    // outcomes of the USDO clients reaching the host through the facade's signals.
    void cleanup() { resetSdoSettings(); }

    // The first frame tells the protocol by its command (0x01 expedited, 0x02 segmented and 0x06
    // bulk download). Both uploads start with 0x11; the answer "segmented upload follows" then
    // makes the segmented client ask for a segment (0x13) and the expedited one abort (0x7F).
    void protocolChoice_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("type");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("block"); // 0 off, 1 on, 2 block once, 3 on but no block once
        QTest::addColumn<QByteArray>("commands");
        auto row = [](const char *name, bool write, CAN::CANopenDataType type, const QVariant &value,
                       int block, const char *commands) {
            QTest::newRow(name) << write << int(type) << value << block << QByteArray::fromHex(commands);
        };
        row("read u8: expedited", false, CAN::UNSIGNED8, {}, 0, "117f");
        row("read string: segmented", false, CAN::VISIBLE_STRING, {}, 0, "1113");
        row("write u64 number: expedited", true, CAN::UNSIGNED64, qulonglong(1) << 40, 0, "01");
        row("write 56-byte string: expedited", true, CAN::VISIBLE_STRING, QByteArray(56, 's'), 0, "01");
        row("write 57-byte string: segmented", true, CAN::VISIBLE_STRING, QByteArray(57, 's'), 1, "02");
        row("write domain: segmented", true, CAN::DOMAIN, QByteArray(100, 'd'), 0, "02");
        row("write domain, block once: bulk", true, CAN::DOMAIN, QByteArray(100, 'd'), 2, "06");
        row("write domain, block on, no block once: segmented", true, CAN::DOMAIN, QByteArray(100, 'd'), 3,
            "02");
    }

    void protocolChoice()
    {
        QFETCH(bool, write);
        QFETCH(int, type);
        QFETCH(QVariant, value);
        QFETCH(int, block);
        QFETCH(QByteArray, commands);
        UsdoClientBench<SDOClient> b(0); // the client of the facade is set up below
        b.client.setCanScheduler(&b.scheduler);
        b.client.setNodeId(5);
        b.client.activateUSDO(true, 0x29);
        SDOClient::mUseBlockTransfer = block == 1 || block == 3;
        if (block >= 2)
            b.client.setTemporaryBlockHandling(
                block == 2 ? SDOClient::BlockHandling_BlockOnce : SDOClient::BlockHandling_NoBlockOnce);
        const auto t = CAN::CANopenDataType(type);
        QCOMPARE(write ? b.client.write(0x2000, 0, t, value) : b.client.read(0x2000, 0, t), CAN::RetType_OK);
        QVERIFY(b.client.isBusy());
        CAN::CanRxMessage first = b.peer.takeFrame();
        QCOMPARE(first.id, 0x629u);
        QCOMPARE(first.data[1], quint8(commands.at(0)));
        if (type == CAN::UNSIGNED64 && write) // numbers of the long types go as their little-endian bytes
            QCOMPARE(first.payload().mid(6, 10).toHex(), QByteArray("1b080000000000010000"));
        if (commands.size() > 1) {
            b.peer.send(0x585,
                QByteArray::fromHex("2932") + first.payload().mid(2, 4)
                    + QByteArray::fromHex("0f00ff000000"));
            QCOMPARE(b.peer.takeFrame().data[1], quint8(commands.at(1)));
        }
        QCOMPARE(b.client.abort(0), CAN::RetType_OK); // ends it locally
        QVERIFY(!b.client.isBusy());
    }

    // The facade forwards the USDO clients' outcomes: an expedited read, a bulk write (a request
    // meanwhile refused as busy) and a segmented read back.
    void facadeAgainstSimulatedNode()
    {
        UsdoSimBench sim;
        sim.node.setIdentity(0x4B1, 0, 0, 0);
        SDOClient client;
        client.setCanScheduler(&sim.scheduler);
        client.setNodeId(5);
        client.activateUSDO(true, 0x29);
        QSignalSpy results(&client, &SDOClient::resultReceived);
        QSignalSpy opErrors(&client, &SDOClient::opError);
        QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
        QTRY_COMPARE(results.count(), 1);
        QCOMPARE(results.at(0).mid(2, 2), (QVariantList { 0x4B1u, 0x585u }));
        const QByteArray data = usdoPattern(700);
        client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
        QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, data), CAN::RetType_OK); // bulk
        QCOMPARE(client.read(0x2000, 0, CAN::DOMAIN), CAN::RetType_Busy);
        QTRY_COMPARE(results.count(), 2);
        QCOMPARE(opErrors.count(), 1);
        QCOMPARE(client.read(0x2000, 0, CAN::DOMAIN), CAN::RetType_OK); // segmented
        QTRY_COMPARE(results.count(), 3);
        QCOMPARE(results.at(2).at(2).value<QVariant>().toByteArray(), data);
        QVERIFY(!client.isBusy());
    }
};

QTEST_GUILESS_MAIN(tst_UsdoClients)
#include "tst_usdoclients.moc"
