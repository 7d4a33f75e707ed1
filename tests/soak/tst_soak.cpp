// Soak: many requests across every service against the simulated network on a bus that drops and
// duplicates frames at random (seeded), on a virtual clock. Every request must end in exactly one
// outcome, none may hang, and every transfer that reports success must carry exactly the data
// sent, duplicated frames included. TARNWICK_SOAK_REQUESTS sets the number of requests (default
// 10000); TARNWICK_SOAK_SEED the seed.
#include "canscheduler.h"
#include "emcyconsumer.h"
#include "lssmaster.h"
#include "nmtslave.h"
#include "sdoclient.h"
#include "simcanopennode.h"
#include "simemcyproducer.h"
#include "simnetwork.h"
#include "simobjectdictionary.h"
#include "simudsecu.h"
#include "syncproducer.h"
#include "udsclient.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"
#include "virtualtimedispatcher.h"

#include <QMap>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <random>

namespace {

enum Outcome { Result, Error, Timeout, Refused, OutcomeCount };
const char *const kOutcomeNames[] = { "result", "error", "timeout", "refused" };

constexpr quint32 kSdoTimeout = 0x05040000;
constexpr quint32 kUsdoTimeout = 0x12;

/// A request in flight: how many outcome signals its service gave since it started, and which.
struct Pending
{
    int outcomes = 0;
    Outcome outcome = Refused;
    bool dataOk = true;
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT
private slots:
    void soak();
};

void TestSoak::soak()
{
    const int requests = qEnvironmentVariableIsSet("TARNWICK_SOAK_REQUESTS")
        ? qEnvironmentVariableIntValue("TARNWICK_SOAK_REQUESTS")
        : 10000;
    const quint32 seed = qEnvironmentVariableIsSet("TARNWICK_SOAK_SEED")
        ? quint32(qEnvironmentVariableIntValue("TARNWICK_SOAK_SEED"))
        : 16;
    std::mt19937 random(seed);
    auto pick = [&](int n) { return int(random() % quint32(n)); };
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    VirtualCanBus bus;
    bus.setRandomFaults(seed, 0.01, 0.01);
    bus.setClock([] {
        const qint64 ms = VirtualTimeDispatcher::instance()->now();
        return CanTimeStamp(qint32(ms / 1000), qint32(ms % 1000 * 1000));
    });
    VirtualCanAdapter host(&bus);
    VirtualCanAdapter devices(&bus);
    CanScheduler scheduler(&host);
    host.setCanFdCapable(true); // CANopen FD: every SDO protocol, USDO too
    devices.setCanFdCapable(true);
    SimNetwork network(&devices);
    network.setCanFd(true);
    network.addDefaultDevices();
    network.powerOn();
    SimCanopenNode *node = network.node(1);
    QVERIFY(node);
    node->od()->add(0x2000, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
    node->od()->addValue(0x2001, 0, SimObjectDictionary::Unsigned32, SimObjectDictionary::ReadWrite, 0);
    SimUdsEcu *ecu = network.udsEcu();
    ecu->setSecurityRequired(false);
    SimEmcyProducer *emcyProducer = node->findChild<SimEmcyProducer *>();
    QVERIFY(emcyProducer);

    // Services: SYNC and EMCY run beside the requests, node 1's heartbeat is watched.
    NMTSlave nmt(1, &scheduler, nullptr);
    nmt.startHeartbeatMonitoring(1500);
    SDOClient sdo(0x581, 0x601, &scheduler, nullptr);
    sdo.setSdoTimeout(100);
    LSSMaster lss(&scheduler, nullptr);
    lss.setTimeout(100);
    UDSClient uds(&scheduler);
    uds.setResponseTimeout(200);
    UDSFileDownloader downloader(&uds);
    UDSFileUploader uploader(&uds);
    downloader.setBlockDelay(0);
    uploader.setBlockDelay(0);
    SYNCProducer sync(0x80, &scheduler, nullptr);
    sync.setSyncInterval(20);
    sync.start();
    EMCYConsumer emcy(0x81, &scheduler, nullptr);
    quint64 emcysReceived = 0;
    connect(&emcy, &EMCYConsumer::newEmcyData, this, [&] { ++emcysReceived; });

    // Outcome signals of every service go to the request in flight.
    Pending *current = nullptr;
    int stray = 0;
    auto report = [&](Outcome o, bool dataOk = true) {
        if (!current) {
            ++stray;
            return;
        }
        ++current->outcomes;
        current->outcome = o;
        current->dataOk = current->dataOk && dataOk;
    };
    // A successful write leaves exactly the data in the device, a successful read carries what
    // the device holds.
    QByteArray sdoExpected;
    bool sdoWriting = false;
    connect(&sdo, &SDOClient::resultReceived, this, [&](quint16 index, quint8, QVariant value) {
        bool ok = true;
        if (index == 0x2000 && sdoWriting)
            ok = node->od()->value(0x2000, 0) == sdoExpected;
        else if (index == 0x2000)
            ok = value.toByteArray() == node->od()->value(0x2000, 0);
        else if (index == 0x1018)
            ok = value.toUInt() == node->vendorId();
        report(Result, ok);
    });
    connect(&sdo, &SDOClient::errorReceived, this, [&](quint16, quint8, quint32 code) {
        report(code == kSdoTimeout || code == kUsdoTimeout ? Timeout : Error);
    });
    connect(&sdo, &SDOClient::opError, this, [&] { report(Error); });
    connect(&lss, &LSSMaster::lssResult, this, [&](LSSMaster::LssAction, LSSMaster::LssResult r, QVariant) {
        report(r == LSSMaster::LssResult_Success    ? Result
                : r == LSSMaster::LssResult_Timeout ? Timeout
                                                    : Error);
    });
    // A negative response is error(nrc) followed by response(): one outcome. A UDS answer that
    // arrives with no request outstanding (a duplicated frame) is a response too: counted apart.
    QByteArray udsExpected;
    quint8 udsSid = 0;
    bool udsChained = false; // the file transfers report through the downloader and uploader
    bool udsNegative = false;
    int unsolicited = 0;
    connect(&uds, &UDSClient::response, this, [&] {
        if (udsChained)
            return;
        if (!current) {
            ++unsolicited;
            return;
        }
        const QByteArray answer = uds.getResponseData();
        const bool paired = !answer.isEmpty()
            && (quint8(answer.at(0)) == quint8(udsSid + 0x40)
                || (answer.size() > 1 && quint8(answer.at(1)) == udsSid));
        report(udsNegative ? Error : Result,
            paired && (udsNegative || udsExpected.isNull() || answer == udsExpected));
        udsNegative = false;
    });
    connect(&uds, &UDSClient::error, this, [&] {
        if (!udsChained)
            udsNegative = true;
    });
    connect(&uds, &UDSClient::timeout, this, [&] {
        if (!udsChained)
            report(Timeout);
    });
    QByteArray fileData;
    const QString source = dir.filePath(QStringLiteral("firmware.bin"));
    const QString target = dir.filePath(QStringLiteral("uploaded.bin"));
    quint32 fileAddress = 0;
    connect(&downloader, &UDSFileDownloader::completed, this, [&] {
        report(Result, ecu->memory().mid(int(fileAddress - ecu->memoryBase()), fileData.size()) == fileData);
    });
    connect(&downloader, &UDSFileDownloader::error, this, [&] { report(Error); });
    connect(&uploader, &UDSFileUploader::completed, this, [&] {
        QFile f(target);
        const bool opened = f.open(QIODevice::ReadOnly);
        const QByteArray got = opened ? f.readAll() : QByteArray();
        const QByteArray want = ecu->memory().mid(int(fileAddress - ecu->memoryBase()), fileData.size());
        report(Result, got == want);
    });
    connect(&uploader, &UDSFileUploader::error, this, [&] { report(Error); });

    if (qEnvironmentVariableIsSet("TARNWICK_SOAK_TRACE")) {
        connect(&bus, &VirtualCanBus::frameDelivered, this, [](const CAN::CanRxMessage &m) {
            qInfo().noquote() << QStringLiteral("[%1] %2 %3")
                                     .arg(VirtualTimeDispatcher::instance()->now())
                                     .arg(m.id, 3, 16)
                                     .arg(QString::fromLatin1(m.payload().toHex()));
        });
    }
    QMap<QByteArray, QVector<quint64>> counts;
    int hangs = 0, duplicates = 0, corrupt = 0;
    auto bytes = [&](int n) {
        QByteArray b(n, '\0');
        for (char &c : b)
            c = char(random());
        return b;
    };

    // A UDS request inside a chain (no outcome of its own): true on a positive answer.
    auto askChained = [&](const std::function<CAN::RetType()> &request) {
        udsChained = true;
        bool answered = false, negative = false;
        QMetaObject::Connection c1 = connect(&uds, &UDSClient::response, this, [&] { answered = true; });
        QMetaObject::Connection c2 = connect(&uds, &UDSClient::error, this, [&] { negative = true; });
        QMetaObject::Connection c3
            = connect(&uds, &UDSClient::timeout, this, [&] { answered = negative = true; });
        const bool sent = request() == CAN::RetType_OK;
        if (sent && !runVirtual([&] { return answered; }, 30000))
            ++hangs;
        disconnect(c1);
        disconnect(c2);
        disconnect(c3);
        udsChained = false;
        return sent && answered && !negative;
    };
    // A file transfer: programming session and RequestDownload/RequestUpload through the client,
    // then the downloader or uploader moves the data; its completed() or error() is the outcome.
    auto fileTransfer = [&](bool download) -> CAN::RetType {
        fileData = bytes(16 + pick(600));
        fileAddress = quint32(ecu->memoryBase() + quint32(pick(0x8000)));
        if (download) {
            QFile f(source);
            if (!f.open(QIODevice::WriteOnly) || f.write(fileData) != fileData.size())
                return CAN::RetType_InvalidRequest;
        } else {
            QByteArray image = ecu->memory();
            image.replace(int(fileAddress - ecu->memoryBase()), fileData.size(), fileData);
            ecu->setMemory(ecu->memoryBase(), image);
        }
        const bool accepted = askChained([&] { return uds.DiagnosticSessionControl(2); }) && askChained([&] {
            return download ? uds.RequestDownload(0, 4, 4, fileAddress, quint32(fileData.size()))
                            : uds.RequestUpload(0, 4, 4, fileAddress, quint32(fileData.size()));
        });
        if (!accepted) {
            report(Error);
            return CAN::RetType_OK;
        }
        udsChained = true;
        const bool started = download ? downloader.downloadFile(source, quint16(64 + pick(200)))
                                      : uploader.uploadFile(target, quint32(fileData.size()));
        if (!started) {
            udsChained = false;
            report(Error);
        }
        return CAN::RetType_OK;
    };
    // The device leaves the transfer (whatever the outcome was) and the default session.
    auto endDeviceTransfer = [&] {
        askChained([&] { return uds.RequestTransferExit(QByteArray()); });
        askChained([&] { return uds.DiagnosticSessionControl(1); });
    };

    using Request = std::function<CAN::RetType()>;
    const QList<QPair<QByteArray, Request>> kinds = {
        { "nmt start", [&] { return nmt.startNode(); } },
        { "nmt pre-operational", [&] { return nmt.preopNode(); } },
        { "sdo expedited read",
            [&] {
                sdoWriting = false;
                return sdo.read(0x1018, 1, CAN::UNSIGNED32);
            } },
        { "sdo expedited write",
            [&] {
                sdoWriting = true;
                return sdo.write(0x2001, 0, CAN::UNSIGNED32, QVariant(quint32(random())));
            } },
        { "sdo segmented write",
            [&] {
                sdoWriting = true;
                sdoExpected = bytes(1 + pick(120));
                return sdo.write(0x2000, 0, CAN::DOMAIN, QVariant(sdoExpected));
            } },
        { "sdo segmented read",
            [&] {
                sdoWriting = false;
                return sdo.read(0x2000, 0, CAN::DOMAIN);
            } },
        { "sdo block write",
            [&] {
                sdoWriting = true;
                sdoExpected = bytes(29 + pick(400));
                sdo.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
                return sdo.write(0x2000, 0, CAN::DOMAIN, QVariant(sdoExpected));
            } },
        { "sdo block read",
            [&] {
                sdoWriting = false;
                sdo.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
                return sdo.read(0x2000, 0, CAN::DOMAIN);
            } },
        { "usdo expedited read",
            [&] {
                sdoWriting = false;
                return sdo.read(0x1018, 1, CAN::UNSIGNED32);
            } },
        { "usdo expedited write",
            [&] {
                sdoWriting = true;
                return sdo.write(0x2001, 0, CAN::UNSIGNED32, QVariant(quint32(random())));
            } },
        { "usdo segmented write",
            [&] {
                sdoWriting = true;
                sdoExpected = bytes(57 + pick(300));
                return sdo.write(0x2000, 0, CAN::DOMAIN, QVariant(sdoExpected));
            } },
        { "usdo segmented read",
            [&] {
                sdoWriting = false;
                return sdo.read(0x2000, 0, CAN::DOMAIN);
            } },
        { "usdo bulk write",
            [&] {
                sdoWriting = true;
                sdoExpected = bytes(100 + pick(2000));
                sdo.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
                return sdo.write(0x2000, 0, CAN::DOMAIN, QVariant(sdoExpected));
            } },
        { "lss selective",
            [&] { return lss.switchModeSelective(0x000004B1, 0x00401001, 0x00010003, 0x1A2B00FF); } },
        { "lss inquire", [&] { return lss.inquireNodeId(); } },
        { "lss global waiting", [&] { return lss.switchModeGlobal(LSSMaster::LssGlobalState_Waiting); } },
        { "uds session",
            [&] {
                udsExpected = QByteArray();
                udsSid = 0x10;
                return uds.DiagnosticSessionControl(1);
            } },
        { "uds read identifier",
            [&] {
                udsExpected = QByteArray::fromHex("62f190") + ecu->dataIdentifier(0xF190);
                udsSid = 0x22;
                return uds.ReadDataByIdentifers({ 0xF190 });
            } },
        { "uds write identifier",
            [&] {
                udsExpected = QByteArray();
                udsSid = 0x2E;
                return uds.WriteDataByIdentifer(0x0100, bytes(4));
            } },
        { "uds tester present",
            [&] {
                udsExpected = QByteArray();
                udsSid = 0x3E;
                return uds.TesterPresent(false, false);
            } },
        { "uds file download", [&] { return fileTransfer(true); } },
        { "uds file upload", [&] { return fileTransfer(false); } },
        { "emcy", [&] { return emcyProducer->sendEmergency(0x1000, 0x01, bytes(5)); } },
    };
    // Requests without an answer of their own: their outcome is the return code.
    auto silent = [](const QByteArray &kind) {
        return kind.startsWith("nmt") || kind == "lss global waiting" || kind == "emcy";
    };

    for (int i = 0; i < requests; ++i) {
        const auto &kind = kinds.at(pick(kinds.size()));
        Pending pending;
        current = &pending;
        udsNegative = false;
        if (qEnvironmentVariableIsSet("TARNWICK_SOAK_TRACE"))
            qInfo().noquote() << "request" << i << kind.first;
        sdo.activateUSDO(kind.first.startsWith("usdo"), 0x29); // for every client of the process
        const CAN::RetType ret = kind.second();
        QVector<quint64> &count = counts[kind.first];
        count.resize(OutcomeCount);
        if (ret != CAN::RetType_OK || silent(kind.first)) {
            // A refused request, and one without an answer, gives nothing more.
            runVirtual([] { return false; }, 5);
            if (pending.outcomes != 0 && !silent(kind.first))
                ++duplicates;
            ++count[silent(kind.first) && ret == CAN::RetType_OK ? Result : Refused];
            current = nullptr;
            continue;
        }
        if (!runVirtual([&] { return pending.outcomes > 0; }, 30000)) {
            ++hangs;
            qWarning() << "hang:" << kind.first;
        }
        // A second outcome would arrive now, with the duplicate of the answer, or within the
        // longest timeout; a UDS answer after its outcome counts as unsolicited.
        const bool uds = kind.first.startsWith("uds ") && !kind.first.startsWith("uds file");
        if (uds)
            current = nullptr;
        runVirtual([&] { return pending.outcomes > 1; }, 250);
        current = nullptr;
        if (pending.outcomes > 1) {
            ++duplicates;
            qWarning() << "more than one outcome:" << kind.first;
        }
        if (!pending.dataOk) {
            ++corrupt;
            qWarning() << "data differ:" << kind.first << "request" << i;
        }
        ++count[pending.outcome];
        if (kind.first.startsWith("uds file"))
            endDeviceTransfer();
    }
    sync.stop();

    quint64 total = 0;
    QVector<quint64> byOutcome(OutcomeCount);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        QString line = QString::fromLatin1(it.key()).leftJustified(22);
        for (int o = 0; o < OutcomeCount; ++o) {
            line += QStringLiteral(" %1 %2").arg(kOutcomeNames[o]).arg(it.value().at(o), 6);
            byOutcome[o] += it.value().at(o);
            total += it.value().at(o);
        }
        qInfo().noquote() << line;
    }
    qInfo().noquote() << QStringLiteral(
        "requests %1: result %2, error %3, timeout %4, refused %5; frames %6, "
        "dropped %7; emcy received %8 of %9; heartbeat state %10; virtual %11 s; "
        "unsolicited UDS answers %12")
                             .arg(total)
                             .arg(byOutcome[Result])
                             .arg(byOutcome[Error])
                             .arg(byOutcome[Timeout])
                             .arg(byOutcome[Refused])
                             .arg(bus.framesSent())
                             .arg(bus.framesDropped())
                             .arg(emcysReceived)
                             .arg(emcyProducer->emergenciesSent())
                             .arg(nmt.getLastState())
                             .arg(VirtualTimeDispatcher::instance()->now() / 1000)
                             .arg(unsolicited);
    QCOMPARE(total, quint64(requests));
    QCOMPARE(hangs, 0);
    QCOMPARE(duplicates, 0);
    QCOMPARE(corrupt, 0);
    QCOMPARE(stray, 0);
    QVERIFY(byOutcome[Result] > total / 2);
}

TARNWICK_VIRTUAL_TIME_TEST_MAIN(TestSoak)
#include "tst_soak.moc"
