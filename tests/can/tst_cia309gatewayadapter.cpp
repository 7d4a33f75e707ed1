// The TCP adapter of a CiA 309-3 gateway against a local TCP server playing the gateway.
#include "canscheduler.h"
#include "cia309gatewayadapter.h"
#include "lssmaster.h"
#include "sdoclient.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

class tst_CiA309GatewayAdapter : public QObject
{
    Q_OBJECT

    struct Link
    {
        Link()
        {
            QVERIFY(server.listen(QHostAddress::LocalHost));
            QSignalSpy connected(&adapter, &CiA309GatewayAdapter::connected);
            adapter.connectToGateway(QStringLiteral("127.0.0.1"), server.serverPort());
            QVERIFY(connected.wait(5000));
            QTRY_VERIFY(server.hasPendingConnections());
            peer = server.nextPendingConnection();
        }
        /// What the gateway has received so far.
        QByteArray received()
        {
            QTest::qWait(0);
            return data += peer->readAll();
        }
        QTcpServer server;
        CiA309GatewayAdapter adapter;
        QTcpSocket *peer = nullptr;
        QByteArray data;
    };

private slots:
    void refusesWhileNotConnected()
    {
        CiA309GatewayAdapter adapter;
        QVERIFY(adapter.getCanAdapterOption(AdapterOption_CiA309Gateway).toBool());
        quint16 sequence = 0xFFFF;
        CAN::CanMessage frame;
        QCOMPARE(adapter.sendCiA309Line(QStringLiteral("set node 1")), CAN::RetType_NoLink);
        QCOMPARE(adapter.sendCanMessage(frame), CAN::RetType_NoLink);
        // A refused connection is reported, and sending still answers 6.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 freePort = probe.serverPort();
        probe.close();
        QSignalSpy errors(&adapter, &CiA309GatewayAdapter::errorOccurred);
        adapter.connectToGateway(QStringLiteral("127.0.0.1"), freePort);
        QVERIFY(errors.wait(5000));
        QVERIFY(!adapter.isConnected() && !adapter.errorString().isEmpty());
        QCOMPARE(adapter.sendCiA309Request(QStringLiteral("lss_store"), sequence), CAN::RetType_NoLink);
        QCOMPARE(sequence, quint16(0xFFFF));
    }

    // Requests are numbered; answers end in CR LF or LF and may be split anywhere across TCP reads.
    void linesBothWays()
    {
        Link l;
        quint16 sequence = 0xFFFF;
        QSignalSpy answers(&l.adapter, &CiA309GatewayAdapter::newCiA309Response);
        QCOMPARE(l.adapter.sendCiA309Request(QStringLiteral("5 r 0x1018 1 u32"), sequence), CAN::RetType_OK);
        QCOMPARE(sequence, quint16(1));
        QCOMPARE(l.adapter.sendCiA309Line(QStringLiteral("set sdo_timeout 500")), CAN::RetType_OK);
        QCOMPARE(l.adapter.sendCiA309Request(QStringLiteral("0 start"), sequence), CAN::RetType_OK);
        QCOMPARE(sequence, quint16(2));
        QCOMPARE(l.adapter.sendCiA309Line(QStringLiteral("lss_store\n0 stop")), CAN::RetType_InvalidRequest);
        QCOMPARE(l.adapter.pendingRequests(), 2);
        QTRY_COMPARE(
            l.received(), QByteArray("[1] 5 r 0x1018 1 u32\r\nset sdo_timeout 500\r\n[2] 0 start\r\n"));
        for (const char *piece :
            { "[1] 0x00", "00017A\r", "\n1 BOOT_UP\n", "\n[2] ERROR:100 #Request", " not supported.\r\n" }) {
            l.peer->write(piece);
            l.peer->flush();
            QTest::qWait(20);
        }
        QTRY_COMPARE(answers.count(), 4);
        QStringList lines;
        for (const auto &a : answers)
            lines << a.at(0).toString();
        QCOMPARE(lines,
            (QStringList { "[1] 0x0000017A", "1 BOOT_UP", "", "[2] ERROR:100 #Request not supported." }));
        QCOMPARE(l.adapter.pendingRequests(), 0);
    }

    // The gateway goes away mid-request: every waiting request ends with an error at once, also
    // a domain whose Base64 lines were cut off.
    void serverClosesMidRequest_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("partialAnswer");
        QTest::newRow("no answer yet") << int(CAN::UNSIGNED32) << QByteArray();
        QTest::newRow("domain cut between lines") << int(CAN::DOMAIN) << QByteArray("[1] SGVsbG8s\r\n");
    }
    void serverClosesMidRequest()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, partialAnswer);
        Link l;
        CanScheduler scheduler(&l.adapter);
        SDOClient sdo(0x585, 0x605, &scheduler);
        QSignalSpy results(&sdo, &SDOClient::resultReceived);
        QSignalSpy errors(&sdo, &SDOClient::errorReceived);
        QSignalSpy disconnected(&l.adapter, &CiA309GatewayAdapter::disconnected);
        QCOMPARE(sdo.read(0x1018, 1, CAN::CANopenDataType(type)), CAN::RetType_OK);
        QTRY_VERIFY(l.received().contains("5 r 0x1018 1 "));
        l.peer->write(partialAnswer);
        l.peer->flush();
        QTest::qWait(10);
        l.peer->close();
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(2).toUInt(), 201u);
        QVERIFY(disconnected.count() == 1 && !sdo.isBusy());
        QTest::qWait(150);
        QCOMPARE(results.count() + errors.count(), 1);
        QCOMPARE(sdo.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_NoLink);
        QCOMPARE(CiA309GatewayAdapter::gatewayErrorText(201), QStringLiteral("Lost connection"));
    }

    void lssRequestEndsWhenTheGatewayLeaves()
    {
        Link l;
        CanScheduler scheduler(&l.adapter);
        LSSMaster master(&scheduler);
        QTimer::singleShot(30, l.peer, [&l] {
            l.received();
            l.peer->close();
        });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(master.storeConfiguration(), CAN::RetType_NoLink);
        QVERIFY(clock.elapsed() < 900);
        QVERIFY(l.received().contains("] lss_store\r\n"));
    }
};

QTEST_GUILESS_MAIN(tst_CiA309GatewayAdapter)
#include "tst_cia309gatewayadapter.moc"
