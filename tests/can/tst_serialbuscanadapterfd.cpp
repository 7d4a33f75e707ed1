// SerialBusCanAdapter on QtSerialBus's virtualcan plugin, which only carries valid CAN FD data
// lengths and 11-bit identifiers up to 0x7FF: every length reaches the bus, padded, and UDS
// over CAN FD works with requests of every single-frame length.
#include "canscheduler.h"
#include "cansender.h"
#include "serialbuscanadapter.h"
#include "simudsecu.h"
#include "udsclient.h"

#include <QCanBus>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class tst_SerialBusCanAdapterFd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!QCanBus::instance()->plugins().contains(QLatin1String("virtualcan")))
            QSKIP("the virtualcan plugin is not installed");
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
        CAN::CanMessage probe;
        probe.id = 0x100;
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
    void everyFdLength()
    {
        QList<CAN::CanRxMessage> got;
        auto c = connect(
            device.get(), &AbstractCanAdapter::messageReceived, this, [&](const CAN::CanRxMessage &m) {
                if (m.id == 0x123)
                    got.append(m);
            });
        for (int n = 0; n <= 64; ++n) {
            CAN::CanMessage m;
            m.id = 0x123;
            m.fd = true;
            m.bitRateSwitch = true;
            for (int i = 0; i < n; ++i)
                m.data[i] = quint8(n + i);
            m.length = quint8(n);
            QCOMPARE(host->sendCanMessage(m), CAN::RetType_OK);
            QCOMPARE(int(m.length), n); // the caller's record stays as it was
        }
        QTRY_COMPARE(got.size(), 65);
        for (int n = 0; n <= 64; ++n) {
            const CAN::CanRxMessage &m = got.at(n);
            QCOMPARE(int(m.length), CAN::canFdLengthFor(n));
            QVERIFY(m.fd);
            for (int i = 0; i < m.length; ++i)
                QCOMPARE(m.data[i], i < n ? quint8(n + i) : CAN::CanFdPaddingByte);
        }
        disconnect(c);
    }
    void identifierFormat()
    {
        CAN::CanMessage m;
        m.length = 1;
        m.id = 0x800;
        QCOMPARE(host->sendCanMessage(m), CAN::RetType_InvalidRequest); // not sent as 29-bit
        m.extended = true;
        m.id = 0x20000000;
        QCOMPARE(host->sendCanMessage(m), CAN::RetType_InvalidRequest);

        // The same value in both formats reaches only its own registration.
        CanScheduler scheduler(device.get());
        QPointer<CanSender> standard = scheduler.registerCanId(0x581);
        QPointer<CanSender> extended = scheduler.registerCanId(0x581, true);
        QSignalSpy toStandard(standard.data(), &CanSender::received);
        QSignalSpy toExtended(extended.data(), &CanSender::received);
        for (bool ext : { true, false, true }) {
            m.id = 0x581;
            m.extended = ext;
            QCOMPARE(host->sendCanMessage(m), CAN::RetType_OK);
        }
        QTRY_COMPARE(toExtended.count() + toStandard.count(), 3);
        QCOMPARE(toExtended.count(), 2);
        QCOMPARE(toStandard.count(), 1);
        QVERIFY(toExtended.at(0).at(0).value<CAN::CanRxMessage>().extended);
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
            CAN::RetType sent;
            if (n == 1)
                sent = client.RequestTransferExit(QByteArray());
            else if (n == 2)
                sent = client.TesterPresent(false, false);
            else if (n == 3)
                sent = client.ReadDataByIdentifers({ 0xF190 });
            else
                sent = client.RoutineControl(1, 0xFF10, options, false);
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

private:
    std::unique_ptr<SerialBusCanAdapter> host;
    std::unique_ptr<SerialBusCanAdapter> device;
};

QTEST_GUILESS_MAIN(tst_SerialBusCanAdapterFd)
#include "tst_serialbuscanadapterfd.moc"
