#include "canscheduler.h"
#include "isotphandler.h"
#include "recordingadapter.h"
#include "udstestbench.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

constexpr quint8 kAddr = 0xA5;

class tst_ISOTPHandler : public QObject
{
    Q_OBJECT
private slots:
    void init() { make(false, false); }
    void cleanup()
    {
        tp.reset();
        scheduler.reset();
        adapter.reset();
    }

    void sendLayout_data()
    {
        QTest::addColumn<bool>("fd");
        QTest::addColumn<bool>("ext");
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<int>("firstLength");
        QTest::addColumn<char>("pad");
        QTest::addColumn<int>("cfCount");

        QTest::newRow("classic 3") << false << false << 3 << QByteArray("03") << 8 << '\0' << 0;
        QTest::newRow("classic 7") << false << false << 7 << QByteArray("07") << 8 << '\0' << 0;
        QTest::newRow("classic 8") << false << false << 8 << QByteArray("1008") << 8 << '\0' << 1;
        QTest::newRow("classic 4095") << false << false << 4095 << QByteArray("1fff") << 8 << '\0' << 585;
        QTest::newRow("classic 4096")
            << false << false << 4096 << QByteArray("100000001000") << 8 << '\0' << 585;
        QTest::newRow("classic ext 6") << false << true << 6 << QByteArray("a506") << 8 << '\0' << 0;
        QTest::newRow("classic ext 7") << false << true << 7 << QByteArray("a51007") << 8 << '\0' << 1;
        QTest::newRow("classic ext 4095")
            << false << true << 4095 << QByteArray("a51fff") << 8 << '\0' << 682;
        QTest::newRow("classic ext 4096")
            << false << true << 4096 << QByteArray("a5100000001000") << 8 << '\0' << 683;
        QTest::newRow("fd 3") << true << false << 3 << QByteArray("03") << 8 << '\xcc' << 0;
        QTest::newRow("fd 7") << true << false << 7 << QByteArray("07") << 8 << '\xcc' << 0;
        QTest::newRow("fd 8") << true << false << 8 << QByteArray("0008") << 10 << '\0' << 0;
        QTest::newRow("fd 62") << true << false << 62 << QByteArray("003e") << 64 << '\0' << 0;
        QTest::newRow("fd 63") << true << false << 63 << QByteArray("103f") << 64 << '\0' << 1;
        QTest::newRow("fd 4095") << true << false << 4095 << QByteArray("1fff") << 64 << '\0' << 65;
        QTest::newRow("fd 4096") << true << false << 4096 << QByteArray("100000001000") << 64 << '\0' << 65;
        QTest::newRow("fd ext 6") << true << true << 6 << QByteArray("a506") << 8 << '\xcc' << 0;
        QTest::newRow("fd ext 7") << true << true << 7 << QByteArray("a50007") << 10 << '\0' << 0;
        QTest::newRow("fd ext 61") << true << true << 61 << QByteArray("a5003d") << 64 << '\0' << 0;
        QTest::newRow("fd ext 62") << true << true << 62 << QByteArray("a5103e") << 64 << '\0' << 1;
        QTest::newRow("fd ext 4095") << true << true << 4095 << QByteArray("a51fff") << 64 << '\0' << 66;
        QTest::newRow("fd ext 4096") << true << true << 4096 << QByteArray("a5100000001000") << 64 << '\0'
                                     << 66;
    }
    void sendLayout()
    {
        QFETCH(bool, fd);
        QFETCH(bool, ext);
        QFETCH(int, size);
        QFETCH(QByteArray, header);
        QFETCH(int, firstLength);
        QFETCH(char, pad);
        QFETCH(int, cfCount);
        make(fd, ext);
        QByteArray payload = pattern(size);
        QCOMPARE(tp->startTransfer(payload, false), 0);
        QCOMPARE(adapter->frames.size(), 1);
        const CAN::CanMessage first = adapter->frames.at(0);
        QCOMPARE(first.id, 0x7E0u);
        QCOMPARE(first.fd, fd);
        QCOMPARE(first.bitRateSwitch, fd);
        QByteArray expected = QByteArray::fromHex(header);
        expected += payload.left(firstLength - expected.size());
        QCOMPARE(frameHex(first), expected.leftJustified(firstLength, pad).toHex());
        if (cfCount > 0) {
            QCOMPARE(tp->mState, int(ISOTPHandler::WaitFirstFlowControl));
            inject(ext ? "a5300000" : "300000");
            QTRY_COMPARE(adapter->frames.size(), 1 + cfCount);
        }
        const int e = ext ? 1 : 0;
        QByteArray sent = expected.mid(QByteArray::fromHex(header).size());
        for (int i = 1; i <= cfCount; ++i) {
            const CAN::CanMessage &cf = adapter->frames.at(i);
            QCOMPARE(int(cf.length), fd ? 64 : 8);
            if (ext)
                QCOMPARE(cf.data[0], kAddr);
            QCOMPARE(int(cf.data[e]), 0x20 | (i & 0x0F));
            sent += QByteArray(reinterpret_cast<const char *>(cf.data + e + 1), cf.length - 1 - e);
        }
        QCOMPARE(sent.left(size), payload);
        QCOMPARE(sent.mid(size), QByteArray(sent.size() - size, cfCount ? '\0' : pad)); // padding
        QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
    }
    void flowControl_data()
    {
        QTest::addColumn<QByteArray>("fcs"); // flow controls, one after the other
        QTest::addColumn<QByteArray>("sent"); // frames sent after each; below 5 the transfer times out
        QTest::addColumn<bool>("ignore");
        QTest::addColumn<int>("stmin");
        QTest::newRow("BS 0") << QByteArray("300000") << QByteArray("5") << false << 0;
        QTest::newRow("BS 2, BS 2") << QByteArray("300200 300200") << QByteArray("3 5") << false << 0;
        QTest::newRow("STmin 0x05 plus gap") << QByteArray("300005") << QByteArray("5") << false << 6;
        QTest::newRow("STmin 0x7f plus gap") << QByteArray("30007f") << QByteArray("5") << false << 0x80;
        QTest::newRow("STmin 0x80 reserved") << QByteArray("300080") << QByteArray("5") << false << 1;
        QTest::newRow("STmin 0xf3 300us") << QByteArray("3000f3") << QByteArray("5") << false << 1;
        QTest::newRow("STmin 0xff reserved") << QByteArray("3000ff") << QByteArray("5") << false << 1;
        QTest::newRow("STmin ignored") << QByteArray("300005") << QByteArray("5") << true << 0;
        QTest::newRow("wait, then continue")
            << QByteArray("310000 300000") << QByteArray("1 5") << false << 0;
        QTest::newRow("wait") << QByteArray("310000") << QByteArray("1") << false << 0;
        // Overflow and invalid flow states end in error(): tst_isotpreception.
        QTest::newRow("too short") << QByteArray("30") << QByteArray("1") << false << 0;
    }
    void flowControl()
    {
        QFETCH(QByteArray, fcs);
        QFETCH(QByteArray, sent);
        QFETCH(bool, ignore);
        QFETCH(int, stmin);
        tp->mTimeout = 60;
        tp->mIgnoreSTmin = ignore;
        QSignalSpy timeouts(tp.get(), &ISOTPHandler::timeout);
        QByteArray payload = pattern(30); // FF + 4 CFs
        tp->startTransfer(payload, false);
        const QList<QByteArray> counts = sent.split(' ');
        for (int i = 0; i < counts.size(); ++i) {
            inject(fcs.split(' ').at(i));
            QTRY_COMPARE(adapter->frames.size(), counts.at(i).toInt());
            QVERIFY(!QTest::qWaitFor([&] { return adapter->frames.size() > counts.at(i).toInt(); }, 20));
        }
        QTRY_COMPARE(tp->mState, int(ISOTPHandler::Idle));
        QVERIFY(!timeouts.wait(100)); // at most one signal
        QCOMPARE(timeouts.count(), adapter->frames.size() < 5 ? 1 : 0);
        if (!timeouts.isEmpty())
            QCOMPARE(timeouts.at(0).at(0).toUInt(), 0x7E8u);
        QCOMPARE(int(tp->mSTmin), stmin);
        for (int i = 1; i < adapter->frames.size(); ++i)
            QCOMPARE(int(adapter->frames.at(i).data[0]), 0x20 | i);
        // On the bus: at least STmin between consecutive frames.
        for (int i = 2; i < adapter->frames.size(); ++i)
            QVERIFY2(adapter->sentAtNs.at(i) - adapter->sentAtNs.at(i - 1) >= qMax(0, stmin - 1) * 1000000LL,
                qPrintable(QString::number(i)));
    }
    void receiveExtendedAddressing()
    {
        make(false, true);
        tp->mFlowControlSTmin = 0x0A;
        QSignalSpy done(tp.get(), &ISOTPHandler::dataReceived);
        QCOMPARE(tp->waitForTransfer(300), 0);
        QCOMPARE(tp->mTimeout, quint16(300));
        const QByteArray payload = pattern(125);
        adapter->injectFrame(0x7E8, "\xb5\x10\x7d" + payload.left(5)); // somebody else's conversation
        QCOMPARE(adapter->frames.size(), 0);
        // Two messages in a row; block size 16: a flow control after the first frame and after 16
        // consecutive frames of each message, wherever the block count stood at the end of the last.
        for (int message = 0; message < 2; ++message) {
            if (message > 0)
                QCOMPARE(tp->waitForResponse(), 0);
            adapter->injectFrame(0x7E8, "\xa5\x10\x7d" + payload.left(5));
            for (int pos = 5, seq = 1; pos < payload.size(); pos += 6, ++seq) {
                adapter->injectFrame(
                    0x7E8, "\xa5" + QByteArray(1, char(0x20 | (seq & 0x0F))) + payload.mid(pos, 6));
                QCOMPARE(adapter->frames.size(), 2 * message + (seq >= 16 ? 2 : 1));
            }
            QCOMPARE(frameHex(adapter->frames.at(2 * message)), QByteArray("a530100a00000000"));
            QCOMPARE(frameHex(adapter->frames.at(2 * message + 1)), QByteArray("a530100acccccccc"));
        }
        QCOMPARE(done.count(), 2);
        QCOMPARE(done.at(0).at(0).toUInt(), 0x7E8u);
        QByteArray got;
        tp->getReceivedData(got);
        QCOMPARE(got, payload);
    }
    void badInput_data()
    {
        QTest::addColumn<QByteArray>("frames"); // frames separated by spaces
        QTest::addColumn<QByteArray>("flowControl"); // what the transport answers
        const QByteArray fc("30100000000000cc"), none;
        QTest::newRow("first frame announcing 4 GB") << QByteArray("1000ffffffff0102 2103040506070809") << fc;
        QTest::newRow("consecutive frame without first frame") << QByteArray("2101020304050607") << none;
        QTest::newRow("single frame length beyond frame") << QByteArray("070102") << none;
        QTest::newRow("escape length beyond frame") << QByteArray("003f010203040506070809") << none;
        QTest::newRow("empty frame") << QByteArray("") << none;
        QTest::newRow("first frame cut short") << QByteArray("10") << none;
        QTest::newRow("32-bit first frame cut short") << QByteArray("100000") << none;
        QTest::newRow("flow control while receiving") << QByteArray("300000") << none;
        QTest::newRow("message cut off") << QByteArray("1014010203040506 2107080910111213") << fc;
    }
    void badInput()
    {
        QFETCH(QByteArray, frames);
        QFETCH(QByteArray, flowControl);
        tp->mTimeout = 50;
        QSignalSpy done(tp.get(), &ISOTPHandler::dataReceived);
        QSignalSpy timeouts(tp.get(), &ISOTPHandler::timeout);
        QCOMPARE(tp->waitForTransfer(0), 0);
        for (const QByteArray &f : frames.split(' '))
            inject(f);
        QCOMPARE(adapter->frames.isEmpty() ? QByteArray() : frameHex(adapter->frames.first()), flowControl);
        QVERIFY(adapter->frames.size() <= 1);
        QVERIFY(timeouts.wait(1000));
        QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
        inject("2214151617181920"); // a late frame finds the transport idle
        QCOMPARE(done.count(), 0);
        QCOMPARE(timeouts.count(), 1);
        QByteArray got;
        tp->getReceivedData(got);
        QVERIFY(got.size() <= 64);
    }
    void refusalsAndCanFdCapability()
    {
        QByteArray payload = pattern(20);
        QCOMPARE(tp->startTransfer(payload, false), 0);
        QCOMPARE(tp->startTransfer(payload, false), 1);
        QCOMPARE(tp->waitForTransfer(100), 1);
        QCOMPARE(tp->waitForResponse(), 1);
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
        QCOMPARE(onClassic.enableCANFD(false), true);
        onClassic.startTransfer(payload, false);
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

private:
    void make(bool fd, bool ext)
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
    void inject(const QByteArray &hex) { adapter->injectFrame(0x7E8, QByteArray::fromHex(hex)); }

    std::unique_ptr<RecordingAdapter> adapter;
    std::unique_ptr<CanScheduler> scheduler;
    std::unique_ptr<ISOTPHandler> tp;
};

QTEST_GUILESS_MAIN(tst_ISOTPHandler)
#include "tst_isotphandler.moc"
