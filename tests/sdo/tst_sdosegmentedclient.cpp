#include "abstractcanadapter.h"
#include "sdosegmentedclient.h"
#include "sdotestbench.h"
#include "simobjectdictionary.h"

#include <QSignalSpy>
#include <QTest>

class tst_SdoSegmentedClient : public QObject
{
    Q_OBJECT
private slots:
    void downloadTranscript();
    void downloadOfSevenBytes();
    void uploadExpeditedAnswers_data();
    void uploadExpeditedAnswers();
    void uploadTranscript();
    void uploadWithoutSize();
    void uploadToggleError();
    void uploadSizeError();
    void serverAbortNamingAnotherIndex();
    void fastDownloadSendsPairs();
    void busyRefusalLeavesTransferRunning();
    void timeoutMidTransfer();
    void abortByHost();
    void roundTrip_data();
    void roundTrip();
};

static bool transferActive(const AbstractCanAdapter &a)
{
    return a.getCanAdapterOption(AdapterOption_TransferActive).toBool();
}

void tst_SdoSegmentedClient::downloadTranscript()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QSignalSpy progress(&client, &SDOSegmentedClient::progress);
    QCOMPARE(client.write(0x2000, 0, QByteArray("ABCDEFGHIJ")), CAN::RetType_OK);
    QVERIFY(transferActive(b.adapter));
    EXPECT_FRAME(b.peer, 0x605, "210020000a000000");
    b.peer.send(0x585, "6000200000000000");
    EXPECT_FRAME(b.peer, 0x605,
        "00414243444546"
        "47");
    b.peer.send(0x585, "2000000000000000");
    EXPECT_FRAME(b.peer, 0x605, "1948494a00000000");
    b.peer.send(0x585, "3000000000000000");
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>(), QVariant(int(0)));
    QCOMPARE(progress.count(), 2);
    QCOMPARE(progress.at(0).at(0).toInt(), 70);
    QCOMPARE(progress.at(1).at(0).toInt(), 100);
    QVERIFY(!transferActive(b.adapter));
    QVERIFY(!client.isRunning());
}

void tst_SdoSegmentedClient::downloadOfSevenBytes()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QCOMPARE(client.write(0x2000, 0, QByteArray("1234567")), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "2100200007000000");
    b.peer.send(0x585, "6000200000000000");
    EXPECT_FRAME(b.peer, 0x605, "0131323334353637");
    b.peer.send(0x585, "2000000000000000");
    QTRY_COMPARE(results.count(), 1);
}

void tst_SdoSegmentedClient::uploadExpeditedAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("4 bytes") << QByteArray("4300200001020304") << QByteArray::fromHex("01020304");
    QTest::newRow("1 byte") << QByteArray("4f00200001020304") << QByteArray::fromHex("01");
    QTest::newRow("no size") << QByteArray("4200200001020304") << QByteArray::fromHex("01020304");
}

void tst_SdoSegmentedClient::uploadExpeditedAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, value);
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QCOMPARE(client.read(0x2000, 0), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4000200000000000");
    b.peer.send(0x585, answer.constData());
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>().toByteArray(), value);
    QVERIFY(b.peer.expectSilence(20)); // no segment request
    QVERIFY(!transferActive(b.adapter));
}

void tst_SdoSegmentedClient::uploadTranscript()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QCOMPARE(client.read(0x1008, 0), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4008100000000000");
    b.peer.send(0x585, "4108100009000000");
    EXPECT_FRAME(b.peer, 0x605, "6000000000000000");
    b.peer.send(0x585,
        "00414243444546"
        "47");
    EXPECT_FRAME(b.peer, 0x605, "7000000000000000");
    b.peer.send(0x585, "1b48490000000000");
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>().toByteArray(), QByteArray("ABCDEFGHI"));
    QCOMPARE(client.getCurrentlyReceivedData(), QByteArray("ABCDEFGHI"));
}

void tst_SdoSegmentedClient::uploadWithoutSize()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QCOMPARE(client.read(0x1008, 0), CAN::RetType_OK);
    b.peer.send(0x585, "4008100000000000");
    EXPECT_FRAME(b.peer, 0x605, "4008100000000000");
    EXPECT_FRAME(b.peer, 0x605, "6000000000000000");
    b.peer.send(0x585, "0b41424300000000"); // last, n = 5 bytes without data
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>().toByteArray(), QByteArray("AB"));
}

void tst_SdoSegmentedClient::uploadToggleError()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy errors(&client, &SDOSegmentedClient::errorReceived);
    QCOMPARE(client.read(0x1008, 0), CAN::RetType_OK);
    b.peer.send(0x585, "4108100009000000");
    EXPECT_FRAME(b.peer, 0x605, "4008100000000000");
    EXPECT_FRAME(b.peer, 0x605, "6000000000000000");
    b.peer.send(0x585, "1041424344454647"); // toggle 1 where 0 is due
    EXPECT_FRAME(b.peer, 0x605, "8008100000000305");
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x05030000u);
    QVERIFY(!transferActive(b.adapter));
}

void tst_SdoSegmentedClient::uploadSizeError()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy errors(&client, &SDOSegmentedClient::errorReceived);
    QCOMPARE(client.read(0x1008, 0), CAN::RetType_OK);
    b.peer.send(0x585, "4108100000000020"); // 0x20000000 bytes
    EXPECT_FRAME(b.peer, 0x605, "4008100000000000");
    EXPECT_FRAME(b.peer, 0x605, "8008100005000405");
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x05040005u);
}

void tst_SdoSegmentedClient::serverAbortNamingAnotherIndex()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy errors(&client, &SDOSegmentedClient::errorReceived);
    QCOMPARE(client.write(0x2000, 0, QByteArray(20, 'x')), CAN::RetType_OK);
    b.peer.send(0x585, "8000300100000206");
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toUInt(), 0x3000u);
    QCOMPARE(errors.at(0).at(1).toUInt(), 1u);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x06020000u);
    QVERIFY(!client.isRunning());
    QVERIFY(!transferActive(b.adapter));
}

void tst_SdoSegmentedClient::fastDownloadSendsPairs()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    client.setFastSegmentedDownload(true, 4);
    QCOMPARE(client.write(0x2000, 0, QByteArray(30, 'a')), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "210020001e000000");
    b.peer.send(0x585, "6000200000000000");
    EXPECT_FRAME(b.peer, 0x605,
        "00616161616161"
        "61");
    EXPECT_FRAME(b.peer, 0x605,
        "10616161616161"
        "61");
    QVERIFY(b.peer.expectSilence(20));
}

void tst_SdoSegmentedClient::busyRefusalLeavesTransferRunning()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QCOMPARE(client.write(0x2000, 0, QByteArray("12345678")), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "2100200008000000");
    QCOMPARE(client.write(0x2001, 0, QByteArray("xyzxyzxyz")), CAN::RetType_Busy);
    QCOMPARE(client.read(0x2001, 0), CAN::RetType_Busy);
    b.peer.send(0x585, "6000200000000000");
    EXPECT_FRAME(b.peer, 0x605, "0031323334353637");
    b.peer.send(0x585, "2000000000000000");
    EXPECT_FRAME(b.peer, 0x605, "1d38000000000000");
    b.peer.send(0x585, "3000000000000000");
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toUInt(), 0x2000u);
}

void tst_SdoSegmentedClient::timeoutMidTransfer()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    client.setSdoTimeout(50);
    QSignalSpy errors(&client, &SDOSegmentedClient::errorReceived);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QCOMPARE(client.write(0x2000, 0, QByteArray(20, 'x')), CAN::RetType_OK);
    b.peer.send(0x585, "6000200000000000");
    EXPECT_FRAME(b.peer, 0x605, "2100200014000000");
    EXPECT_FRAME(b.peer, 0x605, "0078787878787878");
    EXPECT_FRAME(b.peer, 0x605, "8000200000000405");
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x05040000u);
    QVERIFY(!transferActive(b.adapter));
    b.peer.send(0x585, "2000000000000000"); // a late answer changes nothing
    QVERIFY(b.peer.expectSilence(100));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(results.count(), 0);
}

void tst_SdoSegmentedClient::abortByHost()
{
    SdoWireBench b;
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    client.setSdoTimeout(50);
    QSignalSpy errors(&client, &SDOSegmentedClient::errorReceived);
    QCOMPARE(client.read(0x1008, 0), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4008100000000000");
    QCOMPARE(client.abort(0x08000000), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "8008100000000008");
    QCOMPARE(errors.count(), 1);
    QVERIFY(!transferActive(b.adapter));
    QVERIFY(b.peer.expectSilence(100)); // no timeout abort afterwards
    QCOMPARE(errors.count(), 1);
}

void tst_SdoSegmentedClient::roundTrip_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("fast");
    for (int n = 0; n <= 15; ++n)
        QTest::addRow("%d bytes", n) << n << false;
    for (int n : { 21, 22, 28, 29, 700, 701, 4096 })
        QTest::addRow("%d bytes", n) << n << false;
    for (int n : { 0, 7, 8, 15, 701, 4096 })
        QTest::addRow("%d bytes fast", n) << n << true;
}

void tst_SdoSegmentedClient::roundTrip()
{
    QFETCH(int, length);
    QFETCH(bool, fast);
    SdoSimBench b;
    b.node.od()->add(0x2100, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
    SDOSegmentedClient client(0x585, 0x605, &b.scheduler, nullptr);
    client.setFastSegmentedDownload(fast, 4);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QSignalSpy errors(&client, &SDOSegmentedClient::errorReceived);
    // Frames of the host not yet answered by the node: bounded by the fast download's limit.
    int inFlight = 0, maxInFlight = 0;
    connect(&b.adapter, &VirtualCanAdapter::frameSent, this,
        [&] { maxInFlight = qMax(maxInFlight, ++inFlight); });
    connect(&b.nodeAdapter, &VirtualCanAdapter::frameSent, this, [&] { --inFlight; });
    QByteArray data(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        data[i] = char(i * 7 + 1);
    QCOMPARE(client.write(0x2100, 0, data), CAN::RetType_OK);
    QTRY_COMPARE(results.count() + errors.count(), 1);
    QCOMPARE(errors.count(), 0);
    QVERIFY(!b.server.isTransferRunning());
    QCOMPARE(b.node.od()->value(0x2100, 0), data);
    QVERIFY(maxInFlight <= (fast && length > 7 ? 4 : 1));
    QVERIFY(!fast || length <= 14 || maxInFlight > 1);
    QCOMPARE(client.read(0x2100, 0), CAN::RetType_OK);
    QTRY_COMPARE(results.count() + errors.count(), 2);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(results.at(1).at(2).value<QVariant>().toByteArray(), data);
    QVERIFY(!transferActive(b.adapter));
}

QTEST_GUILESS_MAIN(tst_SdoSegmentedClient)
#include "tst_sdosegmentedclient.moc"
