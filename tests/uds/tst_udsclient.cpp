#include "canscheduler.h"
#include "recordingadapter.h"
#include "simisotpserver.h"
#include "simudsecu.h"
#include "udsclient.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>

using ServiceCall = std::function<CAN::RetType(UDSClient &)>;
Q_DECLARE_METATYPE(ServiceCall)

namespace {
/// The message carried by the frames a transport sent (answering a first frame with a flow
/// control so that the rest follows).
QByteArray messageOnWire(RecordingAdapter &adapter, quint32 responseId = 0x7E8)
{
    if (adapter.frames.isEmpty())
        return QByteArray();
    const CAN::CanMessage first = adapter.frames.first();
    const quint8 pci = first.data[0];
    if ((pci >> 4) == 0)
        return QByteArray(reinterpret_cast<const char *>(first.data + 1), pci & 0x0F);
    int length = (pci & 0x0F) << 8 | first.data[1];
    int header = 2;
    if (length == 0) { // 32-bit length
        length = first.data[2] << 24 | first.data[3] << 16 | first.data[4] << 8 | first.data[5];
        header = 6;
    }
    QByteArray message(reinterpret_cast<const char *>(first.data + header), 8 - header);
    const int consecutive = (length - message.size() + 6) / 7;
    adapter.injectFrame(responseId, QByteArray::fromHex("300000"));
    if (!QTest::qWaitFor([&] { return adapter.frames.size() >= 1 + consecutive; }, 1000))
        return QByteArray();
    for (int i = 1; i < adapter.frames.size(); ++i)
        message += QByteArray(reinterpret_cast<const char *>(adapter.frames.at(i).data + 1), 7);
    return message.left(length);
}

/// Routine 0xFF10 answers with its option record: a round trip of any size.
SimUdsEcu::Routine echoRoutine()
{
    return [](quint8, const QByteArray &options, QByteArray &status) {
        status = options;
        return quint8(0);
    };
}
} // namespace

class tst_UDSClient : public QObject
{
    Q_OBJECT
private slots:
    void requestBytes_data();
    void requestBytes();
    void refusals();
    void answers_data();
    void answers();
    void responsePendingChain();
    void pendingThenSilence();
    void roundTrip_data();
    void roundTrip();
    void functionalTesterPresent();
    void abortAndDestruction();
};

void tst_UDSClient::requestBytes_data()
{
    QTest::addColumn<ServiceCall>("call");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("waits");
    const quint32 phys = 0x7E0;
    const quint32 func = 0x7DF;
    auto row = [](const char *name, ServiceCall call, const char *hex, quint32 id, bool waits) {
        QTest::newRow(name) << call << QByteArray(hex) << id << waits;
    };
    row(
        "session", [](UDSClient &c) { return c.DiagnosticSessionControl(3); }, "1003", phys, true);
    row(
        "reset", [](UDSClient &c) { return c.ECUReset(1, false); }, "1101", phys, true);
    row(
        "reset suppressed", [](UDSClient &c) { return c.ECUReset(1, true); }, "1181", phys, false);
    row(
        "clear all DTCs", [](UDSClient &c) { return c.ClearDiagnosticInformation(0xFFFFFF); }, "14ffffff",
        phys, true);
    row(
        "clear DTC group", [](UDSClient &c) { return c.ClearDiagnosticInformation(0x12345678); }, "14345678",
        phys, true);
    row(
        "read DTCs", [](UDSClient &c) { return c.ReadDTCInformation(2, QByteArray::fromHex("ff")); },
        "1902ff", phys, true);
    row(
        "read identifiers",
        [](UDSClient &c) {
            return c.ReadDataByIdentifers({ 0xF190, 0xF18C });
        },
        "22f190f18c", phys, true);
    row(
        "read memory", [](UDSClient &c) { return c.ReadMemoryByAddress(2, 4, 0x20001000, 0x0100); },
        "2324200010000100", phys, true);
    row(
        "read memory no size bytes", [](UDSClient &c) { return c.ReadMemoryByAddress(0, 2, 0x12345678, 9); },
        "23025678", phys, true);
    row(
        "read memory 5-byte address", [](UDSClient &c) { return c.ReadMemoryByAddress(1, 5, 0x12345678, 9); },
        "23150012345678"
        "09",
        phys, true);
    row(
        "seed", [](UDSClient &c) { return c.SecurityAccess(1, QByteArray(), false); }, "2701", phys, true);
    row(
        "key", [](UDSClient &c) { return c.SecurityAccess(2, QByteArray::fromHex("11223344"), false); },
        "270211223344", phys, true);
    row(
        "key suppressed", [](UDSClient &c) { return c.SecurityAccess(2, QByteArray::fromHex("11"), true); },
        "278211", phys, false);
    row(
        "communication control", [](UDSClient &c) { return c.ControlCommunication(3, 1, false); }, "280301",
        phys, true);
    row(
        "communication control suppressed", [](UDSClient &c) { return c.ControlCommunication(1, 2, true); },
        "288102", phys, false);
    row(
        "authentication", [](UDSClient &c) { return c.Authentication(5, QByteArray::fromHex("01")); },
        "290501", phys, true);
    row(
        "periodic",
        [](UDSClient &c) {
            return c.ReadDataByIdentifersPeriodic(1, { 0x01, 0xF2 });
        },
        "2a0101f2", phys, true);
    row(
        "write identifier", [](UDSClient &c) { return c.WriteDataByIdentifer(0xF190, QByteArray("AB")); },
        "2ef1904142", phys, true);
    row(
        "io control",
        [](UDSClient &c) { return c.IOControlByIdentifier(0x4101, 3, QByteArray::fromHex("01")); },
        "2f41010301", phys, true);
    row(
        "routine",
        [](UDSClient &c) { return c.RoutineControl(1, 0xFF00, QByteArray::fromHex("0102"), false); },
        "3101ff000102", phys, true);
    row(
        "routine suppressed", [](UDSClient &c) { return c.RoutineControl(1, 0xFF00, QByteArray(), true); },
        "3181ff00", phys, false);
    row(
        "request download", [](UDSClient &c) { return c.RequestDownload(0x00, 4, 4, 0x08000000, 0x1000); },
        "3400440800000000001000", phys, true);
    row(
        "request download 3/2", [](UDSClient &c) { return c.RequestDownload(0x11, 3, 2, 0x123456, 0x0400); },
        "3411231234560400", phys, true);
    row(
        "request upload", [](UDSClient &c) { return c.RequestUpload(0x00, 4, 2, 0x08000000, 0x0200); },
        "35002408000000"
        "0200",
        phys, true);
    row(
        "transfer data", [](UDSClient &c) { return c.TransferData(1, QByteArray::fromHex("aabb")); },
        "3601aabb", phys, true);
    row(
        "transfer data 4094", [](UDSClient &c) { return c.TransferData(0xFF, QByteArray(4094, '\x5a')); },
        QByteArray("36ff" + QByteArray(4094, '\x5a').toHex()).constData(), phys, true);
    row(
        "transfer exit", [](UDSClient &c) { return c.RequestTransferExit(QByteArray()); }, "37", phys, true);
    row(
        "write memory",
        [](UDSClient &c) { return c.WriteMemoryByAddress(1, 2, 0x1000, 2, QByteArray::fromHex("dead")); },
        "3d12100002dead", phys, true);
    row(
        "tester present", [](UDSClient &c) { return c.TesterPresent(false, false); }, "3e00", phys, true);
    row(
        "tester present functional", [](UDSClient &c) { return c.TesterPresent(true, true); }, "3e80", func,
        false);
    row(
        "dtc setting off", [](UDSClient &c) { return c.ControlDTCSetting(2, false, QByteArray()); }, "8502",
        phys, true);
    row(
        "dtc setting suppressed",
        [](UDSClient &c) { return c.ControlDTCSetting(1, true, QByteArray::fromHex("aa")); }, "8581aa", phys,
        false);
}

void tst_UDSClient::requestBytes()
{
    QFETCH(ServiceCall, call);
    QFETCH(QByteArray, request);
    QFETCH(quint32, id);
    QFETCH(bool, waits);
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    UDSClient client(&scheduler);
    client.setCanIDs(0x7E0, 0x7E8, 0x7DF);
    QCOMPARE(call(client), CAN::RetType_OK);
    QCOMPARE(adapter.frames.first().id, id);
    QCOMPARE(client.isBusy(), waits);
    QCOMPARE(messageOnWire(adapter).toHex(), request);
}

void tst_UDSClient::refusals()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    UDSClient client(&scheduler);
    QCOMPARE(client.TransferData(1, QByteArray(4095, 0)), CAN::RetType_NoLink);
    QCOMPARE(client.ControlCommunication(4, 1, false), CAN::RetType_NoLink);
    QCOMPARE(client.ControlCommunication(5, 1, true), CAN::RetType_NoLink);
    QCOMPARE(client.ReadMemoryByAddress(16, 4, 0, 1), CAN::RetType_NoLink);
    QCOMPARE(adapter.frames.size(), 0);
    QVERIFY(!client.isBusy());

    // A suppressed request leaves the client free for the next one at once.
    QCOMPARE(client.ECUReset(1, true), CAN::RetType_OK);
    QCOMPARE(client.DiagnosticSessionControl(1), CAN::RetType_OK);
    QCOMPARE(client.ReadDataByIdentifers({ 0xF190 }), CAN::RetType_Busy);
    QCOMPARE(client.TesterPresent(true, true), CAN::RetType_Busy);
    QCOMPARE(adapter.frames.size(), 2);

    UDSClient unconnected(nullptr);
    unconnected.setCanIDs(0x700, 0x708, 0x7DF);
    QCOMPARE(unconnected.DiagnosticSessionControl(1), CAN::RetType_NoLink);
    QCOMPARE(unconnected.TesterPresent(true, false), CAN::RetType_NoLink);
    QVERIFY(unconnected.getResponseData().isEmpty());
}

void tst_UDSClient::answers_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("events");
    QTest::newRow("positive") << QByteArray("065003003201f4") << "response";
    QTest::newRow("negative") << QByteArray("037f2735") << "error 35,response";
    QTest::newRow("negative cut short") << QByteArray("027f27") << "response";
    QTest::newRow("other service's answer") << QByteArray("027e00") << "response";
}

void tst_UDSClient::answers()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, events);
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    UDSClient client(&scheduler);
    QStringList seen;
    connect(
        &client, &UDSClient::error, this, [&](quint8 nrc) { seen << "error " + QString::number(nrc, 16); });
    connect(&client, &UDSClient::response, this, [&] { seen << "response"; });
    connect(&client, &UDSClient::timeout, this, [&] { seen << "timeout"; });
    client.DiagnosticSessionControl(3);
    adapter.injectFrame(0x7E8, QByteArray::fromHex(reply));
    QCOMPARE(seen.join(','), events);
    QVERIFY(!client.isBusy());
    const QByteArray frame = QByteArray::fromHex(reply);
    QCOMPARE(client.getResponseData(), frame.mid(1, frame.at(0)));
}

void tst_UDSClient::responsePendingChain()
{
    VirtualCanBus bus;
    VirtualCanAdapter clientAdapter(&bus), ecuAdapter(&bus);
    CanScheduler scheduler(&clientAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    ecu.setRoutine(0xFF10, echoRoutine());
    UDSClient client(&scheduler);
    client.setResponseTimeout(300);
    QCOMPARE(client.responseTimeout(), quint16(300));
    QSignalSpy responses(&client, &UDSClient::response);
    QSignalSpy errors(&client, &UDSClient::error);
    QSignalSpy timeouts(&client, &UDSClient::timeout);
    // Three pending replies 120 ms apart: longer in all than one response timeout.
    ecu.setResponsePending(3, 120);
    QCOMPARE(client.RoutineControl(1, 0xFF10, QByteArray::fromHex("0203"), false), CAN::RetType_OK);
    QVERIFY(responses.wait(2000));
    QCOMPARE(client.getResponseData().toHex(), QByteArray("7101ff100203"));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(timeouts.count(), 0);
    QVERIFY(!responses.wait(200));
    QCOMPARE(responses.count(), 1);
}

void tst_UDSClient::pendingThenSilence()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    UDSClient client(&scheduler);
    client.setResponseTimeout(60);
    QSignalSpy responses(&client, &UDSClient::response);
    QSignalSpy timeouts(&client, &UDSClient::timeout);
    client.RoutineControl(1, 0x0203, QByteArray(), false);
    adapter.injectFrame(0x7E8, QByteArray::fromHex("037f3178"));
    QVERIFY(client.isBusy());
    QVERIFY(client.getResponseData().isEmpty());
    QVERIFY(timeouts.wait(1000));
    QCOMPARE(responses.count(), 0);
    QVERIFY(!client.isBusy());
    QVERIFY(!timeouts.wait(150));
}

void tst_UDSClient::roundTrip_data()
{
    QTest::addColumn<bool>("fd");
    QTest::addColumn<bool>("ext");
    QTest::addColumn<bool>("ids29");
    QTest::addColumn<int>("size");
    for (int size : { 7, 8, 62, 63, 4095 }) {
        QTest::addRow("classic %d", size) << false << false << false << size;
        QTest::addRow("classic ext 29-bit %d", size) << false << true << true << size;
        QTest::addRow("fd %d", size) << true << false << false << size;
        QTest::addRow("fd ext %d", size) << true << true << false << size;
    }
}

void tst_UDSClient::roundTrip()
{
    QFETCH(bool, fd);
    QFETCH(bool, ext);
    QFETCH(bool, ids29);
    QFETCH(int, size);
    VirtualCanBus bus;
    VirtualCanAdapter clientAdapter(&bus), ecuAdapter(&bus);
    clientAdapter.setCanFdCapable(true);
    ecuAdapter.setCanFdCapable(true);
    CanScheduler scheduler(&clientAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    ecu.setRoutine(0xFF10, echoRoutine());
    ecu.setCanFd(fd);
    ecu.transport()->setBlockSize(8);
    ecu.transport()->setSTmin(0);
    UDSClient client(&scheduler);
    client.setCANFD(fd);
    client.setResponseTimeout(2000);
    const quint32 marker = ids29 ? 0x80000000u : 0;
    const quint32 req = ids29 ? 0x18DA10F1 : 0x7E0, rsp = ids29 ? 0x18DAF110 : 0x7E8,
                  fun = ids29 ? 0x18DB33F1 : 0x7DF;
    ecu.setIds(req, rsp, fun, ids29);
    if (ext) {
        ecu.setExtendedAddressing(true, 0x10, 0xF1, 0x33);
        client.setCanIDsExt(req | marker, 0x10, rsp | marker, 0xF1, fun | marker, 0x33);
    } else {
        client.setCanIDs(req | marker, rsp | marker, fun | marker);
    }
    QByteArray options(size - 4, 0);
    for (int i = 0; i < options.size(); ++i)
        options[i] = char(i * 13);
    QSignalSpy responses(&client, &UDSClient::response);
    QCOMPARE(client.RoutineControl(1, 0xFF10, options, false), CAN::RetType_OK);
    QVERIFY(responses.wait(5000));
    QCOMPARE(ecu.requests().size(), 1);
    QCOMPARE(ecu.requests().first().size(), size);
    QCOMPARE(client.getResponseData(), QByteArray::fromHex("7101ff10") + options);
}

void tst_UDSClient::functionalTesterPresent()
{
    VirtualCanBus bus;
    VirtualCanAdapter clientAdapter(&bus), ecuAdapter(&bus);
    CanScheduler scheduler(&clientAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    UDSClient client(&scheduler);
    client.setCanIDs(0x7E0, 0x7E8, 0x7DF);
    client.setResponseTimeout(300);
    QSignalSpy responses(&client, &UDSClient::response);
    QCOMPARE(client.TesterPresent(true, false), CAN::RetType_OK);
    QVERIFY(responses.wait(1000));
    QCOMPARE(client.getResponseData().toHex(), QByteArray("7e00"));
    QCOMPARE(client.TesterPresent(true, true), CAN::RetType_OK);
    QVERIFY(!client.isBusy());
    QTRY_COMPARE(ecu.requests().size(), 2);
    QCOMPARE(ecu.requests().last().toHex(), QByteArray("3e80"));
    QVERIFY(!responses.wait(100));
}

void tst_UDSClient::abortAndDestruction()
{
    RecordingAdapter adapter;
    CanScheduler scheduler(&adapter);
    const int before = scheduler.registeredCount();
    auto *client = new UDSClient(&scheduler);
    QSignalSpy responses(client, &UDSClient::response);
    QSignalSpy timeouts(client, &UDSClient::timeout);
    client->setResponseTimeout(50);
    client->DiagnosticSessionControl(1);
    QVERIFY(scheduler.registeredCount() > before);
    client->abortService();
    QVERIFY(!client->isBusy());
    adapter.injectFrame(0x7E8, QByteArray::fromHex("025001"));
    QVERIFY(!timeouts.wait(120));
    QCOMPARE(responses.count(), 0);
    delete client;
    QCOMPARE(scheduler.registeredCount(), before);
    adapter.injectFrame(0x7E8, QByteArray::fromHex("025001"));
}

QTEST_GUILESS_MAIN(tst_UDSClient)
#include "tst_udsclient.moc"
