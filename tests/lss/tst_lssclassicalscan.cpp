// LSS classical scan (identify remote slave over ranges) against simulated LSS slaves.

#include "lssnetwork.h"
#include "recordingadapter.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTest>

namespace {
constexpr quint16 Answer = 20; // answer time-out of each range query in these tests
constexpr int Patience = 20000;
constexpr quint32 Vendor = 0x1A2;
constexpr quint32 Product = 0x10;
const QStringList EndMark = {"4294967295", "0", "0", "0"};

quint64 device(quint32 revision, quint32 serial)
{
    return quint64(revision) << 32 | serial;
}

QStringList deviceText(quint64 d)
{
    return {QString::number(Vendor), QString::number(Product), QString::number(quint32(d >> 32)),
            QString::number(quint32(d))};
}

/// One range query as queries() lists it.
QString query(quint32 revisionLow, quint32 revisionHigh, quint32 serialLow, quint32 serialHigh)
{
    QString out;
    for (quint32 v : {Vendor, Product, revisionLow, revisionHigh, serialLow, serialHigh}) {
        for (int i = 0; i < 4; ++i)
            out += QString::number((v >> (8 * i)) & 0xFF, 16).rightJustified(2, QLatin1Char('0'));
        out += QLatin1Char(' ');
    }
    return out;
}

/// The range queries the master sent, each as its six values in hex.
QStringList queries(const QList<CAN::CanMessage> &frames)
{
    QStringList out;
    QString current;
    for (const CAN::CanMessage &m : frames) {
        if (m.id != 0x7E5 || m.data[0] < 0x46 || m.data[0] > 0x4B)
            continue;
        current += QString::fromLatin1(frameHex(m).mid(2, 8)) + QLatin1Char(' ');
        if (m.data[0] == 0x4B) {
            out.append(current);
            current.clear();
        }
    }
    return out;
}

/// Adapter that refuses the third frame it sees once with "not ready".
class NotReadyOnce : public RecordingAdapter
{
public:
    CAN::RetType sendCanMessage(CAN::CanMessage &message) override
    {
        const CAN::RetType r = RecordingAdapter::sendCanMessage(message);
        return frames.size() == 3 ? CAN::RetType_NotReady : r;
    }
};
} // namespace

class TestLssClassicalScan : public QObject
{
    Q_OBJECT

private slots:
    void findsEachSlaveOnce_data()
    {
        QTest::addColumn<QList<quint64>>("devices");
        QTest::addColumn<QList<quint64>>("outside");
        QTest::addColumn<QList<quint32>>("ranges");
        QTest::newRow("one") << QList<quint64>{device(5, 9)} << QList<quint64>{}
                             << QList<quint32>{0, 15, 0, 15};
        QTest::newRow("three") << QList<quint64>{device(1, 100), device(3, 107), device(3, 115)}
                               << QList<quint64>{device(5, 100), device(2, 99), device(0, 107)}
                               << QList<quint32>{1, 4, 100, 115};
        QTest::newRow("corners of the range") << QList<quint64>{device(2, 10), device(2, 20), device(9, 10), device(9, 20)}
                                              << QList<quint64>{device(10, 10), device(2, 21)}
                                              << QList<quint32>{2, 9, 10, 20};
        QTest::newRow("none") << QList<quint64>{} << QList<quint64>{device(20, 3)}
                              << QList<quint32>{0, 15, 0, 15};
    }
    void findsEachSlaveOnce()
    {
        QFETCH(QList<quint64>, devices);
        QFETCH(QList<quint64>, outside);
        QFETCH(QList<quint32>, ranges);
        LssNetwork net;
        for (quint64 d : devices)
            net.addSlave(0xFF, Vendor, Product, quint32(d >> 32), quint32(d));
        for (quint64 d : outside)
            net.addSlave(0xFF, Vendor, Product, quint32(d >> 32), quint32(d));
        net.addSlave(4, Vendor, Product + 1, ranges[0], ranges[2]); // another product
        net.master.setTimeout(Answer);

        QCOMPARE(net.master.classicalScan(Vendor, Product, ranges[0], ranges[1], ranges[2], ranges[3]),
                 CAN::RetType_OK);
        QCOMPARE(net.master.inquireNodeId(), CAN::RetType_Busy);
        QTRY_VERIFY_WITH_TIMEOUT(!net.results.isEmpty() && net.value(net.results.count() - 1).toStringList() == EndMark,
                                 Patience);
        QSet<QStringList> expected;
        for (quint64 d : devices)
            expected.insert(deviceText(d));
        QList<QStringList> reported;
        for (int i = 0; i < net.results.count(); ++i) {
            QCOMPARE(net.action(i), LSSMaster::LssAction_ClassicalScan);
            QCOMPARE(net.result(i), LSSMaster::LssResult_Success);
            reported.append(net.value(i).toStringList());
        }
        QCOMPARE(reported.takeLast(), EndMark);
        QCOMPARE(reported.size(), devices.size());
        QCOMPARE(QSet<QStringList>(reported.begin(), reported.end()), expected);

        const QStringList sent = queries(net.requests);
        QCOMPARE(QSet<QString>(sent.begin(), sent.end()).size(), sent.size()); // no range twice
        QCOMPARE(sent.first(), query(ranges[0], ranges[1], ranges[2], ranges[3]));
        QTest::qWait(3 * Answer);
        QCOMPARE(queries(net.requests).size(), sent.size());
        QCOMPARE(net.master.inquireNodeId(), CAN::RetType_OK);
    }

    void revisionFirstThenSerialOverTheFullRange()
    {
        LssNetwork net;
        net.addSlave(0xFF, Vendor, Product, 5, 9);
        net.master.setTimeout(Answer);
        QCOMPARE(net.master.classicalScan(Vendor, Product), CAN::RetType_OK);
        QTRY_COMPARE_WITH_TIMEOUT(net.results.count(), 2, Patience);
        QCOMPARE(net.value(0).toStringList(), deviceText(device(5, 9)));
        QCOMPARE(net.value(1).toStringList(), EndMark);
        const QStringList sent = queries(net.requests);
        QCOMPARE(sent.first(), query(0, 0xFFFFFFFF, 0, 0xFFFFFFFF));
        // The revision range narrows to [5, 5] before the serial range is halved.
        const int revisionFound = sent.indexOf(query(5, 5, 0, 0xFFFFFFFF));
        QVERIFY(revisionFound > 0);
        for (int i = 0; i < revisionFound; ++i)
            QVERIFY(sent.at(i).endsWith(QLatin1String("00000000 ffffffff ")));
        QVERIFY(sent.contains(query(5, 5, 9, 9)));
        QCOMPARE(QSet<QString>(sent.begin(), sent.end()).size(), sent.size());
    }

    void noSlaveOfThatProduct()
    {
        LssNetwork net;
        net.addSlave(0xFF, Vendor, Product + 1, 5, 9);
        net.master.setTimeout(Answer);
        QCOMPARE(net.master.classicalScan(Vendor, Product), CAN::RetType_OK);
        QTRY_COMPARE(net.results.count(), 1);
        QCOMPARE(net.result(0), LSSMaster::LssResult_Success);
        QCOMPARE(net.value(0).toStringList(), EndMark);
        QCOMPARE(queries(net.requests).size(), 1);
    }

    void abort()
    {
        LssNetwork net;
        QCOMPARE(net.master.abortClassicalScan(), CAN::RetType_Busy); // nothing to abort
        net.addSlave(0xFF, Vendor, Product, 5, 9);
        net.addSlave(0xFF, Vendor, Product, 7000, 1);
        net.master.setTimeout(Answer);
        QCOMPARE(net.master.classicalScan(Vendor, Product), CAN::RetType_OK);
        QTRY_VERIFY(queries(net.requests).size() >= 3);
        QCOMPARE(net.master.abortClassicalScan(), CAN::RetType_OK);
        const int sent = queries(net.requests).size();
        QTRY_COMPARE(net.results.count(), 1);
        QCOMPARE(net.action(0), LSSMaster::LssAction_ClassicalScan);
        QCOMPARE(net.result(0), LSSMaster::LssResult_Timeout);
        QCOMPARE(net.value(0).toInt(), 0);
        QTest::qWait(4 * Answer);
        QCOMPARE(queries(net.requests).size(), sent);
        QCOMPARE(net.results.count(), 1);
        // A new scan replaces the aborted one.
        QCOMPARE(net.master.classicalScan(Vendor, Product, 5, 5, 9, 9), CAN::RetType_OK);
        QTRY_COMPARE(net.results.count(), 3);
        QCOMPARE(net.value(1).toStringList(), deviceText(device(5, 9)));
        QCOMPARE(net.value(2).toStringList(), EndMark);
    }

    void frameThatCannotBeSent()
    {
        RecordingAdapter recorder;
        recorder.result = CAN::RetType_DeviceError;
        CanScheduler scheduler(&recorder);
        LSSMaster master(&scheduler);
        master.setTimeout(Answer);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QCOMPARE(master.classicalScan(Vendor, Product), CAN::RetType_OK);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(1).value<LSSMaster::LssResult>(), LSSMaster::LssResult_Timeout);
        QCOMPARE(spy.at(0).at(2).toInt(), 0);
        QCOMPARE(recorder.frames.size(), 1);
    }

    // The only test of the 5 s blocking wait on a full transmit queue.
    void notReadyIsWaitedOut()
    {
        NotReadyOnce recorder;
        CanScheduler scheduler(&recorder);
        LSSMaster master(&scheduler);
        master.setTimeout(Answer);
        QSignalSpy spy(&master, &LSSMaster::lssResult);
        QElapsedTimer blocked;
        blocked.start();
        QCOMPARE(master.classicalScan(Vendor, Product, 1, 2, 3, 4), CAN::RetType_OK);
        QVERIFY(blocked.elapsed() >= 4900);
        QCOMPARE(recorder.frames.size(), 7);
        QCOMPARE(frameHex(recorder.frames.at(2)), QByteArray("4801000000000000"));
        QCOMPARE(frameHex(recorder.frames.at(3)), QByteArray("4801000000000000"));
        QCOMPARE(frameHex(recorder.frames.at(6)), QByteArray("4b04000000000000"));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(2).toStringList(), EndMark);
    }
};

QTEST_GUILESS_MAIN(TestLssClassicalScan)
#include "tst_lssclassicalscan.moc"
