// EDS and DCF files: a valid one, every data type, and malformed ones with their line.
#include "edsfile.h"

#include <QRandomGenerator>
#include <QTest>

namespace {
const char kHead[]
    = "[DeviceInfo]\nVendorName=V\nVendorNumber=0x100\nProductName=P\nProductNumber=7\nRevisionNumber=1\n"
      "[MandatoryObjects]\nSupportedObjects=1\n1=0x1000\n"
      "[1000]\nParameterName=Device type\nObjectType=0x7\nDataType=0x0007\nAccessType=ro\n";

/// The head and one more object, listed as the second mandatory one (its section's index first).
QByteArray withObject(const QByteArray &section)
{
    return QByteArray(kHead).replace("SupportedObjects=1\n1=0x1000\n",
               "SupportedObjects=2\n1=0x1000\n2=0x" + section.mid(1, 4) + "\n")
        + section;
}
} // namespace

class tst_EdsFile : public QObject
{
    Q_OBJECT
private slots:
    // The tool's tests read this file by name and list it; here what they do not show.
    void theSimulatedModulesFile()
    {
        EdsFile eds;
        QVERIFY2(eds.load(QFINDTESTDATA("../../sim/eds/io_module.eds")), qPrintable(eds.errorString()));
        QCOMPARE(QList<quint32>({ eds.vendorNumber(), eds.productNumber(), eds.revisionNumber() }),
            QList<quint32>({ 0x4B1u, 0x00401001u, 0x00010003u }));
        QCOMPARE(eds.find("Identity object.4"), eds.find(0x1018, 4));
        QVERIFY(!eds.find(0x1018, 4)->writable() && eds.find(0x1008, 0)->accessType == "const");
        // The same name in two objects needs the object's name.
        QVERIFY(!eds.find("Highest sub-index supported"));
        QVERIFY(eds.find("RPDO1 communication parameter.Highest sub-index supported"));
    }
    // Every basic type, the default value kept as written.
    void everyDataType()
    {
        const char *defaults[] = { "1", "-5", "-300", "-70000", "0xFF", "0xFFFF", "017", "1.5", "text",
            "0102", "x", "", "", nullptr, "", "-1", "2.5", "-2", "3", "4", "-9", "0xFFFFFF", nullptr,
            "0xFFFFFFFFFF", "7", "8", "0xFFFFFFFFFFFFFFFF" };
        for (int type = 1; type <= 0x1B; ++type) {
            if (!defaults[type - 1])
                continue;
            EdsFile eds;
            QVERIFY2(eds.parse(withObject("[2000]\nParameterName=Value\nObjectType=0x7\nDataType=0x"
                                   + QByteArray::number(type, 16)
                                   + "\nAccessType=rw\nDefaultValue=" + defaults[type - 1] + "\n"),
                         "types.eds"),
                qPrintable(eds.errorString()));
            QVERIFY(eds.find("Value")->dataType == type
                && eds.find(0x2000, 0)->defaultValue == defaults[type - 1]);
        }
    }
    void dcfValuesAndCompactArrays()
    {
        QByteArray text
            = withObject("[1016]\nParameterName=Consumer heartbeat time\nObjectType=0x8\nDataType=0x0007\n"
                         "AccessType=rw\nCompactSubObj=2\n[1016Name]\nNrOfEntries=1\n2=Second consumer\n"
                         "[DeviceComissioning]\nNodeID=12\n");
        text.replace("AccessType=ro\n", "AccessType=ro\nParameterValue=0x00020192\n");
        EdsFile eds;
        QVERIFY2(eds.parse(text, "device.dcf"), qPrintable(eds.errorString()));
        QCOMPARE(eds.nodeId(), quint8(12));
        QCOMPARE(eds.find(0x1000, 0)->value, "0x00020192");
        QCOMPARE(eds.find(0x1016, 0)->type(), CAN::UNSIGNED8);
        QCOMPARE(eds.find(0x1016, 1)->name, "Consumer heartbeat time 1");
        QCOMPARE(eds.find(0x1016, 2)->name, "Second consumer");
        QCOMPARE(eds.find(0x1016, 2)->type(), CAN::UNSIGNED32);
    }
    void malformed_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        auto row = [](const char *name, const QByteArray &text, const char *message) {
            QTest::newRow(name) << text << QString("bad.eds:") + message;
        };
        auto with = [](const char *from, const char *to) { return QByteArray(kHead).replace(from, to); };
        const char *list = "SupportedObjects=1\n1=0x1000\n",
                   *var = "ObjectType=0x7\nDataType=0x0007\nAccessType=ro\n";
        // clang-format off
        row("empty", "", "1: no [DeviceInfo] section");
        row("no object lists", "[DeviceInfo]\nVendorName=V\n", "1: no [MandatoryObjects] section");
        row("listed without section", with(list, "SupportedObjects=2\n1=0x1000\n2=0x1017\n"), "10: object 0x1017 is listed here but has no section [1017]");
        row("count beyond entries", with("SupportedObjects=1", "SupportedObjects=3"), "8: [MandatoryObjects] lists 3 objects but has no entry 2");
        row("bad vendor number", with("VendorNumber=0x100", "VendorNumber=0x1G0"), "3: VendorNumber \"0x1G0\" is not a valid number");
        row("bad data type", with("DataType=0x0007", "DataType=seven"), "13: DataType \"seven\" is not a valid number");
        row("bad default", kHead + QByteArray("DefaultValue=12abc\n"), "15: DefaultValue \"12abc\" of [1000] is not a valid number");
        row("bad index", with("1=0x1000", "1=0x10000"), "9: \"0x10000\" is not an object index");
        row("duplicated section", kHead + QByteArray("[1000]\nParameterName=Again\n"), "15: section [1000] appears twice (first on line 10)");
        row("duplicated key", kHead + QByteArray("DataType=0x0005\n"), "15: DataType appears twice in [1000] (first on line 13)");
        row("duplicated listing", with(list, "SupportedObjects=2\n1=0x1000\n2=0x1000\n"), "10: object 0x1000 is listed twice (first on line 9)");
        row("no parameter name", with("ParameterName=Device type\n", ""), "10: [1000] has no ParameterName");
        row("no access type", with("AccessType=ro\n", ""), "10: [1000] has no AccessType");
        row("bad access type", with("AccessType=ro", "AccessType=readonly"), "14: AccessType \"readonly\" is none of ro, wo, rw, rwr, rww, const");
        row("no data type", with("DataType=0x0007\n", ""), "10: [1000] has no DataType");
        row("sub-index count", with(var, "ObjectType=0x9\nSubNumber=2\n") + "[1000sub0]\nParameterName=Count\nDataType=0x0005\nAccessType=ro\n",
            "13: [1000] says SubNumber=2 but 1 sub-index sections follow");
        row("bad object type", with("ObjectType=0x7", "ObjectType=0x5"), "12: ObjectType 0x5 of [1000] is not VAR (7), DOMAIN (2), ARRAY (8) or RECORD (9)");
        row("garbage line", kHead + QByteArray("what is this\n"), "15: expected KEY=VALUE or [SECTION], not \"what is this\"");
        row("open header", "[DeviceInfo\n", "1: malformed section header \"[DeviceInfo\"");
        row("key before section", "A=1\n", "1: \"A=1\" stands before the first section");
        row("binary", QByteArray("\x00\xff[\x01=\n\n]\xfe", 9), "1: \"");
        // clang-format on
    }
    void malformed()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        EdsFile eds;
        QVERIFY(!eds.parse(text, "bad.eds"));
        QVERIFY2(eds.errorString().startsWith(message), qPrintable(eds.errorString()));
    }
    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("value"); // empty: not a number
        for (const char *row : { "250=250", "0x1A=26", "017=15", "$NODEID+0x180=389", "0x200 + $NODEID=517",
                 "$nodeid=5", "-1=18446744073709551615", "$NODEID*2=", "ten=", "=" }) {
            const QString text = QString(row).section('=', 0, 0);
            QTest::newRow(row) << text << QString(row).section('=', 1);
        }
    }
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(QString, value);
        quint64 v = 0;
        QCOMPARE(edsNumber(text, 5, &v) ? QString::number(v) : QString(), value);
    }
    void mutatedFilesNeverCrash()
    {
        QFile file(QFINDTESTDATA("../../sim/eds/io_module.eds"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray original = file.readAll();
        QRandomGenerator random(306);
        int accepted = 0;
        for (int i = 0; i < 2000; ++i) {
            QByteArray text = original; // four cuts, insertions or replacements
            for (int m = 0; m < 4; ++m)
                text.replace(int(random.bounded(text.size())), int(random.bounded(m ? 2 : 20)),
                    QByteArray(1, m == 3 ? char(random.bounded(256)) : "=[]\n0x$;"[random.bounded(9)]));
            EdsFile eds;
            const bool ok = eds.parse(text, "m.eds");
            accepted += ok;
            QVERIFY2(ok || eds.errorString().startsWith("m.eds:"), qPrintable(eds.errorString()));
        }
        QVERIFY(accepted > 0);
    }
};

QTEST_GUILESS_MAIN(tst_EdsFile)
#include "tst_edsfile.moc"
