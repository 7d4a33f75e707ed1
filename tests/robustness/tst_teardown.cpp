// Teardown mid-transfer: for each service, the scheduler, the adapter, the virtual bus, the
// simulated devices and the service itself are destroyed at every phase of a transfer (after each
// frame on the bus) and from inside the service's own outcome slot. Nothing may crash or leak
// (run under the sanitizers), a live service ends its request with exactly one outcome and never
// hangs, and once its scheduler or adapter is gone it refuses new requests or reports an error.
#include "canopennetworkscanner.h"
#include "canscheduler.h"
#include "emcyconsumer.h"
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

#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

enum Victim {
    Victim_Scheduler,
    Victim_Adapter,
    Victim_Bus,
    Victim_Device,
    Victim_Service,
    Victim_Client,
    VictimCount
};
const char *const kVictimNames[] = { "scheduler", "adapter", "bus", "device", "service", "client" };

/// One network with one service under test; every part can die in any order.
struct Env
{
    QPointer<VirtualCanBus> bus = new VirtualCanBus;
    QPointer<VirtualCanAdapter> host = new VirtualCanAdapter(bus);
    QPointer<VirtualCanAdapter> devices = new VirtualCanAdapter(bus);
    QPointer<CanScheduler> scheduler = new CanScheduler(host);
    QPointer<SimNetwork> network = new SimNetwork(devices);
    QPointer<QObject> service;
    QPointer<QObject> client; ///< the UDS client under a UDS service, when there is one
    std::function<CAN::RetType()> start;
    int outcomes = 0;
    std::function<void()> onOutcome;
    QString dir;

    Env()
    {
        network->addDefaultDevices();
        network->powerOn();
        if (SimCanopenNode *node = network->node(1))
            node->od()->add(
                0x2000, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
        network->udsEcu()->setSecurityRequired(false);
        runVirtual([] { return false; }, 20); // boot-up messages
    }
    ~Env()
    {
        delete service.data();
        delete client.data();
        delete scheduler.data();
        delete network.data();
        delete host.data();
        delete devices.data();
        delete bus.data();
    }
    QObject *victim(Victim v) const
    {
        switch (v) {
        case Victim_Scheduler:
            return scheduler;
        case Victim_Adapter:
            return host;
        case Victim_Bus:
            return bus;
        case Victim_Device:
            return network;
        case Victim_Service:
            return service;
        case Victim_Client:
            return client;
        case VictimCount:
            break;
        }
        return nullptr;
    }
    void outcome()
    {
        ++outcomes;
        if (onOutcome)
            onOutcome();
    }
};

struct Scenario
{
    const char *name;
    std::function<void(Env &)> make; ///< creates env.service (and env.client), sets env.start
    bool answers; ///< the request ends in an outcome signal
};

/// A UDS client with a transfer already requested, for the file transfer services.
bool requestTransfer(Env &env, UDSClient *uds, bool download)
{
    bool answered = false;
    QObject::connect(uds, &UDSClient::response, uds, [&] { answered = true; });
    const CAN::RetType ret = download ? uds->RequestDownload(0, 4, 4, SimNetwork::kUdsMemoryBase, 300)
                                      : uds->RequestUpload(0, 4, 4, SimNetwork::kUdsMemoryBase, 300);
    const QPointer<UDSClient> alive(uds);
    const bool ok = ret == CAN::RetType_OK && runVirtual([&] { return answered || !alive; }, 2000) && alive;
    if (alive)
        QObject::disconnect(uds, &UDSClient::response, uds, nullptr);
    Q_UNUSED(env)
    return ok;
}

QList<Scenario> scenarios()
{
    auto sdo = [](Env &env) {
        auto *c = new SDOClient(0x581, 0x601, env.scheduler, nullptr);
        c->setSdoTimeout(100);
        QObject::connect(c, &SDOClient::resultReceived, c, [&env] { env.outcome(); });
        QObject::connect(c, &SDOClient::errorReceived, c, [&env] { env.outcome(); });
        QObject::connect(c, &SDOClient::opError, c, [&env] { env.outcome(); });
        env.service = c;
        return c;
    };
    auto lss = [](Env &env) {
        auto *m = new LSSMaster(env.scheduler, nullptr);
        m->setTimeout(50);
        QObject::connect(m, &LSSMaster::lssResult, m, [&env] { env.outcome(); });
        env.service = m;
        return m;
    };
    auto uds = [](Env &env) {
        auto *c = new UDSClient(env.scheduler);
        c->setResponseTimeout(200);
        env.client = c;
        return c;
    };
    auto udsOutcomes = [](Env &env, UDSClient *c) {
        QObject::connect(c, &UDSClient::response, c, [&env] { env.outcome(); });
        QObject::connect(c, &UDSClient::timeout, c, [&env] { env.outcome(); }); // error() precedes response()
        env.service = c;
    };
    return {
        { "sdo expedited read",
            [=](Env &env) {
                SDOClient *c = sdo(env);
                env.start = [c] { return c->read(0x1018, 1, CAN::UNSIGNED32); };
            },
            true },
        { "sdo segmented write",
            [=](Env &env) {
                SDOClient *c = sdo(env);
                env.start = [c] { return c->write(0x2000, 0, CAN::DOMAIN, QVariant(QByteArray(40, 'w'))); };
            },
            true },
        { "sdo segmented read",
            [=](Env &env) {
                SDOClient *c = sdo(env);
                env.start = [c] { return c->read(0x1008, 0, CAN::VISIBLE_STRING); };
            },
            true },
        { "nmt guarding",
            [](Env &env) {
                auto *s = new NMTSlave(1, env.scheduler, nullptr);
                env.service = s;
                env.start = [s] { return s->startNodeGuarding(30, 2); };
            },
            false },
        { "nmt heartbeat",
            [](Env &env) {
                auto *s = new NMTSlave(3, env.scheduler, nullptr);
                env.service = s;
                env.start = [s] { return s->startHeartbeatMonitoring(700); };
            },
            false },
        { "lss selective",
            [=](Env &env) {
                LSSMaster *m = lss(env);
                env.start = [m] { return m->switchModeSelective(0x4B1, 0x00401001, 0x00010003, 0x1A2B00FF); };
            },
            true },
        { "lss fastscan",
            [=](Env &env) {
                LSSMaster *m = lss(env);
                env.start = [m] { return m->fastScan(0, 0, 0, 0); };
            },
            true },
        { "lss classical scan",
            [=](Env &env) {
                LSSMaster *m = lss(env);
                env.start = [m] {
                    return m->classicalScan(
                        0x4B1, 0x00401001, 0x00010003, 0x00010003, 0x1A2B00F0, 0x1A2B00FF);
                };
                QObject::connect(
                    m, &LSSMaster::lssResult, m, [m](LSSMaster::LssAction, LSSMaster::LssResult, QVariant v) {
                        Q_UNUSED(m)
                        Q_UNUSED(v)
                    });
            },
            true },
        { "uds read identifier (iso-tp reception)",
            [=](Env &env) {
                UDSClient *c = uds(env);
                udsOutcomes(env, c);
                env.start = [c] { return c->ReadDataByIdentifers({ 0xF190 }); };
            },
            true },
        { "uds write identifier (iso-tp transmission)",
            [=](Env &env) {
                UDSClient *c = uds(env);
                udsOutcomes(env, c);
                env.start = [c] { return c->WriteDataByIdentifer(0x0100, QByteArray(60, 'x')); };
            },
            true },
        { "uds authentication",
            [=](Env &env) {
                UDSClient *c = uds(env);
                auto *a = new UDSAuthentication(c);
                auto count = [&env] { env.outcome(); };
                QObject::connect(a, &UDSAuthentication::authenticationConfigurationReceived, a, count);
                QObject::connect(a, &UDSAuthentication::timeout, a, count);
                QObject::connect(a, &UDSAuthentication::error, a, count);
                env.service = a;
                env.start = [a] { return a->authenticationConfiguration(); };
            },
            true },
        { "uds file download",
            [=](Env &env) {
                UDSClient *c = uds(env);
                auto *d = new UDSFileDownloader(c);
                d->setBlockDelay(1);
                QObject::connect(d, &UDSFileDownloader::completed, d, [&env] { env.outcome(); });
                QObject::connect(d, &UDSFileDownloader::error, d, [&env] { env.outcome(); });
                QObject::connect(d, &UDSFileDownloader::sigDownloadProgress, d, [&env] {
                    if (env.onOutcome)
                        env.onOutcome(); // dying inside a progress report too
                });
                env.service = d;
                const QString file = env.dir + QStringLiteral("/download.bin");
                QFile f(file);
                f.open(QIODevice::WriteOnly);
                f.write(QByteArray(300, 'd'));
                f.close();
                env.start = [&env, c = QPointer<UDSClient>(c), d = QPointer<UDSFileDownloader>(d), file] {
                    // Anything may die while the transfer is requested.
                    return c && requestTransfer(env, c, true) && d && d->downloadFile(file, 100)
                        ? CAN::RetType_OK
                        : CAN::RetType_NoLink;
                };
            },
            true },
        { "uds file upload",
            [=](Env &env) {
                UDSClient *c = uds(env);
                auto *u = new UDSFileUploader(c);
                u->setBlockDelay(1);
                QObject::connect(u, &UDSFileUploader::completed, u, [&env] { env.outcome(); });
                QObject::connect(u, &UDSFileUploader::error, u, [&env] { env.outcome(); });
                env.service = u;
                const QString file = env.dir + QStringLiteral("/upload.bin");
                env.start = [&env, c = QPointer<UDSClient>(c), u = QPointer<UDSFileUploader>(u), file] {
                    return c && requestTransfer(env, c, false) && u && u->uploadFile(file, 300)
                        ? CAN::RetType_OK
                        : CAN::RetType_NoLink;
                };
            },
            true },
        { "network scanner",
            [](Env &env) {
                auto *s = new CANopenNetworkscanner;
                QObject::connect(s, &CANopenNetworkscanner::sigFinished, s, [&env] { env.outcome(); });
                env.service = s;
                env.start = [&env, s] {
                    s->startScan(env.scheduler, true);
                    return s->getCurrentState() == CANopenNetworkscanner::CS_Running ? CAN::RetType_OK
                                                                                     : CAN::RetType_NoLink;
                };
            },
            true },
        { "sync and emcy",
            [](Env &env) {
                auto *s = new SYNCProducer(0x80, env.scheduler, nullptr);
                s->setSyncInterval(10);
                auto *e = new EMCYConsumer(0x81, env.scheduler, s);
                Q_UNUSED(e)
                env.service = s;
                env.start = [s] { return s->start(); };
            },
            false },
    };
}

} // namespace

class TestTeardown : public QObject
{
    Q_OBJECT
private slots:
    void teardown_data()
    {
        QTest::addColumn<int>("scenario");
        const QList<Scenario> all = scenarios();
        for (int i = 0; i < all.size(); ++i)
            QTest::newRow(all.at(i).name) << i;
    }
    void teardown()
    {
        QFETCH(int, scenario);
        const Scenario s = scenarios().at(scenario);
        QTemporaryDir dir;

        // The undisturbed transfer: how many frames it takes.
        int frames = 0;
        {
            Env env;
            env.dir = dir.path();
            s.make(env);
            QCOMPARE(env.start(), CAN::RetType_OK);
            int counted = 0;
            QObject::connect(env.bus, &VirtualCanBus::frameDelivered, env.bus, [&] { ++counted; });
            runVirtual([&] { return s.answers && env.outcomes > 0; }, s.answers ? 60000 : 1000);
            if (s.answers)
                QCOMPARE(env.outcomes, 1);
            frames = counted;
        }
        // At most 60 phases, spread over the transfer, then inside the outcome slot (phase -1).
        QList<int> phases { -1 };
        const int step = qMax(1, frames / 60);
        for (int k = 0; k <= frames; k += step)
            phases << k;

        for (int phase : qAsConst(phases)) {
            for (int v = 0; v < VictimCount; ++v) {
                const Victim victim = Victim(v);
                Env env;
                env.dir = dir.path();
                s.make(env);
                if (!env.victim(victim))
                    continue;
                ++mCases;
                bool killed = false;
                QPointer<QObject> target = env.victim(victim);
                int outcomesAtKill = 0;
                auto kill = [&] {
                    if (killed)
                        return;
                    killed = true;
                    outcomesAtKill = env.outcomes;
                    if (victim == Victim_Bus)
                        target->deleteLater(); // the bus is the sender of frameDelivered
                    else
                        delete target.data();
                };
                int counted = 0;
                if (phase < 0) {
                    env.onOutcome = kill;
                } else {
                    QObject::connect(env.bus, &VirtualCanBus::frameDelivered, env.bus, [&] {
                        if (++counted == phase)
                            kill();
                    });
                }
                const CAN::RetType started = env.start();
                if (phase == 0)
                    kill();
                if (started != CAN::RetType_OK)
                    continue; // killed while the start still waited (a file transfer's request)
                runVirtual([&] { return killed && (!s.answers || env.outcomes > 0); }, 60000);
                const QByteArray where = QByteArray(s.name) + ", " + kVictimNames[v] + " destroyed at phase "
                    + QByteArray::number(phase);
                QVERIFY2(env.outcomes <= 1, where + ": more than one outcome");
                const bool serviceAlive = env.service && (victim != Victim_Client || env.client);
                if (s.answers && serviceAlive)
                    QVERIFY2(env.outcomes == 1, where + ": the request never ended");
                // Settle whatever still runs, then a new request of a live service is refused with a
                // code or ends with an outcome.
                runVirtual([] { return false; }, 300);
                if (s.answers && env.service && (victim == Victim_Scheduler || victim == Victim_Adapter)) {
                    const int before = env.outcomes;
                    env.onOutcome = nullptr;
                    const CAN::RetType again = env.start();
                    if (again == CAN::RetType_OK) {
                        const bool ended = runVirtual([&] { return env.outcomes > before; }, 60000);
                        QVERIFY2(ended,
                            where + ": a new request hangs (" + QByteArray::number(env.outcomes)
                                + " outcomes, "
                                + QByteArray::number(VirtualTimeDispatcher::instance()->timerCount())
                                + " timers)");
                    }
                }
            }
        }
    }
    void cleanupTestCase() { qInfo("%d teardown cases", mCases); }

private:
    int mCases = 0;
};

TARNWICK_VIRTUAL_TIME_TEST_MAIN(TestTeardown)
#include "tst_teardown.moc"
