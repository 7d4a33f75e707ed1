// The host's CAN adapters. SerialBusCanAdapter: the conversion to and from QCanBusFrame, and the
// adapter on QtSerialBus's virtualcan plugin, which only carries valid CAN FD data lengths and
// 11-bit identifiers up to 0x7FF: every length reaches the bus, padded, and UDS over CAN FD works
// with single frames of every length. CiA309GatewayAdapter: the TCP adapter of a CiA 309-3 gateway
// against a local TCP server playing the gateway.
#include "canscheduler.h"
#include "cansender.h"
#include "cia309gatewayadapter.h"
#include "lssmaster.h"
#include "recordingadapter.h"
#include "sdoclient.h"
#include "serialbuscanadapter.h"
#include "simudsecu.h"
#include "udsclient.h"

#include <QCanBus>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

class tst_CanAdapters : public QObject
{
    Q_OBJECT

    std::unique_ptr<SerialBusCanAdapter> host, device; // on one virtualcan bus
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
    void initTestCase()
    {
        if (!QCanBus::instance()->plugins().contains(QLatin1String("virtualcan")))
            return;
        // A port of its own, so parallel tests never share a bus.
        const QString iface = QStringLiteral("tcp://127.0.0.1:%1/can0")
                                  .arg(38000 + (QCoreApplication::applicationPid() % 2000));
        host = std::make_unique<SerialBusCanAdapter>(QStringLiteral("virtualcan"), iface);
        device = std::make_unique<SerialBusCanAdapter>(QStringLiteral("virtualcan"), iface);
        for (SerialBusCanAdapter *a : { host.get(), device.get() }) {
            a->setCanFd(true);
            QVERIFY2(a->connectDevice(), qPrintable(a->errorString()));
        }
        QTRY_VERIFY(host->isConnected() && device->isConnected());
        // The server forwards to a client only once it has read its connect line.
        QSignalSpy seen(device.get(), &AbstractCanAdapter::messageReceived);
        CAN::CanMessage probe = makeFrame(0x100, "");
        for (int i = 0; i < 250 && seen.isEmpty(); ++i) {
            host->sendCanMessage(probe);
            seen.wait(20);
        }
        QVERIFY(!seen.isEmpty());
        QTest::qWait(50); // late copies of the probe
    }
    void init()
    {
        if (!host
            && QByteArray("everyFdLength identifierFormat udsEverySingleFrameLength")
                   .contains(QTest::currentTestFunction()))
            QSKIP("the virtualcan plugin is not installed");
    }

    void toFrame_data()
    {
        QTest::addColumn<CAN::CanMessage>("m");
        enum { Extended = 1, Remote = 2, Fd = 4, Brs = 8 };
        auto row = [](const char *name, quint32 id, const QByteArray &payload, int flags) {
            CAN::CanMessage m = makeFrame(id, payload);
            m.extended = flags & Extended, m.remote = flags & Remote;
            m.fd = flags & Fd, m.bitRateSwitch = flags & Brs;
            QTest::newRow(name) << m;
        };
        row("classic 11-bit", 0x601, QByteArray::fromHex("4018100100000000"), 0);
        row("empty", 0x80, QByteArray(), 0);
        row("29-bit", 0x18DA10F1, QByteArray::fromHex("0210"), Extended);
        row("remote", 0x705, QByteArray(1, '\0'), Remote);
        row("fd 12", 0x7E5, QByteArray(12, '\x42'), Fd);
        row("fd 64 brs", 0x581, QByteArray(64, '\x7f'), Fd | Brs);
        row("fd 48 extended brs", 0x1FFFFFFF, QByteArray(48, '\x01'), Extended | Fd | Brs);
    }
    void toFrame()
    {
        QFETCH(CAN::CanMessage, m);
        const QByteArray payload(reinterpret_cast<const char *>(m.data), m.length);
        QCanBusFrame f = SerialBusCanAdapter::toCanBusFrame(m);
        QVERIFY(f.isValid() && f.frameId() == m.id && f.hasExtendedFrameFormat() == m.extended
            && f.hasFlexibleDataRateFormat() == m.fd && f.hasBitrateSwitch() == m.bitRateSwitch
            && f.payload().size() == payload.size());
        QCOMPARE(f.frameType(), m.remote ? QCanBusFrame::RemoteRequestFrame : QCanBusFrame::DataFrame);
        // And back: the received record carries the same fields and the frame's time stamp.
        f.setTimeStamp(QCanBusFrame::TimeStamp(12, 345678));
        const CAN::CanRxMessage rx = SerialBusCanAdapter::fromCanBusFrame(f);
        QCOMPARE(rx.timeStamp, CanTimeStamp(12, 345678));
        QVERIFY(rx.id == m.id && rx.extended == m.extended && rx.remote == m.remote && rx.fd == m.fd
            && rx.bitRateSwitch == m.bitRateSwitch && rx.length == m.length);
        if (!m.remote)
            QVERIFY(f.payload() == payload && rx.payload() == payload);
    }

    void everyFdLength()
    {
        QList<CAN::CanRxMessage> got;
        auto c = connect(device.get(), &AbstractCanAdapter::messageReceived, this,
            [&](const CAN::CanRxMessage &m) { m.id == 0x123 ? got.append(m) : void(); });
        for (int n = 0; n <= 64; ++n) {
            CAN::CanMessage m = makeFrame(0x123, "");
            m.fd = m.bitRateSwitch = true;
            for (int i = 0; i < n; ++i)
                m.data[i] = quint8(n + i);
            m.length = quint8(n);
            QCOMPARE(host->sendCanMessage(m), CAN::RetType_OK);
            QCOMPARE(int(m.length), n); // the caller's record stays as it was
        }
        QTRY_COMPARE(got.size(), 65);
        disconnect(c);
        for (int n = 0; n <= 64; ++n) {
            const CAN::CanRxMessage &m = got.at(n);
            QVERIFY(m.fd && m.length == CAN::canFdLengthFor(n));
            for (int i = 0; i < m.length; ++i)
                QCOMPARE(m.data[i], i < n ? quint8(n + i) : CAN::CanFdPaddingByte);
        }
    }
    void identifierFormat()
    {
        CAN::CanMessage m = makeFrame(0x123, "01");
        m.id = 0x800;
        QCOMPARE(host->sendCanMessage(m), CAN::RetType_InvalidRequest); // not sent as 29-bit
        m.extended = true;
        m.id = 0x20000000;
        QCOMPARE(host->sendCanMessage(m), CAN::RetType_InvalidRequest);

        // The same value in both formats reaches only its own registration; a classic frame stays one.
        CanScheduler scheduler(device.get());
        QSignalSpy toStandard(scheduler.registerCanId(0x581).data(), &CanSender::received);
        QSignalSpy toExtended(scheduler.registerCanId(0x581, true).data(), &CanSender::received);
        for (bool ext : { true, false, true }) {
            m = makeFrame(0x581, "2f00620105000000");
            m.extended = ext;
            QCOMPARE(host->sendCanMessage(m), CAN::RetType_OK);
        }
        QTRY_COMPARE(toExtended.count() + toStandard.count(), 3);
        QCOMPARE(toExtended.count(), 2);
        QVERIFY(toExtended.at(0).at(0).value<CAN::CanRxMessage>().extended);
        const CAN::CanRxMessage classic = toStandard.at(0).at(0).value<CAN::CanRxMessage>();
        QVERIFY(!classic.fd && !classic.extended && frameHex(classic) == "2f00620105000000");
    }
    void udsEverySingleFrameLength()
    {
        SimUdsEcu ecu(device.get());
        ecu.setCanFd(true);
        ecu.setRoutine(0xFF10, [](quint8, const QByteArray &options, QByteArray &status) {
            status = options;
            return quint8(0);
        });
        CanScheduler scheduler(host.get());
        UDSClient client(&scheduler);
        client.setCANFD(true);
        client.setResponseTimeout(1000);
        QSignalSpy responses(&client, &UDSClient::response);
        // Requests of 4 to 62 bytes: each one single frame (8-byte, or with the escape length).
        for (int n = 4; n <= 62; ++n) {
            const QByteArray options(n - 4, char(n));
            QCOMPARE(client.RoutineControl(1, 0xFF10, options, false), CAN::RetType_OK);
            QVERIFY2(responses.wait(2000), qPrintable(QString::number(n)));
            QCOMPARE(client.getResponseData(), QByteArray::fromHex("7101ff10") + options);
        }
    }
    void serialBusRefusals()
    {
        CAN::CanMessage m = makeFrame(0x123, "0102");
        SerialBusCanAdapter unplugged(QStringLiteral("virtualcan"), QStringLiteral("can0"));
        QCOMPARE(unplugged.sendCanMessage(m), CAN::RetType_Offline); // not connected
        SerialBusCanAdapter unknown(QStringLiteral("nosuchplugin"), QStringLiteral("can0"));
        QVERIFY(!unknown.connectDevice());
        QVERIFY(unknown.errorString().contains(QLatin1String("nosuchplugin")));
        if (device) {
            device->disconnectDevice();
            QCOMPARE(device->sendCanMessage(m), CAN::RetType_Offline);
        }
    }

    void refusesWhileNotConnected()
    {
        CiA309GatewayAdapter adapter;
        QVERIFY(adapter.getCanAdapterOption(AdapterOption_CiA309Gateway).toBool());
        quint16 sequence = 0xFFFF;
        CAN::CanMessage frame;
        QVERIFY(adapter.sendCiA309Line(QStringLiteral("set node 1")) == CAN::RetType_NoLink
            && adapter.sendCanMessage(frame) == CAN::RetType_NoLink);
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
        QVERIFY(errors.at(0).at(2).toUInt() == 201u && disconnected.count() == 1 && !sdo.isBusy());
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

QTEST_GUILESS_MAIN(tst_CanAdapters)
#include "tst_canadapters.moc"
