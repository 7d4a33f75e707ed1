// EDS and DCF files: a valid one, every data type, and malformed ones with their line.
#include "edsfile.h"

#include <QRandomGenerator>
#include <QTest>

class tst_EdsFile : public QObject
{
    Q_OBJECT
private slots:
    void theSimulatedModulesFile();
    void everyDataType_data();
    void everyDataType();
    void dcfValuesAndCompactArrays();
    void malformed_data();
    void malformed();
    void numbers_data();
    void numbers();
    void mutatedFilesNeverCrash();
};

namespace {
const char kHead[]
    = "[DeviceInfo]\nVendorName=V\nVendorNumber=0x100\nProductName=P\nProductNumber=7\nRevisionNumber=1\n"
      "[MandatoryObjects]\nSupportedObjects=1\n1=0x1000\n"
      "[1000]\nParameterName=Device type\nObjectType=0x7\nDataType=0x0007\nAccessType=ro\n";
} // namespace

void tst_EdsFile::theSimulatedModulesFile()
{
    EdsFile eds;
    QVERIFY2(eds.load(QFINDTESTDATA("../../sim/eds/io_module.eds")), qPrintable(eds.errorString()));
    QCOMPARE(eds.vendorName(), QStringLiteral("Tarnwick Simulation"));
    QCOMPARE(eds.productName(), QStringLiteral("I/O module"));
    QCOMPARE(eds.vendorNumber(), 0x4B1u);
    QCOMPARE(eds.productNumber(), 0x00401001u);
    QCOMPARE(eds.revisionNumber(), 0x00010003u);
    QCOMPARE(eds.entries().size(), 16);
    const EdsEntry *heartbeat = eds.find(QStringLiteral("producer heartbeat time"));
    QVERIFY(heartbeat);
    QCOMPARE(heartbeat->index, quint16(0x1017));
    QCOMPARE(heartbeat->type(), CAN::UNSIGNED16);
    QVERIFY(heartbeat->writable());
    const EdsEntry *vendor = eds.find(QStringLiteral("Identity object.Vendor-ID"));
    QVERIFY(vendor);
    QCOMPARE(vendor->sub, quint8(1));
    QCOMPARE(eds.find(QStringLiteral("Identity object.4")), eds.find(0x1018, 4));
    QVERIFY(!eds.find(0x1018, 4)->writable());
    QCOMPARE(eds.find(0x1008, 0)->accessType, QStringLiteral("const"));
    // The same name in two objects needs the object's name.
    QVERIFY(!eds.find(QStringLiteral("Highest sub-index supported")));
    QVERIFY(eds.find(QStringLiteral("RPDO1 communication parameter.Highest sub-index supported")));
    quint64 cob = 0;
    QVERIFY(edsNumber(eds.find(0x1400, 1)->defaultValue, 5, &cob));
    QCOMPARE(cob, quint64(0x205));
}

void tst_EdsFile::everyDataType_data()
{
    QTest::addColumn<int>("dataType");
    QTest::addColumn<QString>("defaultValue");
    // Every basic type, the default value kept as written.
    const char *defaults[] = { "1", "-5", "-300", "-70000", "0xFF", "0xFFFF", "017", "1.5", "text", "0102",
        "x", "", "", nullptr, "", "-1", "2.5", "-2", "3", "4", "-9", "0xFFFFFF", nullptr, "0xFFFFFFFFFF", "7",
        "8", "0xFFFFFFFFFFFFFFFF" };
    for (int type = 1; type <= 0x1B; ++type)
        if (defaults[type - 1])
            QTest::addRow("0x%02x", type) << type << QString::fromLatin1(defaults[type - 1]);
}

void tst_EdsFile::everyDataType()
{
    QFETCH(int, dataType);
    QFETCH(QString, defaultValue);
    QByteArray text = QByteArray(kHead).replace(
        "SupportedObjects=1\n1=0x1000\n", "SupportedObjects=2\n1=0x1000\n2=0x2000\n");
    text += "[2000]\nParameterName=Value\nObjectType=0x7\nDataType=0x" + QByteArray::number(dataType, 16)
        + "\nAccessType=rw\nDefaultValue=" + defaultValue.toLatin1() + "\n";
    EdsFile eds;
    QVERIFY2(eds.parse(text, QStringLiteral("types.eds")), qPrintable(eds.errorString()));
    QCOMPARE(eds.find(QStringLiteral("Value"))->dataType, dataType);
    QCOMPARE(eds.find(0x2000, 0)->defaultValue, defaultValue);
}

void tst_EdsFile::dcfValuesAndCompactArrays()
{
    QByteArray text = QByteArray(kHead).replace(
        "SupportedObjects=1\n1=0x1000\n", "SupportedObjects=2\n1=0x1000\n2=0x1016\n");
    text += "[1016]\nParameterName=Consumer heartbeat "
            "time\nObjectType=0x8\nDataType=0x0007\nAccessType=rw\nCompactSubObj=2\n"
            "[1016Name]\nNrOfEntries=1\n2=Second consumer\n"
            "[DeviceComissioning]\nNodeID=12\n";
    text.replace("AccessType=ro\n", "AccessType=ro\nParameterValue=0x00020192\n");
    EdsFile eds;
    QVERIFY2(eds.parse(text, QStringLiteral("device.dcf")), qPrintable(eds.errorString()));
    QCOMPARE(eds.nodeId(), quint8(12));
    QCOMPARE(eds.find(0x1000, 0)->value, QStringLiteral("0x00020192"));
    QCOMPARE(eds.find(0x1016, 0)->type(), CAN::UNSIGNED8);
    QCOMPARE(eds.find(0x1016, 1)->name, QStringLiteral("Consumer heartbeat time 1"));
    QCOMPARE(eds.find(0x1016, 2)->name, QStringLiteral("Second consumer"));
    QCOMPARE(eds.find(0x1016, 2)->type(), CAN::UNSIGNED32);
}

void tst_EdsFile::malformed_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    const QByteArray head(kHead);
    QTest::newRow("empty") << QByteArray() << "bad.eds:1: no [DeviceInfo] section";
    QTest::newRow("no object lists") << QByteArray("[DeviceInfo]\nVendorName=V\n")
                                     << "bad.eds:1: no [MandatoryObjects] section";
    QTest::newRow("listed without section")
        << QByteArray(head).replace(
               "SupportedObjects=1\n1=0x1000\n", "SupportedObjects=2\n1=0x1000\n2=0x1017\n")
        << "bad.eds:10: object 0x1017 is listed here but has no section [1017]";
    QTest::newRow("count beyond entries") << QByteArray(head).replace("SupportedObjects=1",
        "SupportedObjects=3") << "bad.eds:8: [MandatoryObjects] lists 3 objects but has no entry 2";
    QTest::newRow("bad vendor number") << QByteArray(head).replace("VendorNumber=0x100", "VendorNumber=0x1G0")
                                       << "bad.eds:3: VendorNumber \"0x1G0\" is not a valid number";
    QTest::newRow("bad data type") << QByteArray(head).replace("DataType=0x0007", "DataType=seven")
                                   << "bad.eds:13: DataType \"seven\" is not a valid number";
    QTest::newRow("bad default") << QByteArray(head + "DefaultValue=12abc\n")
                                 << "bad.eds:15: DefaultValue \"12abc\" of [1000] is not a valid number";
    QTest::newRow("bad index") << QByteArray(head).replace("1=0x1000", "1=0x10000")
                               << "bad.eds:9: \"0x10000\" is not an object index";
    QTest::newRow("duplicated section") << QByteArray(head + "[1000]\nParameterName=Again\n")
                                        << "bad.eds:15: section [1000] appears twice (first on line 10)";
    QTest::newRow("duplicated key") << QByteArray(head + "DataType=0x0005\n")
                                    << "bad.eds:15: DataType appears twice in [1000] (first on line 13)";
    QTest::newRow("duplicated listing") << QByteArray(head).replace(
        "SupportedObjects=1\n1=0x1000\n", "SupportedObjects=2\n1=0x1000\n2=0x1000\n")
                                        << "bad.eds:10: object 0x1000 is listed twice (first on line 9)";
    QTest::newRow("no parameter name") << QByteArray(head).replace("ParameterName=Device type\n", "")
                                       << "bad.eds:10: [1000] has no ParameterName";
    QTest::newRow("no access type") << QByteArray(head).replace("AccessType=ro\n", "")
                                    << "bad.eds:10: [1000] has no AccessType";
    QTest::newRow("bad access type")
        << QByteArray(head).replace("AccessType=ro", "AccessType=readonly")
        << "bad.eds:14: AccessType \"readonly\" is none of ro, wo, rw, rwr, rww, const";
    QTest::newRow("no data type") << QByteArray(head).replace("DataType=0x0007\n", "")
                                  << "bad.eds:10: [1000] has no DataType";
    QTest::newRow("sub-index count") << QByteArray(head).replace(
                                            "ObjectType=0x7\nDataType=0x0007\nAccessType=ro\n",
                                            "ObjectType=0x9\nSubNumber=2\n")
            + "[1000sub0]\nParameterName=Count\nDataType=0x0005\nAccessType=ro\n"
                                     << "bad.eds:13: [1000] says SubNumber=2 but 1 sub-index sections follow";
    QTest::newRow("bad object type")
        << QByteArray(head).replace("ObjectType=0x7", "ObjectType=0x5")
        << "bad.eds:12: ObjectType 0x5 of [1000] is not VAR (7), DOMAIN (2), ARRAY (8) or RECORD (9)";
    QTest::newRow("garbage line") << QByteArray(head + "what is this\n")
                                  << "bad.eds:15: expected KEY=VALUE or [SECTION], not \"what is this\"";
    QTest::newRow("open header") << QByteArray("[DeviceInfo\n")
                                 << "bad.eds:1: malformed section header \"[DeviceInfo\"";
    QTest::newRow("key before section")
        << QByteArray("A=1\n") << "bad.eds:1: \"A=1\" stands before the first section";
    QTest::newRow("binary") << QByteArray("\x00\xff[\x01=\n\n]\xfe", 9) << "bad.eds:1: \"";
}

void tst_EdsFile::malformed()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    EdsFile eds;
    QVERIFY(!eds.parse(text, QStringLiteral("bad.eds")));
    QVERIFY2(eds.errorString().startsWith(message), qPrintable(eds.errorString()));
}

void tst_EdsFile::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint64>("value");
    QTest::newRow("decimal") << "250" << true << quint64(250);
    QTest::newRow("hex") << "0x1A" << true << quint64(0x1A);
    QTest::newRow("octal") << "017" << true << quint64(15);
    QTest::newRow("node-ID first") << "$NODEID+0x180" << true << quint64(0x185);
    QTest::newRow("node-ID last") << "0x200 + $NODEID" << true << quint64(0x205);
    QTest::newRow("node-ID alone") << "$nodeid" << true << quint64(5);
    QTest::newRow("negative") << "-1" << true << quint64(-1);
    QTest::newRow("node-ID times") << "$NODEID*2" << false << quint64(0);
    QTest::newRow("word") << "ten" << false << quint64(0);
    QTest::newRow("empty") << "" << false << quint64(0);
}

void tst_EdsFile::numbers()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(quint64, value);
    quint64 v = 0;
    QCOMPARE(edsNumber(text, 5, &v), ok);
    if (ok)
        QCOMPARE(v, value);
}

void tst_EdsFile::mutatedFilesNeverCrash()
{
    QFile file(QFINDTESTDATA("../../sim/eds/io_module.eds"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray original = file.readAll();
    QRandomGenerator random(306);
    int accepted = 0;
    for (int i = 0; i < 2000; ++i) {
        QByteArray text = original;
        for (int m = 0; m < 4; ++m) {
            const int at = int(random.bounded(text.size()));
            switch (random.bounded(3)) {
            case 0:
                text.remove(at, int(random.bounded(20)));
                break;
            case 1:
                text.insert(at, char(random.bounded(256)));
                break;
            default:
                text[at] = "=[]\n0x$;"[random.bounded(9)];
                break;
            }
        }
        EdsFile eds;
        if (eds.parse(text, QStringLiteral("m.eds")))
            ++accepted;
        else
            QVERIFY2(eds.errorString().startsWith(QLatin1String("m.eds:")), qPrintable(eds.errorString()));
    }
    QVERIFY(accepted > 0);
}

QTEST_GUILESS_MAIN(tst_EdsFile)
#include "tst_edsfile.moc"
