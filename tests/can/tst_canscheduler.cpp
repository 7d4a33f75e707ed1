#include "canscheduler.h"
#include "cansender.h"
#include "recordingadapter.h"

#include <QSignalSpy>
#include <QTest>

namespace {
struct Receiver : QObject
{
    QList<QByteArray> got; // hex of each frame
    Receiver(CanSender *sender) { connect(sender, &CanSender::received, this, &Receiver::take); }
    void take(const CAN::CanRxMessage &m) { got.append(QByteArray::number(m.id, 16) + ' ' + frameHex(m)); }
};
} // namespace

class tst_CanScheduler : public QObject
{
    Q_OBJECT

    RecordingAdapter adapter;

private slots:
    void registrations()
    {
        CanScheduler scheduler(&adapter);
        QPointer<CanSender> s = scheduler.registerCanId(0x581);
        QCOMPARE(scheduler.registerCanId(0x581), s); // one sender per identifier
        Receiver a(s), b(s), other(scheduler.registerCanId(0x582));
        adapter.injectFrame(0x581, QByteArray::fromHex("4300100092010000"));
        adapter.injectFrame(0x583, QByteArray::fromHex("00")); // nobody listens
        QCOMPARE(a.got, QList<QByteArray> { "581 4300100092010000" });
        QCOMPARE(b.got, a.got);
        QVERIFY(other.got.isEmpty());
        QCOMPARE(scheduler.registeredCount(), 2);

        // Unregistering keeps the other users; the last user ends the sender.
        scheduler.unregisterCan(s, &a);
        adapter.injectFrame(0x581, QByteArray::fromHex("05"));
        QCOMPARE(a.got.size(), 1);
        QCOMPARE(b.got.size(), 2);
        QVERIFY(s);
        scheduler.unregisterCan(s, &b);
        QCOMPARE(scheduler.registeredCount(), 1);
        adapter.injectFrame(0x581, QByteArray::fromHex("01"));
        QCOMPARE(b.got.size(), 2);
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
        CanScheduler scheduler(&adapter);
        const auto senders = scheduler.registerCanIdRange(0x7D0, 0x7DF);
        QCOMPARE(senders.size(), 16);
        QVERIFY(senders.first()->canId() == 0x7D0 && senders.last()->canId() == 0x7DF);
        QVERIFY(scheduler.registerCanIdRange(0x10, 0x0F).isEmpty());
        Receiver r(senders.at(5));
        adapter.injectFrame(0x7D5, QByteArray::fromHex("aa"));
        adapter.injectFrame(0x7E0, QByteArray::fromHex("bb"));
        QCOMPARE(r.got, QList<QByteArray> { "7d5 aa" });
    }
    void unregisterInsideDelivery()
    {
        CanScheduler scheduler(&adapter);
        QPointer<CanSender> s = scheduler.registerCanId(0x100);
        Receiver r(s);
        connect(s, &CanSender::received, &r, [&] { scheduler.unregisterCan(s, &r); });
        adapter.injectFrame(0x100, QByteArray::fromHex("01"));
        adapter.injectFrame(0x100, QByteArray::fromHex("02"));
        QCOMPARE(r.got.size(), 1);
    }
    void adapterSwappedOrDestroyed()
    {
        auto *second = new RecordingAdapter;
        CanScheduler scheduler(&adapter);
        QCOMPARE(scheduler.canAdapter(), &adapter);
        Receiver r(scheduler.registerCanId(0x181));
        scheduler.setCanAdapter(second);
        QCOMPARE(scheduler.canAdapter(), second);
        adapter.injectFrame(0x181, QByteArray::fromHex("01")); // the old adapter no longer delivers
        second->injectFrame(0x181, QByteArray::fromHex("02"));
        QCOMPARE(r.got, QList<QByteArray> { "181 02" });
        delete second;
        QVERIFY(!scheduler.canAdapter());
    }
};

QTEST_GUILESS_MAIN(tst_CanScheduler)
#include "tst_canscheduler.moc"
