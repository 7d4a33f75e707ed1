// SerialBusCanAdapter: the conversion to and from QCanBusFrame, and the adapter on QtSerialBus's
// virtualcan plugin, which only carries valid CAN FD data lengths and 11-bit identifiers up to
// 0x7FF: every length reaches the bus, padded, and UDS over CAN FD works with requests of every
// single-frame length.
#include "serialbuscanadapter.h"

#include "canscheduler.h"
#include "cansender.h"
#include "recordingadapter.h"
#include "simudsecu.h"
#include "udsclient.h"

#include <QCanBus>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class tst_SerialBusCanAdapter : public QObject
{
    Q_OBJECT

    std::unique_ptr<SerialBusCanAdapter> host, device; // on one virtualcan bus

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
        int seen = 0;
        auto c = connect(device.get(), &AbstractCanAdapter::messageReceived, this, [&] { ++seen; });
        CAN::CanMessage probe = makeFrame(0x100, "");
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                if (seen == 0)
                    host->sendCanMessage(probe);
                QTest::qWait(20);
                return seen > 0;
            }(),
            5000);
        disconnect(c);
        QTest::qWait(50); // late copies of the probe
    }
    void init()
    {
        if (!host && !QByteArray("toFrame refusals").contains(QTest::currentTestFunction()))
            QSKIP("the virtualcan plugin is not installed");
    }

    void toFrame_data()
    {
        QTest::addColumn<quint32>("id");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("extended");
        QTest::addColumn<bool>("remote");
        QTest::addColumn<bool>("fd");
        QTest::addColumn<bool>("brs");
        QTest::newRow("classic 11-bit")
            << 0x601u << QByteArray::fromHex("4018100100000000") << false << false << false << false;
        QTest::newRow("empty") << 0x80u << QByteArray() << false << false << false << false;
        QTest::newRow("29-bit") << 0x18DA10F1u << QByteArray::fromHex("0210") << true << false << false
                                << false;
        QTest::newRow("remote") << 0x705u << QByteArray(1, '\0') << false << true << false << false;
        QTest::newRow("fd 12") << 0x7E5u << QByteArray(12, '\x42') << false << false << true << false;
        QTest::newRow("fd 64 brs") << 0x581u << QByteArray(64, '\x7f') << false << false << true << true;
        QTest::newRow("fd 48 extended brs")
            << 0x1FFFFFFFu << QByteArray(48, '\x01') << true << false << true << true;
    }
    void toFrame()
    {
        QFETCH(quint32, id);
        QFETCH(QByteArray, payload);
        QFETCH(bool, extended);
        QFETCH(bool, remote);
        QFETCH(bool, fd);
        QFETCH(bool, brs);
        CAN::CanMessage m = makeFrame(id, payload);
        m.extended = extended;
        m.remote = remote;
        m.fd = fd;
        m.bitRateSwitch = brs;
        QCanBusFrame f = SerialBusCanAdapter::toCanBusFrame(m);
        QVERIFY(f.isValid());
        QCOMPARE(f.frameId(), id);
        QCOMPARE(f.hasExtendedFrameFormat(), extended);
        QCOMPARE(f.frameType(), remote ? QCanBusFrame::RemoteRequestFrame : QCanBusFrame::DataFrame);
        QCOMPARE(f.hasFlexibleDataRateFormat(), fd);
        QCOMPARE(f.hasBitrateSwitch(), brs);
        QCOMPARE(f.payload().size(), payload.size());
        // And back: the received record carries the same fields and the frame's time stamp.
        f.setTimeStamp(QCanBusFrame::TimeStamp(12, 345678));
        const CAN::CanRxMessage rx = SerialBusCanAdapter::fromCanBusFrame(f);
        QCOMPARE(rx.timeStamp, CanTimeStamp(12, 345678));
        QVERIFY(rx.id == id && rx.extended == extended && rx.remote == remote && rx.fd == fd
            && rx.bitRateSwitch == brs);
        QCOMPARE(int(rx.length), int(payload.size()));
        if (!remote)
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
            QCOMPARE(int(m.length), CAN::canFdLengthFor(n));
            QVERIFY(m.fd);
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
        ecu.setDataIdentifier(0xF190, QByteArray(17, '0'));
        ecu.setRoutine(0xFF10, [](quint8, const QByteArray &options, QByteArray &status) {
            status = options;
            return quint8(0);
        });
        CanScheduler scheduler(host.get());
        UDSClient client(&scheduler);
        client.setCANFD(true);
        client.setResponseTimeout(1000);
        QSignalSpy responses(&client, &UDSClient::response);
        QSignalSpy timeouts(&client, &UDSClient::timeout);
        // Requests of 1 to 62 bytes: each one single frame (8-byte, or with the escape length).
        for (int n = 1; n <= 62; ++n) {
            const QByteArray options(qMax(0, n - 4), char(n));
            const CAN::RetType sent = n == 1 ? client.RequestTransferExit(QByteArray())
                : n == 2                     ? client.TesterPresent(false, false)
                : n == 3                     ? client.ReadDataByIdentifers({ 0xF190 })
                                             : client.RoutineControl(1, 0xFF10, options, false);
            QCOMPARE(sent, CAN::RetType_OK);
            QVERIFY2(responses.wait(2000), qPrintable(QString::number(n)));
            if (n >= 4)
                QCOMPARE(client.getResponseData(), QByteArray::fromHex("7101ff10") + options);
        }
        QCOMPARE(timeouts.count(), 0);
        // A 17-byte VIN (request of 20 bytes, frame of 22 bytes on the wire) is written.
        const QByteArray vin("WTARNWICK00000017");
        QCOMPARE(client.WriteDataByIdentifer(0xF190, vin), CAN::RetType_OK);
        QVERIFY(responses.wait(2000));
        QCOMPARE(client.getResponseData().toHex(), QByteArray("6ef190"));
        QCOMPARE(ecu.dataIdentifier(0xF190), vin);
    }
    void refusals()
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
};

QTEST_GUILESS_MAIN(tst_SerialBusCanAdapter)
#include "tst_serialbuscanadapter.moc"
