// Teardown mid-transfer: for each service, the scheduler, the adapter, the virtual bus, the
// simulated devices and the service itself are destroyed at every phase of a transfer (after each
// frame on the bus) and from inside the service's own outcome slot. Nothing may crash or leak
// (run under the sanitizers), a live service ends its request with exactly one outcome and never
// hangs, and once its scheduler or adapter is gone it refuses new requests or reports an error.
#include "canopennetworkscanner.h"
#include "canscheduler.h"
#include "emcyconsumer.h"
#include "lssfd_manager.h"
#include "lssmaster.h"
#include "nmtslave.h"
#include "sdoclient.h"
#include "simcanopennode.h"
#include "simnetwork.h"
#include "simobjectdictionary.h"
#include "simudsecu.h"
#include "syncproducer.h"
#include "udsauthentication.h"
#include "udsclient.h"
#include "udsfiledownloader.h"
#include "udsfileuploader.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"
#include "virtualtimedispatcher.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <utility>

namespace {

enum Victim { Victim_Scheduler, Victim_Adapter, Victim_Bus, Victim_Device, Victim_Service, Victim_Client };
const char *const kVictimNames[] = { "scheduler", "adapter", "bus", "device", "service", "client" };
using Start = std::function<CAN::RetType()>;

/// One network with one service under test; every part can die in any order.
struct Env
{
    QPointer<VirtualCanBus> bus = new VirtualCanBus;
    QPointer<VirtualCanAdapter> host = new VirtualCanAdapter(bus), devices = new VirtualCanAdapter(bus);
    QPointer<CanScheduler> scheduler = new CanScheduler(host);
    QPointer<SimNetwork> network = new SimNetwork(devices);
    QPointer<QObject> service, client; ///< client: the UDS client under a UDS service, when there is one
    int outcomes = 0;
    std::function<void()> onOutcome;
    const QString dir;

    Env(const QString &dir, bool fd)
        : dir(dir)
    {
        if (fd) { // CANopen FD: USDO servers and LSS FD devices join the network
            host->setCanFdCapable(true);
            devices->setCanFdCapable(true);
            network->setCanFd(true);
        }
        network->addDefaultDevices();
        network->powerOn();
        network->node(1)->od()->add(
            0x2000, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
        network->udsEcu()->setSecurityRequired(false);
        runVirtual([] { return false; }, 20); // boot-up messages
    }
    ~Env()
    {
        destroy(service, client, scheduler, network, host, devices, bus);
        SDOClient::mUseUSDO = false; // the switch is the process's
    }
    template<class... P> static void destroy(P &...p) { (delete p.data(), ...); }
    QObject *victim(int v) const
    {
        QObject *const all[] = { scheduler, host, bus, network, service, client };
        return all[v];
    }
    /// Counts every given signal of s as an outcome; s becomes the service.
    template<class T, class... Signals> T *watch(T *s, Signals... sigs)
    {
        (QObject::connect(s, sigs, s, [this] { ++outcomes, onOutcome ? onOutcome() : void(); }), ...);
        service = s;
        return s;
    }
};

SDOClient *sdo(Env &e)
{
    auto *c = new SDOClient(0x581, 0x601, e.scheduler, nullptr);
    c->setSdoTimeout(100);
    return e.watch(c, &SDOClient::resultReceived, &SDOClient::errorReceived, &SDOClient::opError);
}

/// The facade with one block (or, on CAN FD with USDO, bulk) transfer, or with USDO.
SDOClient *sdoBlock(Env &e)
{
    SDOClient *c = sdo(e);
    c->setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
    return c;
}

SDOClient *usdo(Env &e, bool bulk = false)
{
    SDOClient *c = bulk ? sdoBlock(e) : sdo(e);
    c->activateUSDO(true, 0x29);
    return c;
}

LSSFD_Manager *lssFd(Env &e)
{
    auto *m = new LSSFD_Manager(e.scheduler);
    m->setTimeout(50);
    return e.watch(m, &LSSFD_Manager::lssfdResult);
}

LSSMaster *lss(Env &e)
{
    auto *m = new LSSMaster(e.scheduler, nullptr);
    m->setTimeout(50);
    return e.watch(m, &LSSMaster::lssResult);
}

UDSClient *uds(Env &e, bool watched = true)
{
    auto *c = new UDSClient(e.scheduler);
    c->setResponseTimeout(200);
    e.client = c;
    return watched ? e.watch(c, &UDSClient::response, &UDSClient::timeout) : c; // error() precedes response()
}

/// A UDS file transfer: the client requests it, then the transfer service runs; anything may die
/// while the request waits.
template<class T> Start fileTransfer(Env &e)
{
    constexpr bool download = std::is_same<T, UDSFileDownloader>::value;
    const QPointer<UDSClient> c = uds(e, false);
    const QPointer<T> t = e.watch(new T(c), &T::completed, &T::error);
    t->setBlockDelay(1);
    const QString file = e.dir + QLatin1String(download ? "/download.bin" : "/upload.bin");
    if constexpr (download) {
        QFile f(file);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(300, 'd'));
        // Dying inside a progress report too.
        QObject::connect(
            t, &UDSFileDownloader::sigDownloadProgress, t, [&e] { e.onOutcome ? e.onOutcome() : void(); });
    }
    return [c, t, file] { // c is alive: nothing has died yet, or only the scheduler or adapter
        bool answered = false;
        const auto connection = QObject::connect(c, &UDSClient::response, c, [&] { answered = true; });
        const CAN::RetType ret = download ? c->RequestDownload(0, 4, 4, SimNetwork::kUdsMemoryBase, 300)
                                          : c->RequestUpload(0, 4, 4, SimNetwork::kUdsMemoryBase, 300);
        const bool ok = ret == CAN::RetType_OK && runVirtual([&] { return answered || !c; }, 2000) && c && t;
        QObject::disconnect(connection);
        if constexpr (download)
            return ok && t->downloadFile(file, 100) ? CAN::RetType_OK : CAN::RetType_NoLink;
        else
            return ok && t->uploadFile(file, 300) ? CAN::RetType_OK : CAN::RetType_NoLink;
    };
}

struct Scenario
{
    const char *name;
    bool answers; ///< the request ends in an outcome signal
    std::function<Start(Env &)> make; ///< creates env.service (and env.client), gives the request
    bool fd = false; ///< on a CANopen FD network
};

/// A scenario whose service is made by `make` and whose request is `call` on it.
#define REQUEST(make, call) [](Env &e) -> Start { return [s = make] { return s->call; }; }

const QList<Scenario> kScenarios = {
    { "sdo expedited read", true, REQUEST(sdo(e), read(0x1018, 1, CAN::UNSIGNED32)) },
    { "sdo segmented write", true, REQUEST(sdo(e), write(0x2000, 0, CAN::DOMAIN, QByteArray(40, 'w'))) },
    { "sdo segmented read", true, REQUEST(sdo(e), read(0x1008, 0, CAN::VISIBLE_STRING)) },
    { "sdo block write", true, REQUEST(sdoBlock(e), write(0x2000, 0, CAN::DOMAIN, QByteArray(400, 'b'))) },
    { "sdo block read", true, REQUEST(sdoBlock(e), read(0x1008, 0, CAN::VISIBLE_STRING)) },
    { "usdo expedited read", true, REQUEST(usdo(e), read(0x1018, 1, CAN::UNSIGNED32)), true },
    { "usdo segmented write", true, REQUEST(usdo(e), write(0x2000, 0, CAN::DOMAIN, QByteArray(300, 'u'))),
        true },
    { "usdo bulk write", true, REQUEST(usdo(e, true), write(0x2000, 0, CAN::DOMAIN, QByteArray(900, 'k'))),
        true },
    { "lss fd scan", true, REQUEST(lssFd(e), fdScan(LSSFD_Manager::FDScanMode_AllDevices, 2)), true },
    { "nmt guarding", false,
        REQUEST(e.watch(new NMTSlave(1, e.scheduler, nullptr)), startNodeGuarding(30, 2)) },
    { "nmt heartbeat", false,
        REQUEST(e.watch(new NMTSlave(3, e.scheduler, nullptr)), startHeartbeatMonitoring(700)) },
    { "lss selective", true,
        REQUEST(lss(e), switchModeSelective(0x4B1, 0x00401001, 0x00010003, 0x1A2B00FF)) },
    { "lss fastscan", true, REQUEST(lss(e), fastScan(0, 0, 0, 0)) },
    { "lss classical scan", true,
        REQUEST(lss(e), classicalScan(0x4B1, 0x00401001, 0x00010003, 0x00010003, 0x1A2B00F0, 0x1A2B00FF)) },
    { "uds read identifier (iso-tp reception)", true, REQUEST(uds(e), ReadDataByIdentifers({ 0xF190 })) },
    { "uds write identifier (iso-tp transmission)", true,
        REQUEST(uds(e), WriteDataByIdentifer(0x0100, QByteArray(60, 'x'))) },
    { "uds authentication", true,
        [](Env &e) -> Start {
            auto *a = e.watch(new UDSAuthentication(uds(e, false)),
                &UDSAuthentication::authenticationConfigurationReceived, &UDSAuthentication::timeout,
                &UDSAuthentication::error);
            return [a] { return a->authenticationConfiguration(); };
        } },
    { "uds file download", true, [](Env &e) { return fileTransfer<UDSFileDownloader>(e); } },
    { "uds file upload", true, [](Env &e) { return fileTransfer<UDSFileUploader>(e); } },
    { "network scanner", true,
        [](Env &e) -> Start {
            auto *s = e.watch(new CANopenNetworkscanner, &CANopenNetworkscanner::sigFinished);
            return [&e, s] {
                s->startScan(e.scheduler, true);
                return s->getCurrentState() == CANopenNetworkscanner::CS_Running ? CAN::RetType_OK
                                                                                 : CAN::RetType_NoLink;
            };
        } },
    { "sync and emcy", false,
        [](Env &e) -> Start {
            auto *s = e.watch(new SYNCProducer(0x80, e.scheduler, nullptr));
            s->setSyncInterval(10);
            new EMCYConsumer(0x81, e.scheduler, s);
            return [s] { return s->start(); };
        } },
};

} // namespace

class TestTeardown : public QObject
{
    Q_OBJECT
    int mCases = 0;
private slots:
    void teardown_data()
    {
        QTest::addColumn<int>("scenario");
        for (int i = 0; i < kScenarios.size(); ++i)
            QTest::newRow(kScenarios.at(i).name) << i;
    }
    void teardown()
    {
        QFETCH(int, scenario);
        const Scenario &s = kScenarios.at(scenario);
        QTemporaryDir dir;
        // The undisturbed transfer: how many frames it takes.
        int frames = 0;
        {
            Env env(dir.path(), s.fd);
            QCOMPARE(s.make(env)(), CAN::RetType_OK);
            QObject::connect(env.bus, &VirtualCanBus::frameDelivered, env.bus, [&] { ++frames; });
            runVirtual([&] { return s.answers && env.outcomes > 0; }, s.answers ? 60000 : 1000);
            QCOMPARE(env.outcomes, s.answers ? 1 : 0);
        }
        // At most 60 phases, spread over the transfer, then inside the outcome slot (phase -1).
        QList<int> phases { -1 };
        for (int k = 0; k <= frames; k += qMax(1, frames / 60))
            phases << k;
        for (int phase : qAsConst(phases)) {
            for (int victim = Victim_Scheduler; victim <= Victim_Client; ++victim) {
                Env env(dir.path(), s.fd);
                const Start start = s.make(env);
                QPointer<QObject> target = env.victim(victim);
                if (!target)
                    continue;
                ++mCases;
                bool killed = false;
                auto kill = [&] { // the bus is the sender of frameDelivered: it goes later
                    if (!std::exchange(killed, true))
                        victim == Victim_Bus ? target->deleteLater() : delete target.data();
                };
                int counted = 0;
                if (phase < 0)
                    env.onOutcome = kill;
                else
                    QObject::connect(env.bus, &VirtualCanBus::frameDelivered, env.bus,
                        [&] { ++counted == phase ? kill() : void(); });
                const CAN::RetType started = start();
                if (phase == 0)
                    kill();
                if (started != CAN::RetType_OK)
                    continue; // killed while the start still waited (a file transfer's request)
                runVirtual([&] { return killed && (!s.answers || env.outcomes > 0); }, 60000);
                const QByteArray where = QByteArray(s.name) + ", " + kVictimNames[victim]
                    + " destroyed at phase " + QByteArray::number(phase);
                QVERIFY2(env.outcomes <= 1, where + ": more than one outcome");
                if (s.answers && env.service && (victim != Victim_Client || env.client))
                    QVERIFY2(env.outcomes == 1, where + ": the request never ended");
                // Settle whatever still runs, then a new request of a live service is refused with a
                // code or ends with an outcome.
                runVirtual([] { return false; }, 300);
                if (s.answers && env.service && (victim == Victim_Scheduler || victim == Victim_Adapter)) {
                    const int before = env.outcomes;
                    env.onOutcome = nullptr;
                    if (start() == CAN::RetType_OK)
                        QVERIFY2(runVirtual([&] { return env.outcomes > before; }, 60000),
                            where + ": a new request hangs ("
                                + QByteArray::number(VirtualTimeDispatcher::instance()->timerCount())
                                + " timers)");
                }
            }
        }
    }
    void cleanupTestCase() { qInfo("%d teardown cases", mCases); }
};

TARNWICK_VIRTUAL_TIME_TEST_MAIN(TestTeardown)
#include "tst_teardown.moc"
