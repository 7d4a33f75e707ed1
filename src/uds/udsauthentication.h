#pragma once

#include "cantypes.h"
#include "tarnwick_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

class UDSClient;

/// Client side of the UDS Authentication service (0x29, ISO 14229-1): builds the request of
/// each sub-function, sends it through a UDSClient and reports the fields of the positive
/// answer by a typed signal. Certificates, challenges and proofs are opaque bytes of the host.
/// Every accepted request ends in one signal: its result signal, error(subFunction, nrc) (nrc
/// 0xFF for an answer too short to parse) or timeout(). Requests return 0 sent, 1 busy, 6 no
/// client or no transport.
class TARNWICK_EXPORT UDSAuthentication : public QObject
{
    Q_OBJECT
public:
    explicit UDSAuthentication(UDSClient *client, QObject *parent = nullptr);
    ~UDSAuthentication() override;

    /// Moves to another client (connections to the previous one are dropped).
    void setUdsClient(UDSClient *client);
    /// Forgets the pending request and aborts the client's wait; nothing is signalled.
    void abort();

    CAN::RetType deAuthenticate();
    CAN::RetType verifyCertificateUnidirectional(quint8 communicationConfiguration,
        const QByteArray &certificateClient, const QByteArray &challengeClient);
    CAN::RetType verifyCertificateBidirectional(quint8 communicationConfiguration,
        const QByteArray &certificateClient, const QByteArray &challengeClient);
    CAN::RetType proofOfOwnership(
        const QByteArray &proofOfOwnershipClient, const QByteArray &ephemeralPublicKeyClient);
    CAN::RetType transmitCertificate(quint16 certificateEvaluationId, const QByteArray &certificateData);
    CAN::RetType requestChallengeForAuthentication(
        quint8 communicationConfiguration, const QByteArray &algorithmIndicator);
    CAN::RetType verifyProofOfOwnershipUnidirectional(const QByteArray &algorithmIndicator,
        const QByteArray &proofOfOwnershipClient, const QByteArray &challengeClient,
        const QByteArray &additionalParameter);
    /// The proof goes with its length field; furtherParameters are appended as they are.
    CAN::RetType verifyProofOfOwnershipBidirectional(
        const QByteArray &proofOfOwnershipClient, const QByteArray &furtherParameters);
    CAN::RetType authenticationConfiguration();

signals:
    void deAuthenticated(quint8 returnValue);
    void certificateVerified(quint8 returnValue, const QByteArray &challengeServer);
    void certificateVerifiedBidirectional(
        quint8 returnValue, const QByteArray &challengeServer, const QByteArray &certificateServer);
    void ownershipProven(quint8 returnValue, const QByteArray &sessionKeyInfo);
    void certificateTransmitted(quint8 returnValue);
    void challengeReceived(const QByteArray &challenge, const QByteArray &algorithmIndicator);
    void ownershipVerified(const QByteArray &sessionKeyInfo);
    void ownershipVerifiedBidirectional(
        const QByteArray &serverProofOfOwnership, const QByteArray &sessionKeyInfo);
    void authenticationConfigurationReceived(quint8 returnValue);
    void timeout();
    void error(quint8 subFunction, quint8 nrc);

public slots:
    void responseSlot();
    void timeoutSlot();
    void errorSlot(quint8 nrc);

private:
    void connectClient();
    CAN::RetType send(quint8 subFunction, const QByteArray &data);

    QPointer<UDSClient> mClient;
    int mPendingOperation = 0;
    quint8 mPendingSubFunction = 0;
};
