#include "abstractcanadapter.h"
#include "recordingadapter.h"
#include "sdoclient.h"
#include "sdotestbench.h"
#include "simobjectdictionary.h"
#include "simsdogateway.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

class tst_SdoClient : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();

    void cobIds();
    void protocolChoice_data();
    void protocolChoice();
    void oneShotOverride();
    void abortTexts_data();
    void abortTexts();
    void dispatch_data();
    void dispatch();
    void refusedProtocols();
    void noScheduler();
    void adapterRefusals();
    void chainedReadsFromTheResultSlot();
    void busyRefusal();
    void abortAndTimeout();
    void megabyteAgainstSimulatedNode();
    void routingWire();
    void routingSilentGateway();
    void routingAbortingGateway();
    void routingThroughSimulatedGateway();
};

void tst_SdoClient::cleanup()
{
    SDOClient::mUseBlockTransfer = false;
    SDOClient::mBlockThreshold = 29;
    SDOClient::mUseUSDO = false;
    SDOClient::mFastSeg = false;
    SDOClient::mFastSegCnt = 0;
    SDOClient::mRoutingActive = false;
    SDOClient::mRoutingNetwork = 0;
    SDOClient::mRoutingGatewayInLocalNetwork = 0;
    CANopenService::mUseCANopenFD = false;
}

void tst_SdoClient::cobIds()
{
    SDOClient client;
    QCOMPARE(client.setNodeId(5), CAN::RetType_OK);
    quint32 server = 0, clientCob = 0;
    client.getCobIds(server, clientCob);
    QCOMPARE(server, 0x585u);
    QCOMPARE(clientCob, 0x605u);
    QCOMPARE(client.getSdoTimeout(), 2000u);
    QCOMPARE(SDOClient::mLocalId.load(), quint8(41));
}

void tst_SdoClient::protocolChoice_data()
{
    QTest::addColumn<bool>("usdo");
    QTest::addColumn<bool>("block");
    QTest::addColumn<int>("type");
    QTest::addColumn<uint>("size");
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("expected");
    auto row = [](const char *name, bool usdo, bool block, int type, uint size, int dir, SdoType t) {
        QTest::newRow(name) << usdo << block << type << size << dir << int(t);
    };
    row("u32 read", false, false, CAN::UNSIGNED32, 0, 0, SdoType_Expedited);
    row("bool write", false, true, CAN::BOOLEAN, 0, 2, SdoType_Expedited);
    row("i24", false, false, CAN::INTEGER24, 0, 0, SdoType_Expedited);
    row("u64", false, true, CAN::UNSIGNED64, 0, 0, SdoType_Segmented);
    row("time of day", false, false, CAN::TIME_OF_DAY, 0, 2, SdoType_Segmented);
    row("u48", false, false, CAN::UNSIGNED48, 0, 0, SdoType_Segmented);
    row("i40 none", false, false, CAN::INTEGER40, 0, 0, SdoType_None);
    row("real64 none", false, false, CAN::REAL64, 0, 0, SdoType_None);
    row("unicode none", false, false, CAN::UNICODE_STRING, 0, 0, SdoType_None);
    row("type 0 none", false, false, 0, 0, 0, SdoType_None);
    row("type 28 none", false, false, 28, 0, 0, SdoType_None);
    row("vs read", false, false, CAN::VISIBLE_STRING, 0, 0, SdoType_Segmented);
    row("vs read block", false, true, CAN::VISIBLE_STRING, 0, 0, SdoType_Block);
    row("vs write 3", false, false, CAN::VISIBLE_STRING, 3, 2, SdoType_Expedited);
    row("os write 4", false, true, CAN::OCTET_STRING, 4, 2, SdoType_Expedited);
    row("vs write 5", false, false, CAN::VISIBLE_STRING, 5, 2, SdoType_Segmented);
    row("vs write 0", false, false, CAN::VISIBLE_STRING, 0, 2, SdoType_Segmented);
    row("domain 28 block", false, true, CAN::DOMAIN, 28, 2, SdoType_Segmented);
    row("domain 29 block", false, true, CAN::DOMAIN, 29, 2, SdoType_Block);
    row("domain 40", false, false, CAN::DOMAIN, 40, 2, SdoType_Segmented);
    row("usdo u8", true, false, CAN::UNSIGNED8, 0, 0, SdoType_UsdoExpedited);
    row("usdo real64", true, false, CAN::REAL64, 0, 0, SdoType_UsdoExpedited);
    row("usdo vs", true, true, CAN::VISIBLE_STRING, 3, 2, SdoType_UsdoSegmented);
    row("usdo domain write", true, false, CAN::DOMAIN, 100, 2, SdoType_UsdoSegmented);
    row("usdo domain write block", true, true, CAN::DOMAIN, 1, 2, SdoType_UsdoBulk);
    row("usdo domain read block", true, true, CAN::DOMAIN, 0, 0, SdoType_UsdoSegmented);
    row("usdo type 40", true, false, 40, 0, 0, SdoType_UsdoSegmented);
}

void tst_SdoClient::protocolChoice()
{
    QFETCH(bool, usdo);
    QFETCH(bool, block);
    QFETCH(int, type);
    QFETCH(uint, size);
    QFETCH(int, direction);
    QFETCH(int, expected);
    SDOClient::mUseUSDO = usdo;
    SDOClient::mUseBlockTransfer = block;
    SDOClient client;
    QCOMPARE(
        int(client.getSdoTypefromDataType(CAN::CANopenDataType(type), size, quint8(direction))), expected);
}

void tst_SdoClient::oneShotOverride()
{
    SDOClient client;
    SDOClient::mUseBlockTransfer = true;
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_NoBlockOnce);
    // Fixed-size types do not consult the block rule: the override stays pending.
    QCOMPARE(client.getSdoTypefromDataType(CAN::UNSIGNED32, 0, 2), SdoType_Expedited);
    QCOMPARE(client.getSdoTypefromDataType(CAN::DOMAIN, 40, 2), SdoType_Segmented);
    QCOMPARE(client.getSdoTypefromDataType(CAN::DOMAIN, 40, 2), SdoType_Block);

    SDOClient::mUseBlockTransfer = false;
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    QCOMPARE(client.getSdoTypefromDataType(CAN::VISIBLE_STRING, 0, 0), SdoType_Block);
    QCOMPARE(client.getSdoTypefromDataType(CAN::VISIBLE_STRING, 0, 0), SdoType_Segmented);
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    QCOMPARE(client.getSdoTypefromDataType(CAN::DOMAIN, 10, 2), SdoType_Segmented); // below the threshold
    QCOMPARE(client.useBlockTransfer(0, 0), false); // used up

    // A write consumes the override even when the gateway transport is taken.
    RecordingAdapter adapter;
    adapter.setGateway(true);
    CanScheduler scheduler(&adapter);
    client.setCanScheduler(&scheduler);
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, QByteArray(40, 'x')), CAN::RetType_InvalidRequest);
    QCOMPARE(client.useBlockTransfer(0, 0), false);
}

void tst_SdoClient::abortTexts_data()
{
    QTest::addColumn<bool>("usdo");
    QTest::addColumn<uint>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("toggle") << false << 0x05030000u << "Toggle bit not alternated";
    QTest::newRow("timeout") << false << 0x05040000u << "SDO Protocol timed out";
    QTest::newRow("too low") << false << 0x06090032u << "Value of parameter written too lpw (download only).";
    QTest::newRow("network") << false << 0x0A000001u << "Network ID unknown";
    QTest::newRow("channel") << false << 0x0A000003u << "SDO Channel in use";
    QTest::newRow("unknown") << false << 0x06090033u << "unknown SDO abort code";
    QTest::newRow("usdo via classic")
        << true << 0x05040000u << "Error Code 84148224 \n No interpretation yet";
    QTest::newRow("usdo busy") << true << 0x70u << "USDO server busy";
}

void tst_SdoClient::abortTexts()
{
    QFETCH(bool, usdo);
    QFETCH(uint, code);
    QFETCH(QString, text);
    SDOClient::mUseUSDO = usdo;
    QCOMPARE(SDOClient::interpretSdoAbort(code), text);
    QCOMPARE(SDOClient::interpretUsdoAbort(0x112), QString("USDO time out error"));
}

void tst_SdoClient::dispatch_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("u16 expedited") << int(CAN::UNSIGNED16) << QVariant(1000)
                                   << QByteArray("2b171000e8030000");
    QTest::newRow("3-byte string") << int(CAN::VISIBLE_STRING) << QVariant(QByteArray("abc"))
                                   << QByteArray("2717100061626300");
    QTest::newRow("40-byte domain") << int(CAN::DOMAIN) << QVariant(QByteArray(40, 'd'))
                                    << QByteArray("2117100028000000");
    QTest::newRow("u64 number") << int(CAN::UNSIGNED64) << QVariant(Q_UINT64_C(0x0102030405060708))
                                << QByteArray("2117100008000000");
    QTest::newRow("string read") << int(CAN::VISIBLE_STRING) << QVariant() << QByteArray("4017100000000000");
}

void tst_SdoClient::dispatch()
{
    QFETCH(int, type);
    QFETCH(QVariant, value);
    QFETCH(QByteArray, request);
    SdoWireBench b;
    SDOClient client(0x585, 0x605, &b.scheduler);
    QSignalSpy opErrors(&client, &SDOClient::opError);
    const CAN::CANopenDataType t = CAN::CANopenDataType(type);
    QCOMPARE(
        value.isValid() ? client.write(0x1017, 0, t, value) : client.read(0x1017, 0, t), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, request.constData());
    QVERIFY(client.isBusy());
    QCOMPARE(opErrors.count(), 0);
}

void tst_SdoClient::refusedProtocols()
{
    SdoWireBench b;
    SDOClient client(0x585, 0x605, &b.scheduler);
    QSignalSpy opErrors(&client, &SDOClient::opError);
    SDOClient::mUseBlockTransfer = true; // block arrives later: refused for now
    QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, QByteArray(40, 'x')), CAN::RetType_InvalidRequest);
    QCOMPARE(client.read(0x2000, 0, CAN::VISIBLE_STRING), CAN::RetType_InvalidRequest);
    SDOClient::mUseBlockTransfer = false;
    QCOMPARE(client.read(0x2000, 0, CAN::REAL64), CAN::RetType_InvalidRequest);
    client.activateUSDO(true, 1);
    QVERIFY(CANopenService::mUseCANopenFD.load());
    QCOMPARE(client.read(0x2000, 0, CAN::UNSIGNED8), CAN::RetType_InvalidRequest);
    client.activateUSDO(false, 41);
    b.adapter.setCanAdapterOption(AdapterOption_CiA309Gateway, true);
    QCOMPARE(client.read(0x2000, 0, CAN::UNSIGNED8), CAN::RetType_InvalidRequest);
    QCOMPARE(opErrors.count(), 5);
    for (const auto &args : opErrors)
        QCOMPARE(args.at(2).value<CAN::RetType>(), CAN::RetType_InvalidRequest);
    QVERIFY(!client.isBusy());
    QVERIFY(b.peer.expectSilence(20));
}

void tst_SdoClient::noScheduler()
{
    SDOClient client;
    QSignalSpy opErrors(&client, &SDOClient::opError);
    QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
    QCOMPARE(client.write(0x1000, 0, CAN::UNSIGNED32, 1), CAN::RetType_NoLink);
    QCOMPARE(client.abort(0x08000000), CAN::RetType_InvalidRequest); // nothing started yet
    QCOMPARE(client.setCanScheduler(nullptr), CAN::RetType_NoLink);
    QCOMPARE(opErrors.count(), 0);

    RecordingAdapter adapter;
    auto *scheduler = new CanScheduler(&adapter);
    SDOClient orphan(0x585, 0x605, scheduler);
    delete scheduler;
    QCOMPARE(orphan.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
    QVERIFY(adapter.frames.isEmpty());
}

void tst_SdoClient::adapterRefusals()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SDOClient client(0x585, 0x605, &scheduler);
    QSignalSpy opErrors(&client, &SDOClient::opError);
    adapter.result = CAN::RetType_NotReady;
    QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NotReady);
    QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, QByteArray(10, 'x')), CAN::RetType_NoLink);
    QCOMPARE(adapter.getCanAdapterOption(AdapterOption_TransferActive).toBool(), false);
    QCOMPARE(opErrors.count(), 2);
    QCOMPARE(opErrors.at(0).at(2).value<CAN::RetType>(), CAN::RetType_NotReady);
    QCOMPARE(opErrors.at(1).at(2).value<CAN::RetType>(), CAN::RetType_NoLink);
    QVERIFY(!client.isBusy());
    adapter.result = CAN::RetType_OK;
    QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
}

void tst_SdoClient::chainedReadsFromTheResultSlot()
{
    SdoSimBench b;
    b.node.setIdentity(0x17A, 0x1234, 0x10002, 42);
    SDOClient client(0x585, 0x605, &b.scheduler);
    QList<uint> values;
    connect(&client, &SDOClient::resultReceived, this, [&](quint16, quint8 sub, const QVariant &v) {
        values.append(v.toUInt());
        if (sub < 4)
            QCOMPARE(client.read(0x1018, sub + 1, CAN::UNSIGNED32), CAN::RetType_OK);
    });
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    QTRY_COMPARE(values.size(), 4);
    QCOMPARE(values, (QList<uint> { 0x17A, 0x1234, 0x10002, 42 }));
}

void tst_SdoClient::busyRefusal()
{
    SdoWireBench b;
    SDOClient client(0x585, 0x605, &b.scheduler);
    QSignalSpy results(&client, &SDOClient::resultReceived);
    QSignalSpy opErrors(&client, &SDOClient::opError);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    QCOMPARE(client.read(0x1018, 2, CAN::UNSIGNED32), CAN::RetType_Busy);
    QCOMPARE(client.setNodeId(6), CAN::RetType_Busy);
    QCOMPARE(opErrors.count(), 1);
    QCOMPARE(opErrors.at(0).at(1).toUInt(), 2u);
    QCOMPARE(opErrors.at(0).at(2).value<CAN::RetType>(), CAN::RetType_Busy);
    EXPECT_FRAME(b.peer, 0x605, "4018100100000000");
    QVERIFY(b.peer.expectSilence(20));
    b.peer.send(0x585, "431810017a010000");
    QTRY_COMPARE(results.count(), 1);
    const QList<QVariant> &r = results.at(0);
    QCOMPARE(r.at(2).value<QVariant>(), QVariant(uint(0x17A)));
    QCOMPARE(r.at(3).toUInt(), 0x585u);
    QCOMPARE(r.at(4).toUInt(), 0x605u);
    QCOMPARE(r.at(5).toBool(), false);
    QVERIFY(!client.isBusy());
}

void tst_SdoClient::abortAndTimeout()
{
    SdoWireBench b;
    SDOClient client(0x585, 0x605, &b.scheduler);
    client.setSdoTimeout(50);
    QSignalSpy errors(&client, &SDOClient::errorReceived);
    QSignalSpy results(&client, &SDOClient::resultReceived);
    // Timeout: one error, one abort frame.
    QCOMPARE(client.read(0x1008, 0, CAN::VISIBLE_STRING), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4008100000000000");
    EXPECT_FRAME(b.peer, 0x605, "8008100000000405");
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x05040000u);
    QVERIFY(!client.isBusy());
    // Host abort of a running expedited transfer.
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4018100100000000");
    QCOMPARE(client.abort(0x08000021), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "8018100121000008");
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(1).at(2).toUInt(), 0x08000021u);
    QVERIFY(!client.isBusy());
    QVERIFY(b.peer.expectSilence(100));
    QCOMPARE(errors.count() + results.count(), 2);
}

void tst_SdoClient::megabyteAgainstSimulatedNode()
{
    SdoSimBench b;
    b.node.od()->add(0x2200, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
    SDOClient client(0x585, 0x605, &b.scheduler);
    QSignalSpy results(&client, &SDOClient::resultReceived);
    QSignalSpy errors(&client, &SDOClient::errorReceived);
    QSignalSpy progress(&client, &SDOClient::progress);
    QByteArray data(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 31) ^ (i >> 9));
    QCOMPARE(client.write(0x2200, 0, CAN::DOMAIN, data), CAN::RetType_OK);
    QTRY_COMPARE_WITH_TIMEOUT(results.count() + errors.count(), 1, 60000);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(b.node.od()->value(0x2200, 0), data);
    QCOMPARE(progress.count(), 100);
    QCOMPARE(progress.last().at(0).toInt(), 100);
    QCOMPARE(client.read(0x2200, 0, CAN::DOMAIN), CAN::RetType_OK);
    QTRY_COMPARE_WITH_TIMEOUT(results.count() + errors.count(), 2, 60000);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(results.at(1).at(2).value<QVariant>().toByteArray(), data);
    QCOMPARE(client.getCurrentlyReceivedData(), data);
}

void tst_SdoClient::routingWire()
{
    SdoWireBench b;
    b.peer.setResponder([](const CAN::CanRxMessage &m, BusPeer &peer) {
        if (m.id == 0x60A && m.data[0] == 0xE0)
            peer.send(0x58A, "e002000500000000");
        else if (m.id == 0x60A && m.data[0] == 0x40)
            peer.send(0x58A, "431810017a010000");
    });
    SDOClient client(0x585, 0x605, &b.scheduler);
    client.setSdoTimeout(500);
    client.setRouting(2, 10);
    client.setNodeId(5);
    QSignalSpy results(&client, &SDOClient::resultReceived);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>(), QVariant(uint(0x17A)));
    EXPECT_FRAME(b.peer, 0x60A, "e002000500000000");
    EXPECT_FRAME(b.peer, 0x60A, "4018100100000000");
    client.setRouting(0, 0); // back to the node's own channel
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4018100100000000");
}

void tst_SdoClient::routingSilentGateway()
{
    SdoWireBench b;
    SDOClient client(0x585, 0x605, &b.scheduler);
    client.setSdoTimeout(100);
    client.setRouting(2, 10);
    client.setNodeId(5);
    QSignalSpy errors(&client, &SDOClient::errorReceived);
    QSignalSpy opErrors(&client, &SDOClient::opError);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_NoLink);
    QVERIFY(clock.elapsed() >= 90);
    QCOMPARE(opErrors.count(), 1);
    QCOMPARE(opErrors.at(0).at(2).value<CAN::RetType>(), CAN::RetType_NoLink);
    QCOMPARE(errors.count(), 0);
    QVERIFY(client.isBusy());
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x05040000u);
    QVERIFY(!client.isBusy());
    EXPECT_FRAME(b.peer, 0x60A, "e002000500000000");
    QVERIFY(b.peer.expectSilence(50)); // no SDO request went out
    QCOMPARE(errors.count(), 1);
}

void tst_SdoClient::routingAbortingGateway()
{
    SdoWireBench b;
    b.peer.setResponder([](const CAN::CanRxMessage &m, BusPeer &peer) {
        if (m.id == 0x60A && m.data[0] == 0xE0)
            peer.send(0x58A, "800200050100000a");
    });
    SDOClient client(0x585, 0x605, &b.scheduler);
    client.setSdoTimeout(1000);
    client.setRouting(2, 10);
    client.setNodeId(5);
    QSignalSpy errors(&client, &SDOClient::errorReceived);
    QSignalSpy opErrors(&client, &SDOClient::opError);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(client.write(0x2000, 0, CAN::UNSIGNED8, 1), CAN::RetType_NoLink);
    QVERIFY(clock.elapsed() < 900); // the abort ends the wait early
    QCOMPARE(opErrors.count(), 1);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x0A000001u);
    QCOMPARE(SDOClient::interpretSdoAbort(errors.at(0).at(2).toUInt()), QString("Network ID unknown"));
    QVERIFY(!client.isBusy());
}

void tst_SdoClient::routingThroughSimulatedGateway()
{
    // The gateway node 10 on the local bus reaches node 5 of network 2.
    VirtualCanBus bus;
    VirtualCanAdapter hostAdapter(&bus), gatewayAdapter(&bus);
    SimCanopenNode gateway(&gatewayAdapter, 10);
    SimSdoServer gatewayServer(&gateway);
    SimSdoGateway router(&gatewayServer);
    SimObjectDictionary remote;
    remote.addValue(0x1018, 1, SimObjectDictionary::Unsigned32, SimObjectDictionary::ReadOnly, 0x17A);
    router.addRemoteNode(2, 5, &remote);
    gateway.powerOn();
    CanScheduler scheduler(&hostAdapter);

    SDOClient client(0x585, 0x605, &scheduler);
    client.setSdoTimeout(500);
    client.setRouting(2, 10);
    client.setNodeId(5);
    QSignalSpy results(&client, &SDOClient::resultReceived);
    QSignalSpy errors(&client, &SDOClient::errorReceived);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>(), QVariant(uint(0x17A)));
    QCOMPARE(router.indications(), 1);

    client.setRouting(3, 10); // a network the gateway does not know
    client.setNodeId(5);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_NoLink);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x0A000001u);

    client.setRouting(2, 10);
    router.setAbortCode(0x0A000003);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_NoLink);
    QTRY_COMPARE(errors.count(), 2);
    QCOMPARE(errors.at(1).at(2).toUInt(), 0x0A000003u);
    QCOMPARE(results.count(), 1);
}

QTEST_GUILESS_MAIN(tst_SdoClient)
#include "tst_sdoclient.moc"
