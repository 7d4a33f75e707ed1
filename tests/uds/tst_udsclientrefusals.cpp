// Every UDS request ends in exactly one outcome, also when the adapter refuses its frames:
// a refusal is returned by the service call, or reported as timeout(); the client never
// stays busy.
#include "canscheduler.h"
#include "isotphandler.h"
#include "scriptedadapter.h"
#include "udsclient.h"

#include <QSignalSpy>
#include <QTest>

class tst_UDSClientRefusals : public QObject
{
    Q_OBJECT
private slots:
    void refusedFrames_data()
    {
        QTest::addColumn<int>("dataBytes"); // WriteDataByIdentifer data: 4 is one frame, 20 several
        QTest::addColumn<QList<CAN::RetType>>("script"); // adapter results, one a frame
        QTest::addColumn<int>("returned");
        QTest::addColumn<int>("timeouts");
        using R = QList<CAN::RetType>;
        QTest::newRow("single frame, queue full") << 4 << R { CAN::RetType_NotReady } << 7 << 0;
        QTest::newRow("single frame, offline") << 4 << R { CAN::RetType_Offline } << 4 << 0;
        QTest::newRow("first frame, device error") << 20 << R { CAN::RetType_DeviceError } << 5 << 0;
        QTest::newRow("consecutive frame, device error")
            << 20 << R { CAN::RetType_OK, CAN::RetType_DeviceError } << 0 << 1;
    }
    void refusedFrames()
    {
        QFETCH(int, dataBytes);
        QFETCH(QList<CAN::RetType>, script);
        QFETCH(int, returned);
        QFETCH(int, timeouts);
        ScriptedAdapter adapter;
        adapter.script = script;
        CanScheduler scheduler(&adapter);
        UDSClient client(&scheduler);
        client.setResponseTimeout(100);
        QSignalSpy timeoutSpy(&client, &UDSClient::timeout);
        QSignalSpy responses(&client, &UDSClient::response);
        QCOMPARE(int(client.WriteDataByIdentifer(0xF190, QByteArray(dataBytes, 'v'))), returned);
        if (dataBytes > 4)
            adapter.injectFrame(0x7E8, QByteArray::fromHex("300000")); // let the consecutive frames go
        QTRY_COMPARE(timeoutSpy.count(), timeouts);
        QVERIFY(!responses.wait(250));
        QCOMPARE(timeoutSpy.count(), timeouts);
        QVERIFY(!client.isBusy());
        // The client takes the next request at once.
        QCOMPARE(client.TesterPresent(false, false), CAN::RetType_OK);
    }
    void requestWhileSuppressedRequestGoesOut()
    {
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        UDSClient client(&scheduler);
        client.setResponseTimeout(100);
        QSignalSpy timeouts(&client, &UDSClient::timeout);
        // A suppressed request of several frames waits for the server's flow control.
        QCOMPARE(client.RoutineControl(1, 0x0203, QByteArray(20, 'o'), true), CAN::RetType_OK);
        QCOMPARE(client.DiagnosticSessionControl(3), CAN::RetType_Busy); // refused, not pending
        QVERIFY(!client.isBusy());
        adapter.injectFrame(0x7E8, QByteArray::fromHex("300000"));
        QTRY_COMPARE(adapter.frames.size(), 4); // FF + 3 CFs
        QCOMPARE(client.DiagnosticSessionControl(3), CAN::RetType_OK);
        QCOMPARE(adapter.frames.size(), 5);
        QVERIFY(timeouts.wait(1000)); // the session request is supervised as usual
        QCOMPARE(timeouts.count(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_UDSClientRefusals)
#include "tst_udsclientrefusals.moc"
