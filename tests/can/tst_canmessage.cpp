#include "canmessage.h"
#include "canrxmessage.h"
#include "cantypes.h"

#include <QTest>

class tst_CanMessage : public QObject
{
    Q_OBJECT
private slots:
    void defaultFrameIsAllZero()
    {
        const CAN::CanMessage m;
        QCOMPARE(m.id, 0u);
        QCOMPARE(int(m.length), 0);
        for (quint8 b : m.data)
            QCOMPARE(int(b), 0);
        QVERIFY(!m.remote && !m.extended && !m.fd && !m.bitRateSwitch);
        QCOMPARE(int(m.reserved), 0);
    }
    void payloadIsBounded()
    {
        CAN::CanMessage m;
        const QByteArray big(100, '\x5a');
        m.setPayload(big.constData(), int(big.size()));
        QCOMPARE(int(m.length), 64);
        m.setPayload(big.constData(), -3);
        QCOMPARE(int(m.length), 0);
        // A received copy of a frame with an impossible length is clamped, never read past.
        CAN::CanMessage bad;
        bad.length = 200;
        const CAN::CanRxMessage rx(bad, CanTimeStamp(1, 2));
        QCOMPARE(int(rx.length), 64);
        QCOMPARE(rx.payload().size(), 64);
        QCOMPARE(rx.timeStamp, CanTimeStamp(1, 2));
    }
    void metaTypesAreRegistered()
    {
        QVERIFY(QMetaType::type("CAN::CanRxMessage") != QMetaType::UnknownType);
        QVERIFY(QMetaType::type("CAN::CanMessage") != QMetaType::UnknownType);
        QVERIFY(QMetaType::type("CAN::CyclicState") != QMetaType::UnknownType);
    }
    void fdLengths()
    {
        QCOMPARE(CAN::CanFdDataLengths, (QList<int> { 12, 16, 20, 24, 32, 48, 64 }));
        QCOMPARE(CAN::canFdLengthFor(8), 8);
        QCOMPARE(CAN::canFdLengthFor(9), 12);
        QCOMPARE(CAN::canFdLengthFor(33), 48);
        QCOMPARE(CAN::canFdLengthFor(64), 64);
        QCOMPARE(CAN::CanErrorTexts.value(1), QStringLiteral("Stuff error"));
        QCOMPARE(CAN::CanErrorTexts.value(8), QStringLiteral("unspecified error"));
        QCOMPARE(CAN::CanopenMessageTypeNames.value(0), QStringLiteral("UNKNOWN"));
    }
};

QTEST_GUILESS_MAIN(tst_CanMessage)
#include "tst_canmessage.moc"
