// ISO 15765-2 transport: the frame layout of what it sends, flow control in both directions,
// and a peer that does not cooperate (sequence numbers, WAIT and OVERFLOW, N_Cr, bad frames,
// frames the adapter refuses). Every transfer ends in at most one outcome.
#include "canscheduler.h"
#include "isotphandler.h"
#include "recordingadapter.h"
#include "udstestbench.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

constexpr quint8 kAddr = 0xA5;

/// How a message of `size` bytes goes out: the first frame's header and length (padded with
/// `pad`), then `cfCount` consecutive frames after a flow control.
struct Layout
{
    bool fd, ext;
    int size;
    const char *header;
    int firstLength;
    char pad;
    int cfCount;
};
Q_DECLARE_METATYPE(Layout)
struct Flow
{
    QByteArray script;
    int stmin;
    char outcome;
    bool ignore = false;
};
Q_DECLARE_METATYPE(Flow)

class tst_ISOTPHandler : public QObject
{
    Q_OBJECT
private slots:
    void init() { make(false, false); }
    void cleanup()
    {
        done.reset(), timeouts.reset(), errors.reset(), tp.reset(), scheduler.reset(), adapter.reset();
    }

    void sendLayout_data()
    {
        QTest::addColumn<Layout>("l");
        QTest::newRow("classic 7") << Layout { false, false, 7, "07", 8, '\0', 0 };
        QTest::newRow("classic 8") << Layout { false, false, 8, "1008", 8, '\0', 1 };
        QTest::newRow("classic 4095") << Layout { false, false, 4095, "1fff", 8, '\0', 585 };
        QTest::newRow("classic 4096") << Layout { false, false, 4096, "100000001000", 8, '\0', 585 };
        QTest::newRow("classic ext 6") << Layout { false, true, 6, "a506", 8, '\0', 0 };
        QTest::newRow("classic ext 7") << Layout { false, true, 7, "a51007", 8, '\0', 1 };
        QTest::newRow("classic ext 4096") << Layout { false, true, 4096, "a5100000001000", 8, '\0', 683 };
        QTest::newRow("fd 7") << Layout { true, false, 7, "07", 8, '\xcc', 0 };
        QTest::newRow("fd 8") << Layout { true, false, 8, "0008", 10, '\0', 0 };
        QTest::newRow("fd 62") << Layout { true, false, 62, "003e", 64, '\0', 0 };
        QTest::newRow("fd 63") << Layout { true, false, 63, "103f", 64, '\0', 1 };
        QTest::newRow("fd 4096") << Layout { true, false, 4096, "100000001000", 64, '\0', 65 };
        QTest::newRow("fd ext 6") << Layout { true, true, 6, "a506", 8, '\xcc', 0 };
        QTest::newRow("fd ext 7") << Layout { true, true, 7, "a50007", 10, '\0', 0 };
        QTest::newRow("fd ext 61") << Layout { true, true, 61, "a5003d", 64, '\0', 0 };
        QTest::newRow("fd ext 62") << Layout { true, true, 62, "a5103e", 64, '\0', 1 };
        QTest::newRow("fd ext 4095") << Layout { true, true, 4095, "a51fff", 64, '\0', 66 };
    }
    void sendLayout()
    {
        QFETCH(Layout, l);
        make(l.fd, l.ext);
        QByteArray payload = pattern(l.size);
        QCOMPARE(tp->startTransfer(payload, false), 0);
        QCOMPARE(adapter->frames.size(), 1);
        const CAN::CanMessage first = adapter->frames.at(0);
        QCOMPARE(first.id, 0x7E0u);
        QVERIFY(first.fd == l.fd && first.bitRateSwitch == l.fd);
        const QByteArray header = QByteArray::fromHex(l.header);
        const QByteArray expected = header + payload.left(l.firstLength - header.size());
        QCOMPARE(frameHex(first), expected.leftJustified(l.firstLength, l.pad).toHex());
        if (l.cfCount > 0) {
            QCOMPARE(tp->mState, int(ISOTPHandler::WaitFirstFlowControl));
            inject(l.ext ? "a5300000" : "300000");
            QTRY_COMPARE(adapter->frames.size(), 1 + l.cfCount);
        }
        const int e = l.ext ? 1 : 0;
        QByteArray sent = expected.mid(header.size());
        for (int i = 1; i <= l.cfCount; ++i) {
            const CAN::CanMessage &cf = adapter->frames.at(i);
            QCOMPARE(int(cf.length), l.fd ? 64 : 8);
            QVERIFY(!l.ext || cf.data[0] == kAddr);
            QCOMPARE(int(cf.data[e]), 0x20 | (i & 0x0F));
            sent += QByteArray(reinterpret_cast<const char *>(cf.data + e + 1), cf.length - 1 - e);
        }
        QCOMPARE(sent.left(l.size), payload);
        QCOMPARE(sent.mid(l.size), QByteArray(sent.size() - l.size, l.cfCount ? '\0' : l.pad)); // padding
        QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
    }
    void flowControl_data()
    {
        // Flow controls ">" the frames sent after each, STmin as taken, the outcome: 'd' all sent,
        // 't' timeout, 'e' error.
        QTest::addColumn<Flow>("f");
        const QByteArray wait = QByteArray("310000>1 ").repeated(10);
        // clang-format off
        QTest::newRow("BS 0")                << Flow { "300000>5", 0, 'd' };
        QTest::newRow("BS 2, BS 2")          << Flow { "300200>3 300200>5", 0, 'd' };
        QTest::newRow("STmin 0x05 plus gap") << Flow { "300005>5", 6, 'd' };
        QTest::newRow("STmin 0x7f plus gap") << Flow { "30007f>5", 0x80, 'd' };
        QTest::newRow("STmin 0x80 reserved") << Flow { "300080>5", 1, 'd' };
        QTest::newRow("STmin 0xf3 300us")    << Flow { "3000f3>5", 1, 'd' };
        QTest::newRow("STmin 0xff reserved") << Flow { "3000ff>5", 1, 'd' };
        QTest::newRow("STmin ignored")       << Flow { "300005>5", 0, 'd', true };
        // Each WAIT restarts the supervision (the gaps add up to more than mTimeout); N_WFTmax 10.
        QTest::newRow("ten waits, then continue") << Flow { wait + "300000>5", 0, 'd' };
        QTest::newRow("eleven waits")        << Flow { wait + "310000>1", 0, 'e' };
        QTest::newRow("wait")                << Flow { "310000>1", 0, 't' };
        QTest::newRow("too short")           << Flow { "30>1", 0, 't' };
        QTest::newRow("overflow")            << Flow { "320000>1", 0, 'e' };
        QTest::newRow("invalid status")      << Flow { "3f0000>1", 0, 'e' };
        // clang-format on
    }
    void flowControl()
    {
        QFETCH(Flow, f);
        tp->mIgnoreSTmin = f.ignore;
        QByteArray payload = pattern(30); // FF + 4 CFs
        tp->startTransfer(payload, false);
        for (const QByteArray &step : f.script.trimmed().split(' ')) {
            QTest::qWait(adapter->frames.size() > 1 ? 0 : 40); // while waiting: 60 ms of the 100 ms
            inject(step.left(step.indexOf('>')));
            const int sent = step.mid(step.indexOf('>') + 1).toInt();
            QTRY_COMPARE(adapter->frames.size(), sent);
            QVERIFY(!QTest::qWaitFor([&] { return adapter->frames.size() > sent; }, 20));
        }
        QTRY_COMPARE(tp->mState, int(ISOTPHandler::Idle));
        QVERIFY(!timeouts->wait(150)); // at most one signal
        QCOMPARE(outcomes(), f.outcome == 'd' ? 0 : 1);
        QCOMPARE(errors->count(), f.outcome == 'e' ? 1 : 0);
        QVERIFY(timeouts->isEmpty() || timeouts->at(0).at(0).toUInt() == 0x7E8u);
        QCOMPARE(int(tp->mSTmin), f.stmin);
        for (int i = 1; i < adapter->frames.size(); ++i) {
            QCOMPARE(int(adapter->frames.at(i).data[0]), 0x20 | i);
            // On the bus: at least STmin between consecutive frames.
            const qint64 gap = adapter->sentAtNs.at(i) - adapter->sentAtNs.at(i - 1);
            QVERIFY2(i < 2 || gap >= qMax(0, f.stmin - 1) * 1000000LL, qPrintable(QString::number(i)));
        }
    }
    void receiveExtendedAddressing()
    {
        make(false, true);
        tp->mFlowControlSTmin = 0x0A;
        QCOMPARE(tp->waitForTransfer(300), 0);
        QCOMPARE(tp->mTimeout, quint16(300));
        const QByteArray payload = pattern(125);
        adapter->injectFrame(0x7E8, "\xb5\x10\x7d" + payload.left(5)); // somebody else's conversation
        QCOMPARE(adapter->frames.size(), 0);
        // Two messages in a row; block size 16: a flow control after the first frame and after 16
        // consecutive frames of each message, wherever the block count stood at the end of the last.
        for (int message = 0; message < 2; ++message) {
            QVERIFY(message == 0 || tp->waitForResponse() == 0);
            adapter->injectFrame(0x7E8, "\xa5\x10\x7d" + payload.left(5));
            for (int pos = 5, seq = 1; pos < payload.size(); pos += 6, ++seq) {
                adapter->injectFrame(
                    0x7E8, "\xa5" + QByteArray(1, char(0x20 | (seq & 0x0F))) + payload.mid(pos, 6));
                QCOMPARE(adapter->frames.size(), 2 * message + (seq >= 16 ? 2 : 1));
            }
            QCOMPARE(frameHex(adapter->frames.at(2 * message)), QByteArray("a530100a00000000"));
            QCOMPARE(frameHex(adapter->frames.at(2 * message + 1)), QByteArray("a530100acccccccc"));
        }
        QCOMPARE(done->count(), 2);
        QCOMPARE(done->at(0).at(0).toUInt(), 0x7E8u);
        QByteArray got;
        tp->getReceivedData(got);
        QCOMPARE(got, payload);
    }
    void reception_data()
    {
        // Frames separated by spaces ("2n" is consecutive frame n with 7 bytes, "~ms" a pause), the
        // flow control the transport answers with, and the outcome: 'd' received, 't' timeout, 'e' error.
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<QByteArray>("flowControl");
        QTest::addColumn<char>("outcome");
        const QByteArray fc("30100000000000cc"), none, ff("101e010203040506 ");
        // clang-format off
        QTest::newRow("in order")                 << ff + "21 22 23 24" << fc << 'd';
        QTest::newRow("first one wrong")          << ff + "22" << fc << 'e';
        QTest::newRow("repeated")                 << ff + "21 21" << fc << 'e';
        QTest::newRow("one lost")                 << ff + "21 23" << fc << 'e';
        QTest::newRow("starting at 0")            << ff + "20" << fc << 'e';
        // N_Cr supervises each gap, not the whole message (longer than mTimeout).
        QTest::newRow("slow sender within N_Cr")  << QByteArray("1022010203040506 ~60 21 ~60 22 ~60 23 ~60 24") << fc << 'd';
        QTest::newRow("a gap beyond N_Cr")        << QByteArray("1022010203040506 ~60 21 ~60 22 ~160 23") << fc << 't';
        QTest::newRow("message cut off")          << QByteArray("1014010203040506 21") << fc << 't';
        QTest::newRow("no first frame")           << QByteArray("21") << none << 't';
        QTest::newRow("single frame too long")    << QByteArray("070102") << none << 't';
        QTest::newRow("escape length too long")   << QByteArray("003f010203040506070809") << none << 't';
        QTest::newRow("empty frame")              << QByteArray("") << none << 't';
        QTest::newRow("first frame cut short")    << QByteArray("10") << none << 't';
        QTest::newRow("32-bit first frame cut short") << QByteArray("100000") << none << 't';
        QTest::newRow("flow control while receiving") << QByteArray("300000") << none << 't';
        // clang-format on
    }
    void reception()
    {
        QFETCH(QByteArray, frames);
        QFETCH(QByteArray, flowControl);
        QFETCH(char, outcome);
        QCOMPARE(tp->waitForTransfer(0), 0);
        for (const QByteArray &f : frames.split(' ')) {
            if (f.startsWith('~'))
                QTest::qWait(f.mid(1).toInt());
            else
                inject(f.size() == 2 && f.startsWith('2') ? f + "0708090a0b0c0d" : f);
        }
        QCOMPARE(adapter->frames.isEmpty() ? QByteArray() : frameHex(adapter->frames.first()), flowControl);
        QVERIFY(adapter->frames.size() <= 1);
        QTRY_COMPARE(outcomes(), 1);
        QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
        QCOMPARE(done->count() ? 'd' : errors->count() ? 'e' : 't', outcome);
        inject("2214151617181920"); // a late frame finds the transport idle
        QVERIFY(!timeouts->wait(150)); // and no second outcome
        QCOMPARE(outcomes(), 1);
        QByteArray got;
        tp->getReceivedData(got);
        QVERIFY(got.size() <= 64);
        if (outcome == 'd')
            QCOMPARE(got,
                QByteArray::fromHex("010203040506" + QByteArray("0708090a0b0c0d").repeated(4))
                    .left(got.size()));
        QVERIFY(outcome != 'd' || got.size() == QByteArray::fromHex(frames.left(4)).at(1));
    }
    void adapterRefusals_data()
    {
        QTest::addColumn<bool>("receiving"); // the flow control of a reception, else a consecutive frame
        QTest::addColumn<int>("result");
        QTest::newRow("flow control, queue full") << true << 7;
        QTest::newRow("consecutive frame, device error") << false << 5;
        QTest::newRow("consecutive frame, queue full for good") << false << 7;
    }
    void adapterRefusals()
    {
        QFETCH(bool, receiving);
        QFETCH(int, result);
        QByteArray payload(20, 'x');
        tp->mRetryDelay = 5; // a full queue is waited out for about N_Cr (100 ms here)
        QCOMPARE(receiving ? tp->waitForTransfer(0) : tp->startTransfer(payload, true), 0);
        adapter->result = CAN::RetType(result);
        inject(receiving ? "1014010203040506" : "300000");
        QTRY_COMPARE(tp->mState, int(ISOTPHandler::Idle));
        QVERIFY(!timeouts->wait(200));
        QVERIFY(errors->count() == 1 && outcomes() == 1);
        QVERIFY(receiving || result != 7 || adapter->frames.size() > 5); // a full queue is tried again
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
        QVERIFY(!onClassic.enableCANFD(true) && onClassic.enableCANFD(false));
        onClassic.startTransfer(payload, false);
        QVERIFY(!classic.frames.at(0).fd);

        // The scheduler goes away between flow control and the block: sending stops silently.
        adapter->frames.clear();
        tp->startTransfer(payload, true);
        inject("300000");
        QCOMPARE(tp->mState, int(ISOTPHandler::SendConsecutive));
        scheduler.reset();
        QTRY_COMPARE(tp->mState, int(ISOTPHandler::Idle));
        QCOMPARE(adapter->frames.size(), 1);
        QCOMPARE(outcomes(), 0);
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
        tp->mTimeout = tp->mConsecutiveFrameTimeout = 100;
        done = std::make_unique<QSignalSpy>(tp.get(), &ISOTPHandler::dataReceived);
        timeouts = std::make_unique<QSignalSpy>(tp.get(), &ISOTPHandler::timeout);
        errors = std::make_unique<QSignalSpy>(tp.get(), &ISOTPHandler::error);
    }
    int outcomes() const { return done->count() + timeouts->count() + errors->count(); }
    void inject(const QByteArray &hex) { adapter->injectFrame(0x7E8, QByteArray::fromHex(hex)); }

    std::unique_ptr<RecordingAdapter> adapter;
    std::unique_ptr<CanScheduler> scheduler;
    std::unique_ptr<ISOTPHandler> tp;
    std::unique_ptr<QSignalSpy> done, timeouts, errors;
};

QTEST_GUILESS_MAIN(tst_ISOTPHandler)
#include "tst_isotphandler.moc"
