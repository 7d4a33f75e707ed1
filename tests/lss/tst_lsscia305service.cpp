// LSS requests and answers on CAN frames: a scripted peer checks every byte and answers.

#include "buspeer.h"
#include "canopenservice.h"
#include "canscheduler.h"
#include "lssmaster.h"
#include "recordingadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>

using Request = std::function<CAN::RetType(LSSMaster &)>;

namespace {
Request request(const QByteArray &name)
{
    if (name == "switchGlobalWaiting")
        return [](LSSMaster &m) { return m.switchModeGlobal(LSSMaster::LssGlobalState_Waiting); };
    if (name == "switchGlobalConfiguration")
        return [](LSSMaster &m) { return m.switchModeGlobal(LSSMaster::LssGlobalState_Configuration); };
    if (name == "configureNodeId")
        return [](LSSMaster &m) { return m.configureNodeId(5); };
    if (name == "configureBitTiming")
        return [](LSSMaster &m) { return m.configureBitTiming(0, 4); };
    if (name == "activateBitTiming")
        return [](LSSMaster &m) { return m.activateBitTiming(0x1234); };
    if (name == "storeConfiguration")
        return [](LSSMaster &m) { return m.storeConfiguration(); };
    if (name == "identifyNonConfigSlaves")
        return [](LSSMaster &m) { return m.identifyNonConfigSlaves(); };
    if (name == "inquireNodeId")
        return [](LSSMaster &m) { return m.inquireNodeId(); };
    if (name == "switchSelective")
        return [](LSSMaster &m) { return m.switchModeSelective(0x1A2, 0x10, 1, 0xFFFFFFFF); };
    return {};
}
} // namespace

class TestLssCiA305Service : public QObject
{
    Q_OBJECT

    std::unique_ptr<VirtualCanBus> bus;
    std::unique_ptr<VirtualCanAdapter> adapter;
    std::unique_ptr<CanScheduler> scheduler;
    std::unique_ptr<LSSMaster> master;
    std::unique_ptr<BusPeer> peer;
    std::unique_ptr<QSignalSpy> results;

    LSSMaster::LssResult resultType(int i) const { return results->at(i).at(1).value<LSSMaster::LssResult>(); }
    LSSMaster::LssAction action(int i) const { return results->at(i).at(0).value<LSSMaster::LssAction>(); }

private slots:
    void init()
    {
        bus = std::make_unique<VirtualCanBus>();
        adapter = std::make_unique<VirtualCanAdapter>(bus.get());
        scheduler = std::make_unique<CanScheduler>(adapter.get());
        master = std::make_unique<LSSMaster>(scheduler.get());
        master->setTimeout(60);
        peer = std::make_unique<BusPeer>(bus.get());
        results = std::make_unique<QSignalSpy>(master.get(), &LSSMaster::lssResult);
    }
    void cleanup()
    {
        master->activateCANopenFD(false);
        results.reset();
        peer.reset();
        master.reset();
        scheduler.reset();
        adapter.reset();
        bus.reset();
    }

    void requestFrames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("fd");
        QTest::addColumn<QByteArray>("bytes");
        const struct
        {
            const char *name;
            const char *classic;
            const char *fd;
        } rows[] = {
            {"switchGlobalWaiting", "0400000000000000", "0400"},
            {"switchGlobalConfiguration", "0401000000000000", "0401"},
            {"configureNodeId", "1105000000000000", "1105"},
            {"configureBitTiming", "1300040000000000", "1300040000000000"},
            {"activateBitTiming", "1534120000000000", "153412"},
            {"storeConfiguration", "1700000000000000", "17"},
            {"identifyNonConfigSlaves", "4c00000000000000", "4c"},
            {"inquireNodeId", "5e00000000000000", "5e"},
        };
        for (const auto &row : rows) {
            QTest::addRow("%s", row.name) << QByteArray(row.name) << false << QByteArray(row.classic);
            QTest::addRow("%s FD", row.name) << QByteArray(row.name) << true << QByteArray(row.fd);
        }
    }
    void requestFrames()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, fd);
        QFETCH(QByteArray, bytes);
        master->activateCANopenFD(fd);
        QCOMPARE(request(name)(*master), CAN::RetType_OK);
        const CAN::CanRxMessage frame = peer->takeFrame();
        QCOMPARE(frame.id, 0x7E5u);
        QCOMPARE(frameHex(frame), bytes);
        QVERIFY(!frame.fd && !frame.bitRateSwitch && !frame.remote && !frame.extended);
    }

    void switchModeSelectiveFrames_data()
    {
        QTest::addColumn<bool>("fd");
        QTest::newRow("classic") << false;
        QTest::newRow("FD keeps 8 bytes") << true;
    }
    void switchModeSelectiveFrames()
    {
        QFETCH(bool, fd);
        master->activateCANopenFD(fd);
        master->setMessageGap(5);
        QCOMPARE(request("switchSelective")(*master), CAN::RetType_OK);
        QVERIFY(peer->expect(0x7E5, "40a2010000000000"));
        QVERIFY(peer->expect(0x7E5, "4110000000000000"));
        QVERIFY(peer->expect(0x7E5, "4201000000000000"));
        QVERIFY(peer->expect(0x7E5, "43ffffffff000000"));
        QCOMPARE(master->configureNodeId(1), CAN::RetType_Busy);
        peer->send(0x7E4, "4400000000000000");
        QTRY_COMPARE(results->count(), 1);
        QCOMPARE(action(0), LSSMaster::LssAction_SwitchModeSelective);
        QCOMPARE(resultType(0), LSSMaster::LssResult_Success);
        QVERIFY(peer->expectSilence(100));
        QCOMPARE(results->count(), 1);
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("value");
        QTest::newRow("node-ID ok") << QByteArray("configureNodeId") << QByteArray("1100000000000000")
                                    << int(LSSMaster::LssAction_ConfigureNodeId) << 0 << 0;
        QTest::newRow("node-ID out of range") << QByteArray("configureNodeId") << QByteArray("1101000000000000")
                                              << int(LSSMaster::LssAction_ConfigureNodeId) << 2 << 1;
        QTest::newRow("bit timing ok") << QByteArray("configureBitTiming") << QByteArray("1300000000000000")
                                       << int(LSSMaster::LssAction_ConfigureBitTiming) << 0 << 0;
        QTest::newRow("bit timing unsupported") << QByteArray("configureBitTiming") << QByteArray("1301000000000000")
                                                << int(LSSMaster::LssAction_ConfigureBitTiming) << 2 << 1;
        QTest::newRow("bit timing specific") << QByteArray("configureBitTiming") << QByteArray("13ff070000000000")
                                             << int(LSSMaster::LssAction_ConfigureBitTiming) << 2 << 0xFF;
        QTest::newRow("store ok") << QByteArray("storeConfiguration") << QByteArray("1700000000000000")
                                  << int(LSSMaster::LssAction_StoreConfiguration) << 0 << 0;
        QTest::newRow("store not supported") << QByteArray("storeConfiguration") << QByteArray("1701000000000000")
                                             << int(LSSMaster::LssAction_StoreConfiguration) << 2 << 1;
        QTest::newRow("store media error") << QByteArray("storeConfiguration") << QByteArray("1702000000000000")
                                           << int(LSSMaster::LssAction_StoreConfiguration) << 2 << 2;
        QTest::newRow("inquire node-ID") << QByteArray("inquireNodeId") << QByteArray("5e2a000000000000")
                                         << int(LSSMaster::LssAction_InquireNodeId) << 0 << 0x2A;
        QTest::newRow("inquire unconfigured") << QByteArray("inquireNodeId") << QByteArray("5eff000000000000")
                                              << int(LSSMaster::LssAction_InquireNodeId) << 0 << 0xFF;
    }
    void answers()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, answer);
        QFETCH(int, action);
        QFETCH(int, result);
        QFETCH(int, value);
        QCOMPARE(request(name)(*master), CAN::RetType_OK);
        QCOMPARE(peer->takeFrame().id, 0x7E5u);
        peer->send(0x7E4, answer.constData());
        QTRY_COMPARE(results->count(), 1);
        QCOMPARE(int(this->action(0)), action);
        QCOMPARE(int(resultType(0)), result);
        QCOMPARE(results->at(0).at(2).toInt(), value);
        // The answer timer must not report a second outcome.
        QTest::qWait(100);
        QCOMPARE(results->count(), 1);
    }

    void ignoredAnswers_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("7 bytes") << QByteArray("configureNodeId") << QByteArray("11000000000000");
        QTest::newRow("9 bytes") << QByteArray("inquireNodeId") << QByteArray("5e0500000000000000");
        QTest::newRow("node-ID answer to store") << QByteArray("storeConfiguration") << QByteArray("1100000000000000");
        QTest::newRow("store answer to node-ID") << QByteArray("configureNodeId") << QByteArray("1700000000000000");
        QTest::newRow("selective answer to inquire") << QByteArray("inquireNodeId") << QByteArray("4400000000000000");
        QTest::newRow("unknown command") << QByteArray("configureBitTiming") << QByteArray("9900000000000000");
    }
    void ignoredAnswers()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, answer);
        QCOMPARE(request(name)(*master), CAN::RetType_OK);
        QCOMPARE(peer->takeFrame().id, 0x7E5u);
        peer->send(0x7E4, answer);
        QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 2000);
        QCOMPARE(resultType(0), LSSMaster::LssResult_Timeout);
        QCOMPARE(results->at(0).at(2).toInt(), 0);
    }

    void timeouts_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("action");
        QTest::newRow("configureNodeId") << QByteArray("configureNodeId") << int(LSSMaster::LssAction_ConfigureNodeId);
        QTest::newRow("configureBitTiming") << QByteArray("configureBitTiming") << int(LSSMaster::LssAction_ConfigureBitTiming);
        QTest::newRow("activateBitTiming") << QByteArray("activateBitTiming") << int(LSSMaster::LssAction_ActivateBitTiming);
        QTest::newRow("storeConfiguration") << QByteArray("storeConfiguration") << int(LSSMaster::LssAction_StoreConfiguration);
        QTest::newRow("inquireNodeId") << QByteArray("inquireNodeId") << int(LSSMaster::LssAction_InquireNodeId);
        QTest::newRow("switchSelective") << QByteArray("switchSelective") << int(LSSMaster::LssAction_SwitchModeSelective);
    }
    void timeouts()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, action);
        QCOMPARE(request(name)(*master), CAN::RetType_OK);
        QCOMPARE(master->configureNodeId(9), CAN::RetType_Busy);
        QTRY_COMPARE(results->count(), 1);
        QCOMPARE(int(this->action(0)), action);
        QCOMPARE(resultType(0), LSSMaster::LssResult_Timeout);
        QCOMPARE(results->at(0).at(2).toInt(), 0);
        QTest::qWait(150);
        QCOMPARE(results->count(), 1);
        // Idle again: the next request is taken.
        QCOMPARE(master->inquireNodeId(), CAN::RetType_OK);
    }

    void globalSwitchAwaitsNothing()
    {
        QCOMPARE(master->switchModeGlobal(LSSMaster::LssGlobalState_Configuration), CAN::RetType_OK);
        QCOMPARE(master->configureNodeId(7), CAN::RetType_OK);
        QVERIFY(peer->expect(0x7E5, "0401000000000000"));
        QVERIFY(peer->expect(0x7E5, "1107000000000000"));
    }

    void identifyNonConfigSlavesReportsEachAnswer()
    {
        QCOMPARE(master->identifyNonConfigSlaves(), CAN::RetType_OK);
        QVERIFY(peer->expect(0x7E5, "4c00000000000000"));
        for (int i = 0; i < 3; ++i)
            peer->send(0x7E4, "5000000000000000");
        QTRY_COMPARE(results->count(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(action(i), LSSMaster::LssAction_IdentifyNonConfigSlaves);
            QCOMPARE(resultType(i), LSSMaster::LssResult_Success);
        }
        // Nothing was left pending.
        QCOMPARE(master->inquireNodeId(), CAN::RetType_OK);
    }

    void adapterRefusal_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("code");
        for (const char *name : {"switchGlobalWaiting", "configureNodeId", "activateBitTiming", "storeConfiguration",
                                 "identifyNonConfigSlaves", "inquireNodeId", "switchSelective"}) {
            QTest::addRow("%s 7", name) << QByteArray(name) << 7;
            QTest::addRow("%s 4", name) << QByteArray(name) << 4;
        }
    }
    void adapterRefusal()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, code);
        RecordingAdapter recorder;
        CanScheduler recordingScheduler(&recorder);
        LSSMaster m(&recordingScheduler);
        QSignalSpy spy(&m, &LSSMaster::lssResult);
        recorder.result = CAN::RetType(code);
        QCOMPARE(int(request(name)(m)), code);
        QCOMPARE(recorder.frames.size(), 1);
        // Nothing stays pending.
        recorder.result = CAN::RetType_OK;
        QCOMPARE(m.storeConfiguration(), CAN::RetType_OK);
        QCOMPARE(spy.count(), 0);
    }

    void selectiveFollowUpFrameFails()
    {
        RecordingAdapter recorder;
        CanScheduler recordingScheduler(&recorder);
        LSSMaster m(&recordingScheduler);
        m.setMessageGap(1);
        QSignalSpy spy(&m, &LSSMaster::lssResult);
        QCOMPARE(m.switchModeSelective(1, 2, 3, 4), CAN::RetType_OK);
        recorder.result = CAN::RetType_DeviceError;
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<LSSMaster::LssAction>(), LSSMaster::LssAction_SwitchModeSelective);
        QCOMPARE(spy.at(0).at(1).value<LSSMaster::LssResult>(), LSSMaster::LssResult_Error);
        QCOMPARE(spy.at(0).at(2).toInt(), 0);
        QCOMPARE(recorder.frames.size(), 2);
        QTest::qWait(50);
        QCOMPARE(spy.count(), 1);
    }

    void noScheduler()
    {
        auto recorder = std::make_unique<RecordingAdapter>();
        auto recordingScheduler = std::make_unique<CanScheduler>(recorder.get());
        LSSMaster m(recordingScheduler.get());
        QSignalSpy spy(&m, &LSSMaster::lssResult);
        recordingScheduler.reset();
        for (const char *name : {"switchGlobalWaiting", "configureNodeId", "configureBitTiming", "activateBitTiming",
                                 "storeConfiguration", "identifyNonConfigSlaves", "inquireNodeId", "switchSelective"})
            QCOMPARE(request(name)(m), CAN::RetType_NoLink);
        QVERIFY(recorder->frames.isEmpty());
        QTest::qWait(20);
        QCOMPARE(spy.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLssCiA305Service)
#include "tst_lsscia305service.moc"
