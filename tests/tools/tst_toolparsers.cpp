// The tool's parsers: EDS and DCF files (a valid one, every data type, malformed ones with their
// line) and the dump's decoder (a recorded transcript of every frame kind, decoded line by line).
#include "busdecoder.h"
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

CAN::CanRxMessage make(quint32 id, const QByteArray &bytes, bool fd = false, bool remote = false)
{
    CAN::CanMessage m;
    m.id = id;
    m.setPayload(bytes.constData(), bytes.size());
    m.fd = fd;
    m.remote = remote;
    m.extended = id > 0x7FF;
    return CAN::CanRxMessage(m, CanTimeStamp(1700000000, 123456));
}

// One transcript, in bus order: the decoder keeps the state of SDO channels and ISO-TP messages
// between rows. A row is a frame (ID#DATA, ID##DATA on CAN FD, ID#R remote), two blanks, and the
// lines it gives, joined by " | ": NMT, SYNC, TIME, EMCY, PDO, error control; SDO expedited,
// segmented, aborts, block download and upload; USDO; LSS and LSS FD; ISO-TP and UDS (single
// frames, a segmented response with flow control, negative responses); anything else.
const char kTranscript[] = R"(
000#0105  NMT start node 5
000#8200  NMT reset communication all nodes
000#01  NMT malformed (1 bytes)
080#  SYNC
080#07  SYNC counter 7
100#000000000000  TIME
081#3081110102030405  EMCY node 1 error 0x8130 register 0x11 data 01 02 03 04 05
08A#0000000000000000  EMCY node 10 error reset register 0x00
181#1234  TPDO1 node 1: 12 34
505#ff  RPDO4 node 5: ff
701#00  boot-up node 1
702#05  heartbeat node 2 operational
703#R  node guarding request node 3
703#7f  node guarding node 3 pre-operational toggle 0
703#84  node guarding node 3 stopped toggle 1
602#4018100100000000  SDO request node 2: upload 0x1018:1
582#43181001b1040000  SDO answer node 2: upload 0x1018:1 expedited: b1 04 00 00
601#2b171000e8030000  SDO request node 1: download 0x1017:0 expedited: e8 03
581#6017100000000000  SDO answer node 1: download 0x1017:0 confirmed
601#4008100000000000  SDO request node 1: upload 0x1008:0
581#410810000a000000  SDO answer node 1: upload 0x1008:0 segmented, 10 bytes
601#7000000000000000  SDO request node 1: upload segment request toggle 1
581#19756c6500000000  SDO answer node 1: upload segment toggle 1 last: 75 6c 65
603#2100200404000000  SDO request node 3: download 0x2000:4 segmented, 4 bytes
603#0701020304000000  SDO request node 3: download segment toggle 0 last: 01 02 03 04
583#2000000000000000  SDO answer node 3: download segment confirmed toggle 0
582#8000200000000206  SDO answer node 2: abort 0x2000:0 0x06020000 Object does not exist
620#e003002a00000000  SDO request node 32: network indication, network 3 node 42
663#8000100000000405  SDO request node 99: abort 0x1000:0 0x05040000 SDO Protocol timed out
604#c600200108000000  SDO request node 4: block download 0x2000:1 initiate, 8 bytes, CRC
584#a400200100000000  SDO answer node 4: block download 0x2000:1 accepted, block size 0, CRC
604#0111223344556677  SDO request node 4: block segment 1: 11 22 33 44 55 66 77
604#8288000000000000  SDO request node 4: last block segment 2: 88 00 00 00 00 00 00
584#a2027f0000000000  SDO answer node 4: block download acknowledge sequence 2, block size 127
604#d9cdab0000000000  SDO request node 4: block download end, 6 bytes unused in the last segment, CRC 0xabcd
584#a100000000000000  SDO answer node 4: block download end confirmed
605#a40820007f000000  SDO request node 5: block upload 0x2008:0 initiate, block size 127, CRC
585#c60820000a000000  SDO answer node 5: block upload 0x2008:0 accepted, 10 bytes, CRC
605#a300000000000000  SDO request node 5: block upload start
585#8237383900000000  SDO answer node 5: last block segment 2: 37 38 39 00 00 00 00
605#a2027f0000000000  SDO request node 5: block upload acknowledge sequence 2, block size 127
585#d134120000000000  SDO answer node 5: block upload end, 4 bytes unused in the last segment, CRC 0x1234
605#a100000000000000  SDO request node 5: block upload end confirmed
629##051103001810  USDO request node 41: upload 0x1018:0 (to node 5, session 3)
585##29210300181005010400000000000000  USDO answer node 5: 0x1018:0 confirmed, 1 bytes (to client 41, session 3)
629##0506040100200f00e8030000  USDO request node 41: bulk download 0x2000:1 initiate, 1000 bytes (to node 5, session 4)
585##297f0401002012  USDO answer node 5: abort 0x2000:1 code 0x12 USDO time out error (to client 41, session 4)
7E5#0401000000000000  LSS request: switch state global configuration
7E5#40b1040000000000  LSS request: switch state selective vendor-ID 0x000004b1
7E4#4400000000000000  LSS answer: switch state selective done
7E5#1114000000000000  LSS request: configure node-ID 20
7E4#1101000000000000  LSS answer: configure node-ID error 1 (specific 0)
7E5#1300020000000000  LSS request: configure bit timing table 0 index 2
7E5#15e8030000000000  LSS request: activate bit timing, delay 1000 ms
7E4#1700000000000000  LSS answer: store configuration done
7E5#5100000000800000  LSS request: fastscan 0x00000000, bit check 128, sub 0, next 0
7E4#5e14000000000000  LSS answer: inquire node-ID = 20
7E5#8101  LSS request: FD switch state global 1
7E5##650a0100000004b100401001000100030001e240  LSS request: FD switch state selective (select) 0x000004b1 0x00401001 0x00010003 0x0001e240, window 10 ms
7E4#  LSS answer: FD confirmation
7E5##910a000000000000000000000000000000000000  LSS request: FD scan query, window 10 ms
7DA#  LSS answer: FD scan nibble 0xa
7E4#850102  LSS answer: FD store configuration error 1 (specific 2)
7E4#971403  LSS answer: FD inquire node-ID = 20, network-ID 3
7E0#0322f19000000000  ISO-TP 0x7e0 single frame, 3 bytes | UDS 0x7e0 request ReadDataByIdentifier, 3 bytes: 22 f1 90
7E8#101462f19054574b  ISO-TP 0x7e8 first frame, 20 bytes
7E0#3000000000000000  ISO-TP 0x7e0 flow control continue, block size 0, STmin 0x00
7E8#213053494d554c41  ISO-TP 0x7e8 consecutive frame 1
7E8#2254454430303031  ISO-TP 0x7e8 consecutive frame 2 | UDS 0x7e8 positive response ReadDataByIdentifier, 20 bytes: 62 f1 90 54 57 4b 30 53 49 4d 55 4c 41 54 45 44 ...
7E8#037f223100000000  ISO-TP 0x7e8 single frame, 3 bytes | UDS 0x7e8 negative response ReadDataByIdentifier: 0x31 requestOutOfRange
7E0##000c3601000000000000000000000000  ISO-TP 0x7e0 single frame, 12 bytes | UDS 0x7e0 request TransferData, 12 bytes: 36 01 00 00 00 00 00 00 00 00 00 00
7E8#3101050000000000  ISO-TP 0x7e8 flow control wait, block size 1, STmin 0x05
18DAF110#0102  extended frame
7FF#  frame
)";
} // namespace

class tst_ToolParsers : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data()
    {
        QTest::addColumn<QString>("expected");
        for (const QByteArray &row : QByteArray(kTranscript).trimmed().split('\n')) {
            const int gap = row.indexOf("  ");
            QTest::newRow(row.left(gap).constData()) << QString::fromUtf8(row.mid(gap + 2));
        }
    }
    void transcript()
    {
        static BusDecoder decoder; // one decoder for the whole transcript
        QFETCH(QString, expected);
        const QByteArray frame = QTest::currentDataTag(), data = frame.mid(frame.lastIndexOf('#') + 1);
        const CAN::CanRxMessage f = make(frame.left(frame.indexOf('#')).toUInt(nullptr, 16),
            QByteArray::fromHex(data == "R" ? "" : data), frame.contains("##"), data == "R");
        QStringList texts;
        for (const BusDecoder::Line &l : decoder.decode(f))
            texts << l.text;
        QCOMPARE(texts.join(" | "), expected);
    }
    void frameColumnsAndCandumpLines()
    {
        const CAN::CanRxMessage sdo = make(0x602, QByteArray::fromHex("4018100100000000"));
        QCOMPARE(BusDecoder::frameText(sdo), QStringLiteral("602   [8]  40 18 10 01 00 00 00 00"));
        QCOMPARE(BusDecoder::candumpLine(sdo, QStringLiteral("can0")),
            QStringLiteral("(1700000000.123456) can0 602#4018100100000000"));
        const CAN::CanRxMessage guard = make(0x703, {}, false, true);
        QCOMPARE(BusDecoder::frameText(guard), QStringLiteral("703   [0]  remote request"));
        QCOMPARE(BusDecoder::candumpLine(guard, QStringLiteral("vcan1")),
            QStringLiteral("(1700000000.123456) vcan1 703#R"));
        CAN::CanRxMessage fd = make(0x629, QByteArray::fromHex("051103001810"), true);
        fd.bitRateSwitch = true;
        QCOMPARE(BusDecoder::frameText(fd), QStringLiteral("629  [06]  05 11 03 00 18 10"));
        QCOMPARE(BusDecoder::candumpLine(fd, QStringLiteral("can0")),
            QStringLiteral("(1700000000.123456) can0 629##1051103001810"));
    }
    void anyFrameDecodes()
    {
        // Random identifiers, lengths and bytes: every frame gives at least one line.
        BusDecoder decoder;
        QRandomGenerator random(15);
        for (int i = 0; i < 20000; ++i) {
            CAN::CanRxMessage f;
            f.id = random.bounded(0x800);
            f.fd = random.bounded(2);
            f.length = quint8(random.bounded(f.fd ? 65 : 9));
            for (int b = 0; b < f.length; ++b)
                f.data[b] = quint8(random.bounded(256));
            QVERIFY(!decoder.decode(f).isEmpty());
        }
    }
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

QTEST_GUILESS_MAIN(tst_ToolParsers)
#include "tst_toolparsers.moc"
