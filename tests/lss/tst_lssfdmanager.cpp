// The LSS FD manager on the wire (exact request frames, answers, time-outs, refusals, the LSS FD
// scan driven by a scripted device) and against simulated CANopen FD devices on a virtual CAN FD
// bus: the FD scan with none, one and two devices, the services, and commissioning a device that
// has no node-ID.

#include "lssfd_manager.h"
#include "lssnetwork.h"
#include "recordingadapter.h"
#include "serialbuscanadapter.h"
#include "simlssfdslave.h"

#include <QCanBus>
#include <QCoreApplication>
#include <QPointer>

#include <memory>

namespace {
using M = LSSFD_Manager;
constexpr int Timeout = 40; // answer time-out of these tests

struct Request
{
    const char *name;
    CAN::RetType (*call)(M &);
    M::LssAction awaits; // LssAction_None: no answer awaited
    const char *hex;
};

const Request Requests[] = {
    { "switchGlobalClassicWaiting",
        [](M &m) { return m.switchModeGlobal(M::LssGlobalState_Waiting, M::FDProtocolVersion_Classic); },
        M::LssAction_None, "0400" },
    { "switchGlobalFd2",
        [](M &m) { return m.switchModeGlobal(M::LssGlobalState_FdState2, M::FDProtocolVersion_FD); },
        M::LssAction_None, "8102" },
    { "switchGlobalFdNoState",
        [](M &m) { return m.switchModeGlobal(M::LssGlobalState(9), M::FDProtocolVersion(7)); },
        M::LssAction_None, "81ff" },
    { "select",
        [](M &m) { return m.switchModeSelective(true, 0x000F0191, 0x4B1, 0x00401F01, 0x1A2C00FF, 25, 0x0F); },
        M::LssAction_SwitchModeSelective, "65190f00000f0191000004b100401f011a2c00ff" },
    { "deselectAll", [](M &m) { return m.switchModeSelective(false, 1, 2, 3, 4, 30, 0); },
        M::LssAction_SwitchModeSelective, "641e000000000000000000000000000000000000" },
    { "configureNodeId", [](M &m) { return m.configureNodeIdAndNetworkId(5, 3); },
        M::LssAction_ConfigureNodeIdAndNetworkId, "830503" },
    { "store", [](M &m) { return m.storeConfiguration(); }, M::LssAction_StoreConfiguration, "85" },
    { "inquireLssAddress", [](M &m) { return m.inquireLssAddress(); }, M::LssAction_InquireLssAddress, "87" },
    { "identify", [](M &m) { return m.identifyNonConfigSlaves(); }, M::LssAction_IdentifyNonConfigSlaves,
        "89" },
    { "configureBitTiming", [](M &m) { return m.configureBitTiming(0, 4); }, M::LssAction_ConfigureBitTiming,
        "930004" },
    { "inquireNodeId", [](M &m) { return m.inquireNodeId(); }, M::LssAction_InquireNodeId, "97" },
    { "activateBitTiming", [](M &m) { return m.activateBitTiming(0x1234); }, M::LssAction_None, "d33412" },
};

/// Records what the manager sends; a scripted device answers each frame on the next
/// event-loop turn, as a bus would deliver it.
class ScriptedAdapter : public RecordingAdapter
{
public:
    std::function<void(const CAN::CanMessage &)> device;
    CAN::RetType sendCanMessage(CAN::CanMessage &message) override
    {
        const CAN::RetType r = RecordingAdapter::sendCanMessage(message);
        if (r == CAN::RetType_OK && device) {
            const CAN::CanMessage copy = message;
            QMetaObject::invokeMethod(
                this, [this, copy] { device(copy); }, Qt::QueuedConnection);
        }
        return r;
    }
};

struct Bench
{
    ScriptedAdapter adapter;
    CanScheduler scheduler { &adapter };
    M manager { &scheduler };
    QSignalSpy results { &manager, &M::lssfdResult };
    Bench() { manager.setTimeout(Timeout); }
    void answer(quint32 id, const char *hex) { adapter.injectFrame(id, QByteArray::fromHex(hex)); }
    QString result(int i) const { return lssOutcome(results.at(i)); }
};

using Address = QList<quint32>;

// Between them the addresses use every nibble value; B differs from A in its first nibble,
// C only in its last one.
const Address A = { 0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210 };
const Address B = { 0x11234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210 };
const Address C = { 0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x7654321F };

struct FdNetwork
{
    VirtualCanBus bus;
    QObject devices; // node adapters, nodes and slaves; gone before the bus
    VirtualCanAdapter masterAdapter { &bus };
    CanScheduler scheduler { &masterAdapter };
    M manager { &scheduler };
    QSignalSpy results { &manager, &M::lssfdResult };
    QList<CAN::CanRxMessage> traffic; // every frame on the bus

    FdNetwork()
    {
        masterAdapter.setCanFdCapable(true);
        manager.setTimeout(100);
        QObject::connect(
            &bus, &VirtualCanBus::frameDelivered, [this](const CAN::CanRxMessage &m) { traffic.append(m); });
    }

    SimLssFdSlave *addSlave(quint8 nodeId, const Address &a)
    {
        auto *adapter = new VirtualCanAdapter(&bus, &devices);
        adapter->setCanFdCapable(true);
        auto *node = new SimCanopenNode(adapter, nodeId, adapter);
        node->setIdentity(a[0], a[1], a[2], a[3]);
        auto *slave = new SimLssFdSlave(node);
        node->powerOn();
        return slave;
    }

    /// Runs one request to its result: "result value", a list as hex joined by commas.
    QString run(CAN::RetType sent)
    {
        if (sent != CAN::RetType_OK)
            return QStringLiteral("refused");
        // A running event loop, not qWaitFor: its 10 ms sleeps would outlast a scan window.
        if (!results.wait(5000))
            return QStringLiteral("no result");
        return lssOutcome(results.last()).section(QLatin1Char(' '), 1);
    }
};

QString found(const Address &a)
{
    return lssOutcome(0, 0, QVariantList { a[0], a[1], a[2], a[3] }).mid(2);
}

/// The first `step` nibbles of an address, the rest 0.
Address known(const Address &a, int step)
{
    Address k = { 0, 0, 0, 0 };
    for (int s = 0; s < step; ++s)
        k[s / 8] |= a[s / 8] & (0xFu << (4 * (7 - s % 8)));
    return k;
}
} // namespace

class TestLssfdManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<Bench> b; // the manager on a recording adapter
    std::unique_ptr<FdNetwork> n; // the manager and simulated devices on a virtual CAN FD bus

private slots:
    void initTestCase() // before any spy: the manager itself registers its types for queued connections
    {
        M manager;
        for (const char *type : { "LSSFD_Manager::LssAction", "LSSFD_Manager::LssfdResult" })
            QVERIFY2(QMetaType::type(type) != QMetaType::UnknownType, type);
    }
    void init()
    {
        b = std::make_unique<Bench>();
        n = std::make_unique<FdNetwork>();
    }

    // Exact frames: 20 bytes as CAN FD with bit-rate switch, shorter ones plain. A request that
    // awaits an answer is busy until its answer on 0x7E4 (its own only; short answers are not
    // read) or its time-out ends it, once.
    void exchange_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("answer"); // null: none
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("value");
        const int ok = M::LssfdResult_Success, error = M::LssfdResult_Error, none = M::LssfdResult_Timeout;
        for (const Request &r : Requests)
            QTest::addRow("%s", r.name) << QByteArray(r.name) << QByteArray() << none << QString("0");
        const struct
        {
            const char *row, *name, *answer;
            int result;
            const char *value;
        } rows[] = {
            { "selective 0x44", "select", "44", ok, "0" },
            { "selective empty", "deselectAll", "", ok, "0" },
            { "node-ID ok", "configureNodeId", "8300", ok, "0" },
            { "node-ID error", "configureNodeId", "8302", error, "2" },
            { "store ok", "store", "850000", ok, "0" },
            { "store error", "store", "850102", error, "258" },
            { "bit timing ok", "configureBitTiming", "930000", ok, "0" },
            { "bit timing error", "configureBitTiming", "9301ff", error, "511" },
            { "inquire address", "inquireLssAddress", "8700000091010f00b104000001f140007f002c1a", ok,
                "f0191,4b1,40f101,1a2c007f" },
            { "identify", "identify", "8a", ok, "0" },
            { "inquire node-ID", "inquireNodeId", "9705010702", ok, "5,1,7,2" },
            { "node-ID too short", "configureNodeId", "83", none, "0" },
            { "store error too short", "store", "8501", none, "0" },
            { "address too short", "inquireLssAddress", "870000009101", none, "0" },
            { "store answer to node-ID", "configureNodeId", "850000", none, "0" },
            { "selective answer to store", "store", "44", none, "0" },
            { "unknown command", "configureBitTiming", "990000", none, "0" },
        };
        for (const auto &r : rows)
            QTest::newRow(r.row) << QByteArray(r.name) << QByteArray(r.answer) << r.result
                                 << QString(r.value);
    }
    void exchange()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, answer);
        QFETCH(int, result);
        QFETCH(QString, value);
        const Request &r = request(Requests, name);
        QCOMPARE(r.call(b->manager), CAN::RetType_OK);
        QCOMPARE(b->adapter.frames.size(), 1);
        const CAN::CanMessage &f = b->adapter.frames.first();
        const bool fd = f.length == 20;
        QCOMPARE(f.id, 0x7E5u);
        QCOMPARE(frameHex(f), QByteArray::fromHex(r.hex).toHex());
        QVERIFY(f.fd == fd && f.bitRateSwitch == fd && !f.remote && !f.extended);
        if (r.awaits == M::LssAction_None) {
            QCOMPARE(b->manager.inquireNodeId(), CAN::RetType_OK); // nothing was left pending
            return;
        }
        QCOMPARE(b->manager.inquireNodeId(), CAN::RetType_Busy);
        QCOMPARE(b->manager.fdScan(M::FDScanMode_NonConfigured, 5), CAN::RetType_Busy);
        if (!answer.isNull()) {
            b->answer(0x7E5, answer.constData()); // another master's request is no answer
            b->answer(0x7E4, answer.constData());
        }
        QTRY_COMPARE(b->results.count(), 1);
        QCOMPARE(b->result(0), lssOutcome(r.awaits, result, value));
        b->answer(0x7E4, answer.constData()); // neither a second answer nor the late timer report
        QTest::qWait(2 * Timeout);
        QCOMPARE(b->results.count(), 1);
        QCOMPARE(b->manager.inquireNodeId(), CAN::RetType_OK);
    }

    // Refused before anything is sent: no link, classic switch to FD-only states, bad scan
    // arguments. Adapter refusals pass through and leave nothing pending.
    void refusals()
    {
        M unlinked;
        QSignalSpy unlinkedResults(&unlinked, &M::lssfdResult);
        for (const Request &r : Requests)
            QCOMPARE(r.call(unlinked), CAN::RetType_NoLink);
        QCOMPARE(unlinked.fdScan(M::FDScanMode_NonConfigured, 10), CAN::RetType_NoLink);

        M &m = b->manager;
        const quint32 a[4] = {};
        for (CAN::RetType r : { m.switchModeGlobal(M::LssGlobalState_FdState2, M::FDProtocolVersion_Classic),
                 m.switchModeGlobal(M::LssGlobalState_FdState3, M::FDProtocolVersion_Classic),
                 m.fdScan(M::FDScanMode(1), 10), m.fdScan(M::FDScanMode(3), 10),
                 m.fdScan(M::FDScanMode_NonConfigured, 0), m.fdScan(M::FDScanMode_AllDevices, 100),
                 m.fdScanKnownDevices(M::FDScanMode_NonConfigured, a[0], a[1], a[2], a[3], 33, 10) })
            QCOMPARE(r, CAN::RetType_NoLink);
        QVERIFY(b->adapter.frames.isEmpty());
        for (CAN::RetType code : { CAN::RetType_NotReady, CAN::RetType_InvalidFrame }) {
            b->adapter.result = code;
            for (const Request &r : Requests)
                QCOMPARE(r.call(m), code);
            QCOMPARE(m.fdScan(M::FDScanMode_NonConfigured, 10), code);
            QCOMPARE(b->scheduler.registeredCount(), 1); // the scan identifiers went again
        }
        b->adapter.result = CAN::RetType_OK;
        QCOMPARE(m.inquireNodeId(), CAN::RetType_OK);
        QTRY_COMPARE(b->results.count(), 1);
        QCOMPARE(unlinkedResults.count(), 0);
    }

    // A scripted device answers each query with the next nibble of its address; every query
    // is checked byte by byte. Known start steps skip the known nibbles; the last step only
    // confirms. The scan identifiers are registered exactly while the scan runs.
    void scan_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("startStep");
        QTest::addColumn<int>("window");
        QTest::newRow("non-configured from scratch") << 0 << 0 << 3;
        QTest::newRow("known first half") << 0 << 16 << 3;
        QTest::newRow("last step only") << 2 << 32 << 3;
    }
    void scan()
    {
        QFETCH(int, mode);
        QFETCH(int, startStep);
        QFETCH(int, window);
        Address k = known(A, startStep);
        const quint8 command = mode == 0 ? 0x91 : 0xD1;
        int step = startStep;
        QByteArray mismatch;
        b->adapter.device = [&](const CAN::CanMessage &q) {
            // Answers the query as the device would; every query is checked byte by byte: command,
            // window, step, 0, the known address big-endian.
            const QString want = QString::asprintf(
                "%02x%02x%02x00%08x%08x%08x%08x", command, window, step, k[0], k[1], k[2], k[3]);
            if (frameHex(q) != want || !q.fd || !q.bitRateSwitch || q.id != 0x7E5)
                mismatch += frameHex(q) + " != " + want.toLatin1() + "\n";
            if (step == 32) {
                b->answer(0x7E4, "");
                return;
            }
            const quint32 nibble = (A[step / 8] >> (4 * (7 - step % 8))) & 0xF;
            b->answer(0x7D0 + nibble, "");
            b->answer(0x7D0 + ((nibble + 1) & 0xF), ""); // a second device: later answers do not count
            k = known(A, ++step);
        };
        const int before = b->scheduler.registeredCount();
        QCOMPARE(b->manager.fdScanKnownDevices(
                     M::FDScanMode(mode), k[0], k[1], k[2], k[3], quint8(startStep), quint8(window)),
            CAN::RetType_OK);
        QCOMPARE(b->scheduler.registeredCount(), before + 16);
        QCOMPARE(b->manager.inquireNodeId(), CAN::RetType_Busy);
        QVERIFY(b->results.wait(5000)); // a running event loop: qWaitFor sleeps longer than a window
        const int answered = b->adapter.frames.size();
        QVERIFY2(mismatch.isEmpty(), mismatch.constData());
        QTRY_COMPARE(b->results.count(), 1);
        QCOMPARE(answered, 33 - startStep);
        QCOMPARE(b->result(0), QString::number(M::LssAction_FdScan) + ' ' + found(A));
        QCOMPARE(b->scheduler.registeredCount(), before);
        QTest::qWait(2 * window + 5);
        QCOMPARE(b->adapter.frames.size(), answered);
    }

    // No answer in a window ends the scan with a time-out; so does an answer on a scan
    // identifier to the last query instead of the confirmation. A query the adapter refuses
    // mid-scan ends it with the adapter's code.
    void scanTimeouts_data()
    {
        QTest::addColumn<int>("startStep");
        QTest::addColumn<quint32>("answerId"); // 0: silence
        QTest::addColumn<int>("queries");
        QTest::addColumn<int>("refusal"); // the adapter's answer to the queries after the first
        QTest::addColumn<QString>("outcome");
        const QString timeout = lssOutcome(M::LssAction_FdScan, M::LssfdResult_Timeout, "0");
        QTest::newRow("no device") << 0 << 0u << 1 << 0 << timeout;
        QTest::newRow("silence mid-scan") << 31 << 0u << 1 << 0 << timeout;
        QTest::newRow("last step answered on 0x7D3") << 32 << 0x7D3u << 1 << 0 << timeout;
        QTest::newRow("one nibble then silence") << 5 << 0x7DFu << 2 << 0 << timeout;
        QTest::newRow("next query refused")
            << 0 << 0x7D5u << 2 << 7 << lssOutcome(M::LssAction_FdScan, M::LssfdResult_Error, "7");
    }
    void scanTimeouts()
    {
        QFETCH(int, startStep);
        QFETCH(quint32, answerId);
        QFETCH(int, queries);
        QFETCH(int, refusal);
        QFETCH(QString, outcome);
        QCOMPARE(
            b->manager.fdScanKnownDevices(M::FDScanMode_NonConfigured, 0, 0, 0, 0, quint8(startStep), 10),
            CAN::RetType_OK);
        QCOMPARE(frameHex(b->adapter.frames.first()),
            QByteArray("910a") + QByteArray::number(startStep, 16).rightJustified(2, '0')
                + QByteArray(34, '0'));
        b->adapter.result = CAN::RetType(refusal);
        if (answerId)
            b->answer(answerId, "");
        QTRY_COMPARE(b->results.count(), 1);
        QCOMPARE(b->result(0), outcome);
        QCOMPARE(b->adapter.frames.size(), queries);
        QCOMPARE(b->scheduler.registeredCount(), 1);
        b->answer(0x7E4, ""); // a late confirmation finds nothing pending
        QTest::qWait(30);
        QCOMPARE(b->results.count(), 1);
    }

    // The host may destroy the manager mid-scan, or in its own result slot; its receptions
    // end with it and nothing more goes out.
    void destroyedMidScan()
    {
        auto *manager = new M(&b->scheduler);
        QCOMPARE(manager->fdScan(M::FDScanMode_AllDevices, 2), CAN::RetType_OK);
        QCOMPARE(b->scheduler.registeredCount(), 17);
        b->answer(0x7D1, "");
        QTRY_COMPARE(b->adapter.frames.size(), 2);
        delete manager;
        QCOMPARE(b->scheduler.registeredCount(), 1);
        b->answer(0x7D1, "");
        QTest::qWait(20);
        QCOMPARE(b->adapter.frames.size(), 2);

        QPointer<M> inSlot = new M(&b->scheduler);
        connect(inSlot, &M::lssfdResult, inSlot, [&] { delete inSlot.data(); });
        QCOMPARE(inSlot->configureNodeIdAndNetworkId(3, 1), CAN::RetType_OK);
        b->answer(0x7E4, "8300");
        QVERIFY(inSlot.isNull());
        QCOMPARE(b->scheduler.registeredCount(), 1);
    }

    // A new scheduler takes the registrations along; a scan on the old one ends silently.
    void schedulerChanges()
    {
        RecordingAdapter other;
        CanScheduler otherScheduler(&other);
        QCOMPARE(b->manager.fdScan(M::FDScanMode_NonConfigured, 5), CAN::RetType_OK);
        b->manager.setCanScheduler(&otherScheduler);
        QCOMPARE(b->scheduler.registeredCount(), 0);
        QCOMPARE(otherScheduler.registeredCount(), 1);
        QTRY_COMPARE(b->results.count(), 1); // the scan window still ends the scan
        QCOMPARE(b->manager.storeConfiguration(), CAN::RetType_OK);
        QCOMPARE(other.frames.size(), 1);
        b->manager.setCanScheduler(nullptr);
        QCOMPARE(otherScheduler.registeredCount(), 0);
        QCOMPARE(b->manager.inquireNodeId(), CAN::RetType_NoLink);
    }

    // Scans repeat until one times out; the found devices enter the configuration state and
    // take no part in the next scan, so several devices resolve one at a time.
    void scans_data()
    {
        QTest::addColumn<QList<Address>>("unconfigured");
        QTest::addColumn<bool>("withConfigured"); // a device with node-ID 7 and address B
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("startStep"); // nibbles of A taken as known
        QTest::addColumn<QStringList>("outcomes");
        const QString timeout = QStringLiteral("1 0");
        QTest::newRow("no device") << QList<Address> {} << false << 0 << 0 << QStringList { timeout };
        QTest::newRow("two devices, first nibble apart")
            << QList<Address> { A, B } << false << 0 << 0 << QStringList { found(A), found(B), timeout };
        QTest::newRow("two devices, last nibble apart, start step 31")
            << QList<Address> { C, A } << false << 0 << 31 << QStringList { found(C), found(A), timeout };
        QTest::newRow("configured device not in a non-configured scan")
            << QList<Address> {} << true << 0 << 0 << QStringList { timeout };
        QTest::newRow("configured device in a scan of all devices")
            << QList<Address> { A } << true << 2 << 0 << QStringList { found(A), found(B), timeout };
    }
    void scans()
    {
        QFETCH(QList<Address>, unconfigured);
        QFETCH(bool, withConfigured);
        QFETCH(int, mode);
        QFETCH(int, startStep);
        QFETCH(QStringList, outcomes);
        for (const Address &a : unconfigured)
            n->addSlave(0xFF, a);
        if (withConfigured)
            n->addSlave(7, B);
        const Address k = known(A, startStep);
        QStringList got;
        for (int i = 0; i < outcomes.size(); ++i) {
            got << n->run(n->manager.fdScanKnownDevices(
                M::FDScanMode(mode), k[0], k[1], k[2], k[3], quint8(startStep), 8));
            QCOMPARE(n->scheduler.registeredCount(), 1);
        }
        QCOMPARE(got, outcomes);
    }

    // The story of a new device: found by the FD scan, given node-ID and network-ID, stored,
    // and started with them when switched back to waiting.
    void commissioning()
    {
        SimLssFdSlave *configured = n->addSlave(7, B);
        SimLssFdSlave *fresh = n->addSlave(0xFF, A);
        QCOMPARE(n->run(n->manager.fdScan(M::FDScanMode_NonConfigured, 8)), found(A));
        QCOMPARE(fresh->lssState(), SimLssFdSlave::LssState_Configuration);
        QCOMPARE(configured->lssState(), SimLssFdSlave::LssState_Waiting);
        QCOMPARE(n->run(n->manager.configureNodeIdAndNetworkId(5, 2)), QStringLiteral("0 0"));
        QCOMPARE(n->run(n->manager.storeConfiguration()), QStringLiteral("0 0"));
        QCOMPARE(fresh->storedNodeId(), quint8(5));
        QCOMPARE(fresh->storedNetworkId(), quint8(2));
        QCOMPARE(n->run(n->manager.inquireNodeId()), QStringLiteral("0 ff,1,5,2"));
        QCOMPARE(n->run(n->manager.inquireLssAddress()), found(A));
        n->traffic.clear();
        QCOMPARE(
            n->manager.switchModeGlobal(M::LssGlobalState_Waiting, M::FDProtocolVersion_FD), CAN::RetType_OK);
        QTRY_VERIFY(std::any_of(n->traffic.cbegin(), n->traffic.cend(),
            [](const CAN::CanRxMessage &m) { return m.id == 0x705 && m.length == 1 && m.data[0] == 0; }));
        QCOMPARE(fresh->node()->nodeId(), quint8(5));
        QCOMPARE(fresh->networkId(), quint8(2));
        QCOMPARE(fresh->lssState(), SimLssFdSlave::LssState_Waiting);
        // Nothing non-configured is left.
        QCOMPARE(n->run(n->manager.identifyNonConfigSlaves()), QStringLiteral("1 0"));
    }

    // Each service against a device in the configuration state (selected by its address),
    // including the device's refusals; outcomes as "result value".
    void services_data()
    {
        QTest::addColumn<int>("service");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("state"); // of the device afterwards
        const int conf = SimLssFdSlave::LssState_Configuration, waiting = SimLssFdSlave::LssState_Waiting;
        QTest::newRow("node-ID 0") << 0 << "2 1" << conf;
        QTest::newRow("network-ID 0") << 1 << "2 2" << conf;
        QTest::newRow("bit timing, activated") << 2 << "0 0" << conf;
        QTest::newRow("bit timing not supported") << 3 << "2 256" << conf;
        QTest::newRow("store refused") << 4 << "2 517" << conf;
        QTest::newRow("deselect") << 5 << "0 0" << waiting;
        QTest::newRow("select someone else") << 6 << "1 0" << waiting;
        QTest::newRow("state 2: no scan, no configuration")
            << 7 << "1 0 1 0" << int(SimLssFdSlave::LssState_FdState2);
    }
    void services()
    {
        QFETCH(int, service);
        QFETCH(QString, outcome);
        QFETCH(int, state);
        SimLssFdSlave *slave = n->addSlave(0xFF, A);
        M &m = n->manager;
        m.setTimeout(40);
        // Select by vendor-ID and serial number only.
        QCOMPARE(n->run(m.switchModeSelective(true, A[0], 0, 0, A[3], 40, 0x09)), QStringLiteral("0 0"));
        QSignalSpy activated(slave, &SimLssFdSlave::bitTimingActivated);
        const auto bitTiming = [&](quint8 index) {
            const QString r = n->run(m.configureBitTiming(0, index));
            m.activateBitTiming(0x0102);
            return r;
        };
        const std::function<QString()> services[] = {
            [&] { return n->run(m.configureNodeIdAndNetworkId(0, 1)); },
            [&] { return n->run(m.configureNodeIdAndNetworkId(3, 0)); },
            [&] { return bitTiming(2); },
            [&] { return bitTiming(5); },
            [&] {
                slave->setStoreError(2, 5);
                return n->run(m.storeConfiguration());
            },
            [&] { return n->run(m.switchModeSelective(false, 0, 0, 0, 0, 40, 0)); },
            [&] {
                m.switchModeGlobal(M::LssGlobalState_Waiting, M::FDProtocolVersion_Classic);
                return n->run(m.switchModeSelective(true, B[0], B[1], B[2], B[3], 40, 0x0F));
            },
            [&] {
                m.switchModeGlobal(M::LssGlobalState_FdState2, M::FDProtocolVersion_FD);
                const QString scan = n->run(m.fdScan(M::FDScanMode_AllDevices, 2));
                return scan + ' ' + n->run(m.inquireNodeId());
            },
        };
        QCOMPARE(services[service](), outcome);
        QCOMPARE(int(slave->lssState()), state);
        QCOMPARE(slave->storeCount(), 0);
        QTRY_COMPARE(activated.count(), service == 2 ? 1 : 0);
        if (service == 2)
            QCOMPARE(activated.first(), QVariantList({ 2, 258 }));
    }

    // The same through QtSerialBus's strict virtualcan bus: the 20-byte CAN FD frames, the
    // empty answers and the scan identifiers as real hardware carries them.
    void overVirtualCan()
    {
        if (!QCanBus::instance()->plugins().contains(QLatin1String("virtualcan")))
            QSKIP("the virtualcan plugin is not installed");
        const QString iface = QStringLiteral("tcp://127.0.0.1:%1/can0")
                                  .arg(38000 + (QCoreApplication::applicationPid() % 2000));
        SerialBusCanAdapter host(QStringLiteral("virtualcan"), iface);
        SerialBusCanAdapter device(QStringLiteral("virtualcan"), iface);
        for (SerialBusCanAdapter *a : { &host, &device }) {
            a->setCanFd(true);
            QVERIFY2(a->connectDevice(), qPrintable(a->errorString()));
        }
        QTRY_VERIFY(host.isConnected() && device.isConnected());
        CanScheduler scheduler(&host);
        M manager(&scheduler);
        manager.setTimeout(100);
        QSignalSpy results(&manager, &M::lssfdResult);
        SimCanopenNode node(&device, 0xFF);
        node.setIdentity(A[0], A[1], A[2], A[3]);
        SimLssFdSlave slave(&node);
        node.powerOn();
        const auto run = [&](CAN::RetType sent) {
            return sent == CAN::RetType_OK && results.wait(5000) ? lssOutcome(results.last()).section(' ', 1)
                                                                 : QString();
        };
        // The server forwards to a client only once it has read its connect line.
        for (int i = 0; i < 30 && run(manager.identifyNonConfigSlaves()) != QLatin1String("0 0"); ++i) { }
        // Windows wide enough for the trips through the bus server; the last 8 nibbles.
        const Address k = known(A, 24);
        QCOMPARE(run(manager.fdScanKnownDevices(M::FDScanMode_NonConfigured, k[0], k[1], k[2], k[3], 24, 50)),
            found(A));
        QCOMPARE(run(manager.inquireLssAddress()), found(A));
    }
};

QTEST_GUILESS_MAIN(TestLssfdManager)
#include "tst_lssfdmanager.moc"
