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

/// Peak resident set of the process in KiB since the last resetPeak().
qint64 peakKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

constexpr int kSmallBound = 16 * 1024; // bytes beyond what was received
constexpr qint64 kPeakBoundKb = 8 * 1024;
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed blocks in quarantine, so the peak counts memory already given back.
constexpr bool kPeakCountsFreedMemory = true;
#else
constexpr bool kPeakCountsFreedMemory = false;
#endif

} // namespace

class TestHostileSizes : public QObject
{
    Q_OBJECT
private slots:
    void sdoUploadSize_data();
    void sdoUploadSize();
    void sdoBlockUploadSize_data();
    void sdoBlockUploadSize();
    void isoTpFirstFrame_data();
    void isoTpFirstFrame();
    void usdoUploadSize_data();
    void usdoUploadSize();
    void gatewayBase64_data();
    void gatewayBase64();
};

void TestHostileSizes::sdoUploadSize_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("outcome");
    // The server announces the size, then sends three segments and ends.
    QTest::newRow("0x1FFFFFFF, then 17 bytes")
        << QByteArray(
               ">4000200000000000 <41002000ffffff1f >6000000000000000 <0041424344454647 >7000000000000000 "
               "<1048494a4b4c4d4e >6000000000000000 <0b4f505100000000 ~20")
        << QByteArray("2000/0 QByteArray 4142434445464748494a4b4c4d4e4f505100000000");
    QTest::newRow("0x20000000") << QByteArray(">4000200000000000 <4100200000000020 >8000200005000405 ~20")
                                << QByteArray("2000/0 05040005");
    QTest::newRow("0xFFFFFFFF") << QByteArray(">4000200000000000 <41002000ffffffff >8000200005000405 ~20")
                                << QByteArray("2000/0 05040005");
}

void TestHostileSizes::sdoUploadSize()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, outcome);
    SdoClientBench<SDOSegmentedClient> bench;
    resetPeak();
    const qint64 before = peakKb();
    QCOMPARE(bench.client.read(0x2000, 0), CAN::RetType_OK);
    PLAY(bench, script);
    QCOMPARE(bench.outcome(), outcome);
    QVERIFY2(bench.client.getCurrentlyReceivedData().capacity() <= 21 + kSmallBound,
        QByteArray::number(bench.client.getCurrentlyReceivedData().capacity()));
    const qint64 grown = peakKb() - before;
    qInfo("peak memory growth %lld KiB", grown);
    QVERIFY(grown < kPeakBoundKb);
}

void TestHostileSizes::sdoBlockUploadSize_data()
{
    QTest::addColumn<QByteArray>("initiateAnswer");
    QTest::addColumn<quint32>("code");
    // Block upload initiate answer with the size indicated; the server then sends nothing.
    QTest::newRow("0x1FFFFFFF") << QByteArray::fromHex("c6002000ffffff1f") << 0x05040000u;
    QTest::newRow("0xFFFFFFFF") << QByteArray::fromHex("c6002000ffffffff") << 0x05040005u;
}

void TestHostileSizes::sdoBlockUploadSize()
{
    QFETCH(QByteArray, initiateAnswer);
    QFETCH(quint32, code);
    SdoClientBench<SDOBlockClient> bench;
    bench.client.setSdoTimeout(100);
    resetPeak();
    const qint64 before = peakKb();
    QCOMPARE(bench.client.read(0x2000, 0), CAN::RetType_OK);
    QCOMPARE(bench.peer.takeFrame().id, 0x605u);
    bench.peer.send(0x585, initiateAnswer);
    QTRY_COMPARE(bench.errors.count(), 1);
    QCOMPARE(bench.errors.at(0).at(2).toUInt(), code);
    QCOMPARE(bench.results.count(), 0);
    QVERIFY2(bench.client.getCurrentlyReceivedData().capacity() <= kSmallBound,
        QByteArray::number(bench.client.getCurrentlyReceivedData().capacity()));
    const qint64 grown = peakKb() - before;
    qInfo("peak memory growth %lld KiB", grown);
    QVERIFY(grown < kPeakBoundKb);
}

void TestHostileSizes::isoTpFirstFrame_data()
{
    QTest::addColumn<QByteArray>("firstFrame");
    QTest::addColumn<int>("consecutive");
    QTest::newRow("4 GB, then 200 frames") << QByteArray::fromHex("1000ffffffff0102") << 200;
    QTest::newRow("4 GB - 1 with no frame after") << QByteArray::fromHex("1000fffffffe0102") << 0;
    QTest::newRow("0x7FFFFFFF, then 50 frames") << QByteArray::fromHex("10007fffffff0102") << 50;
}

void TestHostileSizes::isoTpFirstFrame()
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
    QSignalSpy timeouts(&handler, &ISOTPHandler::timeout);
    QSignalSpy errors(&handler, &ISOTPHandler::error);
    resetPeak();
    const qint64 before = peakKb();
    QByteArray request = QByteArray::fromHex("22f190");
    QCOMPARE(handler.startTransfer(request, true), 0);
    QVERIFY(peer.expect(0x7E0, "0322f19000000000"));
    peer.send(0x7E8, firstFrame);
    const CAN::CanRxMessage flowControl = peer.takeFrame();
    QCOMPARE(flowControl.id, 0x7E0u);
    for (int i = 0; i < consecutive; ++i) {
        QByteArray cf = QByteArray::fromHex("2000000000000000");
        cf[0] = char(0x20 | ((i + 1) & 0x0F));
        peer.send(0x7E8, cf);
        if ((i + 1) % 8 == 0)
            QTest::qWait(0);
    }
    // The sender stops: the transfer ends with a timeout (or the transport's error), never a result.
    QTRY_VERIFY(timeouts.count() + errors.count() == 1);
    QCOMPARE(received.count(), 0);
    const int got = 2 + 7 * consecutive;
    QVERIFY2(handler.mBuffer.capacity() <= got + kSmallBound, QByteArray::number(handler.mBuffer.capacity()));
    const qint64 grown = peakKb() - before;
    qInfo("peak memory growth %lld KiB", grown);
    QVERIFY(grown < kPeakBoundKb);
}

void TestHostileSizes::usdoUploadSize_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("outcome");
    QTest::addColumn<int>("received");
    const QByteArray segment = "29330000" + QByteArray("61").repeated(60);
    // USDO segmented upload (CAN FD, 60 bytes a segment) of 0x2000:0 from node 5.
    QTest::newRow("0x1FFFFFFF, then 61 bytes") << QByteArray(
        ">051100000020 <2932000000200f00ffffff1f >05130000 <" + segment + " >05130001 <2934000161")
                                               << "2000/0 QByteArray " + QByteArray("61").repeated(61) << 61;
    QTest::newRow("0x1FFFFFFF, then silence")
        << QByteArray(">051100000020 <2932000000200f00ffffff1f >05130000 >057f0000002012")
        << QByteArray("2000/0 12") << 0;
    QTest::newRow("0xFFFFFFFF") << QByteArray(">051100000020 <2932000000200f00ffffffff >057f0000002016")
                                << QByteArray("2000/0 16") << 0;
}

void TestHostileSizes::usdoUploadSize()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, outcome);
    QFETCH(int, received);
    UsdoClientBench<USDOSegmentedClient> bench;
    bench.client.setSdoTimeout(50);
    resetPeak();
    const qint64 before = peakKb();
    QCOMPARE(bench.client.read(0x2000, 0, CAN::DOMAIN), CAN::RetType_OK);
    PLAY(bench, script);
    QTRY_COMPARE(bench.results.count() + bench.errors.count(), 1);
    QCOMPARE(bench.outcome(), outcome);
    QVERIFY2(bench.client.getCurrentlyReceivedData().capacity() <= received + kSmallBound,
        QByteArray::number(bench.client.getCurrentlyReceivedData().capacity()));
    const qint64 grown = peakKb() - before;
    qInfo("peak memory growth %lld KiB", grown);
    QVERIFY(grown < kPeakBoundKb);
}

// A gateway answering a domain read with megabytes of Base64, in one line or in many. The
// client keeps the text it was given and decodes it once at the end: memory grows with what was
// received (text, its UTF-8 copy and the decoded data), never with what a line announces.
void TestHostileSizes::gatewayBase64_data()
{
    QTest::addColumn<int>("lineBytes");
    QTest::addColumn<int>("lines");
    QTest::newRow("one line of 4 MiB") << 4 * 1024 * 1024 << 1;
    QTest::newRow("64 lines of 64 KiB") << 64 * 1024 << 64;
    QTest::newRow("16 MiB in one line") << 16 * 1024 * 1024 << 1;
}

void TestHostileSizes::gatewayBase64()
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
    const QString data = QString(lineBytes, QLatin1Char('A'));
    resetPeak();
    const qint64 before = peakKb();
    QCOMPARE(client.read(5, 0x2000, 0, CAN::DOMAIN), CAN::RetType_OK);
    adapter.injectGateway(QStringLiteral("[1] ") + data);
    for (int i = 1; i < lines; ++i)
        adapter.injectGateway(data);
    adapter.injectGateway(QString());
    QTRY_COMPARE(results.count() + errors.count(), 1);
    QCOMPARE(results.count(), 1);
    const qint64 decoded = results.at(0).at(2).toByteArray().size();
    QCOMPARE(decoded, qint64(lineBytes) * lines / 4 * 3);
    results.clear();
    const qint64 receivedKb = qint64(lineBytes) * lines / 1024;
    const qint64 grown = peakKb() - before;
    qInfo("%lld KiB of Base64 received: peak memory growth %lld KiB", receivedKb, grown);
    // UTF-16 text (2 bytes a character), its UTF-8 copy and the decoded bytes: 3.75 times
    // what was received, plus a small bound.
    if (!kPeakCountsFreedMemory)
        QVERIFY2(grown <= receivedKb * 15 / 4 + kPeakBoundKb, QByteArray::number(grown));
}

QTEST_GUILESS_MAIN(TestHostileSizes)
#include "tst_hostilesizes.moc"
