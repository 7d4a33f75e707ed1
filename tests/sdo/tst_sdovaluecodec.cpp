#include "sdovaluecodec.h"

#include <QTest>

// The classic conversions travel through SDOExpeditedClient's wire tests; the USDO ones are
// checked here until the USDO clients use them.
class tst_SdoValueCodec : public QObject
{
    Q_OBJECT
private slots:
    void usdo_data();
    void usdo();
};

enum Way { Both, DecodeOnly, EncodeOnly };

void tst_SdoValueCodec::usdo_data()
{
    QTest::addColumn<int>("way");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("bytes"); // hex, or "refused" when the encoder gives 2
    QTest::addColumn<QVariant>("value");
    auto row = [](Way way, const char *name, int type, const QByteArray &bytes, const QVariant &value) {
        QTest::newRow(name) << int(way) << type << bytes << value;
    };
    row(Both, "bool", CAN::BOOLEAN, "01", int(1));
    row(DecodeOnly, "bool, bit 0 only", CAN::BOOLEAN, "03", int(1));
    row(Both, "i8", CAN::INTEGER8, "ff", QVariant::fromValue<signed char>(-1));
    row(Both, "u8", CAN::UNSIGNED8, "ff", QVariant::fromValue<unsigned char>(255));
    row(Both, "i16", CAN::INTEGER16, "feff", QVariant::fromValue<short>(-2));
    row(Both, "u16", CAN::UNSIGNED16, "feff", QVariant::fromValue<ushort>(0xFFFE));
    row(Both, "i32", CAN::INTEGER32, "feffffff", int(-2));
    row(Both, "u32", CAN::UNSIGNED32, "feffffff", uint(0xFFFFFFFE));
    row(Both, "real32", CAN::REAL32, "0000c0bf", -1.5f);
    row(Both, "i24 negative", CAN::INTEGER24, "000080", int(-8388608));
    row(Both, "i24 positive", CAN::INTEGER24, "ffff7f", int(8388607));
    row(Both, "u24", CAN::UNSIGNED24, "563412", uint(0x123456));
    row(DecodeOnly, "u64 other", CAN::UNSIGNED64, "0102030405060708", int(0));
    row(EncodeOnly, "u40 bytes", CAN::UNSIGNED40, "0102030405", QByteArray::fromHex("0102030405ff"));
    row(EncodeOnly, "u48 short", CAN::UNSIGNED48, "refused", QByteArray::fromHex("0102"));
    row(EncodeOnly, "string 56", CAN::VISIBLE_STRING, QByteArray(56, 'a').toHex(), QByteArray(56, 'a'));
    row(EncodeOnly, "string 57", CAN::VISIBLE_STRING, "refused", QByteArray(57, 'a'));
    row(EncodeOnly, "real64", CAN::REAL64, "refused", 1.0);
}

void tst_SdoValueCodec::usdo()
{
    QFETCH(int, way);
    QFETCH(int, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QVariant, value);
    const CAN::CANopenDataType t = CAN::CANopenDataType(type);
    if (way != EncodeOnly) {
        const QByteArray raw = QByteArray::fromHex(bytes);
        const QVariant got
            = SDOValueCodec::decodeUsdo(t, reinterpret_cast<const quint8 *>(raw.constData()), raw.size());
        QCOMPARE(got.userType(), value.userType());
        QCOMPARE(got, value);
    }
    if (way != DecodeOnly) {
        QByteArray out;
        const CAN::RetType ret = SDOValueCodec::encodeUsdo(t, value, out);
        QCOMPARE(ret, bytes == "refused" ? CAN::RetType_InvalidRequest : CAN::RetType_OK);
        if (ret == CAN::RetType_OK)
            QCOMPARE(out.toHex(), bytes);
    }
}

QTEST_GUILESS_MAIN(tst_SdoValueCodec)
#include "tst_sdovaluecodec.moc"
