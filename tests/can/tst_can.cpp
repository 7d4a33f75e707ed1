// The CAN layer: frame records and time stamps, the cyclic occurrence tester, the scheduler that
// routes received frames to services, the periodic transmitter and the virtual bus; the host's
// adapters: SerialBusCanAdapter's conversion to and from QCanBusFrame, and the adapter on
// QtSerialBus's virtualcan plugin, which only carries valid CAN FD data lengths and 11-bit
// identifiers up to 0x7FF: every length reaches the bus, padded, and UDS over CAN FD works with
// single frames of every length; CiA309GatewayAdapter, the TCP adapter of a CiA 309-3 gateway,
// against a local TCP server playing the gateway.
#include "buspeer.h"
#include "canmessage.h"
#include "canmessagetransmitter.h"
#include "canrxmessage.h"
#include "canscheduler.h"
#include "cansender.h"
#include "cantypes.h"
#include "cia309gatewayadapter.h"
#include "cyclicoccurrencetester.h"
#include "lssmaster.h"
#include "recordingadapter.h"
#include "sdoclient.h"
#include "serialbuscanadapter.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "virtualcanbus.h"

#include <QCanBus>
#include <QElapsedTimer>
#include <QMap>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {
CAN::CanRxMessage itemAt(const CanTimeStamp &base, qint64 ms)
{
    CAN::CanRxMessage m;
    m.timeStamp = base;
    m.timeStamp.addMSecs(ms);
    return m;
}

struct Receiver : QObject
{
    QList<QByteArray> got; // id and hex of each frame
    Receiver(CanSender *sender) { connect(sender, &CanSender::received, this, &Receiver::take); }
    void take(const CAN::CanRxMessage &m) { got.append(QByteArray::number(m.id, 16) + ' ' + frameHex(m)); }
};
} // namespace

class tst_Can : public QObject
{
    Q_OBJECT
    enum { Fd = 1, Remote = 2, Capable = 4 }; // Capable: the adapter is CAN FD capable

    RecordingAdapter recording;
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    BusPeer peer { &bus };

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
        QVERIFY(
            adapter.sendCiA309Request("lss_store", sequence) == CAN::RetType_NoLink && sequence == 0xFFFF);
    }

    // Requests are numbered; answers end in CR LF or LF and may be split anywhere across TCP reads.
    void linesBothWays()
    {
        Link l;
        quint16 sequence = 0xFFFF;
        QSignalSpy answers(&l.adapter, &CiA309GatewayAdapter::newCiA309Response);
        QVERIFY(
            l.adapter.sendCiA309Request("5 r 0x1018 1 u32", sequence) == CAN::RetType_OK && sequence == 1);
        QCOMPARE(l.adapter.sendCiA309Line("set sdo_timeout 500"), CAN::RetType_OK);
        QVERIFY(l.adapter.sendCiA309Request("0 start", sequence) == CAN::RetType_OK && sequence == 2);
        QVERIFY(l.adapter.sendCiA309Line("lss_store\n0 stop") == CAN::RetType_InvalidRequest
            && l.adapter.pendingRequests() == 2);
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
        QVERIFY(results.count() + errors.count() == 1
            && sdo.read(0x1018, 1, CAN::UNSIGNED32) == CAN::RetType_NoLink);
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
        QVERIFY(clock.elapsed() < 900 && l.received().contains("] lss_store\r\n"));
    }
    void cleanup() { peer.clearFrames(); }

    void records()
    {
        CAN::CanMessage m;
        const QByteArray big(100, '\x5a');
        m.setPayload(big.constData(), int(big.size()));
        QCOMPARE(int(m.length), 64);
        m.setPayload(big.constData(), -3);
        QCOMPARE(int(m.length), 0);
        // A received copy of a frame with an impossible length is clamped, never read past.
        m.length = 200;
        const CAN::CanRxMessage rx(m, CanTimeStamp(1, 2));
        QVERIFY(rx.payload() == big.left(64) && rx.timeStamp == CanTimeStamp(1, 2));
        QCOMPARE(QList<int>({ CAN::canFdLengthFor(8), CAN::canFdLengthFor(9), CAN::canFdLengthFor(33),
                     CAN::canFdLengthFor(64) }),
            QList<int>({ 8, 12, 48, 64 }));
        QVERIFY(CAN::CanErrorTexts.value(1) == "Stuff error"
            && CAN::CanErrorTexts.value(8) == "unspecified error");
        CanTimeStamp t(10, 999500);
        t.addMSecs(1);
        QCOMPARE(t, CanTimeStamp(11, 500));
        t.addMSecs(-2);
        QCOMPARE(t, CanTimeStamp(10, 998500));
        t.addMSecs(-20000);
        QVERIFY(t.seconds() == -10 && t.microseconds() == 998500);
        QVERIFY(CanTimeStamp(1, 2500000).seconds() == 3 && CanTimeStamp(1, 2500000).microseconds() == 500000);
        QCOMPARE(CanTimeStamp(0, 0).msecsTo(CanTimeStamp(1, 500000)), 1500);
    }
    void cyclicOccurrence()
    {
        CyclicOccurrenceTester tester;
        // Irregular items stay in learning.
        const CanTimeStamp base = CanTimeStamp::now();
        for (int t : { 0, 10, 100, 105, 300, 310, 900 })
            tester.handleNewItemMessage(itemAt(base, t));
        QCOMPARE(tester.state(), CAN::CyclicState_Learning);
        tester.reset();
        QCOMPARE(tester.state(), CAN::CyclicState_Unknown);
        // Items stamped 200 ms apart, fed at once; the overdue timer runs from the last one.
        QElapsedTimer sinceLast;
        sinceLast.start();
        QMap<int, qint64> at; // when each state was entered, after the last item
        QStringList states; // state/count/interval of each signal
        connect(
            &tester, &CyclicOccurrenceTester::sigNewItemState, this, [&](int state, uint n, ushort interval) {
                at[state] = sinceLast.elapsed();
                states << QString("%1/%2/%3").arg(state).arg(n).arg(interval);
            });
        for (int i = 0; i < 4; ++i)
            tester.handleNewItemMessage(itemAt(base, 200 * i));
        // Late after 1.5 intervals (300 ms), long before Stopped, which comes after 4 (800 ms).
        QTRY_COMPARE(tester.state(), CAN::CyclicState_Stopped);
        const qint64 late = at.value(CAN::CyclicState_Late), stopped = at.value(CAN::CyclicState_Stopped);
        QVERIFY(late >= 300 && late < 500 && stopped >= 800);
        QVERIFY2(states.join(" ").startsWith("1/1/0 2/4/200 3/4/200 4/") && states.size() == 4,
            qPrintable(states.join(" ")));
        // A new stream is learned afresh.
        tester.handleNewItemMessage(itemAt(CanTimeStamp::now(), 0));
        QVERIFY(tester.state() == CAN::CyclicState_Learning && tester.itemCount() == 1u);
    }

    void scheduler()
    {
        CanScheduler scheduler(&recording);
        QPointer<CanSender> s = scheduler.registerCanId(0x581);
        QCOMPARE(scheduler.registerCanId(0x581), s); // one sender per identifier
        Receiver a(s), b(s), other(scheduler.registerCanId(0x582));
        recording.injectFrame(0x581, QByteArray::fromHex("4300100092010000"));
        recording.injectFrame(0x583, QByteArray::fromHex("00")); // nobody listens
        QCOMPARE(a.got, QList<QByteArray> { "581 4300100092010000" });
        QVERIFY(b.got == a.got && other.got.isEmpty() && scheduler.registeredCount() == 2);

        // Unregistering keeps the other users; the last user ends the sender.
        scheduler.unregisterCan(s, &a);
        recording.injectFrame(0x581, QByteArray::fromHex("05"));
        QVERIFY(a.got.size() == 1 && b.got.size() == 2 && s);
        scheduler.unregisterCan(s, &b);
        QCOMPARE(scheduler.registeredCount(), 1);
        recording.injectFrame(0x581, QByteArray::fromHex("01"));
        QCOMPARE(b.got.size(), 2);
        QTRY_VERIFY(s.isNull());
        // Unregistering a dead or foreign sender is harmless.
        scheduler.unregisterCan(s, &a);
        CanScheduler otherScheduler(&recording);
        QPointer<CanSender> foreign = otherScheduler.registerCanId(0x185);
        scheduler.unregisterCan(foreign, &a);
        QVERIFY(foreign);

        // Unregistering from inside the delivery.
        s = scheduler.registerCanId(0x100);
        Receiver r(s);
        connect(s, &CanSender::received, &r, [&] { scheduler.unregisterCan(s, &r); });
        recording.injectFrame(0x100, QByteArray::fromHex("01"));
        recording.injectFrame(0x100, QByteArray::fromHex("02"));
        QCOMPARE(r.got.size(), 1);

        // A range of identifiers.
        const auto senders = scheduler.registerCanIdRange(0x7D0, 0x7DF);
        QVERIFY(
            senders.size() == 16 && senders.first()->canId() == 0x7D0 && senders.last()->canId() == 0x7DF);
        QVERIFY(scheduler.registerCanIdRange(0x10, 0x0F).isEmpty());
        Receiver ranged(senders.at(5));
        recording.injectFrame(0x7D5, QByteArray::fromHex("aa"));
        recording.injectFrame(0x7E0, QByteArray::fromHex("bb"));
        QCOMPARE(ranged.got, QList<QByteArray> { "7d5 aa" });

        // Another adapter: the old one no longer delivers; a destroyed one is let go.
        auto *second = new RecordingAdapter;
        scheduler.setCanAdapter(second);
        recording.injectFrame(0x7D5, QByteArray::fromHex("01"));
        second->injectFrame(0x7D5, QByteArray::fromHex("02"));
        QCOMPARE(ranged.got, QList<QByteArray>({ "7d5 aa", "7d5 02" }));
        delete second;
        QVERIFY(!scheduler.canAdapter());
    }

    // The SYNC counter byte: 1 up to the overflow value, then 1 again; overflow 0 keeps it at 1.
    // A count ends transmission after that many frames.
    void syncCounter_data()
    {
        QTest::addColumn<int>("overflow");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("overflow 3") << 3 << 0 << QByteArray("0102030102");
        QTest::newRow("overflow 0") << 0 << 0 << QByteArray("0101010101");
        QTest::newRow("count 3") << 4 << 3 << QByteArray("010203");
    }
    void syncCounter()
    {
        QFETCH(int, overflow);
        QFETCH(int, count);
        QFETCH(QByteArray, expected);
        CanMessageTransmitter tx;
        tx.setCanAdapter(&adapter);
        tx.setTranmissionParameter(makeFrame(0x80, "00"), 2, count);
        tx.setSyncValues(true, quint8(overflow));
        tx.operate();
        QByteArray counters;
        while (counters.size() < expected.size() / 2) {
            const CAN::CanRxMessage m = peer.takeFrame(2000);
            QVERIFY(m.id == 0x80 && m.length == 1);
            counters.append(char(m.data[0]));
        }
        QCOMPARE(counters.toHex(), expected);
        if (count) {
            QTRY_VERIFY(!tx.isActive());
            QVERIFY(peer.expectSilence(20));
            QCOMPARE(tx.sentCount(), quint64(count));
        }
    }
    void transmitterRefusals()
    {
        CanMessageTransmitter tx;
        tx.setTranmissionParameter(makeFrame(0x80, ""), 10, 0);
        QVERIFY(!tx.operate()); // no adapter
        VirtualCanAdapter offline(&bus);
        tx.setCanAdapter(&offline);
        tx.setTranmissionParameter(makeFrame(0x80, ""), 0, 0);
        QVERIFY(!tx.operate()); // period 0
        // An adapter that refuses reports each refusal and transmission goes on.
        tx.setTranmissionParameter(makeFrame(0x80, ""), 5, 0);
        offline.leaveBus();
        QSignalSpy errors(&tx, &CanMessageTransmitter::transmissionError);
        QVERIFY(tx.operate());
        QTRY_VERIFY(errors.count() >= 2);
        QCOMPARE(errors.first().first().value<CAN::RetType>(), CAN::RetType_Offline);
    }

    void deliversInOrderOnALaterTurnToEveryOtherAdapter()
    {
        VirtualCanBus bus;
        BusPeer a(&bus), b(&bus), c(&bus);
        QSignalSpy tap(&a, &VirtualCanAdapter::frameSent);
        const CanTimeStamp before = CanTimeStamp::now();
        QCOMPARE(a.send(0x123, "0102"), CAN::RetType_OK);
        b.send(0x2, "02");
        a.send(0x3, "03");
        QCOMPARE(tap.count(), 2);
        QCOMPARE(b.pending() + c.pending(), 0); // nothing arrives inside the send
        const CAN::CanRxMessage m = c.takeFrame();
        QVERIFY(m.id == 0x123 && frameHex(m) == "0102");
        QVERIFY(!(m.timeStamp < before) && m.timeStamp.msecsTo(CanTimeStamp::now()) < 5000);
        QVERIFY(c.expect(0x2, "02") && c.expect(0x3, "03"));
        QVERIFY(b.expect(0x123, "0102") && b.expect(0x3, "03"));
        QVERIFY(a.expect(0x2, "02")); // the sender does not hear itself
        QVERIFY(a.expectSilence(10));
    }
    // What an adapter accepts (0) or refuses (3), and what reaches the bus, padded.
    void frameChecks_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("result");
        QTest::newRow("classic 8") << 8 << 0 << 0;
        QTest::newRow("fd 13, padded to 16") << 13 << (Fd | Capable) << 0;
        QTest::newRow("classic 9") << 9 << 0 << 3;
        QTest::newRow("fd without capability") << 12 << int(Fd) << 3;
        QTest::newRow("fd 64") << 64 << (Fd | Capable) << 0;
        QTest::newRow("length 65") << 65 << (Fd | Capable) << 3;
        QTest::newRow("fd remote") << 0 << (Fd | Remote | Capable) << 3;
        QTest::newRow("classic remote") << 1 << int(Remote) << 0;
    }
    void frameChecks()
    {
        QFETCH(int, length);
        QFETCH(int, flags);
        QFETCH(int, result);
        adapter.setCanFdCapable(flags & Capable);
        CAN::CanMessage m = makeFrame(0x10, "");
        m.length = quint8(length);
        m.fd = flags & Fd;
        m.remote = flags & Remote;
        std::fill_n(m.data, qMin(length, 64), quint8(0x11));
        QCOMPARE(int(adapter.sendCanMessage(m)), result);
        const int padded = m.fd ? CAN::canFdLengthFor(length) : length;
        if (result == 0)
            QCOMPARE(peer.takeFrame().payload(),
                QByteArray(length, '\x11') + QByteArray(padded - length, char(CAN::CanFdPaddingByte)));
        else
            QVERIFY(peer.expectSilence(5));
    }
    void queueFullAnswers7()
    {
        VirtualCanBus bus;
        BusPeer a(&bus), b(&bus);
        a.setTransmitQueueLimit(3);
        for (const char *data : { "01", "02", "03" })
            QCOMPARE(a.send(0x1, data), CAN::RetType_OK);
        QCOMPARE(a.send(0x1, "04"), CAN::RetType_NotReady);
        QCOMPARE(a.pendingFrames(), 3);
        QVERIFY(b.expect(0x1, "01") && b.expect(0x1, "02") && b.expect(0x1, "03"));
        QCOMPARE(a.send(0x1, "05"), CAN::RetType_OK); // drained: accepted again
        QVERIFY(b.expect(0x1, "05"));
        // A paused transmitter keeps its queue until resumed.
        a.setTransmitPaused(true);
        a.send(0x2, "aa");
        QVERIFY(b.expectSilence(10));
        a.setTransmitPaused(false);
        QVERIFY(b.expect(0x2, "aa"));
    }
    void faults()
    {
        auto run = [](quint32 seed) {
            VirtualCanBus bus;
            bus.setRandomFaults(seed, 0.2, 0.1);
            BusPeer a(&bus), b(&bus);
            for (int i = 0; i < 200; ++i)
                a.send(0x100, QByteArray(1, char(i)));
            for (int i = 0; i < 100 && a.pendingFrames() > 0; ++i)
                QTest::qWait(1);
            QByteArray seen;
            while (b.pending())
                seen.append(b.takeFrame().payload());
            return qMakePair(seen, bus.framesDropped());
        };
        const auto first = run(42);
        QCOMPARE(run(42), first); // reproducible
        QVERIFY(first.second > 10 && first.second < 80 && first.first.size() != 200); // dropped or duplicated
        QVERIFY(run(7) != first);

        // A rule drops or duplicates chosen frames.
        VirtualCanBus bus;
        bus.setFaultRule([](const CAN::CanMessage &m, quint64) {
            return m.data[0] == 1 ? VirtualCanBus::Fault_Drop
                : m.data[0] == 2  ? VirtualCanBus::Fault_Duplicate
                                  : VirtualCanBus::Fault_None;
        });
        BusPeer a(&bus), b(&bus);
        for (const char *data : { "01", "02", "03" })
            a.send(0x1, data);
        QVERIFY(b.expect(0x1, "02") && b.expect(0x1, "02") && b.expect(0x1, "03"));
        QVERIFY(b.expectSilence(5));
        QCOMPARE(bus.framesDropped(), 1u);
    }
    // Adapters leave the bus, are deleted while it delivers, or outlive it.
    void lifetimes()
    {
        auto *bus = new VirtualCanBus;
        BusPeer a(bus), b(bus);
        auto *c = new VirtualCanAdapter(bus);
        auto *d = new BusPeer(bus);
        // c deletes d while handling the frame: d must not be touched afterwards.
        connect(c, &AbstractCanAdapter::messageReceived, c, [&d] {
            delete d;
            d = nullptr;
        });
        a.send(0x1, "01");
        QTRY_VERIFY(!d);
        delete c;
        a.send(0x1, "02");
        QVERIFY(b.expect(0x1, "01") && b.expect(0x1, "02"));
        a.send(0x5, "05"); // queued, then discarded
        a.leaveBus();
        QCOMPARE(a.send(0x5, "06"), CAN::RetType_Offline);
        QVERIFY(b.expectSilence(10));
        delete bus;
        QCOMPARE(b.send(0x5, "07"), CAN::RetType_Offline);
        QVERIFY(!b.bus());
    }
};

QTEST_GUILESS_MAIN(tst_Can)
#include "tst_can.moc"
