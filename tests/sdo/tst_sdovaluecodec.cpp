#include "sdovaluecodec.h"

#include <QTest>

// The classic conversions travel through SDOExpeditedClient's wire tests; the USDO ones are
// checked here until the USDO clients use them.
class tst_SdoValueCodec : public QObject
{
    Q_OBJECT
private slots:
    void usdoDecode_data();
    void usdoDecode();
    void usdoEncode_data();
    void usdoEncode();
};

void tst_SdoValueCodec::usdoDecode_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("bool") << int(CAN::BOOLEAN) << QByteArray("03") << QVariant(int(1));
    QTest::newRow("i8") << int(CAN::INTEGER8) << QByteArray("ff") << QVariant::fromValue<signed char>(-1);
    QTest::newRow("u8") << int(CAN::UNSIGNED8) << QByteArray("ff") << QVariant::fromValue<unsigned char>(255);
    QTest::newRow("i16") << int(CAN::INTEGER16) << QByteArray("feff") << QVariant::fromValue<short>(-2);
    QTest::newRow("u16") << int(CAN::UNSIGNED16) << QByteArray("feff") << QVariant::fromValue<ushort>(0xFFFE);
    QTest::newRow("i32") << int(CAN::INTEGER32) << QByteArray("feffffff") << QVariant(int(-2));
    QTest::newRow("u32") << int(CAN::UNSIGNED32) << QByteArray("feffffff") << QVariant(uint(0xFFFFFFFE));
    QTest::newRow("real32") << int(CAN::REAL32) << QByteArray("0000c0bf") << QVariant(-1.5f);
    QTest::newRow("i24 negative") << int(CAN::INTEGER24) << QByteArray("000080") << QVariant(int(-8388608));
    QTest::newRow("i24 positive") << int(CAN::INTEGER24) << QByteArray("ffff7f") << QVariant(int(8388607));
    QTest::newRow("u24") << int(CAN::UNSIGNED24) << QByteArray("ffffff") << QVariant(uint(0xFFFFFF));
    QTest::newRow("u64 other") << int(CAN::UNSIGNED64) << QByteArray("0102030405060708") << QVariant(int(0));
}

void tst_SdoValueCodec::usdoDecode()
{
    QFETCH(int, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QVariant, value);
    const QByteArray raw = QByteArray::fromHex(bytes);
    const QVariant got = SDOValueCodec::decodeUsdo(
        CAN::CANopenDataType(type), reinterpret_cast<const quint8 *>(raw.constData()), raw.size());
    QCOMPARE(got.userType(), value.userType());
    QCOMPARE(got, value);
}

void tst_SdoValueCodec::usdoEncode_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("bool") << int(CAN::BOOLEAN) << QVariant(true) << 0 << QByteArray("01");
    QTest::newRow("i16") << int(CAN::INTEGER16) << QVariant(-2) << 0 << QByteArray("feff");
    QTest::newRow("u24") << int(CAN::UNSIGNED24) << QVariant(0x123456) << 0 << QByteArray("563412");
    QTest::newRow("real32") << int(CAN::REAL32) << QVariant(1.5) << 0 << QByteArray("0000c03f");
    QTest::newRow("u40 bytes") << int(CAN::UNSIGNED40) << QVariant(QByteArray::fromHex("0102030405ff")) << 0
                               << QByteArray("0102030405");
    QTest::newRow("u48 short") << int(CAN::UNSIGNED48) << QVariant(QByteArray::fromHex("0102")) << 2
                               << QByteArray();
    QTest::newRow("string 56") << int(CAN::VISIBLE_STRING) << QVariant(QByteArray(56, 'a')) << 0
                               << QByteArray(56, 'a').toHex();
    QTest::newRow("string 57") << int(CAN::VISIBLE_STRING) << QVariant(QByteArray(57, 'a')) << 2
                               << QByteArray();
    QTest::newRow("real64") << int(CAN::REAL64) << QVariant(1.0) << 2 << QByteArray();
}

void tst_SdoValueCodec::usdoEncode()
{
    QFETCH(int, type);
    QFETCH(QVariant, value);
    QFETCH(int, result);
    QFETCH(QByteArray, bytes);
    QByteArray out;
    QCOMPARE(int(SDOValueCodec::encodeUsdo(CAN::CANopenDataType(type), value, out)), result);
    if (result == 0)
        QCOMPARE(out.toHex(), bytes);
}

QTEST_GUILESS_MAIN(tst_SdoValueCodec)
#include "tst_sdovaluecodec.moc"
