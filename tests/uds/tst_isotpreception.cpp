// ISO 15765-2 conformance of the ISO-TP transport under a peer that does not cooperate:
// sequence numbers, flow control WAIT and OVERFLOW, the N_Cr gap supervision, and frames
// the adapter refuses. Every transfer ends in exactly one outcome.
#include "canscheduler.h"
#include "isotphandler.h"
#include "recordingadapter.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

class tst_IsoTpReception : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        adapter = std::make_unique<RecordingAdapter>();
        scheduler = std::make_unique<CanScheduler>(adapter.get());
        tp = std::make_unique<ISOTPHandler>(scheduler.get());
        tp->mTimeout = 100;
        tp->mConsecutiveFrameTimeout = 100;
        done = std::make_unique<QSignalSpy>(tp.get(), &ISOTPHandler::dataReceived);
        timeouts = std::make_unique<QSignalSpy>(tp.get(), &ISOTPHandler::timeout);
        errors = std::make_unique<QSignalSpy>(tp.get(), &ISOTPHandler::error);
    }
    void cleanup()
    {
        done.reset(), timeouts.reset(), errors.reset(), tp.reset(), scheduler.reset(), adapter.reset();
    }
    void sequenceNumbers_data()
    {
        QTest::addColumn<QByteArray>("frames"); // consecutive frames after "101e" + 6 bytes (30 bytes)
        QTest::addColumn<bool>("complete");
        QTest::newRow("in order") << QByteArray("21 22 23 24") << true;
        QTest::newRow("first one wrong") << QByteArray("22") << false;
        QTest::newRow("repeated") << QByteArray("21 21") << false;
        QTest::newRow("one lost") << QByteArray("21 23") << false;
        QTest::newRow("starting at 0") << QByteArray("20") << false;
    }
    void sequenceNumbers()
    {
        QFETCH(QByteArray, frames);
        QFETCH(bool, complete);
        QCOMPARE(tp->waitForTransfer(0), 0);
        inject("101e010203040506");
        for (const QByteArray &pci : frames.split(' '))
            inject(pci + "0708090a0b0c0d");
        QCOMPARE(done->count(), complete ? 1 : 0);
        QCOMPARE(errors->count(), complete ? 0 : 1);
        QCOMPARE(tp->mState, int(ISOTPHandler::Idle));
        QVERIFY(!timeouts->wait(200)); // no second outcome
        QCOMPARE(outcomes(), 1);
    }
    void flowStatus_data()
    {
        QTest::addColumn<QByteArray>("flowControls");
        QTest::addColumn<int>("consecutiveFrames"); // sent before the outcome
        QTest::addColumn<int>("outcome"); // 0 sent (no response expected), 1 error
        QTest::newRow("wait then continue") << QByteArray("310000 310000 300000") << 2 << 0;
        QTest::newRow("ten waits allowed") << QByteArray("310000 310000 310000 310000 310000 310000 310000 "
                                                         "310000 310000 310000 300000")
                                           << 2 << 0;
        QTest::newRow("eleven waits") << QByteArray("310000 310000 310000 310000 310000 310000 310000 "
                                                    "310000 310000 310000 310000")
                                      << 0 << 1;
        QTest::newRow("overflow") << QByteArray("320000") << 0 << 1;
        QTest::newRow("invalid status") << QByteArray("3f0000") << 0 << 1;
    }
    void flowStatus()
    {
        QFETCH(QByteArray, flowControls);
        QFETCH(int, consecutiveFrames);
        QFETCH(int, outcome);
        QByteArray payload(20, 'x');
        QCOMPARE(tp->startTransfer(payload, false), 0);
        for (const QByteArray &fc : flowControls.split(' ')) {
            QTest::qWait(60); // each WAIT restarts the supervision: 60 ms gaps stay within 100 ms
            inject(fc);
        }
        QTRY_COMPARE(adapter->frames.size(), 1 + consecutiveFrames);
        QTRY_COMPARE(tp->mState, int(ISOTPHandler::Idle));
        QCOMPARE(errors->count(), outcome);
        QVERIFY(!timeouts->wait(200));
    }
    void gapBeforeEachConsecutiveFrame_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<bool>("complete");
        // Five gaps of 60 ms: the whole message takes longer than mTimeout and N_Cr, each gap not.
        QTest::newRow("slow sender within N_Cr") << 60 << true;
        QTest::newRow("a gap beyond N_Cr") << 160 << false;
    }
    void gapBeforeEachConsecutiveFrame()
    {
        QFETCH(int, gapMs);
        QFETCH(bool, complete);
        QCOMPARE(tp->waitForTransfer(0), 0);
        inject("1022010203040506"); // 34 bytes: FF + 4 CFs
        for (int i = 1; i <= 4 && tp->mState == ISOTPHandler::Receive; ++i) {
            QTest::qWait(i == 3 ? gapMs : 60);
            if (tp->mState == ISOTPHandler::Receive)
                inject(QByteArray::number(0x20 + i, 16) + "0708090a0b0c0d");
        }
        QTRY_COMPARE(outcomes(), 1);
        QCOMPARE(done->count(), complete ? 1 : 0);
        QCOMPARE(timeouts->count(), complete ? 0 : 1);
        if (complete) {
            QByteArray data;
            tp->getReceivedData(data);
            QCOMPARE(data.size(), 34);
        }
    }
    void adapterRefusals_data()
    {
        QTest::addColumn<int>(
            "stage"); // 0 single/first frame, 1 flow control of a reception, 2 consecutive frame
        QTest::addColumn<int>("payloadSize");
        QTest::addColumn<int>("result");
        QTest::newRow("single frame, queue full") << 0 << 5 << 7;
        QTest::newRow("first frame, offline") << 0 << 20 << 4;
        QTest::newRow("flow control, queue full") << 1 << 0 << 7;
        QTest::newRow("consecutive frame, device error") << 2 << 20 << 5;
        QTest::newRow("consecutive frame, queue full for good") << 2 << 20 << 7;
    }
    void adapterRefusals()
    {
        QFETCH(int, stage);
        QFETCH(int, payloadSize);
        QFETCH(int, result);
        QByteArray payload(payloadSize, 'x');
        if (stage == 0) {
            adapter->result = CAN::RetType(result);
            QCOMPARE(tp->startTransfer(payload, true), result); // nothing went out, nothing waits
        } else if (stage == 1) {
            adapter->result = CAN::RetType(result);
            QCOMPARE(tp->waitForTransfer(0), 0);
            inject("1014010203040506");
        } else {
            tp->mRetryDelay = 5; // a full queue is waited out for about N_Cr (100 ms here)
            QCOMPARE(tp->startTransfer(payload, true), 0);
            adapter->result = CAN::RetType(result);
            inject("300000");
        }
        QTRY_COMPARE(tp->mState, int(ISOTPHandler::Idle));
        QVERIFY(!timeouts->wait(200));
        QCOMPARE(errors->count(), stage == 0 ? 0 : 1);
        QCOMPARE(outcomes(), stage == 0 ? 0 : 1);
    }

private:
    void inject(const QByteArray &hex) { adapter->injectFrame(0x7E8, QByteArray::fromHex(hex)); }
    int outcomes() const { return done->count() + timeouts->count() + errors->count(); }

    std::unique_ptr<RecordingAdapter> adapter;
    std::unique_ptr<CanScheduler> scheduler;
    std::unique_ptr<ISOTPHandler> tp;
    std::unique_ptr<QSignalSpy> done, timeouts, errors;
};

QTEST_GUILESS_MAIN(tst_IsoTpReception)
#include "tst_isotpreception.moc"
