#include "udsauthentication.h"
#include "udstestbench.h"

#include <QMetaMethod>
#include <QTest>

#include <functional>
#include <list>
#include <memory>

namespace {
using A = UDSAuthentication;
const char *const kAlg = "0123456789abcdef"; // a 16-byte algorithm indicator

/// One request of each sub-function (0..8): the bytes it must send, and the call.
const struct
{
    const char *bytes;
    std::function<CAN::RetType(A &)> send;
} kRequests[] = {
    // clang-format off
    { "2900", [](A &a) { return a.deAuthenticate(); } },
    { "2901000003c0c1c20000", [](A &a) { return a.verifyCertificateUnidirectional(0, "\xc0\xc1\xc2", {}); } },
    { "2902010001c00002d0d1", [](A &a) { return a.verifyCertificateBidirectional(1, "\xc0", "\xd0\xd1"); } },
    { "29030002a0a10001b0", [](A &a) { return a.proofOfOwnership("\xa0\xa1", "\xb0"); } },
    { "290401020003c0c1c2", [](A &a) { return a.transmitCertificate(0x0102, "\xc0\xc1\xc2"); } },
    { "29050030313233343536373839616263646566", [](A &a) { return a.requestChallengeForAuthentication(0, kAlg); } },
    { "2906303132333435363738396162636465660001a00002b0b10000",
        [](A &a) { return a.verifyProofOfOwnershipUnidirectional(kAlg, "\xa0", "\xb0\xb1", {}); } },
    { "29070002a0a10102", [](A &a) { return a.verifyProofOfOwnershipBidirectional("\xa0\xa1", "\x01\x02"); } },
    { "2908", [](A &a) { return a.authenticationConfiguration(); } },
    // clang-format on
};

/// The client, the ECU and the authentication service with a spy on each of its signals.
struct AuthBench : UdsSimBench
{
    UDSAuthentication auth { &client };
    std::list<QSignalSpy> spies;
    AuthBench()
    {
        const QMetaObject &mo = UDSAuthentication::staticMetaObject;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            if (mo.method(i).methodType() == QMetaMethod::Signal)
                spies.emplace_back(&auth, mo.method(i));
    }
    /// Every signal so far as "name arg arg" (numbers and bytes in hex), grouped by signal.
    QStringList outcomes() const
    {
        QStringList out;
        for (const QSignalSpy &spy : spies) {
            for (const QList<QVariant> &args : spy) {
                QStringList words { QString(spy.signal()).section('(', 0, 0) };
                for (const QVariant &v : args)
                    words << (v.userType() == QMetaType::QByteArray ? v.toByteArray().toHex()
                                                                    : QString::number(v.toUInt(), 16));
                out << words.join(' ');
            }
        }
        return out;
    }
};
} // namespace

class tst_UDSAuthentication : public QObject
{
    Q_OBJECT
private slots:
    void init() { b = std::make_unique<AuthBench>(); }
    void cleanup() { b.reset(); }
    void answers_data()
    {
        QTest::addColumn<int>("sub");
        QTest::addColumn<QByteArray>("answer"); // empty: not scripted, the ECU refuses the sub-function
        QTest::addColumn<QString>("outcome");
        auto row = [](const char *name, int sub, const QByteArray &answer, const QString &outcome) {
            QTest::newRow(name) << sub << answer << outcome;
        };
        const QByteArray c8("c1c2c3c4c5c6c7c8"), alg("0102030405060708090a0b0c0d0e0f10");
        // clang-format off
        row("not supported", 1, "", "error 1 12");
        row("deAuthenticated", 0, "690010", "deAuthenticated 10");
        row("deAuthenticated without value", 0, "6900", "deAuthenticated 0");
        row("configuration", 8, "690802", "authenticationConfigurationReceived 2");
        row("certificate transmitted", 4, "690411", "certificateTransmitted 11");
        row("certificate transmitted too short", 4, "6904", "error 4 ff");
        row("verified", 1, "6901110004a1a2a3a4", "certificateVerified 11 a1a2a3a4");
        row("verified, challenge cut", 1, "6901110004a1a2", "certificateVerified 11 ");
        row("verified, no challenge", 1, "690111", "certificateVerified 11 ");
        row("verified too short", 1, "6901", "error 1 ff");
        row("bidirectional", 2, "6902000002c1c20003d1d2d3", "certificateVerifiedBidirectional 0 c1c2 d1d2d3");
        row("bidirectional, cert cut", 2, "6902000002c1c20003d1", "certificateVerifiedBidirectional 0 c1c2 ");
        row("bidirectional, challenge cut", 2, "6902000005c1c2", "certificateVerifiedBidirectional 0  ");
        row("ownership proven", 3, "6903120002e1e2", "ownershipProven 12 e1e2");
        row("ownership proven too short", 3, "6903", "error 3 ff");
        row("challenge", 5, "69050008" + c8 + alg, "challengeReceived " + c8 + " " + alg);
        row("challenge, 15 bytes after", 5, "69050008" + c8 + alg.left(30), "challengeReceived " + c8 + " ");
        row("challenge cut", 5, "69050008c1c2", "challengeReceived  ");
        row("challenge too short", 5, "690500", "error 5 ff");
        row("ownership verified", 6, "69060003f1f2f3", "ownershipVerified f1f2f3");
        row("ownership verified, short", 6, "690600", "ownershipVerified ");
        row("verified bidirectional", 7, "69070002a1a20001b1", "ownershipVerifiedBidirectional a1a2 b1");
        row("bidirectional without key info", 7, "69070002a1a2", "ownershipVerifiedBidirectional a1a2 ");
        row("ownership bidirectional too short", 7, "690700", "error 7 ff");
        row("one byte", 1, "69", "error 1 ff");
        // clang-format on
    }
    void answers()
    {
        QFETCH(int, sub);
        QFETCH(QByteArray, answer);
        QFETCH(QString, outcome);
        if (!answer.isEmpty())
            b->ecu.setAuthenticationResponse(quint8(sub), QByteArray::fromHex(answer));
        QCOMPARE(kRequests[sub].send(b->auth), CAN::RetType_OK);
        QTRY_COMPARE(b->outcomes().size(), 1);
        QCOMPARE(b->outcomes().first(), outcome);
        QCOMPARE(b->ecu.requests().first().toHex(), QByteArray(kRequests[sub].bytes));
        QVERIFY(!QTest::qWaitFor([&] { return b->outcomes().size() > 1; }, 50));
    }
    void busyTimeoutAndAbort()
    {
        b->ecu.setAuthenticationResponse(0, QByteArray::fromHex("690010"));
        QCOMPARE(b->auth.deAuthenticate(), CAN::RetType_OK);
        QCOMPARE(b->auth.authenticationConfiguration(), CAN::RetType_Busy);
        QTRY_COMPARE(b->outcomes(), QStringList { "deAuthenticated 10" });
        // The client is busy with something else: its code, and nothing pending here.
        b->ecu.setSilent(true);
        b->client.DiagnosticSessionControl(1);
        QCOMPARE(b->auth.deAuthenticate(), CAN::RetType_Busy);
        b->client.abortService();
        b->client.setResponseTimeout(50); // no answer: timeout, once
        QCOMPARE(b->auth.deAuthenticate(), CAN::RetType_OK);
        QTRY_COMPARE(b->outcomes().size(), 2);
        QVERIFY(b->outcomes().contains("timeout"));
        // Abort: nothing is signalled, the next request is accepted.
        b->ecu.setSilent(false);
        QCOMPARE(b->auth.deAuthenticate(), CAN::RetType_OK);
        b->auth.abort();
        QVERIFY(!QTest::qWaitFor([&] { return b->outcomes().size() > 2; }, 100));
        QCOMPARE(b->auth.deAuthenticate(), CAN::RetType_OK);
        QTRY_COMPARE(b->outcomes().size(), 3);
        UDSAuthentication orphan(nullptr);
        QCOMPARE(orphan.deAuthenticate(), CAN::RetType_NoLink);
        orphan.setUdsClient(&b->client);
        QCOMPARE(orphan.deAuthenticate(), CAN::RetType_OK);
    }

private:
    std::unique_ptr<AuthBench> b;
};

QTEST_GUILESS_MAIN(tst_UDSAuthentication)
#include "tst_udsauthentication.moc"
