// UDS authentication (service 0x29): each sub-function pending while arbitrary answers arrive.
#include "fuzzharness.h"
#include "udsauthentication.h"
#include "udsclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        UDSClient client(&bus.scheduler);
        client.setResponseTimeout(100);
        UDSAuthentication auth(&client);
        int outcomes = 0;
        auto count = [&] { ++outcomes; };
        QObject::connect(&auth, &UDSAuthentication::deAuthenticated, count);
        QObject::connect(&auth, &UDSAuthentication::certificateVerified, count);
        QObject::connect(&auth, &UDSAuthentication::certificateVerifiedBidirectional, count);
        QObject::connect(&auth, &UDSAuthentication::ownershipProven, count);
        QObject::connect(&auth, &UDSAuthentication::certificateTransmitted, count);
        QObject::connect(&auth, &UDSAuthentication::challengeReceived, count);
        QObject::connect(&auth, &UDSAuthentication::ownershipVerified, count);
        QObject::connect(&auth, &UDSAuthentication::ownershipVerifiedBidirectional, count);
        QObject::connect(&auth, &UDSAuthentication::authenticationConfigurationReceived, count);
        QObject::connect(&auth, &UDSAuthentication::timeout, count);
        QObject::connect(&auth, &UDSAuthentication::error, count);
        const quint8 setup = in.u8();
        const QByteArray x = in.bytes(in.u8() % 16);
        CAN::RetType ret = CAN::RetType_OK;
        switch (setup % 9) {
        case 0:
            ret = auth.deAuthenticate();
            break;
        case 1:
            ret = auth.verifyCertificateUnidirectional(0, x, x);
            break;
        case 2:
            ret = auth.verifyCertificateBidirectional(0, x, x);
            break;
        case 3:
            ret = auth.proofOfOwnership(x, x);
            break;
        case 4:
            ret = auth.transmitCertificate(1, x);
            break;
        case 5:
            ret = auth.requestChallengeForAuthentication(0, QByteArray(16, '\0'));
            break;
        case 6:
            ret = auth.verifyProofOfOwnershipUnidirectional(QByteArray(16, '\0'), x, x, x);
            break;
        case 7:
            ret = auth.verifyProofOfOwnershipBidirectional(x, x);
            break;
        case 8:
            ret = auth.authenticationConfiguration();
            break;
        }
        fuzzPlayFrames(in, bus, { 0x7E8, 0x7E0 });
        fuzzRunOut();
        FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
    }
    fuzzRunOut();
    return 0;
}
