#include "sdoexpeditedclient.h"
#include "sdotestbench.h"
#include "sdovaluecodec.h"

enum Way { Both, DecodeOnly, EncodeOnly };

class tst_SdoExpeditedClient : public QObject
{
    Q_OBJECT
private slots:
    void exchanges_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::addColumn<int>("type");
        QTest::addColumn<QVariant>("value"); // invalid for an upload
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("outcome");
        // Conversions: the server's answer to an upload, the request of a download, and the value.
        auto up = [](const char *name, CAN::CANopenDataType type, const char *answer, const QVariant &value) {
            QTest::addRow("upload %s", name)
                << 2000 << int(type) << QVariant() << ">40002001. <" + QByteArray(answer)
                << "2000/1 " + describeValue(value);
        };
        auto down
            = [](const char *name, CAN::CANopenDataType type, const QVariant &value, const char *request) {
                  QTest::addRow("download %s", name)
                      << 2000 << int(type) << value << ">" + QByteArray(request) + " <60002001."
                      << "2000/1 " + describeValue(value);
              };
        up("u16 size bits ignored", CAN::UNSIGNED16, "4300200134127856", int(0x1234));
        up("i8 -1", CAN::INTEGER8, "43002001ffffffff", int(-1));
        up("u32 max", CAN::UNSIGNED32, "43002001ffffffff", uint(4294967295u));
        up("u8", CAN::UNSIGNED8, "4f002001ff000000", int(255));
        up("i16", CAN::INTEGER16, "4b002001feff0000", int(-2));
        up("i32", CAN::INTEGER32, "43002001feffffff", int(-2));
        up("bool 1", CAN::BOOLEAN, "4f00200101000000", int(1));
        up("real32", CAN::REAL32, "430020010000c03f", 1.5f);
        up("i24 min", CAN::INTEGER24, "4700200100008000", int(-8388608));
        up("i24 max", CAN::INTEGER24, "47002001ffff7f00", int(8388607));
        up("u24", CAN::UNSIGNED24, "47002001ffffff00", uint(0xFFFFFF));
        down("bool", CAN::BOOLEAN, true, "2200200101000000");
        down("i8 -1", CAN::INTEGER8, -1, "2f002001ffffffff");
        down("u16", CAN::UNSIGNED16, 0xBEEF, "2b002001efbe0000");
        down("i24", CAN::INTEGER24, -2, "27002001feffffff");
        down("u32", CAN::UNSIGNED32, 0x12345678u, "2300200178563412");
        down("real32", CAN::REAL32, 1.5, "230020010000c03f");
        down("vs 1", CAN::VISIBLE_STRING, QByteArray("a"), "2f00200161000000");
        down("vs 3", CAN::VISIBLE_STRING, QString("abc"), "2700200161626300");
        down("domain 4", CAN::DOMAIN, QByteArray("wxyz"), "230020017778797a");
        auto row = [](const char *name, int timeout, bool write, const char *script, const char *outcome) {
            QTest::newRow(name) << timeout << int(write ? CAN::UNSIGNED8 : CAN::UNSIGNED32)
                                << (write ? QVariant(1) : QVariant()) << QByteArray(script)
                                << QByteArray(outcome);
        };
        row("foreign answers, then timeout", 100, false,
            ">40002001. <4300200278563412 <4301200178563412 <586:4300200178563412 <43002001 <00002001. "
            ">8000200100000405 ~150",
            "2000/1 05040000");
        row("segmented announcement", 2000, false, ">40002001. <4100200110. ~20", "2000/1 08000000");
        row("upload answer without e and s", 2000, false, ">40002001. <40002001. ~20", "2000/1 08000000");
        row("server abort", 2000, true, ">2f00200101. <8000200102000106 ~20", "2000/1 06010002");
        row("unsupervised", 0, false, ">40002001. <430020017a01. ~30", "");
    }

    void exchanges()
    {
        QFETCH(int, timeout);
        QFETCH(int, type);
        QFETCH(QVariant, value);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, outcome);
        SdoClientBench<SDOExpeditedClient> b;
        QCOMPARE(b.client.setSdoTimeout(quint32(timeout)), CAN::RetType_OK);
        const CAN::CANopenDataType t = CAN::CANopenDataType(type);
        QCOMPARE(value.isValid() ? b.client.write(0x2000, 1, t, value) : b.client.read(0x2000, 1, t),
            CAN::RetType_OK);
        QCOMPARE(b.client.isBusy(), timeout != 0);
        PLAY(b, script);
        QTRY_COMPARE(b.outcome(), outcome);
        QVERIFY(!b.client.isBusy());
    }

    void refusalsAndIdentifiers()
    {
        SdoClientBench<SDOExpeditedClient> b;
        QCOMPARE(b.client.read(0x1000, 0, CAN::VISIBLE_STRING), CAN::RetType_InvalidRequest);
        QCOMPARE(b.client.read(0x1000, 0, CAN::UNSIGNED64), CAN::RetType_InvalidRequest);
        QCOMPARE(b.client.write(0x1000, 0, CAN::UNSIGNED64, 1), CAN::RetType_InvalidRequest);
        QCOMPARE(
            b.client.write(0x1000, 0, CAN::VISIBLE_STRING, QByteArray("12345")), CAN::RetType_InvalidRequest);
        QCOMPARE(b.client.write(0x1000, 0, CAN::DOMAIN, QByteArray()), CAN::RetType_InvalidRequest);
        PLAY(b, "~20");
        QVERIFY(!b.client.isBusy());

        SDOExpeditedClient unlinked(0x585, 0x605, nullptr, nullptr);
        QCOMPARE(unlinked.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
        QCOMPARE(unlinked.write(0x1000, 0, CAN::UNSIGNED32, 1), CAN::RetType_NoLink);
        auto *gone = new CanScheduler(&b.adapter);
        SDOExpeditedClient orphan(0x585, 0x605, gone, nullptr);
        delete gone;
        QCOMPARE(orphan.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
        QCOMPARE(b.client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
        QCOMPARE(b.client.write(0x1017, 0, CAN::UNSIGNED16, 5), CAN::RetType_Busy);
        QCOMPARE(b.client.read(0x1017, 0, CAN::UNSIGNED16), CAN::RetType_Busy);
        QCOMPARE(b.client.setCobIds(0x586, 0x606, false), CAN::RetType_Busy);
        QCOMPARE(b.client.setSdoTimeout(10), CAN::RetType_Busy);
        QCOMPARE(b.client.setCanScheduler(nullptr), CAN::RetType_Busy);
        const CAN::CanRxMessage request = b.peer.takeFrame();
        QCOMPARE(
            QByteArray::number(request.id, 16) + ' ' + frameHex(request), QByteArray("605 4018100100000000"));
        QVERIFY(!request.extended && !request.fd && !request.bitRateSwitch && !request.remote);
        PLAY(b, "~20 <431810017a01. ~20");
        QCOMPARE(b.outcome(), QByteArray("1018/1 uint 378"));

        QCOMPARE(b.client.setCobIds(0x10000585, 0x10000605, true), CAN::RetType_OK);
        QCOMPARE(b.client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
        const CAN::CanRxMessage extended = b.peer.takeFrame();
        QCOMPARE(extended.id, 0x10000605u);
        QVERIFY(extended.extended);
    }

    // The USDO conversions, beside the classic ones above.
    void usdoCodec_data()
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
        row(Both, "i32", CAN::INTEGER32, "feffffff", int(-2));
        row(Both, "u32", CAN::UNSIGNED32, "feffffff", uint(0xFFFFFFFE));
        row(Both, "real32", CAN::REAL32, "0000c0bf", -1.5f);
        row(Both, "i24 negative", CAN::INTEGER24, "000080", int(-8388608));
        row(Both, "i24 positive", CAN::INTEGER24, "ffff7f", int(8388607));
        row(Both, "u24", CAN::UNSIGNED24, "563412", uint(0x123456));
        row(EncodeOnly, "u40 bytes", CAN::UNSIGNED40, "0102030405", QByteArray::fromHex("0102030405ff"));
        row(EncodeOnly, "u48 short", CAN::UNSIGNED48, "refused", QByteArray::fromHex("0102"));
        row(EncodeOnly, "real64", CAN::REAL64, "refused", 1.0);
    }

    void usdoCodec()
    {
        QFETCH(int, way);
        QFETCH(int, type);
        QFETCH(QByteArray, bytes);
        QFETCH(QVariant, value);
        const CAN::CANopenDataType t = CAN::CANopenDataType(type);
        if (way != EncodeOnly) {
            const QByteArray raw = QByteArray::fromHex(bytes);
            const auto *data = reinterpret_cast<const quint8 *>(raw.constData());
            QCOMPARE(describeValue(SDOValueCodec::decodeUsdo(t, data, raw.size())), describeValue(value));
        }
        if (way != DecodeOnly) {
            QByteArray out;
            const CAN::RetType ret = SDOValueCodec::encodeUsdo(t, value, out);
            QCOMPARE(ret == CAN::RetType_OK ? out.toHex() : QByteArray("refused"), bytes);
            QVERIFY(ret == CAN::RetType_OK || ret == CAN::RetType_InvalidRequest);
        }
    }
};

QTEST_GUILESS_MAIN(tst_SdoExpeditedClient)
#include "tst_sdoexpeditedclient.moc"
