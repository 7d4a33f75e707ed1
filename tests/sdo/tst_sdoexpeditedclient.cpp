#include "abstractcanadapter.h"
#include "recordingadapter.h"
#include "sdoexpeditedclient.h"
#include "sdotestbench.h"

#include <QSignalSpy>
#include <QTest>

class tst_SdoExpeditedClient : public QObject
{
    Q_OBJECT
private slots:
    void upload_data();
    void upload();
    void download_data();
    void download();
    void refusals();
    void adapterRefusal();
    void busyRefusesEverything();
    void foreignAnswersIgnoredUntilTimeout();
    void segmentedAnnouncement();
    void serverAbort();
    void unsupervisedWithTimeoutZero();
    void abortByHost();
    void extendedFrames();
};

void tst_SdoExpeditedClient::upload_data()
{
    QTest::addColumn<CAN::CANopenDataType>("type");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("u16") << CAN::UNSIGNED16 << QByteArray("4b00200134120000") << QVariant(int(0x1234));
    QTest::newRow("i8 -1") << CAN::INTEGER8 << QByteArray("43002001ffffffff") << QVariant(int(-1));
    QTest::newRow("u32 max") << CAN::UNSIGNED32 << QByteArray("43002001ffffffff")
                             << QVariant(uint(4294967295u));
    QTest::newRow("u8") << CAN::UNSIGNED8 << QByteArray("4f002001ff000000") << QVariant(int(255));
    QTest::newRow("i16") << CAN::INTEGER16 << QByteArray("4b002001feff0000") << QVariant(int(-2));
    QTest::newRow("i32") << CAN::INTEGER32 << QByteArray("43002001feffffff") << QVariant(int(-2));
    QTest::newRow("bool 1") << CAN::BOOLEAN << QByteArray("4f00200101000000") << QVariant(int(1));
    QTest::newRow("bool 0") << CAN::BOOLEAN << QByteArray("4f00200100000000") << QVariant(int(0));
    QTest::newRow("real32") << CAN::REAL32 << QByteArray("430020010000c03f") << QVariant(1.5f);
    QTest::newRow("i24 min") << CAN::INTEGER24 << QByteArray("4700200100008000") << QVariant(int(-8388608));
    QTest::newRow("i24 max") << CAN::INTEGER24 << QByteArray("47002001ffff7f00") << QVariant(int(8388607));
    QTest::newRow("u24") << CAN::UNSIGNED24 << QByteArray("47002001ffffff00") << QVariant(uint(0xFFFFFF));
    // The size bits are not consulted: the type decides.
    QTest::newRow("u16 from 43") << CAN::UNSIGNED16 << QByteArray("4300200134127856")
                                 << QVariant(int(0x1234));
}

void tst_SdoExpeditedClient::upload()
{
    QFETCH(CAN::CANopenDataType, type);
    QFETCH(QByteArray, answer);
    QFETCH(QVariant, value);
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOExpeditedClient::resultReceived);
    QCOMPARE(client.read(0x2000, 1, type), CAN::RetType_OK);
    const CAN::CanRxMessage request = b.peer.takeFrame();
    QCOMPARE(request.id, 0x605u);
    QCOMPARE(frameHex(request), QByteArray("4000200100000000"));
    QVERIFY(!request.extended && !request.fd && !request.bitRateSwitch && !request.remote);
    b.peer.send(0x585, answer.constData());
    QTRY_COMPARE(results.count(), 1);
    const QVariant got = results.at(0).at(2).value<QVariant>();
    QCOMPARE(got.userType(), value.userType());
    QCOMPARE(got, value);
    QCOMPARE(results.at(0).at(0).toInt(), 0x2000);
    QVERIFY(!client.isBusy());
}

void tst_SdoExpeditedClient::download_data()
{
    QTest::addColumn<CAN::CANopenDataType>("type");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("bool") << CAN::BOOLEAN << QVariant(true) << QByteArray("2200300201000000");
    QTest::newRow("i8 -1") << CAN::INTEGER8 << QVariant(-1) << QByteArray("2f003002ffffffff");
    QTest::newRow("u8") << CAN::UNSIGNED8 << QVariant(0x12) << QByteArray("2f00300212000000");
    QTest::newRow("i16") << CAN::INTEGER16 << QVariant(1000) << QByteArray("2b003002e8030000");
    QTest::newRow("u16") << CAN::UNSIGNED16 << QVariant(0xBEEF) << QByteArray("2b003002efbe0000");
    QTest::newRow("i24") << CAN::INTEGER24 << QVariant(-2) << QByteArray("27003002feffffff");
    QTest::newRow("u24") << CAN::UNSIGNED24 << QVariant(0x123456) << QByteArray("2700300256341200");
    QTest::newRow("i32") << CAN::INTEGER32 << QVariant(-2) << QByteArray("23003002feffffff");
    QTest::newRow("u32") << CAN::UNSIGNED32 << QVariant(0x12345678u) << QByteArray("2300300278563412");
    QTest::newRow("real32") << CAN::REAL32 << QVariant(1.5) << QByteArray("230030020000c03f");
    QTest::newRow("vs 1") << CAN::VISIBLE_STRING << QVariant(QByteArray("a"))
                          << QByteArray("2f00300261000000");
    QTest::newRow("vs 3") << CAN::VISIBLE_STRING << QVariant(QString("abc"))
                          << QByteArray("2700300261626300");
    QTest::newRow("os 2") << CAN::OCTET_STRING << QVariant(QByteArray("\x01\x02"))
                          << QByteArray("2b00300201020000");
    QTest::newRow("domain 4") << CAN::DOMAIN << QVariant(QByteArray("wxyz"))
                              << QByteArray("230030027778797a");
}

void tst_SdoExpeditedClient::download()
{
    QFETCH(CAN::CANopenDataType, type);
    QFETCH(QVariant, value);
    QFETCH(QByteArray, request);
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOExpeditedClient::resultReceived);
    QCOMPARE(client.write(0x3000, 2, type, value), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, request.constData());
    b.peer.send(0x585, "6000300200000000");
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>(), value);
}

void tst_SdoExpeditedClient::refusals()
{
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QCOMPARE(client.read(0x1000, 0, CAN::VISIBLE_STRING), CAN::RetType_InvalidRequest);
    QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED64), CAN::RetType_InvalidRequest);
    QCOMPARE(client.write(0x1000, 0, CAN::UNSIGNED64, 1), CAN::RetType_InvalidRequest);
    QCOMPARE(client.write(0x1000, 0, CAN::VISIBLE_STRING, QByteArray("12345")), CAN::RetType_InvalidRequest);
    QCOMPARE(client.write(0x1000, 0, CAN::DOMAIN, QByteArray()), CAN::RetType_InvalidRequest);
    QVERIFY(b.peer.expectSilence(20));

    SDOExpeditedClient unlinked(0x585, 0x605, nullptr, nullptr);
    QCOMPARE(unlinked.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
    QCOMPARE(unlinked.write(0x1000, 0, CAN::UNSIGNED32, 1), CAN::RetType_NoLink);
    auto *gone = new CanScheduler(&b.adapter);
    SDOExpeditedClient orphan(0x585, 0x605, gone, nullptr);
    delete gone;
    QCOMPARE(orphan.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
}

void tst_SdoExpeditedClient::adapterRefusal()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    SDOExpeditedClient client(0x585, 0x605, &scheduler, nullptr);
    adapter.result = CAN::RetType_NotReady;
    QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NotReady); // upload: the adapter's code
    QVERIFY(!client.isBusy());
    QCOMPARE(client.write(0x1000, 0, CAN::UNSIGNED32, 1), CAN::RetType_NoLink); // download: 6
    QVERIFY(!client.isBusy());
    adapter.result = CAN::RetType_OK;
    QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
}

void tst_SdoExpeditedClient::busyRefusesEverything()
{
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy results(&client, &SDOExpeditedClient::resultReceived);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4018100100000000");
    QCOMPARE(client.write(0x1017, 0, CAN::UNSIGNED16, 5), CAN::RetType_Busy);
    QCOMPARE(client.read(0x1017, 0, CAN::UNSIGNED16), CAN::RetType_Busy);
    QCOMPARE(client.setCobIds(0x586, 0x606, false), CAN::RetType_Busy);
    QCOMPARE(client.setSdoTimeout(10), CAN::RetType_Busy);
    QCOMPARE(client.setCanScheduler(nullptr), CAN::RetType_Busy);
    QVERIFY(b.peer.expectSilence(20));
    b.peer.send(0x585, "431810017a010000");
    QTRY_COMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(2).value<QVariant>(), QVariant(uint(0x17A)));
}

void tst_SdoExpeditedClient::foreignAnswersIgnoredUntilTimeout()
{
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    client.setSdoTimeout(100);
    QSignalSpy results(&client, &SDOExpeditedClient::resultReceived);
    QSignalSpy errors(&client, &SDOExpeditedClient::errorReceived);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4018100100000000");
    b.peer.send(0x585, "4318100278563412"); // other sub-index
    b.peer.send(0x585, "4319100178563412"); // other index
    b.peer.send(0x586, "4318100178563412"); // other node
    b.peer.send(0x585, "43181001"); // too short
    b.peer.send(0x585, "0018100100000000"); // no known command
    EXPECT_FRAME(b.peer, 0x605, "8018100100000405"); // the timeout's abort
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x05040000u);
    QVERIFY(b.peer.expectSilence(150));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(results.count(), 0);
}

void tst_SdoExpeditedClient::segmentedAnnouncement()
{
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy errors(&client, &SDOExpeditedClient::errorReceived);
    QCOMPARE(client.read(0x1008, 0, CAN::UNSIGNED32), CAN::RetType_OK);
    b.peer.send(0x585, "4108100010000000");
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x08000000u);
    QVERIFY(!client.isBusy());
}

void tst_SdoExpeditedClient::serverAbort()
{
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QSignalSpy errors(&client, &SDOExpeditedClient::errorReceived);
    QCOMPARE(client.write(0x6000, 3, CAN::UNSIGNED8, 1), CAN::RetType_OK);
    b.peer.send(0x585, "8000600302000106");
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toUInt(), 0x6000u);
    QCOMPARE(errors.at(0).at(1).toUInt(), 3u);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x06010002u);
}

void tst_SdoExpeditedClient::unsupervisedWithTimeoutZero()
{
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QCOMPARE(client.setSdoTimeout(0), CAN::RetType_OK);
    QSignalSpy results(&client, &SDOExpeditedClient::resultReceived);
    QSignalSpy errors(&client, &SDOExpeditedClient::errorReceived);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    QVERIFY(!client.isBusy());
    EXPECT_FRAME(b.peer, 0x605, "4018100100000000");
    b.peer.send(0x585, "431810017a010000");
    QVERIFY(b.peer.expectSilence(30));
    QCOMPARE(results.count() + errors.count(), 0);
}

void tst_SdoExpeditedClient::abortByHost()
{
    SdoWireBench b;
    b.adapter.setCanAdapterOption(AdapterOption_TransferActive, true);
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    client.setSdoTimeout(50);
    QSignalSpy errors(&client, &SDOExpeditedClient::errorReceived);
    QCOMPARE(client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4018100100000000");
    QCOMPARE(client.abort(0), CAN::RetType_OK); // silent: no frame, no signal, no timeout later
    QVERIFY(!client.isBusy());
    QVERIFY(b.peer.expectSilence(100));
    QCOMPARE(errors.count(), 0);

    QCOMPARE(client.read(0x1018, 2, CAN::UNSIGNED32), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "4018100200000000");
    QCOMPARE(client.abort(0x08000020), CAN::RetType_OK);
    EXPECT_FRAME(b.peer, 0x605, "8018100220000008");
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toUInt(), 0x08000020u);
    QCOMPARE(b.adapter.getCanAdapterOption(AdapterOption_TransferActive).toBool(), false);
    QVERIFY(b.peer.expectSilence(100));
    QCOMPARE(errors.count(), 1);
}

void tst_SdoExpeditedClient::extendedFrames()
{
    SdoWireBench b;
    SDOExpeditedClient client(0x585, 0x605, &b.scheduler, nullptr);
    QCOMPARE(client.setCobIds(0x10000585, 0x10000605, true), CAN::RetType_OK);
    QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
    const CAN::CanRxMessage m = b.peer.takeFrame();
    QCOMPARE(m.id, 0x10000605u);
    QVERIFY(m.extended);
}

QTEST_GUILESS_MAIN(tst_SdoExpeditedClient)
#include "tst_sdoexpeditedclient.moc"
