#include "udsauthentication.h"

#include "tarnwicklogging_p.h"
#include "udsclient.h"

namespace {
void appendLen16(QByteArray &out, const QByteArray &field)
{
    out.append(char((field.size() >> 8) & 0xFF));
    out.append(char(field.size() & 0xFF));
    out.append(field);
}

/// A big-endian 16-bit length at pos; false when it does not lie inside r.
bool len16At(const QByteArray &r, int pos, int &value)
{
    if (pos < 0 || pos + 1 >= r.size())
        return false;
    value = quint8(r.at(pos)) << 8 | quint8(r.at(pos + 1));
    return true;
}

/// r[pos .. pos+len-1] when it lies completely inside r.
bool takeField(const QByteArray &r, int pos, int len, QByteArray &field)
{
    if (pos < 0 || len < 0 || qint64(pos) + len > r.size())
        return false;
    field = r.mid(pos, len);
    return true;
}
} // namespace

UDSAuthentication::UDSAuthentication(UDSClient *client, QObject *parent)
    : QObject(parent)
    , mClient(client)
{
    connectClient();
}

UDSAuthentication::~UDSAuthentication() = default;

void UDSAuthentication::connectClient()
{
    if (!mClient)
        return;
    connect(
        mClient.data(), &UDSClient::response, this, &UDSAuthentication::responseSlot, Qt::UniqueConnection);
    connect(mClient.data(), &UDSClient::timeout, this, &UDSAuthentication::timeoutSlot, Qt::UniqueConnection);
    connect(mClient.data(), &UDSClient::error, this, &UDSAuthentication::errorSlot, Qt::UniqueConnection);
}

void UDSAuthentication::setUdsClient(UDSClient *client)
{
    if (mClient)
        disconnect(mClient.data(), nullptr, this, nullptr);
    mClient = client;
    connectClient();
}

void UDSAuthentication::abort()
{
    mPendingOperation = 0;
    mPendingSubFunction = 0;
    if (mClient)
        mClient->abortService();
}

CAN::RetType UDSAuthentication::send(quint8 subFunction, const QByteArray &data)
{
    if (mPendingOperation != 0)
        return CAN::RetType_Busy;
    if (!mClient)
        return CAN::RetType_NoLink;
    const CAN::RetType result = mClient->Authentication(subFunction, data);
    if (result == CAN::RetType_OK) {
        mPendingOperation = 1;
        mPendingSubFunction = subFunction;
    }
    return result;
}

CAN::RetType UDSAuthentication::deAuthenticate()
{
    return send(0x00, QByteArray());
}

CAN::RetType UDSAuthentication::verifyCertificateUnidirectional(
    quint8 communicationConfiguration, const QByteArray &certificateClient, const QByteArray &challengeClient)
{
    QByteArray data;
    data.append(char(communicationConfiguration));
    appendLen16(data, certificateClient);
    appendLen16(data, challengeClient);
    return send(0x01, data);
}

CAN::RetType UDSAuthentication::verifyCertificateBidirectional(
    quint8 communicationConfiguration, const QByteArray &certificateClient, const QByteArray &challengeClient)
{
    QByteArray data;
    data.append(char(communicationConfiguration));
    appendLen16(data, certificateClient);
    appendLen16(data, challengeClient);
    return send(0x02, data);
}

CAN::RetType UDSAuthentication::proofOfOwnership(
    const QByteArray &proofOfOwnershipClient, const QByteArray &ephemeralPublicKeyClient)
{
    QByteArray data;
    appendLen16(data, proofOfOwnershipClient);
    appendLen16(data, ephemeralPublicKeyClient);
    return send(0x03, data);
}

CAN::RetType UDSAuthentication::transmitCertificate(
    quint16 certificateEvaluationId, const QByteArray &certificateData)
{
    QByteArray data;
    data.append(char(certificateEvaluationId >> 8));
    data.append(char(certificateEvaluationId & 0xFF));
    appendLen16(data, certificateData);
    return send(0x04, data);
}

CAN::RetType UDSAuthentication::requestChallengeForAuthentication(
    quint8 communicationConfiguration, const QByteArray &algorithmIndicator)
{
    QByteArray data;
    data.append(char(communicationConfiguration));
    data.append(algorithmIndicator);
    return send(0x05, data);
}

CAN::RetType UDSAuthentication::verifyProofOfOwnershipUnidirectional(const QByteArray &algorithmIndicator,
    const QByteArray &proofOfOwnershipClient, const QByteArray &challengeClient,
    const QByteArray &additionalParameter)
{
    QByteArray data = algorithmIndicator;
    appendLen16(data, proofOfOwnershipClient);
    appendLen16(data, challengeClient);
    appendLen16(data, additionalParameter);
    return send(0x06, data);
}

CAN::RetType UDSAuthentication::verifyProofOfOwnershipBidirectional(
    const QByteArray &proofOfOwnershipClient, const QByteArray &furtherParameters)
{
    QByteArray data;
    appendLen16(data, proofOfOwnershipClient);
    data.append(furtherParameters);
    return send(0x07, data);
}

CAN::RetType UDSAuthentication::authenticationConfiguration()
{
    return send(0x08, QByteArray());
}

void UDSAuthentication::responseSlot()
{
    if (mPendingOperation == 0 || !mClient)
        return;
    const QByteArray r = mClient->getResponseData();
    const quint8 sub = mPendingSubFunction;
    mPendingOperation = 0;
    mPendingSubFunction = 0;

    const int n = r.size();
    if (n < 2) {
        qCDebug(lcUds) << "void UDSAuthentication::responseSlot()"
                       << "response too short:" << n;
        emit error(sub, 0xFF);
        return;
    }
    const auto byteAt = [&r](int i) { return quint8(r.at(i)); };

    switch (sub) {
    case 0x00:
    case 0x08: {
        const quint8 returnValue = n > 2 ? byteAt(2) : 0;
        if (sub == 0x00)
            emit deAuthenticated(returnValue);
        else
            emit authenticationConfigurationReceived(returnValue);
        return;
    }
    case 0x04:
        if (n == 2)
            break;
        emit certificateTransmitted(byteAt(2));
        return;
    case 0x01:
    case 0x02:
    case 0x03: {
        if (n == 2)
            break;
        const quint8 returnValue = byteAt(2);
        QByteArray first;
        bool firstTaken = false;
        int length = 0;
        if (n > 4 && len16At(r, 3, length))
            firstTaken = takeField(r, 5, length, first);
        if (sub == 0x01) {
            emit certificateVerified(returnValue, first);
        } else if (sub == 0x03) {
            emit ownershipProven(returnValue, first);
        } else {
            const int p = firstTaken ? 5 + length : 5;
            QByteArray certificate;
            int certificateLength = 0;
            if (n > p + 1 && len16At(r, p, certificateLength))
                takeField(r, p + 2, certificateLength, certificate);
            emit certificateVerifiedBidirectional(returnValue, first, certificate);
        }
        return;
    }
    case 0x05: {
        if (n <= 3)
            break;
        int length = 0;
        len16At(r, 2, length);
        QByteArray challenge;
        QByteArray algorithmIndicator;
        // The 16-byte algorithm indicator follows only when it is exactly what remains.
        if (takeField(r, 4, length, challenge) && n - 20 == length)
            algorithmIndicator = r.mid(4 + length, 16);
        emit challengeReceived(challenge, algorithmIndicator);
        return;
    }
    case 0x06: {
        QByteArray sessionKeyInfo;
        int length = 0;
        if (n > 3 && len16At(r, 2, length))
            takeField(r, 4, length, sessionKeyInfo);
        emit ownershipVerified(sessionKeyInfo);
        return;
    }
    case 0x07: {
        if (n <= 3)
            break;
        int length = 0;
        len16At(r, 2, length);
        QByteArray proof;
        QByteArray sessionKeyInfo;
        if (takeField(r, 4, length, proof) && n > length + 5) {
            int keyLength = 0;
            if (len16At(r, length + 4, keyLength))
                takeField(r, length + 6, keyLength, sessionKeyInfo);
        }
        emit ownershipVerifiedBidirectional(proof, sessionKeyInfo);
        return;
    }
    default:
        // Only the sub-functions above are ever sent.
        return;
    }
    emit error(sub, 0xFF);
}

void UDSAuthentication::timeoutSlot()
{
    if (mPendingOperation == 0)
        return;
    mPendingOperation = 0;
    mPendingSubFunction = 0;
    emit timeout();
}

void UDSAuthentication::errorSlot(quint8 nrc)
{
    if (mPendingOperation == 0)
        return;
    const quint8 sub = mPendingSubFunction;
    mPendingOperation = 0;
    mPendingSubFunction = 0;
    emit error(sub, nrc);
}
