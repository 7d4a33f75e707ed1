// The dump's decoder: a recorded transcript of every frame kind, decoded line by line.
#include "busdecoder.h"

#include <QRandomGenerator>
#include <QTest>

class tst_BusDecoder : public QObject
{
    Q_OBJECT
private slots:
    void transcript_data();
    void transcript();
    void frameColumnsAndCandumpLines();
    void anyFrameDecodes();
};

namespace {
struct Frame
{
    quint32 id;
    const char *hex;
    bool fd = false;
    bool remote = false;
};

CAN::CanRxMessage make(const Frame &f)
{
    CAN::CanMessage m;
    m.id = f.id;
    const QByteArray bytes = QByteArray::fromHex(f.hex);
    m.setPayload(bytes.constData(), bytes.size());
    m.fd = f.fd;
    m.remote = f.remote;
    return CAN::CanRxMessage(m, CanTimeStamp(1700000000, 123456));
}
} // namespace

// One transcript, in bus order: the decoder keeps the state of SDO channels and ISO-TP
// messages between rows. Each row lists the lines its frame gives, joined by " | ".
void tst_BusDecoder::transcript_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<int>("flags"); // 1: CAN FD, 2: remote
    QTest::addColumn<QString>("expected");
    auto row = [](const char *name, quint32 id, const char *hex, int flags, const char *expected) {
        QTest::newRow(name) << id << QByteArray(hex) << flags << QString::fromUtf8(expected);
    };
    // NMT, SYNC, TIME, EMCY, PDO, error control.
    row("nmt start node", 0x000, "0105", 0, "NMT start node 5");
    row("nmt reset comm all", 0x000, "8200", 0, "NMT reset communication all nodes");
    row("nmt preop", 0x000, "8003", 0, "NMT enter pre-operational node 3");
    row("nmt short", 0x000, "01", 0, "NMT malformed (1 bytes)");
    row("sync", 0x080, "", 0, "SYNC");
    row("sync counter", 0x080, "07", 0, "SYNC counter 7");
    row("time", 0x100, "000000000000", 0, "TIME");
    row("emcy", 0x081, "3081110102030405", 0, "EMCY node 1 error 0x8130 register 0x11 data 01 02 03 04 05");
    row("emcy reset", 0x08A, "0000000000000000", 0, "EMCY node 10 error reset register 0x00");
    row("tpdo1", 0x181, "1234", 0, "TPDO1 node 1: 12 34");
    row("rpdo4", 0x505, "ff", 0, "RPDO4 node 5: ff");
    row("boot-up", 0x701, "00", 0, "boot-up node 1");
    row("heartbeat", 0x702, "05", 0, "heartbeat node 2 operational");
    row("guard request", 0x703, "", 2, "node guarding request node 3");
    row("guard answer", 0x703, "7f", 0, "node guarding node 3 pre-operational toggle 0");
    row("guard answer toggled", 0x703, "84", 0, "node guarding node 3 stopped toggle 1");
    // SDO expedited, segmented, aborts.
    row("upload", 0x602, "4018100100000000", 0, "SDO request node 2: upload 0x1018:1");
    row("upload expedited", 0x582, "43181001b1040000", 0,
        "SDO answer node 2: upload 0x1018:1 expedited: b1 04 00 00");
    row("download expedited", 0x601, "2b171000e8030000", 0,
        "SDO request node 1: download 0x1017:0 expedited: e8 03");
    row("download confirmed", 0x581, "6017100000000000", 0, "SDO answer node 1: download 0x1017:0 confirmed");
    row("upload segmented", 0x601, "4008100000000000", 0, "SDO request node 1: upload 0x1008:0");
    row("upload initiate", 0x581, "410810000a000000", 0,
        "SDO answer node 1: upload 0x1008:0 segmented, 10 bytes");
    row("segment request", 0x601, "6000000000000000", 0,
        "SDO request node 1: upload segment request toggle 0");
    row("segment", 0x581, "00492f4f206d6f64", 0,
        "SDO answer node 1: upload segment toggle 0: 49 2f 4f 20 6d 6f 64");
    row("segment request 2", 0x601, "7000000000000000", 0,
        "SDO request node 1: upload segment request toggle 1");
    row("last segment", 0x581, "19756c6500000000", 0,
        "SDO answer node 1: upload segment toggle 1 last: 75 6c 65");
    row("download segmented", 0x603, "2100200404000000", 0,
        "SDO request node 3: download 0x2000:4 segmented, 4 bytes");
    row("download segment", 0x603, "0701020304000000", 0,
        "SDO request node 3: download segment toggle 0 last: 01 02 03 04");
    row("download segment confirmed", 0x583, "2000000000000000", 0,
        "SDO answer node 3: download segment confirmed toggle 0");
    row("abort", 0x582, "8000200000000206", 0,
        "SDO answer node 2: abort 0x2000:0 0x06020000 Object does not exist");
    row("network indication", 0x620, "e003002a00000000", 0,
        "SDO request node 32: network indication, network 3 node 42");
    row("timeout abort", 0x663, "8000100000000405", 0,
        "SDO request node 99: abort 0x1000:0 0x05040000 SDO Protocol timed out");
    // Block download: initiate, two segments (one the last), acknowledge, end.
    row("block download", 0x604, "c600200108000000", 0,
        "SDO request node 4: block download 0x2000:1 initiate, 8 bytes, CRC");
    row("block download accepted", 0x584, "a400200100000000", 0,
        "SDO answer node 4: block download 0x2000:1 accepted, block size 0, CRC");
    row("block segment", 0x604, "0111223344556677", 0,
        "SDO request node 4: block segment 1: 11 22 33 44 55 66 77");
    row("block last segment", 0x604, "8288000000000000", 0,
        "SDO request node 4: last block segment 2: 88 00 00 00 00 00 00");
    row("block ack", 0x584, "a2027f0000000000", 0,
        "SDO answer node 4: block download acknowledge sequence 2, block size 127");
    row("block download end", 0x604, "d9cdab0000000000", 0,
        "SDO request node 4: block download end, 6 bytes unused in the last segment, CRC 0xabcd");
    row("block download end confirmed", 0x584, "a100000000000000", 0,
        "SDO answer node 4: block download end confirmed");
    // Block upload.
    row("block upload", 0x605, "a40820007f000000", 0,
        "SDO request node 5: block upload 0x2008:0 initiate, block size 127, CRC");
    row("block upload accepted", 0x585, "c60820000a000000", 0,
        "SDO answer node 5: block upload 0x2008:0 accepted, 10 bytes, CRC");
    row("block upload start", 0x605, "a300000000000000", 0, "SDO request node 5: block upload start");
    row("block upload segment", 0x585, "0130313233343536", 0,
        "SDO answer node 5: block segment 1: 30 31 32 33 34 35 36");
    row("block upload last", 0x585, "8237383900000000", 0,
        "SDO answer node 5: last block segment 2: 37 38 39 00 00 00 00");
    row("block upload ack", 0x605, "a2027f0000000000", 0,
        "SDO request node 5: block upload acknowledge sequence 2, block size 127");
    row("block upload end", 0x585, "d134120000000000", 0,
        "SDO answer node 5: block upload end, 4 bytes unused in the last segment, CRC 0x1234");
    row("block upload end confirmed", 0x605, "a100000000000000", 0,
        "SDO request node 5: block upload end confirmed");
    // USDO (CAN FD).
    row("usdo upload", 0x629, "051103001810", 1,
        "USDO request node 41: upload 0x1018:0 (to node 5, session 3)");
    row("usdo answer", 0x585, "29210300181005010400000000000000", 1,
        "USDO answer node 5: 0x1018:0 confirmed, 1 bytes (to client 41, session 3)");
    row("usdo bulk", 0x629, "0506040100200f00e8030000", 1,
        "USDO request node 41: bulk download 0x2000:1 initiate, 1000 bytes (to node 5, session 4)");
    row("usdo abort", 0x585, "297f0401002012", 1,
        "USDO answer node 5: abort 0x2000:1 code 0x12 USDO time out error (to client 41, session 4)");
    // LSS.
    row("lss global", 0x7E5, "0401000000000000", 0, "LSS request: switch state global configuration");
    row("lss selective vendor", 0x7E5, "40b1040000000000", 0,
        "LSS request: switch state selective vendor-ID 0x000004b1");
    row("lss selective done", 0x7E4, "4400000000000000", 0, "LSS answer: switch state selective done");
    row("lss configure", 0x7E5, "1114000000000000", 0, "LSS request: configure node-ID 20");
    row("lss configure error", 0x7E4, "1101000000000000", 0,
        "LSS answer: configure node-ID error 1 (specific 0)");
    row("lss bit timing", 0x7E5, "1300020000000000", 0, "LSS request: configure bit timing table 0 index 2");
    row("lss activate", 0x7E5, "15e8030000000000", 0, "LSS request: activate bit timing, delay 1000 ms");
    row("lss store", 0x7E5, "1700000000000000", 0, "LSS request: store configuration");
    row("lss store done", 0x7E4, "1700000000000000", 0, "LSS answer: store configuration done");
    row("lss fastscan", 0x7E5, "5100000000800000", 0,
        "LSS request: fastscan 0x00000000, bit check 128, sub 0, next 0");
    row("lss identify", 0x7E4, "4f00000000000000", 0, "LSS answer: identify slave");
    row("lss inquire", 0x7E5, "5e00000000000000", 0, "LSS request: inquire node-ID");
    row("lss inquire answer", 0x7E4, "5e14000000000000", 0, "LSS answer: inquire node-ID = 20");
    row("lss non-configured", 0x7E5, "4c00000000000000", 0,
        "LSS request: identify non-configured remote slaves");
    row("lss waiting", 0x7E5, "0400000000000000", 0, "LSS request: switch state global waiting");
    row("lss fd global", 0x7E5, "8101", 0, "LSS request: FD switch state global 1");
    row("lss fd selective", 0x7E5, "650a0100000004b100401001000100030001e240", 1,
        "LSS request: FD switch state selective (select) 0x000004b1 0x00401001 0x00010003 0x0001e240, window "
        "10 ms");
    row("lss fd confirmation", 0x7E4, "", 0, "LSS answer: FD confirmation");
    row("lss fd scan", 0x7E5, "910a000000000000000000000000000000000000", 1,
        "LSS request: FD scan query, window 10 ms");
    row("lss fd scan answer", 0x7DA, "", 0, "LSS answer: FD scan nibble 0xa");
    row("lss fd store error", 0x7E4, "850102", 0, "LSS answer: FD store configuration error 1 (specific 2)");
    row("lss fd node-ID", 0x7E4, "971403", 0, "LSS answer: FD inquire node-ID = 20, network-ID 3");
    // ISO-TP and UDS: single frames, a segmented response with flow control, a negative response.
    row("uds single", 0x7E0, "0322f19000000000", 0,
        "ISO-TP 0x7e0 single frame, 3 bytes | UDS 0x7e0 request ReadDataByIdentifier, 3 bytes: 22 f1 90");
    row("uds first frame", 0x7E8, "101462f19054574b", 0, "ISO-TP 0x7e8 first frame, 20 bytes");
    row("uds flow control", 0x7E0, "3000000000000000", 0,
        "ISO-TP 0x7e0 flow control continue, block size 0, STmin 0x00");
    row("uds consecutive", 0x7E8, "213053494d554c41", 0, "ISO-TP 0x7e8 consecutive frame 1");
    row("uds consecutive last", 0x7E8, "2254454430303031", 0,
        "ISO-TP 0x7e8 consecutive frame 2 | UDS 0x7e8 positive response ReadDataByIdentifier, 20 bytes: 62 "
        "f1 90 54 57 4b 30 53 49 4d 55 4c 41 54 45 44 ...");
    row("uds negative", 0x7E8, "037f223100000000", 0,
        "ISO-TP 0x7e8 single frame, 3 bytes | UDS 0x7e8 negative response ReadDataByIdentifier: 0x31 "
        "requestOutOfRange");
    row("uds download", 0x7E0, "0534004411000000", 0,
        "ISO-TP 0x7e0 single frame, 5 bytes | UDS 0x7e0 request RequestDownload, 5 bytes: 34 00 44 11 00");
    row("uds fd single", 0x7E0, "000c3601000000000000000000000000", 1,
        "ISO-TP 0x7e0 single frame, 12 bytes | UDS 0x7e0 request TransferData, 12 bytes: 36 01 00 00 00 00 "
        "00 00 00 00 00 00");
    row("uds wait", 0x7E8, "3101050000000000", 0, "ISO-TP 0x7e8 flow control wait, block size 1, STmin 0x05");
    // Anything else.
    row("extended", 0x18DAF110, "0102", 0, "extended frame");
    row("other", 0x7FF, "", 0, "frame");
}

void tst_BusDecoder::transcript()
{
    static BusDecoder decoder; // one decoder for the whole transcript
    QFETCH(quint32, id);
    QFETCH(QByteArray, hex);
    QFETCH(int, flags);
    QFETCH(QString, expected);
    CAN::CanRxMessage f = make({ id, hex.constData(), (flags & 1) != 0, (flags & 2) != 0 });
    f.extended = id > 0x7FF;
    QStringList texts;
    for (const BusDecoder::Line &l : decoder.decode(f))
        texts << l.text;
    QCOMPARE(texts.join(QStringLiteral(" | ")), expected);
}

void tst_BusDecoder::frameColumnsAndCandumpLines()
{
    const CAN::CanRxMessage sdo = make({ 0x602, "4018100100000000" });
    QCOMPARE(BusDecoder::frameText(sdo), QStringLiteral("602   [8]  40 18 10 01 00 00 00 00"));
    QCOMPARE(BusDecoder::candumpLine(sdo, QStringLiteral("can0")),
        QStringLiteral("(1700000000.123456) can0 602#4018100100000000"));
    const CAN::CanRxMessage guard = make({ 0x703, "", false, true });
    QCOMPARE(BusDecoder::frameText(guard), QStringLiteral("703   [0]  remote request"));
    QCOMPARE(BusDecoder::candumpLine(guard, QStringLiteral("vcan1")),
        QStringLiteral("(1700000000.123456) vcan1 703#R"));
    CAN::CanRxMessage fd = make({ 0x629, "051103001810", true });
    fd.bitRateSwitch = true;
    QCOMPARE(BusDecoder::frameText(fd), QStringLiteral("629  [06]  05 11 03 00 18 10"));
    QCOMPARE(BusDecoder::candumpLine(fd, QStringLiteral("can0")),
        QStringLiteral("(1700000000.123456) can0 629##1051103001810"));
}

void tst_BusDecoder::anyFrameDecodes()
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

QTEST_GUILESS_MAIN(tst_BusDecoder)
#include "tst_busdecoder.moc"
