#include "usdoexpeditedclient.h"
#include "usdotestbench.h"

class tst_UsdoExpeditedClient : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data();
    void transcript();
    void sessionCounterWraps();
    void broadcastOutlivesAWrongAnswer();
    void refusalsAndHostAbort();
    void routedAgainstSimulatedGateway_data();
    void routedAgainstSimulatedGateway();
};

// Reads go to 0x1000:0, writes to 0x1017:0. Routed rows go through gateway 7 into network 2.
void tst_UsdoExpeditedClient::transcript_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<bool>("routed");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("outcome");
    auto read = [](const char *name, CAN::CANopenDataType type, bool routed, const char *script,
                    const char *outcome) {
        QTest::newRow(name) << false << routed << int(type) << QVariant() << QByteArray(script)
                            << QByteArray(outcome);
    };
    auto write = [](const char *name, CAN::CANopenDataType type, const QVariant &value, bool routed,
                     const char *script, const char *outcome) {
        QTest::newRow(name) << true << routed << int(type) << value << QByteArray(script)
                            << QByteArray(outcome);
    };
    read("upload u32", CAN::UNSIGNED32, false, ">051100000010 <293100000010070478563412",
        "1000/0 uint 305419896");
    read("upload, the server names another type", CAN::UNSIGNED32, false,
        ">051100000010 <29310000001006023412", "1000/0 ushort 4660 faulty");
    read("upload string", CAN::VISIBLE_STRING, false, ">051100000010 <29310000001009054142434445",
        "1000/0 QByteArray 4142434445");
    read("wrong session, destination, sub-index, index and node are ignored", CAN::UNSIGNED32, false,
        ">051100000010 <293101000010070401000000 <283100000010070402000000 <293100000110070403000000 "
        "<293100000001070404000000 <586:293100000010070405000000 <293100000010070406000000",
        "1000/0 uint 6");
    read("server abort", CAN::UNSIGNED32, false, ">051100000010 <297f0000001033", "1000/0 33");
    read("unknown answer", CAN::UNSIGNED32, false, ">051100000010 <2925000000100000 >057f0000001013",
        "1000/0 13");
    read("timeout", CAN::UNSIGNED32, false, ">051100000010 >057f0000001012", "1000/0 12");
    write("download u16", CAN::UNSIGNED16, 1000, false, ">0501000017100602e803cccc <2921000017100000",
        "1017/0 int 1000");
    write("download 10-byte string", CAN::VISIBLE_STRING, QByteArray("ABCDEFGHIJ"), false,
        ">050100001710090a4142434445464748494acccc <2921000017100000",
        "1017/0 QByteArray 4142434445464748494a");
    write("download, server abort", CAN::UNSIGNED16, 1000, false, ">0501000017100602e803cccc <297f0000171032",
        "1017/0 32");
    // Routed: the header carries the route, the object and value four bytes later; answers
    // come from the gateway.
    read("routed upload", CAN::UNSIGNED32, true,
        ">079100020501290000100000 <587:29b10001290205000010070478563412", "1000/0 uint 305419896");
    read("routed upload, wrong object ignored", CAN::UNSIGNED32, true,
        ">079100020501290000100000 <587:29b10001290205000110070401000000 "
        "<587:29b10001290205000010070402000000",
        "1000/0 uint 2");
    read("routed upload, gateway abort", CAN::UNSIGNED32, true,
        ">079100020501290000100000 <587:29ff00012902050000101a", "1000/0 1a");
    write("routed download", CAN::UNSIGNED16, 1000, true,
        ">078100020501290017100602e803cccc <587:29a100012902050017100000", "1017/0 int 1000");
}

void tst_UsdoExpeditedClient::transcript()
{
    QFETCH(bool, write);
    QFETCH(bool, routed);
    QFETCH(int, type);
    QFETCH(QVariant, value);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, outcome);
    UsdoClientBench<USDOExpeditedClient> b;
    b.client.setSdoTimeout(100);
    b.client.setRouting(routed, 7, 2, 5);
    const auto t = CAN::CANopenDataType(type);
    QCOMPARE(write ? b.client.write(0x1017, 0, t, value) : b.client.read(0x1000, 0, t), CAN::RetType_OK);
    PLAY(b, script);
    QTRY_COMPARE(b.results.count() + b.errors.count(), 1);
    QCOMPARE(b.outcome(), outcome);
    QVERIFY(b.peer.expectSilence(20));
    QVERIFY(!b.client.isBusy());
}

void tst_UsdoExpeditedClient::sessionCounterWraps()
{
    UsdoClientBench<USDOExpeditedClient> b;
    QByteArray sessions;
    b.peer.setResponder([&](const CAN::CanRxMessage &m, BusPeer &peer) {
        sessions += char(m.data[2]);
        QByteArray answer = QByteArray::fromHex("293100000010070400000000");
        answer[2] = char(m.data[2]);
        answer[8] = char(m.data[2]);
        peer.send(0x585, answer);
    });
    for (int i = 0; i < 258; ++i) {
        QCOMPARE(b.client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
        QTRY_COMPARE(b.results.count(), i + 1);
        QCOMPARE(b.results.last().at(2).value<QVariant>().toUInt(), uint(i & 0xFF));
    }
    QCOMPARE(sessions.left(2), QByteArray::fromHex("0001"));
    QCOMPARE(sessions.mid(254), QByteArray::fromHex("feff0001"));
    QCOMPARE(b.errors.count(), 0);
}

// One node answering a broadcast with something else (a download answer) neither ends nor stalls
// the collection: the other node's value arrives and the broadcast finishes once, at the timeout.
void tst_UsdoExpeditedClient::broadcastOutlivesAWrongAnswer()
{
    UsdoClientBench<USDOExpeditedClient> b(0);
    QSignalSpy answers(&b.client, &USDOExpeditedClient::broadcastResultReceived);
    QSignalSpy finished(&b.client, &USDOExpeditedClient::broadcastRequestFinished);
    b.client.setSdoTimeout(50);
    QCOMPARE(b.client.read(0x2000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
    QCOMPARE(b.peer.takeFrame().id, 0x629u);
    b.peer.send(0x585, QByteArray::fromHex("2922000000200000"));
    b.peer.send(0x586, QByteArray::fromHex("293100000020070478010000"));
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(answers.count(), 1);
    QCOMPARE(answers.at(0).at(0).toUInt(), 6u);
    QCOMPARE(b.results.count() + b.errors.count(), 0);
    QVERIFY(!b.client.isBusy());
}

void tst_UsdoExpeditedClient::refusalsAndHostAbort()
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

    QCOMPARE(b.client.write(0x2000, 0, CAN::UNSIGNED40, QByteArray::fromHex("0102030405")), CAN::RetType_OK);
    QCOMPARE(b.client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_Busy);
    QCOMPARE(b.client.setNodeIds(0x29, 6), CAN::RetType_Busy);
    QCOMPARE(b.client.abort(0x30), CAN::RetType_OK);
    // The refused request above used session 0.
    PLAY(b, ">05010100002018050102030405cccccc >057f0100002030 <2921010000200000");
    QVERIFY(b.peer.expectSilence(20));
    QCOMPARE(b.outcome(), QByteArray("2000/0 30")); // the late answer finds the client idle
}

void tst_UsdoExpeditedClient::routedAgainstSimulatedGateway_data()
{
    QTest::addColumn<int>("network");
    QTest::addColumn<int>("node");
    QTest::addColumn<QByteArray>("outcome");
    QTest::newRow("routed read") << 2 << 9 << QByteArray("1018/2 uint 4660");
    QTest::newRow("unknown node") << 2 << 8 << QByteArray("1018/2 1b");
    QTest::newRow("unknown network") << 3 << 9 << QByteArray("1018/2 1a");
}

void tst_UsdoExpeditedClient::routedAgainstSimulatedGateway()
{
    QFETCH(int, network);
    QFETCH(int, node);
    QFETCH(QByteArray, outcome);
    // Node 5 is a gateway into network 2, where node 9 lives.
    UsdoSimBench sim;
    SimObjectDictionary remote;
    remote.addRecord(
        0x1018, { { SimObjectDictionary::Unsigned32, 1 }, { SimObjectDictionary::Unsigned32, 0x1234 } });
    sim.server.setRoutedNode(2, 9, &remote);
    USDOExpeditedClient client(0x29, quint8(node), &sim.scheduler, nullptr);
    QSignalSpy results(&client, &USDOExpeditedClient::resultReceived);
    QSignalSpy errors(&client, &USDOExpeditedClient::errorReceived);
    client.setRouting(true, 5, quint8(network), quint8(node));
    QCOMPARE(client.read(0x1018, 2, CAN::UNSIGNED32), CAN::RetType_OK);
    QTRY_COMPARE(results.count() + errors.count(), 1);
    QCOMPARE(usdoOutcome(results, errors), outcome);
    // A routed write arrives in the remote node's dictionary.
    if (errors.isEmpty()) {
        remote.add(
            0x2001, 0, SimObjectDictionary::Unsigned16, SimObjectDictionary::ReadWrite, QByteArray(2, 0));
        QCOMPARE(client.write(0x2001, 0, CAN::UNSIGNED16, 0xBEEF), CAN::RetType_OK);
        QTRY_COMPARE(results.count(), 2);
        QCOMPARE(remote.unsignedValue(0x2001, 0), quint64(0xBEEF));
    }
}

QTEST_GUILESS_MAIN(tst_UsdoExpeditedClient)
#include "tst_usdoexpeditedclient.moc"
