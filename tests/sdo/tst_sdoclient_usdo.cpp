// SDOClient on CANopen FD: the choice between USDO expedited, segmented and bulk, and the
// outcomes of the USDO clients reaching the host through the facade's signals.
#include "sdoclient.h"
#include "simnetwork.h"
#include "usdotestbench.h"

class tst_SdoClientUsdo : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void protocolChoice_data();
    void protocolChoice();
    void againstSimulatedNetwork();
    void broadcastToSeveralNodes();
    void schedulerGoneMidTransfer_data();
    void schedulerGoneMidTransfer();
};

void tst_SdoClientUsdo::cleanup()
{
    SDOClient::mUseBlockTransfer = false;
    SDOClient::mUseUSDO = false;
    SDOClient::mFastSeg = false;
    SDOClient::mFastSegCnt = 0;
    SDOClient::mRoutingActive = false;
    SDOClient::mRoutingNetwork = 0;
    SDOClient::mRoutingGatewayInLocalNetwork = 0;
    CANopenService::mUseCANopenFD = false;
}

// The first frame tells the protocol by its command (0x01 expedited, 0x02 segmented and 0x06
// bulk download). Both uploads start with 0x11; the answer "segmented upload follows" then
// makes the segmented client ask for a segment (0x13) and the expedited one abort (0x7F).
void tst_SdoClientUsdo::protocolChoice_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("block"); // 0 off, 1 on, 2 block once, 3 on but no block once
    QTest::addColumn<QByteArray>("commands");
    auto row = [](const char *name, bool write, CAN::CANopenDataType type, const QVariant &value, int block,
                   const char *commands) {
        QTest::newRow(name) << write << int(type) << value << block << QByteArray::fromHex(commands);
    };
    row("read u8: expedited", false, CAN::UNSIGNED8, {}, 0, "117f");
    row("read string: segmented", false, CAN::VISIBLE_STRING, {}, 0, "1113");
    row("write u64 number: expedited", true, CAN::UNSIGNED64, qulonglong(1) << 40, 0, "01");
    row("write 56-byte string: expedited", true, CAN::VISIBLE_STRING, QByteArray(56, 's'), 0, "01");
    row("write 57-byte string: segmented", true, CAN::VISIBLE_STRING, QByteArray(57, 's'), 1, "02");
    row("write domain: segmented", true, CAN::DOMAIN, QByteArray(100, 'd'), 0, "02");
    row("write domain, block once: bulk", true, CAN::DOMAIN, QByteArray(100, 'd'), 2, "06");
    row("write domain, block on, no block once: segmented", true, CAN::DOMAIN, QByteArray(100, 'd'), 3, "02");
}

void tst_SdoClientUsdo::protocolChoice()
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
    b.client.setSdoTimeout(100);
    SDOClient::mUseBlockTransfer = block == 1 || block == 3;
    if (block >= 2)
        b.client.setTemporaryBlockHandling(
            block == 2 ? SDOClient::BlockHandling_BlockOnce : SDOClient::BlockHandling_NoBlockOnce);
    const auto t = CAN::CANopenDataType(type);
    QCOMPARE(write ? b.client.write(0x2000, 0, t, value) : b.client.read(0x2000, 0, t), CAN::RetType_OK);
    QVERIFY(b.client.isBusy());
    CAN::CanRxMessage first = b.peer.takeFrame();
    QCOMPARE(first.id, 0x629u);
    QVERIFY(first.fd);
    QCOMPARE(first.data[1], quint8(commands.at(0)));
    if (type == CAN::UNSIGNED64 && write) // numbers of the long types go as their little-endian bytes
        QCOMPARE(first.payload().mid(6, 10).toHex(), QByteArray("1b080000000000010000"));
    if (commands.size() > 1) {
        b.peer.send(0x585,
            QByteArray::fromHex("2932") + first.payload().mid(2, 4) + QByteArray::fromHex("0f00ff000000"));
        QCOMPARE(b.peer.takeFrame().data[1], quint8(commands.at(1)));
    }
    QCOMPARE(b.client.abort(0), CAN::RetType_OK); // ends it locally
    QVERIFY(!b.client.isBusy());
}

namespace {
/// The host's CAN FD adapter and scheduler and a simulated CANopen FD network on one bus.
struct FdNetwork
{
    VirtualCanBus bus;
    VirtualCanAdapter hostAdapter { &bus };
    VirtualCanAdapter simAdapter { &bus };
    SimNetwork network { &simAdapter };
    CanScheduler scheduler { &hostAdapter };
    FdNetwork()
    {
        hostAdapter.setCanFdCapable(true);
        simAdapter.setCanFdCapable(true);
        network.setCanFd(true);
    }
};
} // namespace

void tst_SdoClientUsdo::againstSimulatedNetwork()
{
    FdNetwork net;
    net.network.addDefaultDevices();
    net.network.powerOn();
    SDOClient client;
    client.setCanScheduler(&net.scheduler);
    client.setNodeId(2);
    client.activateUSDO(true, 0x29);
    client.setSdoTimeout(200);
    QSignalSpy results(&client, &SDOClient::resultReceived);
    QSignalSpy errors(&client, &SDOClient::errorReceived);
    QSignalSpy opErrors(&client, &SDOClient::opError);

    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    QCOMPARE(client.read(0x1018, 2, CAN::UNSIGNED32), CAN::RetType_Busy);
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>().toUInt(), 0x4B1u);
    QCOMPARE(results.at(0).at(3).toUInt(), 0x582u);
    QCOMPARE(opErrors.count(), 1);

    const QByteArray data = usdoPattern(700);
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    QCOMPARE(client.write(0x1F50, 1, CAN::DOMAIN, data), CAN::RetType_OK); // bulk
    QTRY_COMPARE(results.count(), 2);
    QCOMPARE(client.read(0x1F50, 1, CAN::DOMAIN), CAN::RetType_OK); // segmented
    QTRY_COMPARE(results.count(), 3);
    QCOMPARE(results.at(2).at(2).value<QVariant>().toByteArray(), data);

    QCOMPARE(client.write(0x1008, 0, CAN::VISIBLE_STRING, QByteArray("new name")), CAN::RetType_OK);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x32u);
    QCOMPARE(SDOClient::interpretSdoAbort(0x32), QStringLiteral("Attempt to write a read only object"));
    QVERIFY(!client.isBusy());
    QCOMPARE(results.count(), 3);
}

// Each node answers its own vendor-ID; a node that refuses does not end the collection.
void tst_SdoClientUsdo::broadcastToSeveralNodes()
{
    const QList<int> nodes = { 4, 9, 100 };
    FdNetwork net;
    for (int id : nodes)
        net.network.addNode(
            { quint8(id), QStringLiteral("node"), 0, 0x1000u + quint32(id), 0, 0, 0, 0, 0, false, 0 });
    SimUsdoServer::Script refuse;
    refuse.abortCode = 0x33;
    net.network.addNode({ 60, QStringLiteral("refusing"), 0, 0, 0, 0, 0, 0, 0, false, 0 })
        ->findChild<SimUsdoServer *>()
        ->setDefaultScript(refuse);
    net.network.powerOn();
    SDOClient client(0x580, 0x600, &net.scheduler); // node-ID 0: all nodes
    client.activateUSDO(true, 0x29);
    client.setSdoTimeout(100);
    QSignalSpy answers(&client, &SDOClient::broadcastResultReceived);
    QSignalSpy finished(&client, &SDOClient::broadcastRequestFinished);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    QTRY_COMPARE(finished.count(), 1);
    QList<int> got;
    for (const QList<QVariant> &a : qAsConst(answers)) {
        QCOMPARE(a.at(3).value<QVariant>().toInt(), 0x1000 + a.at(0).toInt());
        got << a.at(0).toInt();
    }
    std::sort(got.begin(), got.end());
    QCOMPARE(got, nodes);
    QVERIFY(!client.isBusy());
}

void tst_SdoClientUsdo::schedulerGoneMidTransfer_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<int>("type");
    QTest::newRow("expedited") << false << int(CAN::UNSIGNED32);
    QTest::newRow("segmented") << false << int(CAN::VISIBLE_STRING);
    QTest::newRow("bulk") << true << int(CAN::DOMAIN);
}

// The host destroys the scheduler while a request runs: the request still ends, once, with
// the USDO timeout.
void tst_SdoClientUsdo::schedulerGoneMidTransfer()
{
    QFETCH(bool, write);
    QFETCH(int, type);
    VirtualCanBus bus;
    VirtualCanAdapter adapter(&bus);
    adapter.setCanFdCapable(true);
    auto *scheduler = new CanScheduler(&adapter);
    SDOClient client(0x585, 0x605, scheduler);
    client.activateUSDO(true, 0x29);
    client.setSdoTimeout(50);
    client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    QSignalSpy errors(&client, &SDOClient::errorReceived);
    const auto t = CAN::CANopenDataType(type);
    QCOMPARE(write ? client.write(0x2000, 0, t, QByteArray(200, 'x')) : client.read(0x2000, 0, t),
        CAN::RetType_OK);
    delete scheduler;
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toInt(), 0x12);
    QTest::qWait(100); // nothing more follows
    QCOMPARE(errors.count(), 1);
    QVERIFY(!client.isBusy());
}

QTEST_GUILESS_MAIN(tst_SdoClientUsdo)
#include "tst_sdoclient_usdo.moc"
