#include "canscheduler.h"
#include "isotphandler.h"
#include "recordingadapter.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
constexpr quint8 kAddr = 0xA5;

QByteArray pattern(int n)
{
    QByteArray p(n, 0);
    for (int i = 0; i < n; ++i)
        p[i] = char((i * 7 + 1) & 0xFF);
    return p;
}
} // namespace

class tst_ISOTPHandler : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void sendLayout_data();
    void sendLayout();
    void blockSizeTwoWaitsForFlowControl();
    void stminConversion_data();
    void stminConversion();
    void waitAndOverflowFlowControlsTimeOut_data();
    void waitAndOverflowFlowControlsTimeOut();
    void receiveWithFlowControls();
    void receiveExtendedAddressingAndFd();
    void receiveSupervision();
    void badInput_data();
    void badInput();
    void identifiers();
    void refusalsAndCanFdCapability();

private:
    void make(bool fd, bool ext);
    void inject(const QByteArray &hex) { adapter->injectFrame(0x7E8, QByteArray::fromHex(hex)); }

    std::unique_ptr<RecordingAdapter> adapter;
    std::unique_ptr<CanScheduler> scheduler;
    std::unique_ptr<ISOTPHandler> tp;
};

void tst_ISOTPHandler::init()
{
    make(false, false);
}

void tst_ISOTPHandler::cleanup()
{
    tp.reset();
    scheduler.reset();
    adapter.reset();
}

void tst_ISOTPHandler::make(bool fd, bool ext)
{
    cleanup();
    adapter = std::make_unique<RecordingAdapter>();
    adapter->mCanFdCapable = true;
    scheduler = std::make_unique<CanScheduler>(adapter.get());
    tp = std::make_unique<ISOTPHandler>(scheduler.get());
    QVERIFY(tp->enableCANFD(fd));
    tp->mTxExtAddressing = tp->mRxExtAddressing = ext;
    tp->mTxExtAddress = tp->mRxExtAddress = kAddr;
    tp->mTimeout = 200;
}

void tst_ISOTPHandler::sendLayout_data()
{
    QTest::addColumn<bool>("fd");
    QTest::addColumn<bool>("ext");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("firstLength");
    QTest::addColumn<char>("pad");
    QTest::addColumn<int>("cfCount");

    // Classic CAN, normal addressing.
    QTest::newRow("classic 6") << false << false << 6 << QByteArray("06") << 8 << '\0' << 0;
    QTest::newRow("classic 7") << false << false << 7 << QByteArray("07") << 8 << '\0' << 0;
    QTest::newRow("classic 8") << false << false << 8 << QByteArray("1008") << 8 << '\0' << 1;
    QTest::newRow("classic 4095") << false << false << 4095 << QByteArray("1fff") << 8 << '\0' << 585;
    QTest::newRow("classic 4096") << false << false << 4096 << QByteArray("100000001000") << 8 << '\0' << 585;
    QTest::newRow("classic 5000") << false << false << 5000 << QByteArray("100000001388") << 8 << '\0' << 714;
    // Classic CAN, extended addressing.
    QTest::newRow("classic ext 6") << false << true << 6 << QByteArray("a506") << 8 << '\0' << 0;
    QTest::newRow("classic ext 7") << false << true << 7 << QByteArray("a51007") << 8 << '\0' << 1;
    QTest::newRow("classic ext 8") << false << true << 8 << QByteArray("a51008") << 8 << '\0' << 1;
    QTest::newRow("classic ext 4095") << false << true << 4095 << QByteArray("a51fff") << 8 << '\0' << 682;
    QTest::newRow("classic ext 4096")
        << false << true << 4096 << QByteArray("a5100000001000") << 8 << '\0' << 683;
    // CAN FD, normal addressing.
    QTest::newRow("fd 6") << true << false << 6 << QByteArray("06") << 8 << '\xcc' << 0;
    QTest::newRow("fd 7") << true << false << 7 << QByteArray("07") << 8 << '\xcc' << 0;
    QTest::newRow("fd 8") << true << false << 8 << QByteArray("0008") << 10 << '\0' << 0;
    QTest::newRow("fd 20") << true << false << 20 << QByteArray("0014") << 22 << '\0' << 0;
    QTest::newRow("fd 61") << true << false << 61 << QByteArray("003d") << 63 << '\0' << 0;
    QTest::newRow("fd 62") << true << false << 62 << QByteArray("003e") << 64 << '\0' << 0;
    QTest::newRow("fd 63") << true << false << 63 << QByteArray("103f") << 64 << '\0' << 1;
    QTest::newRow("fd 4095") << true << false << 4095 << QByteArray("1fff") << 64 << '\0' << 65;
    QTest::newRow("fd 4096") << true << false << 4096 << QByteArray("100000001000") << 64 << '\0' << 65;
    // CAN FD, extended addressing.
    QTest::newRow("fd ext 6") << true << true << 6 << QByteArray("a506") << 8 << '\xcc' << 0;
    QTest::newRow("fd ext 7") << true << true << 7 << QByteArray("a50007") << 10 << '\0' << 0;
    QTest::newRow("fd ext 8") << true << true << 8 << QByteArray("a50008") << 11 << '\0' << 0;
    QTest::newRow("fd ext 61") << true << true << 61 << QByteArray("a5003d") << 64 << '\0' << 0;
    QTest::newRow("fd ext 62") << true << true << 62 << QByteArray("a5103e") << 64 << '\0' << 1;
    QTest::newRow("fd ext 63") << true << true << 63 << QByteArray("a5103f") << 64 << '\0' << 1;
    QTest::newRow("fd ext 4095") << true << true << 4095 << QByteArray("a51fff") << 64 << '\0' << 66;
    QTest::newRow("fd ext 4096") << true << true << 4096 << QByteArray("a5100000001000") << 64 << '\0' << 66;
}

void tst_ISOTPHandler::sendLayout()
{
    QFETCH(bool, fd);
    QFETCH(bool, ext);
    QFETCH(int, size);
    QFETCH(QByteArray, header);
    QFETCH(int, firstLength);
    QFETCH(char, pad);
    QFETCH(int, cfCount);
    make(fd, ext);
    QSignalSpy timeouts(tp.get(), &ISOTPHandler::timeout);

    QByteArray payload = pattern(size);
    QCOMPARE(tp->startTransfer(payload, false), 0);
    QCOMPARE(adapter->frames.size(), 1);
    const CAN::CanMessage first = adapter->frames.at(0);
    QCOMPARE(first.id, 0x7E0u);
    QCOMPARE(first.fd, fd);
    QCOMPARE(first.bitRateSwitch, fd);
    QCOMPARE(int(first.length), firstLength);
    QByteArray expected = QByteArray::fromHex(header);
    expected += payload.left(firstLength - expected.size());
    while (expected.size() < firstLength)
        expected += pad;
    QCOMPARE(frameHex(first), expected.toHex());
    if (cfCount == 0) {
        QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
        return;
    }

    QCOMPARE(tp->mState, int(ISOTPHandler::WaitFirstFlowControl));
    inject(ext ? "a5300000" : "300000");
    QTRY_COMPARE(adapter->frames.size(), 1 + cfCount);
    const int e = ext ? 1 : 0;
    const int cfLength = fd ? 64 : 8;
    QByteArray sent = expected.mid(QByteArray::fromHex(header).size());
    for (int i = 1; i <= cfCount; ++i) {
        const CAN::CanMessage &cf = adapter->frames.at(i);
        QCOMPARE(int(cf.length), cfLength);
        if (ext)
            QCOMPARE(cf.data[0], kAddr);
        QCOMPARE(int(cf.data[e]), 0x20 | (i & 0x0F));
        sent += QByteArray(reinterpret_cast<const char *>(cf.data + e + 1), cfLength - 1 - e);
    }
    QCOMPARE(sent.left(size), payload);
    QVERIFY(sent.mid(size).count('\0') == sent.size() - size); // last CF padded with 0
    QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
    QCOMPARE(timeouts.count(), 0);
}

void tst_ISOTPHandler::blockSizeTwoWaitsForFlowControl()
{
    QByteArray payload = pattern(50); // FF + 7 CFs
    QCOMPARE(tp->startTransfer(payload, true), 0);
    inject("300200");
    QTRY_COMPARE(adapter->frames.size(), 3);
    QCOMPARE(tp->mState, int(ISOTPHandler::WaitFlowControl));
    QVERIFY(!QTest::qWaitFor([&] { return adapter->frames.size() > 3; }, 30));
    inject("300200");
    QTRY_COMPARE(adapter->frames.size(), 5);
    QCOMPARE(int(adapter->frames.at(4).data[0]), 0x24);
    // Block size 0: everything else without another flow control.
    inject("300000");
    QTRY_COMPARE(adapter->frames.size(), 8);
    QCOMPARE(int(adapter->frames.at(7).data[0]), 0x27);
    // Expecting a response: the transport now receives.
    QCOMPARE(tp->mState, int(ISOTPHandler::Receive));
}

void tst_ISOTPHandler::stminConversion_data()
{
    QTest::addColumn<QByteArray>("fc");
    QTest::addColumn<bool>("ignore");
    QTest::addColumn<int>("stmin");
    QTest::newRow("0") << QByteArray("300000") << false << 0;
    QTest::newRow("0x05 plus gap") << QByteArray("300005") << false << 6;
    QTest::newRow("0x7f plus gap") << QByteArray("30007f") << false << 0x80;
    QTest::newRow("0x80 reserved") << QByteArray("300080") << false << 1;
    QTest::newRow("0xf3 300us") << QByteArray("3000f3") << false << 1;
    QTest::newRow("0xff reserved") << QByteArray("3000ff") << false << 1;
    QTest::newRow("ignored") << QByteArray("300005") << true << 0;
}

void tst_ISOTPHandler::stminConversion()
{
    QFETCH(QByteArray, fc);
    QFETCH(bool, ignore);
    QFETCH(int, stmin);
    tp->mIgnoreSTmin = ignore;
    QByteArray payload = pattern(20); // FF + 2 CFs
    tp->startTransfer(payload, false);
    inject(fc);
    QCOMPARE(int(tp->mSTmin), stmin);
    QTRY_COMPARE(adapter->frames.size(), 3);
    QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
}

void tst_ISOTPHandler::waitAndOverflowFlowControlsTimeOut_data()
{
    QTest::addColumn<QByteArray>("fc");
    // Overflow and invalid flow states end in error() (tst_isotpreception).
    QTest::newRow("wait") << QByteArray("310000");
    QTest::newRow("too short") << QByteArray("30");
}

void tst_ISOTPHandler::waitAndOverflowFlowControlsTimeOut()
{
    QFETCH(QByteArray, fc);
    tp->mTimeout = 50;
    QSignalSpy timeouts(tp.get(), &ISOTPHandler::timeout);
    QByteArray payload = pattern(20);
    tp->startTransfer(payload, true);
    inject(fc);
    QVERIFY(timeouts.wait(1000));
    QCOMPARE(timeouts.at(0).at(0).toUInt(), 0x7E8u);
    QCOMPARE(adapter->frames.size(), 1);
    QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
    QVERIFY(!timeouts.wait(120)); // one signal only
}

void tst_ISOTPHandler::receiveWithFlowControls()
{
    QSignalSpy done(tp.get(), &ISOTPHandler::dataReceived);
    tp->mFlowControlSTmin = 0x0A;
    QCOMPARE(tp->waitForTransfer(300), 0);
    QCOMPARE(tp->mTimeout, quint16(300));
    const QByteArray payload = pattern(125); // FF 6 bytes + 17 CFs
    inject("107d" + payload.left(6).toHex());
    QCOMPARE(adapter->frames.size(), 1);
    QCOMPARE(frameHex(adapter->frames.at(0)), QByteArray("30100a00000000cc"));
    for (int i = 1; i <= 17; ++i)
        inject(QByteArray::number(0x20 | (i & 0x0F), 16) + payload.mid(6 + 7 * (i - 1), 7).toHex());
    QCOMPARE(adapter->frames.size(), 2);
    QCOMPARE(frameHex(adapter->frames.at(1)), QByteArray("30100acccccccccc"));
    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).toUInt(), 0x7E8u);
    QByteArray got;
    tp->getReceivedData(got);
    QCOMPARE(got, payload);
    QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
}

void tst_ISOTPHandler::receiveExtendedAddressingAndFd()
{
    make(true, true);
    QSignalSpy done(tp.get(), &ISOTPHandler::dataReceived);
    QCOMPARE(tp->waitForTransfer(0), 0);
    const QByteArray payload = pattern(100);
    // Another address byte is somebody else's conversation.
    adapter->injectFrame(0x7E8, QByteArray::fromHex("b51064") + payload.left(61));
    QCOMPARE(adapter->frames.size(), 0);
    adapter->injectFrame(0x7E8, QByteArray::fromHex("a51064") + payload.left(61));
    QCOMPARE(adapter->frames.size(), 1);
    QCOMPARE(frameHex(adapter->frames.at(0)), QByteArray("a530100000000000"));
    QVERIFY(adapter->frames.at(0).fd);
    QByteArray cf = QByteArray::fromHex("a521") + payload.mid(61);
    cf.append(QByteArray(64 - cf.size(), '\xcc'));
    adapter->injectFrame(0x7E8, cf);
    QCOMPARE(done.count(), 1);
    QByteArray got;
    tp->getReceivedData(got);
    QCOMPARE(got, payload);

    // Single frames: 8-byte FD frame and the escape form.
    tp->waitForResponse();
    inject("a503010203cccccc");
    tp->getReceivedData(got);
    QCOMPARE(got.toHex(), QByteArray("010203"));
    tp->waitForResponse();
    adapter->injectFrame(0x7E8, QByteArray::fromHex("a5000a") + pattern(10));
    tp->getReceivedData(got);
    QCOMPARE(got, pattern(10));
    QCOMPARE(done.count(), 3);
}

void tst_ISOTPHandler::receiveSupervision()
{
    tp->mTimeout = 60;
    QSignalSpy done(tp.get(), &ISOTPHandler::dataReceived);
    QSignalSpy timeouts(tp.get(), &ISOTPHandler::timeout);
    // Nothing arrives.
    QCOMPARE(tp->waitForTransfer(0), 0);
    QVERIFY(timeouts.wait(1000));
    // After a first frame each consecutive frame is awaited for N_Cr.
    tp->mConsecutiveFrameTimeout = 60;
    tp->waitForResponse();
    inject("1014010203040506");
    inject("2107080910111213");
    QVERIFY(timeouts.wait(1000));
    QCOMPARE(timeouts.count(), 2);
    QCOMPARE(done.count(), 0);
    QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
    // A late frame finds the transport idle.
    inject("2214151617181920");
    QCOMPARE(done.count(), 0);
}

void tst_ISOTPHandler::badInput_data()
{
    QTest::addColumn<QByteArray>("frames"); // frames separated by spaces
    QTest::addColumn<int>("flowControls");
    QTest::newRow("first frame announcing 4 GB") << QByteArray("1000ffffffff0102 2103040506070809") << 1;
    QTest::newRow("consecutive frame without first frame") << QByteArray("2101020304050607") << 0;
    QTest::newRow("single frame length beyond frame") << QByteArray("070102") << 0;
    QTest::newRow("escape length beyond frame") << QByteArray("003f010203040506070809") << 0;
    QTest::newRow("empty frame") << QByteArray("") << 0;
    QTest::newRow("first frame cut short") << QByteArray("10") << 0;
    QTest::newRow("32-bit first frame cut short") << QByteArray("100000") << 0;
    QTest::newRow("flow control while receiving") << QByteArray("300000") << 0;
}

void tst_ISOTPHandler::badInput()
{
    QFETCH(QByteArray, frames);
    QFETCH(int, flowControls);
    tp->mTimeout = 50;
    QSignalSpy done(tp.get(), &ISOTPHandler::dataReceived);
    QSignalSpy timeouts(tp.get(), &ISOTPHandler::timeout);
    QCOMPARE(tp->waitForTransfer(0), 0);
    for (const QByteArray &f : frames.split(' '))
        inject(f);
    QCOMPARE(adapter->frames.size(), flowControls);
    QVERIFY(timeouts.wait(1000));
    QCOMPARE(done.count(), 0);
    QByteArray got;
    tp->getReceivedData(got);
    QVERIFY(got.size() <= 64);
}

void tst_ISOTPHandler::identifiers()
{
    tp->mTxCanId = 0x98DA10F1; // bit 31: 29-bit identifier marker
    tp->mRxCanId = 0x98DAF110;
    QSignalSpy done(tp.get(), &ISOTPHandler::dataReceived);
    QByteArray payload = QByteArray::fromHex("3e00");
    QCOMPARE(tp->startTransfer(payload, true), 0);
    QCOMPARE(adapter->frames.at(0).id, 0x18DA10F1u);
    QVERIFY(adapter->frames.at(0).extended);
    QCOMPARE(frameHex(adapter->frames.at(0)), QByteArray("023e000000000000"));
    adapter->injectFrame(0x7E8, QByteArray::fromHex("027e00"));
    QCOMPARE(done.count(), 0);
    adapter->injectFrame(0x18DAF110, QByteArray::fromHex("027e00"));
    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).toUInt(), 0x98DAF110u);

    tp->mTxCanId = 0x7E0;
    payload = QByteArray::fromHex("1003");
    tp->startTransfer(payload, false);
    QVERIFY(!adapter->frames.last().extended);
}

void tst_ISOTPHandler::refusalsAndCanFdCapability()
{
    QByteArray payload = pattern(20);
    QCOMPARE(tp->startTransfer(payload, false), 0);
    QCOMPARE(tp->startTransfer(payload, false), 1);
    QCOMPARE(tp->waitForTransfer(100), 1);
    QCOMPARE(tp->waitForResponse(), 1);
    QCOMPARE(tp->mTimeout, quint16(200));
    tp->abortTranfer();
    QCOMPARE(tp->mState, int(ISOTPHandler::Idle));

    ISOTPHandler orphan(nullptr);
    QCOMPARE(orphan.startTransfer(payload, false), 2);
    QCOMPARE(orphan.waitForTransfer(0), 2);
    QCOMPARE(orphan.registerForFlowControl(), 2);

    RecordingAdapter classic; // no CAN FD
    CanScheduler classicScheduler(&classic);
    ISOTPHandler onClassic(&classicScheduler);
    QCOMPARE(onClassic.enableCANFD(true), false);
    QCOMPARE(onClassic.mCanFDEnabled, false);
    QCOMPARE(onClassic.enableCANFD(false), true);
    QByteArray three = QByteArray::fromHex("010203");
    onClassic.startTransfer(three, false);
    QCOMPARE(frameHex(classic.frames.at(0)), QByteArray("0301020300000000"));
    QVERIFY(!classic.frames.at(0).fd);

    // The scheduler goes away between flow control and the block: sending stops silently.
    QSignalSpy timeouts(tp.get(), &ISOTPHandler::timeout);
    adapter->frames.clear();
    tp->startTransfer(payload, true);
    inject("300000");
    QCOMPARE(tp->mState, int(ISOTPHandler::SendConsecutive));
    scheduler.reset();
    QTRY_COMPARE(tp->mState, int(ISOTPHandler::Idle));
    QCOMPARE(adapter->frames.size(), 1);
    QCOMPARE(timeouts.count(), 0);
}

QTEST_GUILESS_MAIN(tst_ISOTPHandler)
#include "tst_isotphandler.moc"
