#include "usdobulkclient.h"
#include "usdotestbench.h"

class tst_UsdoBulkClient : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data();
    void transcript();
    void pace_data();
    void pace();
    void refusals();
    void againstSimulatedNode_data();
    void againstSimulatedNode();
};

static QByteArray a(int n)
{
    return QByteArray("61").repeated(n);
}

// Writes to 0x1F50:1 of node 5; the first transfer carries counter 1.
void tst_UsdoBulkClient::transcript_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("outcome");
    QTest::addColumn<QList<int>>("progress");
    const QByteArray init150 = ">05060101501f0f0096000000 <29260101501f0000 ";
    const QByteArray segments150 = ">05070100" + a(60) + " >05070101" + a(60) + " >0508011e" + a(30)
        + QByteArray("cc").repeated(14) + " "; // 34 bytes go as a CAN FD frame of 48
    QTest::newRow("150 bytes") << 150 << init150 + segments150 + "<29280100" << QByteArray("1f50/1 int 0")
                               << QList<int> { 40, 80, 100 };
    QTest::newRow("60 bytes: one last segment of 64")
        << 60 << ">05060101501f0f003c000000 <29260101501f0000 >0508013c" + a(60) + " <29280100"
        << QByteArray("1f50/1 int 0") << QList<int> { 100 };
    QTest::newRow("empty: one last segment of 4")
        << 0 << QByteArray(">05060101501f0f0000000000 <29260101501f0000 >05080100 <29280100")
        << QByteArray("1f50/1 int 0") << QList<int> { 100 };
    QTest::newRow("server abort") << 150 << init150 + segments150 + "<29ff0101501f12"
                                  << QByteArray("1f50/1 12") << QList<int> { 40, 80 };
    QTest::newRow("wrong counter and destination ignored, then the confirmation times out")
        << 150 << init150 + segments150 + "<29280200 <28280100 >057f0101501f12" << QByteArray("1f50/1 12")
        << QList<int> { 40, 80 };
    QTest::newRow("no answer to the initiate: one error")
        << 150 << QByteArray(">05060101501f0f0096000000 >057f0101501f12 ~150") << QByteArray("1f50/1 12")
        << QList<int>();
}

void tst_UsdoBulkClient::transcript()
{
    QFETCH(int, size);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, outcome);
    QFETCH(QList<int>, progress);
    UsdoClientBench<USDOBulkClient> b;
    QSignalSpy percents(&b.client, &USDOBulkClient::progress);
    b.client.setSdoTimeout(100);
    QCOMPARE(b.client.write(0x1F50, 1, CAN::DOMAIN, QByteArray(size, 'a')), CAN::RetType_OK);
    PLAY(b, script);
    QTRY_COMPARE(b.results.count() + b.errors.count(), 1);
    QCOMPARE(usdoOutcome(b.results, b.errors), outcome);
    QList<int> got;
    for (const QList<QVariant> &p : qAsConst(percents))
        got << p.at(0).toInt();
    QCOMPARE(got, progress);
    QVERIFY(b.peer.expectSilence(20));
    QVERIFY(!b.client.isBusy());
}

void tst_UsdoBulkClient::pace_data()
{
    QTest::addColumn<QByteArray>("spacing"); // bytes 6-7 of the answer, in 100 us steps
    QTest::addColumn<int>("gap");
    QTest::newRow("0") << QByteArray("0000") << 0;
    QTest::newRow("0.5 ms") << QByteArray("0500") << 1;
    QTest::newRow("1 ms") << QByteArray("0a00") << 1;
    QTest::newRow("1.1 ms") << QByteArray("0b00") << 2;
    QTest::newRow("2.5 ms") << QByteArray("1900") << 3;
}

void tst_UsdoBulkClient::pace()
{
    QFETCH(QByteArray, spacing);
    QFETCH(int, gap);
    UsdoClientBench<USDOBulkClient> b;
    QCOMPARE(b.client.write(0x1F50, 1, CAN::DOMAIN, QByteArray()), CAN::RetType_OK);
    PLAY(b, ">05060101501f0f0000000000 <29260101501f" + spacing + " >05080100 <29280100");
    QTRY_COMPARE(b.results.count(), 1);
    QCOMPARE(int(b.client.getSegmentGap()), gap);
}

void tst_UsdoBulkClient::refusals()
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
    QCOMPARE(b.outcome(), QByteArray("1f50/1 60"));
    QCOMPARE(b.client.abort(0x60), CAN::RetType_OK); // nothing runs any more
    QVERIFY(b.peer.expectSilence(20));
    QCOMPARE(b.errors.count(), 1);
}

// Against the simulated node: 300 bytes are initiate (frame 0), four segments (1-4) and the last
// segment (5). abortCode 0 with a frame makes the server fall silent from that frame on.
void tst_UsdoBulkClient::againstSimulatedNode_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("spacing");
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("abortCode");
    QTest::addColumn<int>("error");
    QTest::newRow("1 MiB") << (1 << 20) << 0 << -1 << 0 << 0;
    QTest::newRow("300 bytes, paced at 2.5 ms") << 300 << 25 << -1 << 0 << 0;
    QTest::newRow("initiate aborted") << 300 << 0 << 0 << 0x32 << 0x32;
    QTest::newRow("segment aborted") << 300 << 0 << 2 << 0x60 << 0x60;
    QTest::newRow("last segment aborted") << 300 << 0 << 5 << 0x37 << 0x37;
    QTest::newRow("no answer to the initiate") << 300 << 0 << 0 << 0 << 0x12;
    QTest::newRow("no confirmation") << 300 << 0 << 5 << 0 << 0x12;
}

void tst_UsdoBulkClient::againstSimulatedNode()
{
    QFETCH(int, size);
    QFETCH(int, spacing);
    QFETCH(int, frame);
    QFETCH(int, abortCode);
    QFETCH(int, error);
    UsdoSimBench sim;
    sim.server.setBulkSpacing(quint16(spacing));
    if (frame >= 0) {
        SimUsdoServer::Script script;
        script.abortCode = quint8(abortCode);
        script.abortAtFrame = frame;
        script.answerFrames = abortCode == 0 ? frame : -1;
        sim.server.setScript(0x2000, 0, script);
    }
    USDOBulkClient client(0x29, 5, &sim.scheduler, nullptr);
    client.setSdoTimeout(100);
    QSignalSpy results(&client, &USDOBulkClient::resultReceived);
    QSignalSpy errors(&client, &USDOBulkClient::errorReceived);
    QSignalSpy percents(&client, &USDOBulkClient::progress);
    const QByteArray data = usdoPattern(size);
    QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, data), CAN::RetType_OK);
    QTRY_COMPARE_WITH_TIMEOUT(results.count() + errors.count(), 1, 10000);
    QTest::qWait(150); // a second outcome would come within the timeout
    if (error == 0) {
        QCOMPARE(sim.node.od()->value(0x2000, 0), data);
        QCOMPARE(percents.last().at(0).toInt(), 100);
        QCOMPARE(int(client.getSegmentGap()), spacing ? 3 : 0);
    } else {
        QCOMPARE(errors.first().at(2).toInt(), error);
        QCOMPARE(sim.node.od()->value(0x2000, 0), QByteArray());
    }
    QCOMPARE(results.count() + errors.count(), 1);
    QVERIFY(!client.isBusy());
    QVERIFY(!sim.server.isTransferRunning());
}

QTEST_GUILESS_MAIN(tst_UsdoBulkClient)
#include "tst_usdobulkclient.moc"
