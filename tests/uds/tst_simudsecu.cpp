#include "canscheduler.h"
#include "isotphandler.h"
#include "recordingadapter.h"
#include "simisotpserver.h"
#include "simudsecu.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

// The simulated ECU as a tester sees it: raw requests through an ISO-TP transport and the
// exact answers, written as transcripts "request>answer; ..." ("*" ends a prefix match, an
// empty answer means none comes).
class tst_SimUdsEcu : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data();
    void transcript();
    void sessionFallsBackAfterS3();
    void isoTpServerFlowControl();
};

void tst_SimUdsEcu::transcript_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("sessions") << "1003>5003003201f4; 1004>7f1012; 100301>7f1013; 1081>";
    QTest::newRow("reset") << "1003>5003*; 1101>5101; 2701>7f277f; 1104>7f1112";
    QTest::newRow("dtcs") << "190209>5902ff12345609; 190101>5901ff010001; 190a>590aff12345609abcdef02;"
                             "14123456>54; 190a>590affabcdef02; 14000001>7f1431; 14ffffff>54; 190a>590aff;"
                             "1905>7f1912; 14ff>7f1413";
    QTest::newRow("identifiers")
        << "22f190>62f190313233; 22f190f18c>62f190313233f18c00; 22ffff>7f2231; 22f1>7f2213;"
           "2ef19041>7f2e13; 2ef190414243>6ef190; 22f190>62f190414243;"
           "2ef18c01>7f2e33; 2e0001aa>7f2e31";
    QTest::newRow("memory") << "2312100004>63ffffffff; 2312100f02>7f2331; 2302100004>7f2331; 231210>7f2313;"
                               "3d121000021122>7f3d33";
    QTest::newRow("security")
        << "2701>7f277f; 1003>5003*; 270200000000>7f2724; 2701>6701*; 270200000000>7f2735;"
           "2701>6701*; 270200000000>7f2735; 2701>6701*; 270200000000>7f2736; 2701>7f2737";
    QTest::newRow("download") << "3400440000100000000008>7f347f; 1002>5002*; 3400440000100000000008>7f3433;"
                                 "2701>6701*; 2702cafe>6702; 2701>670100000000; 3601>7f3624;"
                                 "3400440000100000000008>74201000; 3400440000100000000008>7f3422;"
                                 "360111223344>7601; 360311>7f3673; 360111223344>7601;"
                                 "3602556677889900>7f3671; 36025566>7602; 37>77; 37>7f3724;"
                                 "2314000010000a>6311223344 5566ffffffff; 3d12100002aabb>7d121000 02"
                                 "; 2312100002>63aabb";
    QTest::newRow("upload")
        << "1002>5002*; 2701>6701*; 2702cafe>6702; 3400121000ff>7f3431; 3501121000ff>7f3531;"
           "35001210000a>75201000; 3601>7601ffffffffffffffffffff; 3602>7f3624; 3601>7601ffff*;"
           "37>77";
    QTest::newRow("routines") << "31020203>7f3124; 31010203aa>71010203aa; 31030203>71030203; 3101ffff>7f3131;"
                                 "31040203>7f3112; 318102 03>; 310102>7f3113";
    QTest::newRow("other services")
        << "3e00>7e00; 3e01>7f3e12; 3e80>; 2f000100>7f2f11; 280301>7f287f;"
           "8501>7f857f; 1003>5003*; 280301>6803; 280401>7f2812; 8502>c502; 8503>7f8512;"
           "2901>7f2912";
}

void tst_SimUdsEcu::transcript()
{
    QFETCH(QString, script);
    VirtualCanBus bus;
    VirtualCanAdapter testerAdapter(&bus), ecuAdapter(&bus);
    CanScheduler scheduler(&testerAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    ecu.addDtc(0x123456, 0x09);
    ecu.addDtc(0xABCDEF, 0x02);
    ecu.setDataIdentifier(0xF190, "123");
    ecu.setDataIdentifier(0xF18C, QByteArray(1, 0), true, true);
    ecu.setMemory(0x1000, QByteArray(16, '\xff'));
    ecu.setKeyFunction([](quint8, const QByteArray &) { return QByteArray::fromHex("cafe"); });
    ecu.setRoutine(0x0203, [](quint8, const QByteArray &options, QByteArray &status) {
        status = options;
        return quint8(0);
    });
    ecu.setSecurityAttempts(3, 60000);

    ISOTPHandler tester(&scheduler);
    tester.mTimeout = 300;
    QSignalSpy answers(&tester, &ISOTPHandler::dataReceived);
    QSignalSpy timeouts(&tester, &ISOTPHandler::timeout);
    for (const QString &step : script.split(';')) {
        const QStringList parts = step.split('>');
        QCOMPARE(parts.size(), 2);
        QByteArray request = QByteArray::fromHex(parts.at(0).simplified().remove(' ').toLatin1());
        QString expected = parts.at(1).simplified().remove(' ');
        answers.clear();
        timeouts.clear();
        QCOMPARE(tester.startTransfer(request, true), 0);
        QTRY_COMPARE_WITH_TIMEOUT(answers.count() + timeouts.count(), 1, 2000);
        QByteArray answer;
        if (answers.count() == 1)
            tester.getReceivedData(answer);
        const QString got = QString::fromLatin1(answer.toHex());
        const QString what = QString("%1 answered %2").arg(parts.at(0).simplified(), got);
        if (expected.endsWith('*'))
            QVERIFY2(got.startsWith(expected.chopped(1)), qPrintable(what));
        else
            QVERIFY2(got == expected, qPrintable(what));
    }
}

void tst_SimUdsEcu::sessionFallsBackAfterS3()
{
    VirtualCanBus bus;
    VirtualCanAdapter testerAdapter(&bus), ecuAdapter(&bus);
    CanScheduler scheduler(&testerAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    ecu.setS3Timeout(80);
    QSignalSpy sessions(&ecu, &SimUdsEcu::sessionChanged);
    ISOTPHandler tester(&scheduler);
    QByteArray request = QByteArray::fromHex("1003");
    tester.startTransfer(request, true);
    QVERIFY(sessions.wait(1000));
    QCOMPARE(ecu.session(), quint8(3));
    QVERIFY(sessions.wait(1000));
    QCOMPARE(ecu.session(), quint8(1));
}

void tst_SimUdsEcu::isoTpServerFlowControl()
{
    // The server's own flow control: wait frames, block size and STmin, overflow.
    VirtualCanBus bus;
    VirtualCanAdapter testerAdapter(&bus), ecuAdapter(&bus);
    CanScheduler scheduler(&testerAdapter);
    SimUdsEcu ecu(&ecuAdapter);
    ecu.setRoutine(0x0203, [](quint8, const QByteArray &options, QByteArray &status) {
        status = options;
        return quint8(0);
    });
    ecu.transport()->setWaitFrames(2);
    ecu.transport()->setBlockSize(3);
    ecu.transport()->setSTmin(2);
    ecu.transport()->setMaxRequestLength(200);
    ISOTPHandler tester(&scheduler);
    tester.mTimeout = 1000;
    QList<CAN::CanMessage> fromEcu;
    connect(
        &ecuAdapter, &VirtualCanAdapter::frameSent, this, [&](const CAN::CanMessage &m) { fromEcu << m; });
    QSignalSpy answers(&tester, &ISOTPHandler::dataReceived);
    QByteArray request = QByteArray::fromHex("31010203") + QByteArray(60, 'r');
    QCOMPARE(tester.startTransfer(request, true), 0);
    QVERIFY(answers.wait(2000));
    QCOMPARE(frameHex(fromEcu.at(0)).left(6), QByteArray("310302"));
    QCOMPARE(frameHex(fromEcu.at(1)).left(6), QByteArray("310302"));
    QCOMPARE(frameHex(fromEcu.at(2)).left(6), QByteArray("300302"));
    QByteArray answer;
    tester.getReceivedData(answer);
    QCOMPARE(answer, QByteArray::fromHex("71010203") + QByteArray(60, 'r'));

    // A request longer than the server takes: overflow, and the tester gives up at once.
    tester.mTimeout = 100;
    fromEcu.clear();
    QSignalSpy errors(&tester, &ISOTPHandler::error);
    request = QByteArray(300, 'x');
    tester.startTransfer(request, true);
    QVERIFY(errors.wait(1000));
    QCOMPARE(frameHex(fromEcu.at(0)).left(2), QByteArray("32"));
}

QTEST_GUILESS_MAIN(tst_SimUdsEcu)
#include "tst_simudsecu.moc"
