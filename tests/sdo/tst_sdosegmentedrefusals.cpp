// Segmented SDO under adapter refusals: a segment refused as not ready (7) goes again after a
// short pause, any other refusal ends the transfer in an error; one outcome either way.
#include "canscheduler.h"
#include "scriptedadapter.h"
#include "sdosegmentedclient.h"

#include <QSignalSpy>
#include <QTest>

class tst_SdoSegmentedRefusals : public QObject
{
    Q_OBJECT
private slots:
    void refusedSegment_data();
    void refusedSegment();
};

void tst_SdoSegmentedRefusals::refusedSegment_data()
{
    QTest::addColumn<QList<CAN::RetType>>("script"); // initiate, then the first segment's tries
    QTest::addColumn<QByteArray>("wire"); // frames after the initiate, space separated
    QTest::addColumn<quint32>("error"); // 0: the download succeeds
    using R = QList<CAN::RetType>;
    const CAN::RetType ok = CAN::RetType_OK, full = CAN::RetType_NotReady;
    QTest::newRow("queue full twice") << R { ok, full, full }
                                      << QByteArray("00aabbccddeeff11 00aabbccddeeff11 "
                                                    "00aabbccddeeff11 1b22330000000000")
                                      << 0u;
    QTest::newRow("device error") << R { ok, CAN::RetType_DeviceError }
                                  << QByteArray("00aabbccddeeff11 8000200100000008") << 0x08000000u;
}

void tst_SdoSegmentedRefusals::refusedSegment()
{
    QFETCH(QList<CAN::RetType>, script);
    QFETCH(QByteArray, wire);
    QFETCH(quint32, error);
    ScriptedAdapter adapter;
    adapter.script = script;
    CanScheduler scheduler(&adapter);
    SDOSegmentedClient client(0x585, 0x605, &scheduler, nullptr);
    QSignalSpy results(&client, &SDOSegmentedClient::resultReceived);
    QSignalSpy errors(&client, &SDOSegmentedClient::errorReceived);
    QCOMPARE(client.write(0x2000, 1, QByteArray::fromHex("aabbccddeeff112233")), CAN::RetType_OK);
    adapter.injectFrame(0x585, QByteArray::fromHex("6000200100000000"));
    const QList<QByteArray> frames = wire.split(' ');
    QTRY_VERIFY(adapter.frames.size() >= frames.size()); // the repetitions come by themselves
    if (error == 0) {
        adapter.injectFrame(0x585, QByteArray::fromHex("2000000000000000"));
        adapter.injectFrame(0x585, QByteArray::fromHex("3000000000000000"));
    }
    QTRY_COMPARE(results.count() + errors.count(), 1);
    QCOMPARE(adapter.frames.size(), 1 + frames.size());
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(frameHex(adapter.frames.at(1 + i)), frames.at(i));
    QCOMPARE(errors.count(), error ? 1 : 0);
    if (error)
        QCOMPARE(errors.at(0).at(2).toUInt(), error);
    QVERIFY(!errors.wait(100));
    QCOMPARE(results.count() + errors.count(), 1);
}

QTEST_GUILESS_MAIN(tst_SdoSegmentedRefusals)
#include "tst_sdosegmentedrefusals.moc"
