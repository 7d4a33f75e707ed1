#include "canscheduler.h"
#include "cansender.h"
#include "recordingadapter.h"

#include <QSignalSpy>
#include <QTest>

namespace {
struct Receiver : QObject
{
    QList<CAN::CanRxMessage> got;
    void take(const CAN::CanRxMessage &m) { got.append(m); }
};
}

class tst_CanScheduler : public QObject
{
    Q_OBJECT
private slots:
    void dispatchesToEveryReceiverOfAnIdentifier()
    {
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        QCOMPARE(scheduler.canAdapter(), &adapter);
        Receiver a, b, other;
        QPointer<CanSender> sa = scheduler.registerCanId(0x581);
        QPointer<CanSender> sb = scheduler.registerCanId(0x581);
        QPointer<CanSender> so = scheduler.registerCanId(0x582);
        QCOMPARE(sa, sb); // one sender per identifier
        connect(sa, &CanSender::received, &a, &Receiver::take);
        connect(sb, &CanSender::received, &b, &Receiver::take);
        connect(so, &CanSender::received, &other, &Receiver::take);

        adapter.injectFrame(0x581, QByteArray::fromHex("4300100092010000"));
        adapter.injectFrame(0x583, QByteArray::fromHex("00")); // nobody listens
        QCOMPARE(a.got.size(), 1);
        QCOMPARE(b.got.size(), 1);
        QCOMPARE(other.got.size(), 0);
        QCOMPARE(frameHex(a.got.first()), QByteArray("4300100092010000"));
    }
    void unregisterKeepsOtherUsersAndLastUserEndsTheSender()
    {
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        Receiver a, b;
        QPointer<CanSender> s = scheduler.registerCanId(0x701);
        connect(s, &CanSender::received, &a, &Receiver::take);
        connect(scheduler.registerCanId(0x701), &CanSender::received, &b, &Receiver::take);
        QCOMPARE(scheduler.registeredCount(), 1);
        scheduler.unregisterCan(s, &a);
        adapter.injectFrame(0x701, QByteArray::fromHex("05"));
        QCOMPARE(a.got.size(), 0);
        QCOMPARE(b.got.size(), 1);
        QVERIFY(s); // still used by b
        scheduler.unregisterCan(s, &b);
        QCOMPARE(scheduler.registeredCount(), 0);
        adapter.injectFrame(0x701, QByteArray::fromHex("01"));
        QCOMPARE(b.got.size(), 1);
        QTRY_VERIFY(s.isNull());
        // Unregistering a dead or foreign sender is harmless.
        scheduler.unregisterCan(s, &a);
        CanScheduler otherScheduler(&adapter);
        QPointer<CanSender> foreign = otherScheduler.registerCanId(0x185);
        scheduler.unregisterCan(foreign, &a);
        QVERIFY(foreign);
    }
    void rangeRegistration()
    {
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        const auto senders = scheduler.registerCanIdRange(0x7D0, 0x7DF);
        QCOMPARE(senders.size(), 16);
        QCOMPARE(senders.first()->canId(), 0x7D0u);
        QCOMPARE(senders.last()->canId(), 0x7DFu);
        QVERIFY(scheduler.registerCanIdRange(0x10, 0x0F).isEmpty());
        Receiver r;
        for (const auto &s : senders)
            connect(s, &CanSender::received, &r, &Receiver::take);
        adapter.injectFrame(0x7D5, QByteArray::fromHex("aa"));
        adapter.injectFrame(0x7E0, QByteArray::fromHex("bb"));
        QCOMPARE(r.got.size(), 1);
        QCOMPARE(r.got.first().id, 0x7D5u);
    }
    void unregisterInsideDelivery()
    {
        RecordingAdapter adapter;
        CanScheduler scheduler(&adapter);
        QPointer<CanSender> s = scheduler.registerCanId(0x100);
        int calls = 0;
        QObject receiver;
        connect(s, &CanSender::received, &receiver, [&](const CAN::CanRxMessage &) {
            ++calls;
            scheduler.unregisterCan(s, &receiver);
        });
        adapter.injectFrame(0x100, QByteArray::fromHex("01"));
        adapter.injectFrame(0x100, QByteArray::fromHex("02"));
        QCOMPARE(calls, 1);
    }
    void adapterSwappedOrDestroyed()
    {
        RecordingAdapter first;
        auto *second = new RecordingAdapter;
        CanScheduler scheduler(&first);
        Receiver r;
        connect(scheduler.registerCanId(0x181), &CanSender::received, &r, &Receiver::take);
        scheduler.setCanAdapter(second);
        QCOMPARE(scheduler.canAdapter(), second);
        first.injectFrame(0x181, QByteArray::fromHex("01")); // the old adapter no longer delivers
        second->injectFrame(0x181, QByteArray::fromHex("02"));
        QCOMPARE(r.got.size(), 1);
        QCOMPARE(frameHex(r.got.first()), QByteArray("02"));
        delete second;
        QVERIFY(!scheduler.canAdapter());
    }
};

QTEST_GUILESS_MAIN(tst_CanScheduler)
#include "tst_canscheduler.moc"
