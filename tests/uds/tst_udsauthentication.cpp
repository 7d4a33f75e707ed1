#include "canscheduler.h"
#include "simudsecu.h"
#include "udsauthentication.h"
#include "udsclient.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QSignalSpy>
#include <QTest>

namespace {
const QByteArray kAlgorithm = QByteArray::fromHex("0102030405060708090a0b0c0d0e0f10");

/// One request of each sub-function, always with the same arguments.
CAN::RetType startRequest(UDSAuthentication &auth, int sub)
{
    const auto hex = [](const char *h) { return QByteArray::fromHex(h); };
    switch (sub) {
    case 0:
        return auth.deAuthenticate();
    case 1:
        return auth.verifyCertificateUnidirectional(0x00, hex("c0c1c2"), QByteArray());
    case 2:
        return auth.verifyCertificateBidirectional(0x01, hex("c0"), hex("d0d1"));
    case 3:
        return auth.proofOfOwnership(hex("a0a1"), hex("b0"));
    case 4:
        return auth.transmitCertificate(0x0102, hex("c0c1c2"));
    case 5:
        return auth.requestChallengeForAuthentication(0x00, kAlgorithm);
    case 6:
        return auth.verifyProofOfOwnershipUnidirectional(kAlgorithm, hex("a0"), hex("b0b1"), QByteArray());
    case 7:
        return auth.verifyProofOfOwnershipBidirectional(hex("a0a1"), hex("0000"));
    case 8:
        return auth.authenticationConfiguration();
    default:
        return CAN::RetType_InvalidRequest;
    }
}

QString h(const QByteArray &b)
{
    return QString::fromLatin1(b.toHex());
}
} // namespace

class tst_UDSAuthentication : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void requestBytes_data();
    void requestBytes();
    void answers_data();
    void answers();
    void busyTimeoutAndAbort();

private:
    VirtualCanBus *bus = nullptr;
    CanScheduler *scheduler = nullptr;
    SimUdsEcu *ecu = nullptr;
    UDSClient *client = nullptr;
    UDSAuthentication *auth = nullptr;
    QStringList outcomes;
};

void tst_UDSAuthentication::init()
{
    bus = new VirtualCanBus(this);
    scheduler = new CanScheduler(new VirtualCanAdapter(bus, bus), bus);
    ecu = new SimUdsEcu(new VirtualCanAdapter(bus, bus), bus);
    client = new UDSClient(scheduler, bus);
    client->setResponseTimeout(300);
    auth = new UDSAuthentication(client, bus);
    outcomes.clear();
    auto *a = auth;
    connect(a, &UDSAuthentication::deAuthenticated, this,
        [this](quint8 v) { outcomes << QString("deAuthenticated %1").arg(v, 0, 16); });
    connect(a, &UDSAuthentication::authenticationConfigurationReceived, this,
        [this](quint8 v) { outcomes << QString("configuration %1").arg(v, 0, 16); });
    connect(a, &UDSAuthentication::certificateTransmitted, this,
        [this](quint8 v) { outcomes << QString("certificateTransmitted %1").arg(v, 0, 16); });
    connect(a, &UDSAuthentication::certificateVerified, this, [this](quint8 v, const QByteArray &c) {
        outcomes << QString("certificateVerified %1 %2").arg(v, 0, 16).arg(h(c));
    });
    connect(a, &UDSAuthentication::certificateVerifiedBidirectional, this,
        [this](quint8 v, const QByteArray &c, const QByteArray &cert) {
            outcomes << QString("certificateVerifiedBidirectional %1 %2 %3").arg(v, 0, 16).arg(h(c), h(cert));
        });
    connect(a, &UDSAuthentication::ownershipProven, this, [this](quint8 v, const QByteArray &k) {
        outcomes << QString("ownershipProven %1 %2").arg(v, 0, 16).arg(h(k));
    });
    connect(
        a, &UDSAuthentication::challengeReceived, this, [this](const QByteArray &c, const QByteArray &alg) {
            outcomes << QString("challengeReceived %1 %2").arg(h(c), h(alg));
        });
    connect(a, &UDSAuthentication::ownershipVerified, this,
        [this](const QByteArray &k) { outcomes << QString("ownershipVerified %1").arg(h(k)); });
    connect(a, &UDSAuthentication::ownershipVerifiedBidirectional, this,
        [this](const QByteArray &p, const QByteArray &k) {
            outcomes << QString("ownershipVerifiedBidirectional %1 %2").arg(h(p), h(k));
        });
    connect(a, &UDSAuthentication::timeout, this, [this] { outcomes << "timeout"; });
    connect(a, &UDSAuthentication::error, this,
        [this](quint8 sub, quint8 nrc) { outcomes << QString("error %1 %2").arg(sub).arg(nrc, 0, 16); });
}

void tst_UDSAuthentication::cleanup()
{
    delete bus;
}

void tst_UDSAuthentication::requestBytes_data()
{
    QTest::addColumn<int>("sub");
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("deAuthenticate") << 0 << QByteArray("2900");
    QTest::newRow("verify unidirectional, empty challenge") << 1 << QByteArray("2901000003c0c1c20000");
    QTest::newRow("verify bidirectional") << 2 << QByteArray("2902010001c00002d0d1");
    QTest::newRow("proof of ownership") << 3 << QByteArray("29030002a0a10001b0");
    QTest::newRow("transmit certificate") << 4 << QByteArray("290401020003c0c1c2");
    QTest::newRow("request challenge") << 5 << QByteArray("290500" + kAlgorithm.toHex());
    QTest::newRow("verify proof unidirectional")
        << 6 << QByteArray("2906" + kAlgorithm.toHex() + "0001a00002b0b10000");
    QTest::newRow("verify proof bidirectional") << 7 << QByteArray("29070002a0a10000");
    QTest::newRow("configuration") << 8 << QByteArray("2908");
}

void tst_UDSAuthentication::requestBytes()
{
    QFETCH(int, sub);
    QFETCH(QByteArray, request);
    QCOMPARE(startRequest(*auth, sub), CAN::RetType_OK);
    // Not scripted: the ECU refuses the sub-function.
    QTRY_COMPARE(outcomes.size(), 1);
    QCOMPARE(outcomes.first(), QString("error %1 12").arg(sub));
    QCOMPARE(ecu->requests().size(), 1);
    QCOMPARE(ecu->requests().first().toHex(), request);
}

void tst_UDSAuthentication::answers_data()
{
    QTest::addColumn<int>("sub");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("outcome");
    const QByteArray challenge8("c1c2c3c4c5c6c7c8");
    const QByteArray sixteen = kAlgorithm.toHex();
    QTest::newRow("deAuthenticated") << 0 << QByteArray("690010") << "deAuthenticated 10";
    QTest::newRow("deAuthenticated without value") << 0 << QByteArray("6900") << "deAuthenticated 0";
    QTest::newRow("configuration") << 8 << QByteArray("690802") << "configuration 2";
    QTest::newRow("certificate transmitted") << 4 << QByteArray("690411") << "certificateTransmitted 11";
    QTest::newRow("certificate transmitted too short") << 4 << QByteArray("6904") << "error 4 ff";
    QTest::newRow("verified") << 1 << QByteArray("6901110004a1a2a3a4") << "certificateVerified 11 a1a2a3a4";
    QTest::newRow("verified, challenge cut")
        << 1 << QByteArray("6901110004a1a2") << "certificateVerified 11 ";
    QTest::newRow("verified, no challenge") << 1 << QByteArray("690111") << "certificateVerified 11 ";
    QTest::newRow("verified too short") << 1 << QByteArray("6901") << "error 1 ff";
    QTest::newRow("bidirectional") << 2 << QByteArray("6902000002c1c20003d1d2d3")
                                   << "certificateVerifiedBidirectional 0 c1c2 d1d2d3";
    QTest::newRow("bidirectional, certificate cut")
        << 2 << QByteArray("6902000002c1c20003d1") << "certificateVerifiedBidirectional 0 c1c2 ";
    QTest::newRow("bidirectional, challenge cut")
        << 2 << QByteArray("6902000005c1c2") << "certificateVerifiedBidirectional 0  ";
    QTest::newRow("ownership proven") << 3 << QByteArray("6903120002e1e2") << "ownershipProven 12 e1e2";
    QTest::newRow("ownership proven too short") << 3 << QByteArray("6903") << "error 3 ff";
    QTest::newRow("challenge") << 5 << QByteArray("69050008" + challenge8 + sixteen)
                               << QString::fromLatin1("challengeReceived " + challenge8 + " " + sixteen);
    QTest::newRow("challenge, 15 bytes after")
        << 5 << QByteArray("69050008" + challenge8 + sixteen.left(30))
        << QString::fromLatin1("challengeReceived " + challenge8 + " ");
    QTest::newRow("challenge cut") << 5 << QByteArray("69050008c1c2") << "challengeReceived  ";
    QTest::newRow("challenge too short") << 5 << QByteArray("690500") << "error 5 ff";
    QTest::newRow("ownership verified") << 6 << QByteArray("69060003f1f2f3") << "ownershipVerified f1f2f3";
    QTest::newRow("ownership verified, short") << 6 << QByteArray("690600") << "ownershipVerified ";
    QTest::newRow("ownership verified bidirectional")
        << 7 << QByteArray("69070002a1a20001b1") << "ownershipVerifiedBidirectional a1a2 b1";
    QTest::newRow("bidirectional without key info")
        << 7 << QByteArray("69070002a1a2") << "ownershipVerifiedBidirectional a1a2 ";
    QTest::newRow("ownership bidirectional too short") << 7 << QByteArray("690700") << "error 7 ff";
    QTest::newRow("one byte") << 1 << QByteArray("69") << "error 1 ff";
}

void tst_UDSAuthentication::answers()
{
    QFETCH(int, sub);
    QFETCH(QByteArray, answer);
    QFETCH(QString, outcome);
    ecu->setAuthenticationResponse(quint8(sub), QByteArray::fromHex(answer));
    QCOMPARE(startRequest(*auth, sub), CAN::RetType_OK);
    QTRY_COMPARE(outcomes.size(), 1);
    QCOMPARE(outcomes.first(), outcome);
    QVERIFY(!QTest::qWaitFor([&] { return outcomes.size() > 1; }, 50));
}

void tst_UDSAuthentication::busyTimeoutAndAbort()
{
    ecu->setAuthenticationResponse(0, QByteArray::fromHex("690010"));
    QCOMPARE(auth->deAuthenticate(), CAN::RetType_OK);
    QCOMPARE(auth->authenticationConfiguration(), CAN::RetType_Busy);
    QTRY_COMPARE(outcomes, QStringList { "deAuthenticated 10" });

    // The client is busy with something else: its code, and nothing pending here.
    ecu->setSilent(true);
    client->DiagnosticSessionControl(1);
    QCOMPARE(auth->deAuthenticate(), CAN::RetType_Busy);
    client->abortService();

    // No answer: timeout, once.
    client->setResponseTimeout(50);
    QCOMPARE(auth->deAuthenticate(), CAN::RetType_OK);
    QTRY_COMPARE(outcomes.size(), 2);
    QCOMPARE(outcomes.last(), QString("timeout"));

    // Abort: nothing is signalled, the next request is accepted.
    ecu->setSilent(false);
    QCOMPARE(auth->deAuthenticate(), CAN::RetType_OK);
    auth->abort();
    QVERIFY(!QTest::qWaitFor([&] { return outcomes.size() > 2; }, 100));
    QCOMPARE(auth->deAuthenticate(), CAN::RetType_OK);
    QTRY_COMPARE(outcomes.size(), 3);

    UDSAuthentication orphan(nullptr);
    QCOMPARE(orphan.deAuthenticate(), CAN::RetType_NoLink);
    orphan.setUdsClient(client);
    QCOMPARE(orphan.deAuthenticate(), CAN::RetType_OK);
}

QTEST_GUILESS_MAIN(tst_UDSAuthentication)
#include "tst_udsauthentication.moc"
