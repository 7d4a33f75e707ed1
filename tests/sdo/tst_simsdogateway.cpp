#include "buspeer.h"
#include "sdotestbench.h"
#include "simobjectdictionary.h"
#include "simsdogateway.h"

#include <QTest>

class tst_SimSdoGateway : public QObject
{
    Q_OBJECT
private slots:
    void indications_data();
    void indications();
    void silentGateway();
};

void tst_SimSdoGateway::indications_data()
{
    QTest::addColumn<quint32>("scriptedCode");
    QTest::addColumn<QByteArray>("indication");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("routedAnswer");
    QTest::newRow("confirm") << 0u << QByteArray("e002000500000000") << QByteArray("e002000500000000")
                             << QByteArray("431810017a010000");
    QTest::newRow("network unknown") << 0u << QByteArray("e003000500000000") << QByteArray("800300050100000a")
                                     << QByteArray("4318100101000000");
    QTest::newRow("node unknown") << 0u << QByteArray("e002000600000000") << QByteArray("800200060200000a")
                                  << QByteArray("4318100101000000");
    QTest::newRow("channel in use") << 0x0A000003u << QByteArray("e002000500000000")
                                    << QByteArray("800200050300000a") << QByteArray("4318100101000000");
}

void tst_SimSdoGateway::indications()
{
    QFETCH(quint32, scriptedCode);
    QFETCH(QByteArray, indication);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, routedAnswer);
    VirtualCanBus bus;
    VirtualCanAdapter gatewayAdapter(&bus);
    SimCanopenNode gateway(&gatewayAdapter, 10);
    gateway.setIdentity(1, 0, 0, 0);
    SimSdoServer server(&gateway);
    SimSdoGateway router(&server);
    SimObjectDictionary remote;
    remote.addValue(0x1018, 1, SimObjectDictionary::Unsigned32, SimObjectDictionary::ReadOnly, 0x17A);
    router.addRemoteNode(2, 5, &remote);
    router.setAbortCode(scriptedCode);
    BusPeer peer(&bus);
    gateway.powerOn();
    peer.takeFrame(); // boot-up

    peer.send(0x60A, indication.constData());
    EXPECT_FRAME(peer, 0x58A, answer.constData());
    QCOMPARE(router.indications(), 1);
    // Requests on the gateway's channel reach the routed node once confirmed, else the gateway.
    peer.send(0x60A, "4018100100000000");
    EXPECT_FRAME(peer, 0x58A, routedAnswer.constData());
}

void tst_SimSdoGateway::silentGateway()
{
    VirtualCanBus bus;
    VirtualCanAdapter gatewayAdapter(&bus);
    SimCanopenNode gateway(&gatewayAdapter, 10);
    SimSdoServer server(&gateway);
    SimSdoGateway router(&server);
    router.setSilent(true);
    BusPeer peer(&bus);
    gateway.powerOn();
    peer.takeFrame();
    peer.send(0x60A, "e002000500000000");
    QVERIFY(peer.expectSilence(50));
    QCOMPARE(router.indications(), 1);
}

QTEST_GUILESS_MAIN(tst_SimSdoGateway)
#include "tst_simsdogateway.moc"
