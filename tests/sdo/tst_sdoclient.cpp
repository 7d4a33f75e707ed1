#include "sdoclient.h"
#include "sdotestbench.h"
#include "simobjectdictionary.h"

#include <QElapsedTimer>

class tst_SdoClient : public QObject
{
    Q_OBJECT
private slots:

    void cleanup() { resetSdoSettings(); }

    void protocolChoice_data()
    {
        QTest::addColumn<bool>("usdo");
        QTest::addColumn<bool>("block");
        QTest::addColumn<int>("type");
        QTest::addColumn<uint>("size");
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("expected");
        auto row = [](const char *name, bool usdo, bool block, int type, uint size, int dir, SdoType t) {
            QTest::newRow(name) << usdo << block << type << size << dir << int(t);
        };
        // The facade's exchanges below and the USDO facade's tests show the choice on the bus.
        row("bool write", false, true, CAN::BOOLEAN, 0, 2, SdoType_Expedited);
        row("u64", false, true, CAN::UNSIGNED64, 0, 0, SdoType_Segmented);
        row("time of day", false, false, CAN::TIME_OF_DAY, 0, 2, SdoType_Segmented);
        row("i40 none", false, false, CAN::INTEGER40, 0, 0, SdoType_None);
        row("unicode none", false, false, CAN::UNICODE_STRING, 0, 0, SdoType_None);
        row("type 28 none", false, false, 28, 0, 0, SdoType_None);
        row("os write 4", false, true, CAN::OCTET_STRING, 4, 2, SdoType_Expedited);
        row("domain 28 block", false, true, CAN::DOMAIN, 28, 2, SdoType_Segmented);
        row("usdo real64", true, false, CAN::REAL64, 0, 0, SdoType_UsdoExpedited);
        row("usdo type 40", true, false, 40, 0, 0, SdoType_UsdoSegmented);
    }

    void protocolChoice()
    {
        QFETCH(bool, usdo);
        QFETCH(bool, block);
        QFETCH(int, type);
        QFETCH(uint, size);
        QFETCH(int, direction);
        QFETCH(int, expected);
        SDOClient::mUseUSDO = usdo;
        SDOClient::mUseBlockTransfer = block;
        SDOClient client;
        QCOMPARE(int(client.getSdoTypefromDataType(CAN::CANopenDataType(type), size, quint8(direction))),
            expected);
    }

    void oneShotOverride()
    {
        SDOClient client;
        SDOClient::mUseBlockTransfer = true;
        client.setTemporaryBlockHandling(SDOClient::BlockHandling_NoBlockOnce);
        // Fixed-size types do not consult the block rule: the override stays pending.
        QCOMPARE(client.getSdoTypefromDataType(CAN::UNSIGNED32, 0, 2), SdoType_Expedited);
        QCOMPARE(client.getSdoTypefromDataType(CAN::DOMAIN, 40, 2), SdoType_Segmented);
        QCOMPARE(client.getSdoTypefromDataType(CAN::DOMAIN, 40, 2), SdoType_Block);

        SDOClient::mUseBlockTransfer = false;
        client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
        QCOMPARE(client.getSdoTypefromDataType(CAN::VISIBLE_STRING, 0, 0), SdoType_Block);
        QCOMPARE(client.getSdoTypefromDataType(CAN::VISIBLE_STRING, 0, 0), SdoType_Segmented);
        client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
        QCOMPARE(client.getSdoTypefromDataType(CAN::DOMAIN, 10, 2), SdoType_Segmented); // below the threshold
        QCOMPARE(client.useBlockTransfer(0, 0), false); // used up

        // A write consumes the override even when the gateway transport is taken.
        RecordingAdapter adapter;
        adapter.setGateway(true);
        CanScheduler scheduler(&adapter);
        client.setCanScheduler(&scheduler);
        client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
        QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, QByteArray(40, 'x')), CAN::RetType_OK);
        QCOMPARE(adapter.requestLines.value(0).left(14), QStringLiteral("0 w 0x2000 0 d"));
        QCOMPARE(client.useBlockTransfer(0, 0), false);
    }

    void abortTexts()
    {
        QCOMPARE(
            SDOClient::interpretSdoAbort(0x06090032), "Value of parameter written too lpw (download only).");
        QCOMPARE(SDOClient::interpretSdoAbort(0x06090033), "unknown SDO abort code");
        SDOClient::mUseUSDO = true;
        QCOMPARE(SDOClient::interpretSdoAbort(0x112), "USDO time out error"); // the low byte
        QCOMPARE(SDOClient::interpretSdoAbort(0x05040000), "Error Code 84148224 \n No interpretation yet");
    }

    void exchanges_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QVariant>("value"); // invalid for a read
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("outcome");
        // Process settings switched on after construction: "fast=n" (fast download frames), "block",
        // "threshold=n", "upload=n" (block size), and for this client "once" block.
        QTest::addColumn<QByteArray>("settings");
        auto row = [](const char *name, int type, const QVariant &value, const char *script,
                       const char *outcome, const char *settings = "") {
            QTest::newRow(name) << type << value << QByteArray(script) << QByteArray(outcome)
                                << QByteArray(settings);
        };
        row("u32 read, expedited", CAN::UNSIGNED32, {}, ">40171000. <431710007a01. ~20", "1017/0 uint 378");
        row("3-byte string write, expedited", CAN::VISIBLE_STRING, QByteArray("abc"),
            ">2717100061626300 <60171000. ~20", "1017/0 QByteArray 616263");
        row("string read, segmented", CAN::VISIBLE_STRING, {}, ">40171000. <4f17100041. ~20",
            "1017/0 QByteArray 41");
        row("5-byte string write, segmented", CAN::VISIBLE_STRING, QByteArray("hello"),
            ">2117100005. <60171000. >0568656c6c6f. <20. ~20", "1017/0 int 0");
        row("u64 number write, segmented", CAN::UNSIGNED64, Q_UINT64_C(0x0102030405060708),
            ">2117100008. <60171000. >0008070605040302 <20. >1d01. <30. ~20", "1017/0 int 0");
        row("14-byte domain write, fast", CAN::DOMAIN, QByteArray(14, 'a'),
            ">211710000e. <60171000. >0061616161616161 >1161616161616161 ~20", "", "fast=2");
        row("string read, timeout", CAN::VISIBLE_STRING, {}, ">40171000. >8017100000000405 ~100",
            "1017/0 05040000");
        // Transfers block from the threshold on, or once; the first frame tells.
        const QByteArray x29(29, 'x'), x40(40, 'x');
        row("29-byte domain write, block", CAN::DOMAIN, x29, ">c21710001d.", "", "block");
        row("40-byte domain write, threshold 50", CAN::DOMAIN, x40, ">2117100028.", "", "block threshold=50");
        row("40-byte domain write, block once", CAN::DOMAIN, x40, ">c217100028.", "", "once");
        row("string read, block", CAN::VISIBLE_STRING, {}, ">a01710007f.", "", "block");
        row("string read, upload block size 0x105", CAN::VISIBLE_STRING, {}, ">a017100005.", "",
            "block upload=261");
        // A block segment refused by the device ends the transfer, reported as opError only.
        row("block write, a segment refused by the device", CAN::DOMAIN, x40,
            ">c217100028. !5:01 <a01710007f. >8017100000000008 ~20", "opError 5", "once");
    }

    void exchanges()
    {
        QFETCH(int, type);
        QFETCH(QVariant, value);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, outcome);
        QFETCH(QByteArray, settings);
        SdoClientBench<SDOClient> b;
        b.client.setSdoTimeout(200);
        for (const QByteArray &word : settings.split(' ')) {
            const quint32 n = word.mid(word.indexOf('=') + 1).toUInt();
            if (word.startsWith("fast="))
                SDOClient::mFastSeg = true, SDOClient::mFastSegCnt = quint8(n);
            if (word.startsWith("threshold="))
                SDOClient::mBlockThreshold = n;
            if (word.startsWith("upload="))
                SDOClient::mBlockUploadSize = n;
            SDOClient::mUseBlockTransfer |= word == "block";
        }
        if (settings.contains("once"))
            b.client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
        QSignalSpy opErrors(&b.client, &SDOClient::opError);
        const CAN::CANopenDataType t = CAN::CANopenDataType(type);
        QCOMPARE(value.isValid() ? b.client.write(0x1017, 0, t, value) : b.client.read(0x1017, 0, t),
            CAN::RetType_OK);
        QVERIFY(b.client.isBusy());
        PLAY(b, script);
        QByteArray got = b.outcome();
        for (const QList<QVariant> &e : opErrors)
            got += QByteArray(got.isEmpty() ? "" : "; ") + "opError "
                + QByteArray::number(int(e.at(2).value<CAN::RetType>()));
        QCOMPARE(got, outcome);
        if (!b.results.isEmpty()) // server and client COB-IDs, no faulty data type
            QCOMPARE(b.results.at(0).mid(3), (QList<QVariant> { 0x585u, 0x605u, false }));
        QCOMPARE(b.client.isBusy(), outcome.isEmpty());
    }

    void refusals()
    {
        SDOClient unlinked;
        QSignalSpy unlinkedErrors(&unlinked, &SDOClient::opError);
        QCOMPARE(unlinked.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);
        QCOMPARE(unlinked.write(0x1000, 0, CAN::UNSIGNED32, 1), CAN::RetType_NoLink);
        QCOMPARE(unlinked.abort(0x08000000), CAN::RetType_InvalidRequest); // nothing started yet
        QCOMPARE(unlinkedErrors.count(), 0);
        RecordingAdapter adapter;
        auto *gone = new CanScheduler(&adapter);
        SDOClient orphan(0x585, 0x605, gone);
        delete gone;
        QCOMPARE(orphan.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NoLink);

        // Each refusal comes back once more as opError and leaves the client idle.
        CanScheduler scheduler(&adapter);
        SDOClient client(0x585, 0x605, &scheduler);
        QSignalSpy opErrors(&client, &SDOClient::opError);
        adapter.result = CAN::RetType_NotReady;
        QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_NotReady);
        QCOMPARE(client.write(0x1000, 0, CAN::UNSIGNED32, 1), CAN::RetType_NoLink);
        QCOMPARE(client.write(0x2000, 0, CAN::DOMAIN, QByteArray(10, 'x')), CAN::RetType_NoLink);
        client.setTemporaryBlockHandling(SDOClient::BlockHandling_BlockOnce);
        QCOMPARE(client.read(0x2000, 0, CAN::DOMAIN), CAN::RetType_NoLink);
        QVERIFY(!transferActive(adapter));
        adapter.result = CAN::RetType_OK;
        adapter.clear();
        QCOMPARE(client.read(0x2000, 0, CAN::REAL64), CAN::RetType_InvalidRequest);
        client.activateUSDO(true, 1);
        // REAL64 is not carried by USDO expedited.
        QCOMPARE(client.read(0x2000, 0, CAN::REAL64), CAN::RetType_InvalidRequest);
        client.activateUSDO(false, 41);
        adapter.setGateway(true);
        adapter.result = CAN::RetType_NotReady; // the gateway client passes the adapter's refusal on
        QCOMPARE(client.read(0x2000, 0, CAN::UNSIGNED8), CAN::RetType_NotReady);
        adapter.result = CAN::RetType_OK;
        const QList<int> codes { 7, 6, 6, 6, 2, 2, 7 };
        QCOMPARE(opErrors.count(), codes.size());
        for (int i = 0; i < codes.size(); ++i)
            QCOMPARE(int(opErrors.at(i).at(2).value<CAN::RetType>()), codes.at(i));
        QVERIFY(adapter.frames.isEmpty());
        adapter.setGateway(false);
        QCOMPARE(client.read(0x1000, 0, CAN::UNSIGNED32), CAN::RetType_OK);
    }

    void busyRefusalAndHostAbort_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("request"); // for 1018/1
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("outcome"); // of the answer
        QTest::newRow("expedited") << int(CAN::UNSIGNED32) << QByteArray("40181001.")
                                   << QByteArray("431810017a01.") << QByteArray("1018/1 uint 378");
        QTest::newRow("segmented") << int(CAN::VISIBLE_STRING) << QByteArray("40181001.")
                                   << QByteArray("4f18100141.") << QByteArray("1018/1 QByteArray 41");
        QTest::newRow("block") << int(CAN::DOMAIN) << QByteArray("a01810017f.")
                               << QByteArray("8018100100000206") << QByteArray("1018/1 06020000");
    }

    void busyRefusalAndHostAbort()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, outcome);
        SdoClientBench<SDOClient> b;
        SDOClient::mUseBlockTransfer = type == CAN::DOMAIN;
        b.client.setSdoTimeout(50);
        QSignalSpy opErrors(&b.client, &SDOClient::opError);
        const CAN::CANopenDataType t = CAN::CANopenDataType(type);
        QCOMPARE(b.client.read(0x1018, 1, t), CAN::RetType_OK);
        QCOMPARE(b.client.read(0x1018, 2, t), CAN::RetType_Busy);
        QCOMPARE(b.client.setNodeId(6), CAN::RetType_Busy);
        QVERIFY(b.client.isBusy()); // the running read is untouched
        QCOMPARE(opErrors.count(), 1);
        QCOMPARE(opErrors.at(0).mid(1), (QVariantList { quint8(2), QVariant::fromValue(CAN::RetType_Busy) }));
        PLAY(b, ">" + request + " ~20 <" + answer + " ~20");

        // Host aborts: 0 ends the transfer silently, other codes go to the node and come back as
        // errors; after a timeout an abort of a block transfer does nothing.
        QCOMPARE(b.client.read(0x1018, 1, t), CAN::RetType_OK);
        QCOMPARE(b.client.abort(0), CAN::RetType_OK);
        QVERIFY(!b.client.isBusy());
        PLAY(b, ">" + request + " <" + answer + " ~100");
        QVERIFY(!transferActive(b.adapter));
        QCOMPARE(b.client.read(0x1018, 1, t), CAN::RetType_OK);
        QCOMPARE(b.client.abort(0x08000021), CAN::RetType_OK);
        PLAY(b, ">" + request + " >8018100121000008 ~100");
        QCOMPARE(b.client.read(0x1018, 1, t), CAN::RetType_OK);
        PLAY(b, ">" + request + " >8018100100000405");
        if (type == CAN::DOMAIN)
            QCOMPARE(b.client.abort(0x08000000), CAN::RetType_OK);
        PLAY(b, "~30");
        QCOMPARE(b.outcome(), outcome + "; 1018/1 08000021; 1018/1 05040000");
        QVERIFY(!b.client.isBusy() && !transferActive(b.adapter));
    }

    void chainedFromTheResultSlot()
    {
        // The host starts the next transfer (block, segmented, expedited) from the previous one's result.
        SdoSimBench b;
        b.node.setIdentity(0x17A, 0x1234, 0x10002, 42);
        b.node.od()->add(
            0x2100, 0, SimObjectDictionary::Domain, SimObjectDictionary::ReadWrite, QByteArray());
        SDOClient::mUseBlockTransfer = true;
        SDOClient client(0x585, 0x605, &b.scheduler);
        const QByteArray big(40, 'b'), small(10, 's');
        auto step = [&](int i) { // block write and read, segmented write, expedited reads
            if (i < 3)
                return i == 1 ? client.read(0x2100, 0, CAN::DOMAIN)
                              : client.write(0x2100, 0, CAN::DOMAIN, i ? small : big);
            return client.read(0x1018, quint8(i - 2), CAN::UNSIGNED32);
        };
        QVariantList values;
        connect(&client, &SDOClient::resultReceived, this, [&](quint16, quint8, const QVariant &v) {
            values.append(v);
            if (values.size() < 5)
                QCOMPARE(step(values.size()), CAN::RetType_OK);
        });
        QCOMPARE(step(0), CAN::RetType_OK);
        QTRY_COMPARE(values.size(), 5);
        QCOMPARE(values, (QVariantList { 0, big, 0, 0x17Au, 0x1234u }));
        QCOMPARE(b.node.od()->value(0x2100, 0), small);
    }

    void routing_data()
    {
        QTest::addColumn<QByteArray>("answer"); // the gateway's answer to the network indication
        QTest::addColumn<QByteArray>("outcome");
        QTest::newRow("confirmed") << QByteArray("e002000500000000") << QByteArray("1018/1 uint 378");
        QTest::newRow("silent gateway") << QByteArray() << QByteArray("1018/1 05040000");
        QTest::newRow("aborting gateway") << QByteArray("800200050100000a") << QByteArray("1018/1 0a000001");
    }

    void routing()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, outcome);
        const bool confirmed = answer.startsWith("e0");
        SdoClientBench<SDOClient> b;
        b.peer.setResponder([&](const CAN::CanRxMessage &m, BusPeer &peer) {
            if (m.id == 0x60A && m.data[0] == 0xE0 && !answer.isEmpty())
                peer.send(0x58A, answer.constData());
            else if (m.id == 0x60A && m.data[0] == 0x40)
                peer.send(0x58A, "431810017a010000");
        });
        QSignalSpy opErrors(&b.client, &SDOClient::opError);
        b.client.setSdoTimeout(500);
        b.client.setRouting(2, 10);
        b.client.setNodeId(5);
        QElapsedTimer clock;
        clock.start();
        // The read waits inside the call for the gateway: until its answer, or the whole timeout.
        QCOMPARE(
            b.client.read(0x1018, 1, CAN::UNSIGNED32), confirmed ? CAN::RetType_OK : CAN::RetType_NoLink);
        QVERIFY(answer.isEmpty() ? clock.elapsed() >= 450 : clock.elapsed() < 400);
        QCOMPARE(opErrors.count(), confirmed ? 0 : 1);
        if (!confirmed)
            QCOMPARE(opErrors.at(0).at(2).value<CAN::RetType>(), CAN::RetType_NoLink);
        QVERIFY(b.client.isBusy()); // until the outcome
        PLAY(b, confirmed ? ">60a:e0020005. >60a:40181001. ~150" : ">60a:e0020005. ~150");
        QCOMPARE(b.outcome(), outcome);
        QVERIFY(!b.client.isBusy());
        if (confirmed) {
            b.client.setRouting(0, 0); // back to the node's own channel
            QCOMPARE(b.client.read(0x1018, 1, CAN::UNSIGNED32), CAN::RetType_OK);
            PLAY(b, ">40181001.");
        }
    }
};

QTEST_GUILESS_MAIN(tst_SdoClient)
#include "tst_sdoclient.moc"
