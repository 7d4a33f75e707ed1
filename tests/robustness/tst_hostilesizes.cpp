// Hostile sizes: a device that announces more than it sends. Memory may only grow with what
// really arrives (plus a small bound), and the transfer ends with the protocol's error.
#include "buspeer.h"
#include "canscheduler.h"
#include "isotphandler.h"
#include "recordingadapter.h"
#include "sdoblockclient.h"
#include "sdocia309client.h"
#include "sdosegmentedclient.h"
#include "sdotestbench.h"
#include "usdosegmentedclient.h"
#include "usdotestbench.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int kSmallBound = 16 * 1024; // bytes beyond what was received
constexpr qint64 kPeakBoundKb = 8 * 1024;
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed blocks in quarantine, so the peak counts memory already given back.
constexpr bool kPeakCountsFreedMemory = true;
#else
constexpr bool kPeakCountsFreedMemory = false;
#endif

/// The peak resident set (VmHWM) of the process in KiB; reset first starts a new peak.
qint64 peakKb(bool reset = false)
{
    QFile clear(QStringLiteral("/proc/self/clear_refs")), status(QStringLiteral("/proc/self/status"));
    if (reset && clear.open(QIODevice::WriteOnly)) {
        clear.write("5");
        clear.close(); // the peak restarts now, not when the file object goes
    }
    status.open(QIODevice::ReadOnly);
    const QByteArray s = status.readAll();
    const int at = s.indexOf("VmHWM:") + 6;
    return at < 6 ? -1 : s.mid(at, s.indexOf(" kB", at) - at).trimmed().toLongLong();
}

/// A receive buffer holds at most what was received plus a small bound, and the peak grew little.
void checkMemory(const QByteArray &buffer, int received, qint64 peakBefore)
{
    QVERIFY2(buffer.capacity() <= received + kSmallBound, QByteArray::number(buffer.capacity()));
    const qint64 grown = peakKb() - peakBefore;
    qInfo("peak memory growth %lld KiB", grown);
    QVERIFY(grown < kPeakBoundKb);
}

/// An upload of 0x2000:0 from node 5 on a bench, with the transcript and outcome of the test row.
template<class Bench, class... ReadArgs> void upload(ReadArgs... readArgs)
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, outcome);
    QFETCH(int, received);
    Bench bench;
    bench.client.setSdoTimeout(100);
    const qint64 peak = peakKb(true);
    QCOMPARE(bench.client.read(0x2000, 0, readArgs...), CAN::RetType_OK);
    PLAY(bench, script);
    QTRY_COMPARE(bench.outcome(), outcome);
    checkMemory(bench.client.getCurrentlyReceivedData(), received, peak);
}

} // namespace

class TestHostileSizes : public QObject
{
    Q_OBJECT
private slots:
    void sdoUploadSize_data()
    {
        QTest::addColumn<int>("client"); // segmented, block, USDO segmented (CAN FD, 60 bytes a segment)
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("outcome");
        QTest::addColumn<int>("received");
        // The segmented server announces the size, then sends three segments and ends.
        QTest::newRow("0x1FFFFFFF, then 17 bytes")
            << 0
            << QByteArray(">4000200000000000 <41002000ffffff1f >6000000000000000 <0041424344454647 "
                          ">7000000000000000 <1048494a4b4c4d4e >6000000000000000 <0b4f505100000000 ~20")
            << QByteArray("2000/0 QByteArray 4142434445464748494a4b4c4d4e4f505100000000") << 21;
        QTest::newRow("0x20000000") << 0
                                    << QByteArray(">4000200000000000 <4100200000000020 >8000200005000405 ~20")
                                    << QByteArray("2000/0 05040005") << 0;
        QTest::newRow("0xFFFFFFFF") << 0
                                    << QByteArray(">4000200000000000 <41002000ffffffff >8000200005000405 ~20")
                                    << QByteArray("2000/0 05040005") << 0;
        // Block upload initiate answer with the size indicated; the server then sends nothing.
        QTest::newRow("block 0x1FFFFFFF")
            << 1 << QByteArray(">a00020007f000000 <c6002000ffffff1f >a300000000000000 >8000200000000405")
            << QByteArray("2000/0 05040000") << 0;
        QTest::newRow("block 0xFFFFFFFF")
            << 1 << QByteArray(">a00020007f000000 <c6002000ffffffff") << QByteArray("2000/0 05040005") << 0;
        const QByteArray segment = "29330000" + QByteArray("61").repeated(60);
        QTest::newRow("usdo 0x1FFFFFFF, then 61 bytes")
            << 2
            << QByteArray(
                   ">051100000020 <2932000000200f00ffffff1f >05130000 <" + segment + " >05130001 <2934000161")
            << "2000/0 QByteArray " + QByteArray("61").repeated(61) << 61;
        QTest::newRow("usdo 0x1FFFFFFF, then silence")
            << 2 << QByteArray(">051100000020 <2932000000200f00ffffff1f >05130000 >057f0000002012")
            << QByteArray("2000/0 12") << 0;
        QTest::newRow("usdo 0xFFFFFFFF")
            << 2 << QByteArray(">051100000020 <2932000000200f00ffffffff >057f0000002016")
            << QByteArray("2000/0 16") << 0;
    }
    void sdoUploadSize()
    {
        QFETCH(int, client);
        if (client == 0)
            upload<SdoClientBench<SDOSegmentedClient>>();
        else if (client == 1)
            upload<SdoClientBench<SDOBlockClient>>();
        else
            upload<UsdoClientBench<USDOSegmentedClient>>(CAN::DOMAIN);
    }

    void isoTpFirstFrame_data()
    {
        QTest::addColumn<QByteArray>("firstFrame");
        QTest::addColumn<int>("consecutive");
        QTest::newRow("4 GB, then 200 frames") << QByteArray::fromHex("1000ffffffff0102") << 200;
        QTest::newRow("4 GB - 1 with no frame after") << QByteArray::fromHex("1000fffffffe0102") << 0;
        QTest::newRow("0x7FFFFFFF, then 50 frames") << QByteArray::fromHex("10007fffffff0102") << 50;
    }
    void isoTpFirstFrame()
    {
        QFETCH(QByteArray, firstFrame);
        QFETCH(int, consecutive);
        VirtualCanBus bus;
        VirtualCanAdapter adapter(&bus);
        BusPeer peer(&bus);
        CanScheduler scheduler(&adapter);
        ISOTPHandler handler(&scheduler);
        handler.mTimeout = 100;
        QSignalSpy received(&handler, &ISOTPHandler::dataReceived);
        int ends = 0;
        connect(&handler, &ISOTPHandler::timeout, this, [&] { ++ends; });
        connect(&handler, &ISOTPHandler::error, this, [&] { ++ends; });
        const qint64 peak = peakKb(true);
        QByteArray request = QByteArray::fromHex("22f190");
        QCOMPARE(handler.startTransfer(request, true), 0);
        QVERIFY(peer.expect(0x7E0, "0322f19000000000"));
        peer.send(0x7E8, firstFrame);
        QCOMPARE(peer.takeFrame().id, 0x7E0u); // flow control
        for (int i = 1; i <= consecutive; ++i) {
            peer.send(0x7E8, QByteArray(1, char(0x20 | (i & 0x0F))) + QByteArray(7, '\0'));
            if (i % 8 == 0)
                QTest::qWait(0);
        }
        // The sender stops: the transfer ends with a timeout (or the transport's error), never a result.
        QTRY_COMPARE(ends, 1);
        QCOMPARE(received.count(), 0);
        checkMemory(handler.mBuffer, 2 + 7 * consecutive, peak);
    }

    // A gateway answering a domain read with megabytes of Base64, in one line or in many. The
    // client keeps the text it was given and decodes it once at the end: memory grows with what was
    // received (text, its UTF-8 copy and the decoded data), never with what a line announces.
    void gatewayBase64_data()
    {
        QTest::addColumn<int>("lineBytes");
        QTest::addColumn<int>("lines");
        QTest::newRow("one line of 4 MiB") << 4 * 1024 * 1024 << 1;
        QTest::newRow("64 lines of 64 KiB") << 64 * 1024 << 64;
        QTest::newRow("16 MiB in one line") << 16 * 1024 * 1024 << 1;
    }
    void gatewayBase64()
    {
        QFETCH(int, lineBytes);
        QFETCH(int, lines);
        RecordingAdapter adapter;
        adapter.setGateway(true);
        CanScheduler scheduler(&adapter);
        SDOCiA309Client client;
        client.setCanScheduler(&scheduler);
        QSignalSpy results(&client, &SDOCiA309Client::resultReceived);
        QSignalSpy errors(&client, &SDOCiA309Client::errorReceived);
        const QString data = QString(lineBytes, QLatin1Char('A')), first = QStringLiteral("[1] ") + data;
        const qint64 peak = peakKb(true);
        QCOMPARE(client.read(5, 0x2000, 0, CAN::DOMAIN), CAN::RetType_OK);
        adapter.injectGateway(first);
        for (int i = 1; i < lines; ++i)
            adapter.injectGateway(data);
        adapter.injectGateway(QString());
        QTRY_COMPARE(results.count() + errors.count(), 1);
        QCOMPARE(results.takeFirst().at(2).toByteArray().size(), lineBytes * lines / 4 * 3);
        const qint64 receivedKb = qint64(lineBytes) * lines / 1024, grown = peakKb() - peak;
        qInfo("%lld KiB of Base64 received: peak memory growth %lld KiB", receivedKb, grown);
        // The lines are decoded where they lie: memory holds the decoded data (three quarters of
        // what was received) and a small bound, never a copy of the text.
        if (!kPeakCountsFreedMemory)
            QVERIFY2(grown <= receivedKb * 3 / 4 + kPeakBoundKb, QByteArray::number(grown));
    }
};

QTEST_GUILESS_MAIN(TestHostileSizes)
#include "tst_hostilesizes.moc"
