#include "buspeer.h"
#include "isotphandler.h"
#include "sdotestbench.h"
#include "simisotpserver.h"
#include "udstestbench.h"

#include <QElapsedTimer>
#include <QTest>

// The simulated ECU as a tester sees it, for what the client suites do not already exercise:
// transcripts "request>answer; ..." ("*" ends a prefix match, an empty answer means none).
class tst_SimUdsEcu : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("sessions")
            << "1003>5003003201f4; 1004>7f1012; 100301>7f1013; 1081>; 1101>5101; 1104>7f1112";
        QTest::newRow("dtcs, identifiers, memory")
            << "190209>5902ff12345609; 14123456>54; 190a>590affabcdef02; 1905>7f1912; "
               "22f190f18c>62f190313233f18c00;"
               "22ffff>7f2231; 2ef18c01>7f2e33; 2312100004>63ffffffff; 2312100f02>7f2331; "
               "3d121000021122>7f3d33";
        QTest::newRow("security lockout")
            << "1003>5003*; 2701>6701*; 270200000000>7f2735; 2701>6701*;"
               "270200000000>7f2735; 2701>6701*; 270200000000>7f2736; 2701>7f2737";
        QTest::newRow("transfer sequence")
            << "1002>5002*; 3400440000100000000008>7f3433; 3601>7f3624; 2701>6701*;"
               "2702cafe>6702; 3400440000100000000008>74201000; 360311>7f3673;"
               "360111223344>7601; 3602556677889900>7f3671; 37>77; 37>7f3724";
    }
    void transcript()
    {
        QFETCH(QString, script);
        UdsSimBench b;
        b.ecu.addDtc(0x123456, 0x09);
        b.ecu.addDtc(0xABCDEF, 0x02);
        b.ecu.setDataIdentifier(0xF190, "123");
        b.ecu.setDataIdentifier(0xF18C, QByteArray(1, 0), true, true);
        b.ecu.setMemory(0x1000, QByteArray(16, '\xff'));
        b.ecu.setKeyFunction([](quint8, const QByteArray &) { return QByteArray::fromHex("cafe"); });
        b.ecu.setSecurityAttempts(3, 60000);
        b.ecu.setS3Timeout(300);
        ISOTPHandler tester(&b.scheduler);
        tester.mTimeout = 300;
        for (const QString &step : script.split(';')) {
            const QStringList parts = step.trimmed().split('>');
            QByteArray request = QByteArray::fromHex(parts.at(0).toLatin1()), answer;
            QSignalSpy answered(&tester, &ISOTPHandler::dataReceived),
                timedOut(&tester, &ISOTPHandler::timeout);
            QCOMPARE(tester.startTransfer(request, true), 0);
            QTRY_COMPARE(answered.count() + timedOut.count(), 1);
            tester.getReceivedData(answer); // nothing after a timeout
            const QString got = QString::fromLatin1(answer.toHex()), want = parts.at(1);
            QVERIFY2(want.endsWith('*') ? got.startsWith(want.chopped(1)) : got == want,
                qPrintable(parts.at(0) + " answered " + got));
        }
        QTRY_COMPARE(b.ecu.session(), quint8(1)); // back in the default session after S3
    }
    void isoTpServer_data()
    {
        QTest::addColumn<int>("waits");
        QTest::addColumn<int>("blockSize");
        QTest::addColumn<QByteArray>("script"); // see playTranscript; the ECU answers on 7E8
        QTest::addColumn<QString>("failure");
        // A 34-byte request "31 01 02 03 72..." in a first and four consecutive frames, which the
        // ECU's echo routine answers alike, and ones for an unknown routine, refused in one frame.
        const QByteArray r7("72727272727272"), pad("cccccccccc ");
        auto cf = [&](int i, char dir = '<') { return dir + QByteArray::number(0x20 + i, 16) + r7 + ' '; };
        const QByteArray echo("<1022310102037272 "), unknown("<102231010fff7272 "),
            refused(">037f3131cccccccc ");
        const QByteArray answer
            = ">1022710102037272 <300014 " + cf(1, '>') + cf(2, '>') + cf(3, '>') + cf(4, '>');
        const QByteArray bs3 = ">300302" + pad;
        // clang-format off
        QTest::newRow("two waits, block size 3, STmin 2") << 2 << 3
            << echo + ">310302" + pad + ">310302" + pad + bs3 + cf(1) + cf(2) + cf(3) + bs3 + cf(4) + answer << QString();
        // The block count starts again with every message (the first one ends within a block).
        QTest::newRow("block size 3, two messages in a row") << 0 << 3 << "<101431010fff7272 " + bs3 + cf(1) + cf(2)
            + refused + echo + bs3 + cf(1) + cf(2) + "~20 " + cf(3) + bs3 + cf(4) + answer << QString();
        QTest::newRow("wrong sequence number") << 0 << 0 << echo + ">300002" + pad + cf(1) + cf(3) + "~60 " + unknown
            + ">300002" + pad + cf(1) + cf(2) + cf(3) + cf(4) + refused << "wrong sequence number";
        QTest::newRow("longer than the ECU takes") << 0 << 0
            << "<1fff310102037272 >320002" + pad + "~60 <023e00 >027e00cccccccccc" << QString();
        // clang-format on
    }
    void isoTpServer()
    {
        QFETCH(int, waits);
        QFETCH(int, blockSize);
        QFETCH(QByteArray, script);
        QFETCH(QString, failure);
        UdsSimBench b;
        BusPeer tester(&b.bus);
        b.ecu.setRoutine(0x0203, echoRoutine());
        b.ecu.transport()->setWaitFrames(waits);
        b.ecu.transport()->setBlockSize(quint8(blockSize));
        b.ecu.transport()->setSTmin(2);
        b.ecu.transport()->setMaxRequestLength(200);
        QSignalSpy failures(b.ecu.transport(), &SimIsoTpServer::transferFailed);
        QList<qint64> consecutive; // when the ECU sent each consecutive frame; asked for STmin 20 ms
        QElapsedTimer clock;
        clock.start();
        connect(&b.ecuAdapter, &VirtualCanAdapter::frameSent, this, [&](const CAN::CanMessage &m) {
            if (m.data[0] >> 4 == 2)
                consecutive << clock.nsecsElapsed();
        });
        const QByteArray why = playTranscript(tester, 0x7E8, 0x7E0, script);
        QVERIFY2(why.isEmpty(), why.constData());
        QCOMPARE(failures.isEmpty() ? QString() : failures.at(0).at(0).toString(), failure);
        for (int i = 1; i < consecutive.size(); ++i)
            QVERIFY2(consecutive.at(i) - consecutive.at(i - 1) >= 20000000, qPrintable(QString::number(i)));
    }
};

QTEST_GUILESS_MAIN(tst_SimUdsEcu)
#include "tst_simudsecu.moc"
