#include "serialbuscanadapter.h"

#include "canscheduler.h"
#include "cansender.h"
#include "recordingadapter.h"

#include <QCanBus>
#include <QSignalSpy>
#include <QTest>

class tst_SerialBusCanAdapter : public QObject
{
    Q_OBJECT
private slots:
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
        for (int n : { 1, 16, 20, 24, 32 })
            QTest::addRow("fd %d", n) << 0x123u << QByteArray(n, char(n)) << false << false << true << false;
    }
    void toFrame()
    {
        QFETCH(quint32, id);
        QFETCH(QByteArray, payload);
        QFETCH(bool, extended);
        QFETCH(bool, remote);
        QFETCH(bool, fd);
        QFETCH(bool, brs);
        CAN::CanMessage m;
        m.id = id;
        m.setPayload(payload.constData(), int(payload.size()));
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
        if (!remote)
            QCOMPARE(f.payload(), payload);

        // And back: the received record carries the same fields and the frame's time stamp.
        f.setTimeStamp(QCanBusFrame::TimeStamp(12, 345678));
        const CAN::CanRxMessage rx = SerialBusCanAdapter::fromCanBusFrame(f);
        QCOMPARE(rx.timeStamp, CanTimeStamp(12, 345678));
        QCOMPARE(rx.id, id);
        QCOMPARE(int(rx.length), int(payload.size()));
        QCOMPARE(rx.extended, extended);
        QCOMPARE(rx.remote, remote);
        QCOMPARE(rx.fd, fd);
        QCOMPARE(rx.bitRateSwitch, brs);
        if (!remote)
            QCOMPARE(rx.payload(), payload);
    }
    void refusals()
    {
        SerialBusCanAdapter adapter(QStringLiteral("virtualcan"), QStringLiteral("can0"));
        CAN::CanMessage m;
        m.length = 2;
        QCOMPARE(adapter.sendCanMessage(m), CAN::RetType_Offline); // not connected
        QVERIFY(!adapter.isConnected());
        SerialBusCanAdapter unknown(QStringLiteral("nosuchplugin"), QStringLiteral("can0"));
        QVERIFY(!unknown.connectDevice());
        QVERIFY(unknown.errorString().contains(QLatin1String("nosuchplugin")));
    }
    void virtualCanRoundTrip()
    {
        if (!QCanBus::instance()->plugins().contains(QLatin1String("virtualcan")))
            QSKIP("the virtualcan plugin is not installed");
        // A port of its own, so parallel tests never share a bus.
        const QString iface = QStringLiteral("tcp://127.0.0.1:%1/can0")
                                  .arg(36000 + (QCoreApplication::applicationPid() % 2000));
        SerialBusCanAdapter host(QStringLiteral("virtualcan"), iface);
        host.setCanFd(true);
        QVERIFY2(host.connectDevice(), qPrintable(host.errorString()));
        SerialBusCanAdapter device(QStringLiteral("virtualcan"), iface);
        device.setCanFd(true);
        QVERIFY2(device.connectDevice(), qPrintable(device.errorString()));
        QTRY_VERIFY(host.isConnected() && device.isConnected());

        CanScheduler scheduler(&device);
        QPointer<CanSender> sender = scheduler.registerCanId(0x605);
        QList<CAN::CanRxMessage> got;
        connect(sender, &CanSender::received, this, [&](const CAN::CanRxMessage &m) { got.append(m); });

        // The server only forwards to a client once it has read its connect line: retry until seen.
        CAN::CanMessage m = makeFrame(0x605, "2f00620105000000");
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                if (got.isEmpty())
                    host.sendCanMessage(m);
                QTest::qWait(20);
                return !got.isEmpty();
            }(),
            5000);
        QCOMPARE(frameHex(got.first()), QByteArray("2f00620105000000"));
        got.clear();
        CAN::CanMessage fd = makeFrame(0x605, "0102030405060708090a0b0c0d0e0f10");
        fd.bitRateSwitch = true;
        QCOMPARE(host.sendCanMessage(fd), CAN::RetType_OK);
        QTRY_COMPARE(got.size(), 1);
        QCOMPARE(int(got.first().length), 16);
        QVERIFY(got.first().fd);
        device.disconnectDevice();
        QCOMPARE(device.sendCanMessage(m), CAN::RetType_Offline);
    }
};

QTEST_GUILESS_MAIN(tst_SerialBusCanAdapter)
#include "tst_serialbuscanadapter.moc"
