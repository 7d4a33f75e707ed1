#include "scriptedadapter.h"
#include "simisotpserver.h"
#include "udstestbench.h"

#include <QTest>

#include <functional>

using ServiceCall = std::function<CAN::RetType(UDSClient &)>;
Q_DECLARE_METATYPE(ServiceCall)

namespace {
void row(const char *name, const QByteArray &hex, bool waits, quint32 id, ServiceCall call)
{
    QTest::newRow(name) << call << QByteArray(hex) << waits << id;
}
} // namespace

struct Outcome
{
    int bytes;
    QList<CAN::RetType> script;
    const char *frames;
    int returned;
    QString outcome;
    int timeoutMs = 60; // the client's response timeout
};
Q_DECLARE_METATYPE(Outcome)

class tst_UDSClient : public QObject
{
    Q_OBJECT
private slots:
    void requestBytes_data()
    {
        QTest::addColumn<ServiceCall>("call");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("waits");
        QTest::addColumn<quint32>("id");
        // ROW(name, request bytes, waits for an answer, call on the client c)
#define ROW(name, hex, waits, call) row(name, hex, waits, 0x7E0, [](UDSClient &c) { return c.call; })
        ROW("session", "1003", true, DiagnosticSessionControl(3));
        ROW("reset", "1101", true, ECUReset(1, false));
        ROW("reset suppressed", "1181", false, ECUReset(1, true));
        ROW("clear DTC group", "14345678", true, ClearDiagnosticInformation(0x12345678));
        ROW("read DTCs", "1902ff", true, ReadDTCInformation(2, "\xff"));
        ROW("read identifiers", "22f190f18c", true, ReadDataByIdentifers({ 0xF190, 0xF18C }));
        ROW("read memory", "2324200010000100", true, ReadMemoryByAddress(2, 4, 0x20001000, 256));
        ROW("read memory, no size", "23025678", true, ReadMemoryByAddress(0, 2, 0x12345678, 9));
        ROW("read memory, 5-byte address", "2315001234567809", true,
            ReadMemoryByAddress(1, 5, 0x12345678, 9));
        ROW("seed", "2701", true, SecurityAccess(1, QByteArray(), false));
        ROW("key suppressed", "2782aabb", false, SecurityAccess(2, "\xaa\xbb", true));
        ROW("communication control", "280301", true, ControlCommunication(3, 1, false));
        ROW("communication suppressed", "288102", false, ControlCommunication(1, 2, true));
        ROW("authentication", "290501", true, Authentication(5, "\x01"));
        ROW("periodic", "2a0101f2", true, ReadDataByIdentifersPeriodic(1, { 0x01, 0xF2 }));
        ROW("write identifier", "2ef1904142", true, WriteDataByIdentifer(0xF190, "AB"));
        ROW("io control", "2f41010301", true, IOControlByIdentifier(0x4101, 3, "\x01"));
        ROW("routine", "3101ff000102", true, RoutineControl(1, 0xFF00, "\x01\x02", false));
        ROW("routine suppressed", "3181ff00", false, RoutineControl(1, 0xFF00, {}, true));
        ROW("request download", "3400440800000000001000", true, RequestDownload(0, 4, 4, 0x08000000, 0x1000));
        ROW("request download 3/2", "3411231234560400", true, RequestDownload(0x11, 3, 2, 0x123456, 0x0400));
        ROW("request upload", "350024080000000200", true, RequestUpload(0, 4, 2, 0x08000000, 0x0200));
        ROW("transfer data", "3601aabb", true, TransferData(1, "\xaa\xbb"));
        ROW("transfer data 4094", "36ff" + QByteArray(4094, 'Z').toHex(), true,
            TransferData(0xFF, QByteArray(4094, 'Z')));
        ROW("transfer exit", "37", true, RequestTransferExit(QByteArray()));
        ROW("write memory", "3d12100002dead", true, WriteMemoryByAddress(1, 2, 0x1000, 2, "\xde\xad"));
        ROW("tester present", "3e00", true, TesterPresent(false, false));
        ROW("dtc setting off", "8502", true, ControlDTCSetting(2, false, QByteArray()));
        ROW("dtc setting suppressed", "8581aa", false, ControlDTCSetting(1, true, "\xaa"));
#undef ROW
        // Functional requests are answered on the physical response identifier.
        row("functional", "3e00", true, 0x7DF, [](UDSClient &c) { return c.TesterPresent(true, false); });
        row("functional, silent", "3e80", false, 0x7DF,
            [](UDSClient &c) { return c.TesterPresent(true, true); });
    }
    void requestBytes()
    {
        QFETCH(ServiceCall, call);
        QFETCH(QByteArray, request);
        QFETCH(bool, waits);
        QFETCH(quint32, id);
        UdsSimBench b;
        QSignalSpy answers(&b.client, &UDSClient::response);
        QList<quint32> ids;
        connect(
            &b.adapter, &VirtualCanAdapter::frameSent, this, [&](const CAN::CanMessage &m) { ids << m.id; });
        QCOMPARE(call(b.client), CAN::RetType_OK);
        QCOMPARE(b.client.isBusy(), waits);
        QTRY_COMPARE(b.ecu.requests().size(), 1);
        QVERIFY(b.ecu.requests().first().toHex() == request && ids.first() == id);
        QTRY_COMPARE(answers.count(), waits ? 1 : 0); // the ECU answers everything, even if negatively
        // The answer belongs to the request: its service identifier plus 0x40, or 7F and it.
        const QByteArray answer = b.client.getResponseData(), sid = QByteArray::fromHex(request.left(2));
        QVERIFY2(!waits || answer.startsWith(char(sid[0] + 0x40)) || answer.startsWith("\x7f" + sid),
            answer.toHex());
    }
    void refusalsAbortAndDestruction()
    {
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        const int before = scheduler.registeredCount();
        auto *client = new UDSClient(&scheduler);
        QCOMPARE(client->TransferData(1, QByteArray(4095, 0)), CAN::RetType_NoLink);
        QCOMPARE(client->ControlCommunication(4, 1, false), CAN::RetType_NoLink);
        QCOMPARE(client->ControlCommunication(5, 1, true), CAN::RetType_NoLink);
        QCOMPARE(client->ReadMemoryByAddress(16, 4, 0, 1), CAN::RetType_NoLink);
        QVERIFY(adapter.frames.isEmpty() && !client->isBusy());
        // A suppressed request leaves the client free for the next one at once.
        QCOMPARE(client->ECUReset(1, true), CAN::RetType_OK);
        QCOMPARE(client->DiagnosticSessionControl(1), CAN::RetType_OK);
        QCOMPARE(client->ReadDataByIdentifers({ 0xF190 }), CAN::RetType_Busy);
        QCOMPARE(client->TesterPresent(true, true), CAN::RetType_Busy);
        QCOMPARE(adapter.frames.size(), 2);

        // Aborted: the answer is ignored and the response timer stays quiet.
        QSignalSpy responses(client, &UDSClient::response);
        QSignalSpy timeouts(client, &UDSClient::timeout);
        client->setResponseTimeout(50);
        client->abortService();
        QVERIFY(!client->isBusy());
        adapter.injectFrame(0x7E8, QByteArray::fromHex("025001"));
        QVERIFY(!timeouts.wait(120));
        QCOMPARE(responses.count(), 0);

        // A suppressed request of several frames waits for the server's flow control; a request
        // meanwhile is refused, not pending, and supervised as usual once it goes out.
        client->setResponseTimeout(100);
        adapter.clear();
        QCOMPARE(client->RoutineControl(1, 0x0203, QByteArray(20, 'o'), true), CAN::RetType_OK);
        QCOMPARE(client->DiagnosticSessionControl(3), CAN::RetType_Busy);
        QVERIFY(!client->isBusy());
        adapter.injectFrame(0x7E8, QByteArray::fromHex("300000"));
        QTRY_COMPARE(adapter.frames.size(), 4); // FF + 3 CFs
        QCOMPARE(client->DiagnosticSessionControl(3), CAN::RetType_OK);
        QCOMPARE(adapter.frames.size(), 5);
        QVERIFY(timeouts.wait(1000));
        QCOMPARE(timeouts.count(), 1);

        QVERIFY(scheduler.registeredCount() > before);
        delete client;
        QCOMPARE(scheduler.registeredCount(), before);
        adapter.injectFrame(0x7E8, QByteArray::fromHex("025001"));

        UDSClient unconnected(nullptr);
        unconnected.setCanIDs(0x700, 0x708, 0x7DF);
        QCOMPARE(unconnected.DiagnosticSessionControl(1), CAN::RetType_NoLink);
        QCOMPARE(unconnected.TesterPresent(true, false), CAN::RetType_NoLink);
        QVERIFY(unconnected.getResponseData().isEmpty());
    }
    // Every request ends in one outcome: WriteDataByIdentifer with 4 data bytes (one frame) or 20
    // (several), the adapter's results (one a frame), the frames injected ("~ms" a pause), what the
    // call returns and the outcome; only answers to the request count. The client takes the next
    // request.
    void outcomes_data()
    {
        QTest::addColumn<Outcome>("o");
        using R = QList<CAN::RetType>;
        const CAN::RetType ok = CAN::RetType_OK, deviceError = CAN::RetType_DeviceError;
        // clang-format off
        QTest::newRow("positive")                   << Outcome { 4, {}, "036ef190", 0, "response 6ef190" };
        QTest::newRow("negative")                   << Outcome { 4, {}, "037f2e35", 0, "error 35,response 7f2e35" };
        QTest::newRow("negative cut short")         << Outcome { 4, {}, "027f2e", 0, "timeout" };
        QTest::newRow("other service's answer")     << Outcome { 4, {}, "027e00", 0, "timeout" };
        QTest::newRow("other's answer, the answer") << Outcome { 4, {}, "027e00 036ef190", 0, "response 6ef190" };
        QTest::newRow("other's negative, the answer") << Outcome { 4, {}, "037f2235 036ef190", 0, "response 6ef190" };
        QTest::newRow("other's pending, silence")   << Outcome { 4, {}, "037f2278", 0, "timeout" };
        QTest::newRow("answer repeated")            << Outcome { 4, {}, "036ef190 036ef190", 0, "response 6ef190" };
        QTest::newRow("pending, positive")          << Outcome { 4, {}, "037f2e78 036ef190", 0, "response 6ef190" };
        QTest::newRow("pending, silence")           << Outcome { 4, {}, "037f2e78", 0, "timeout" };
        QTest::newRow("silence")                    << Outcome { 4, {}, "", 0, "timeout" };
        // Each pending answer restarts the wait; a long timeout outlasts the transport's own (500 ms).
        QTest::newRow("pending chain")  << Outcome { 4, {}, "037f2e78 ~120 037f2e78 ~120 037f2e78 ~120 036ef190", 0, "response 6ef190", 200 };
        QTest::newRow("pending, other's answer") << Outcome { 4, {}, "~150 037f2e78 ~200 027e00 ~50 036ef190", 0, "response 6ef190", 300 };
        QTest::newRow("slow answer")    << Outcome { 4, {}, "~700 036ef190", 0, "response 6ef190", 1500 };
        QTest::newRow("single frame, queue full")   << Outcome { 4, R { CAN::RetType_NotReady }, "", 7, "" };
        QTest::newRow("single frame, offline")      << Outcome { 4, R { CAN::RetType_Offline }, "", 4, "" };
        QTest::newRow("first frame, device error")  << Outcome { 20, R { deviceError }, "300000", 5, "" };
        QTest::newRow("consecutive frame, device error") << Outcome { 20, R { ok, deviceError }, "300000", 0, "timeout" };
        // clang-format on
    }
    void outcomes()
    {
        QFETCH(Outcome, o);
        ScriptedAdapter adapter;
        adapter.script = o.script;
        CanScheduler scheduler(&adapter);
        UDSClient client(&scheduler);
        client.setResponseTimeout(o.timeoutMs);
        QStringList seen;
        connect(&client, &UDSClient::error, this,
            [&](quint8 nrc) { seen << "error " + QString::number(nrc, 16); });
        connect(&client, &UDSClient::response, this,
            [&] { seen << "response " + client.getResponseData().toHex(); });
        connect(&client, &UDSClient::timeout, this, [&] { seen << "timeout"; });
        QCOMPARE(int(client.WriteDataByIdentifer(0xF190, QByteArray(o.bytes, 'v'))), o.returned);
        for (const QByteArray &frame : QByteArray(o.frames).split(' '))
            if (frame.startsWith('~'))
                QTest::qWait(frame.mid(1).toInt());
            else if (!frame.isEmpty())
                adapter.injectFrame(0x7E8, QByteArray::fromHex(frame));
        QTRY_COMPARE_WITH_TIMEOUT(seen.join(','), QString(o.outcome), o.timeoutMs + 400);
        QVERIFY(!client.isBusy());
        QTest::qWait(100); // no second outcome, not even from the response timer
        QCOMPARE(seen.join(','), QString(o.outcome));
        if (o.script.isEmpty()) // a request sent: the answer, or nothing
            QCOMPARE(client.getResponseData().toHex(),
                o.outcome.contains(' ') ? o.outcome.section(' ', -1).toLatin1() : QByteArray());
        QCOMPARE(client.TesterPresent(false, false), CAN::RetType_OK);
    }
    void roundTrip_data()
    {
        QTest::addColumn<bool>("fd");
        QTest::addColumn<bool>("ext"); // extended addressing; on classic CAN with 29-bit identifiers
        QTest::addColumn<int>("size");
        for (int size : { 7, 8, 62, 63, 4095, 5000 }) {
            QTest::addRow("classic %d", size) << false << false << size;
            QTest::addRow("classic ext 29-bit %d", size) << false << true << size;
            QTest::addRow("fd %d", size) << true << false << size;
            QTest::addRow("fd ext %d", size) << true << true << size;
        }
    }
    void roundTrip()
    {
        QFETCH(bool, fd);
        QFETCH(bool, ext);
        QFETCH(int, size);
        UdsSimBench b;
        b.ecu.setRoutine(0xFF10, echoRoutine());
        b.ecu.setCanFd(fd);
        b.ecu.transport()->setBlockSize(8);
        b.client.setCANFD(fd);
        b.client.setResponseTimeout(2000);
        const bool ids29 = ext && !fd;
        const quint32 req = ids29 ? 0x18DA10F1 : 0x7E0, rsp = ids29 ? 0x18DAF110 : 0x7E8,
                      fun = ids29 ? 0x18DB33F1 : 0x7DF;
        const quint32 marker = ids29 ? 0x80000000u : 0;
        b.ecu.setIds(req, rsp, fun, ids29);
        b.ecu.setExtendedAddressing(ext, 0x10, 0xF1, 0x33);
        if (ext)
            b.client.setCanIDsExt(req | marker, 0x10, rsp | marker, 0xF1, fun | marker, 0x33);
        else
            b.client.setCanIDs(req, rsp, fun);
        const QByteArray options = pattern(size - 4);
        QCOMPARE(b.ask(b.client.RoutineControl(1, 0xFF10, options, false)), "7101ff10" + options.toHex());
        QCOMPARE(b.ecu.requests(), QList<QByteArray> { "\x31\x01\xff\x10" + options });
    }
};

QTEST_GUILESS_MAIN(tst_UDSClient)
#include "tst_udsclient.moc"
