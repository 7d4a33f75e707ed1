#include "usdosegmentedclient.h"
#include "usdotestbench.h"

class tst_UsdoSegmentedClient : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data();
    void transcript();
    void roundTrip_data();
    void roundTrip();
    void abortsAndTimeouts_data();
    void abortsAndTimeouts();
};

static QByteArray a(int n)
{
    return QByteArray("61").repeated(n);
}

void tst_UsdoSegmentedClient::transcript_data()
{
    QTest::addColumn<QByteArray>("data"); // what to download; null for an upload
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("outcome");
    auto row = [](const char *name, const QByteArray &data, const QByteArray &script,
                   const QByteArray &outcome) { QTest::newRow(name) << data << script << outcome; };
    row("download 61 bytes", QByteArray(61, 'a'),
        ">0502000000200f003d000000 <2922000000200000 >05030000" + a(60) + " <29230000 >0504000161 <29240000",
        "2000/0 int 0");
    row("download 60 bytes: one last segment of 64", QByteArray(60, 'a'),
        ">0502000000200f003c000000 <2922000000200000 >0504003c" + a(60) + " <29240000", "2000/0 int 0");
    row("download, the server aborts at the first segment", QByteArray(61, 'a'),
        ">0502000000200f003d000000 <2922000000200000 >05030000" + a(60) + " <297f0000002037", "2000/0 37");
    row("download, an answer of another session is ignored", QByteArray(61, 'a'),
        ">0502000000200f003d000000 <2922010000200000 >057f0000002012", "2000/0 12");
    row("upload 61 bytes", {},
        ">051100000020 <2932000000200f003d000000 >05130000 <29330000" + a(60) + " >05130001 <2934000161",
        "2000/0 QByteArray " + a(61));
    row("upload, expedited answer", {}, ">051100000020 <2931000000200f03616263", "2000/0 QByteArray 616263");
    row("upload, announced size too large", {}, ">051100000020 <2932000000200f0000000020 >057f0000002016",
        "2000/0 16");
    row("upload, unknown answer", {}, ">051100000020 <2935000000200f00 >057f0000002013", "2000/0 13");
}

void tst_UsdoSegmentedClient::transcript()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, outcome);
    UsdoClientBench<USDOSegmentedClient> b;
    b.client.setSdoTimeout(100);
    QCOMPARE(
        data.isNull() ? b.client.read(0x2000, 0, CAN::DOMAIN) : b.client.write(0x2000, 0, CAN::DOMAIN, data),
        CAN::RetType_OK);
    QVERIFY(transferActive(b.adapter));
    PLAY(b, script);
    QTRY_COMPARE(b.results.count() + b.errors.count(), 1);
    QCOMPARE(b.outcome(), outcome);
    QVERIFY(b.peer.expectSilence(20));
    QVERIFY(!b.client.isRunning());
    QVERIFY(!transferActive(b.adapter));
}

// Lengths around the 56-byte expedited limit and the 60-byte segments, with the frames the
// client sends: initiate plus segments for a download, request plus segment requests for an upload.
void tst_UsdoSegmentedClient::roundTrip_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("downloadFrames");
    QTest::addColumn<int>("uploadFrames");
    QTest::addColumn<int>("fast");
    QTest::newRow("0") << 0 << 2 << 1 << 0;
    QTest::newRow("1") << 1 << 2 << 1 << 0;
    QTest::newRow("56") << 56 << 2 << 1 << 0;
    QTest::newRow("57") << 57 << 2 << 2 << 0;
    QTest::newRow("60") << 60 << 2 << 2 << 0;
    QTest::newRow("61") << 61 << 3 << 3 << 0;
    QTest::newRow("120") << 120 << 3 << 3 << 0;
    QTest::newRow("121") << 121 << 4 << 4 << 0;
    QTest::newRow("121, fast download") << 121 << 4 << 4 << 4;
    QTest::newRow("5000, fast download") << 5000 << 85 << 85 << 6;
    QTest::newRow("5000, fast download, adapter queue of one frame") << 5000 << 85 << 85 << -6;
}

void tst_UsdoSegmentedClient::roundTrip()
{
    QFETCH(int, size);
    QFETCH(int, downloadFrames);
    QFETCH(int, uploadFrames);
    QFETCH(int, fast);
    UsdoSimBench sim;
    USDOSegmentedClient client(0x29, 5, &sim.scheduler, nullptr);
    client.setFastSegmentedDownload(fast != 0, quint8(qAbs(fast)));
    sim.adapter.setTransmitQueueLimit(fast < 0 ? 1 : 0); // a full queue answers 7: sent again later
    QSignalSpy results(&client, &USDOSegmentedClient::resultReceived);
    QSignalSpy errors(&client, &USDOSegmentedClient::errorReceived);
    QSignalSpy progress(&client, &USDOSegmentedClient::progress);
    QSignalSpy sent(&sim.adapter, &VirtualCanAdapter::frameSent);
    const QByteArray data = usdoPattern(size);

    QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, data), CAN::RetType_OK);
    QTRY_COMPARE(results.count() + errors.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(sim.node.od()->value(0x2000, 0), data);
    QCOMPARE(sent.count(), downloadFrames);
    QCOMPARE(progress.last().at(0).toInt(), 100);

    sent.clear();
    QCOMPARE(client.read(0x2000, 0, CAN::DOMAIN), CAN::RetType_OK);
    QTRY_COMPARE(results.count() + errors.count(), 2);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(results.last().at(2).value<QVariant>().toByteArray(), data);
    QCOMPARE(client.getCurrentlyReceivedData(), data);
    QCOMPARE(sent.count(), uploadFrames);
    QVERIFY(!sim.server.isTransferRunning());
}

// 121 bytes: the download is initiate, two segments, last segment (frames 0-3); the upload is
// the request and two segment requests (frames 0-2). abortCode 0 makes the server fall silent.
void tst_UsdoSegmentedClient::abortsAndTimeouts_data()
{
    QTest::addColumn<bool>("download");
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("abortCode");
    QTest::newRow("download, initiate aborted") << true << 0 << 0x32;
    QTest::newRow("download, segment aborted") << true << 1 << 0x60;
    QTest::newRow("download, last segment aborted") << true << 3 << 0x61;
    QTest::newRow("upload, request aborted") << false << 0 << 0x31;
    QTest::newRow("upload, segment aborted") << false << 2 << 0x64;
    QTest::newRow("download, silent after the initiate") << true << 1 << 0;
    QTest::newRow("upload, silent after a segment") << false << 2 << 0;
}

void tst_UsdoSegmentedClient::abortsAndTimeouts()
{
    QFETCH(bool, download);
    QFETCH(int, frame);
    QFETCH(int, abortCode);
    UsdoSimBench sim;
    sim.node.od()->setValue(0x2000, 0, usdoPattern(121));
    SimUsdoServer::Script script;
    script.abortCode = quint8(abortCode);
    script.abortAtFrame = frame;
    script.silent = false;
    script.answerFrames = abortCode == 0 ? frame : -1;
    sim.server.setScript(0x2000, 0, script);
    QSignalSpy clientAborts(&sim.server, &SimUsdoServer::abortReceived);
    USDOSegmentedClient client(0x29, 5, &sim.scheduler, nullptr);
    client.setSdoTimeout(80);
    QSignalSpy results(&client, &USDOSegmentedClient::resultReceived);
    QSignalSpy errors(&client, &USDOSegmentedClient::errorReceived);
    QCOMPARE(download ? client.write(0x2000, 0, CAN::DOMAIN, usdoPattern(121))
                      : client.read(0x2000, 0, CAN::DOMAIN),
        CAN::RetType_OK);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(2).toInt(), abortCode == 0 ? 0x12 : abortCode);
    QTest::qWait(100); // nothing more follows
    QCOMPARE(results.count() + errors.count(), 1);
    QCOMPARE(clientAborts.count(), abortCode == 0 ? 1 : 0); // the client tells the server of its timeout
    QVERIFY(!client.isRunning());
    QVERIFY(!transferActive(sim.adapter));
}

QTEST_GUILESS_MAIN(tst_UsdoSegmentedClient)
#include "tst_usdosegmentedclient.moc"
