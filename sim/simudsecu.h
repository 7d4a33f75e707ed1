#pragma once

#include "tarnwicksim_export.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>

#include <functional>

class AbstractCanAdapter;
class QTimer;
class SimIsoTpServer;

/// A simulated ECU with a UDS (ISO 14229-1) server over ISO-TP: diagnostic sessions with the
/// S3 timeout, ECU reset, DTCs (read, clear), data identifiers, memory by address over a
/// memory image, security access by seed and key, routines, request download/upload with
/// transfer data and transfer exit on the memory image, communication control, DTC setting,
/// tester present, and authentication answers scripted by the test. Tests can make it answer
/// with response-pending first, with a chosen negative response, late, or not at all.
class TARNWICKSIM_EXPORT SimUdsEcu : public QObject
{
    Q_OBJECT
public:
    /// Key the tester must send for a seed at a security level (the odd requestSeed value).
    using KeyFunction = std::function<QByteArray(quint8 level, const QByteArray &seed)>;
    /// A routine: control type 1 start, 2 stop, 3 request results. Returns 0 and fills the
    /// status record, or a negative response code.
    using Routine
        = std::function<quint8(quint8 controlType, const QByteArray &options, QByteArray &statusRecord)>;

    /// The key function used unless the test sets another: every seed byte XOR 0x5A, plus
    /// the level.
    static QByteArray defaultKey(quint8 level, const QByteArray &seed);

    explicit SimUdsEcu(AbstractCanAdapter *adapter, QObject *parent = nullptr);
    ~SimUdsEcu() override;

    /// The ISO-TP end of physical requests (block size, STmin, CAN FD, padding, ...).
    SimIsoTpServer *transport() const { return mPhysical; }
    /// The ISO-TP end of functional requests (single frames only).
    SimIsoTpServer *functionalTransport() const { return mFunctional; }

    /// Physical request, response and functional request identifiers (defaults 0x7E0, 0x7E8,
    /// 0x7DF); extendedIds: all three are 29-bit.
    void setIds(quint32 requestId, quint32 responseId, quint32 functionalId, bool extendedIds = false);
    /// Extended addressing: the address byte of this ECU in physical requests, of the tester
    /// in responses, and of functional requests.
    void setExtendedAddressing(
        bool on, quint8 ecuAddress = 0, quint8 testerAddress = 0, quint8 functionalAddress = 0);
    /// CAN FD framing for everything the ECU sends.
    void setCanFd(bool on);

    // Memory image used by the memory services and by download/upload.
    void setMemory(quint32 baseAddress, const QByteArray &image);
    QByteArray memory() const { return mMemory; }
    quint32 memoryBase() const { return mMemoryBase; }
    /// maxNumberOfBlockLength reported for transfers (SID and counter included, default 4096).
    void setMaxBlockLength(quint16 length) { mMaxBlockLength = length; }

    void setDataIdentifier(
        quint16 identifier, const QByteArray &value, bool writable = true, bool securityProtected = false);
    QByteArray dataIdentifier(quint16 identifier) const;
    void addDtc(quint32 dtc, quint8 status);
    QMap<quint32, quint8> dtcs() const { return mDtcs; }

    void setKeyFunction(KeyFunction key) { mKeyFunction = std::move(key); }
    void setSeedLength(int bytes) { mSeedLength = qBound(1, bytes, 64); }
    /// Downloads, uploads, memory writes and protected identifiers need an unlocked level
    /// (default true).
    void setSecurityRequired(bool required) { mSecurityRequired = required; }
    /// Invalid keys before the lockout (default 3) and its length in ms (default 1000).
    void setSecurityAttempts(int attempts, int lockoutMs);
    /// 0 while locked, else the unlocked level (the odd requestSeed value).
    quint8 securityLevel() const { return mUnlockedLevel; }

    quint8 session() const { return mSession; }
    /// Time without requests after which a non-default session falls back (default 5000 ms).
    void setS3Timeout(int ms);
    bool communicationEnabled() const { return mCommunicationControl == 0; }
    bool dtcSettingOn() const { return mDtcSettingOn; }

    void setRoutine(quint16 identifier, Routine routine) { mRoutines.insert(identifier, std::move(routine)); }
    /// The full answer (from the response SID on) to authentication requests with this
    /// sub-function; unscripted sub-functions get "sub-function not supported".
    void setAuthenticationResponse(quint8 subFunction, const QByteArray &response);

    // Fault injection.
    /// Every request is first answered count times with response pending (NRC 0x78), one
    /// every intervalMs, then with its real answer.
    void setResponsePending(int count, int intervalMs = 20);
    /// The next request is answered with this negative response code and has no effect.
    void setNextNegativeResponse(quint8 nrc) { mNextNrc = nrc; }
    /// Every request with this service identifier gets nrc (0 clears).
    void setNegativeResponse(quint8 sid, quint8 nrc);
    /// Answers (the first of them, when response pending is on) go out this late.
    void setResponseDelay(int ms) { mResponseDelay = qMax(0, ms); }
    /// A silent ECU receives and records requests but answers none.
    void setSilent(bool silent) { mSilent = silent; }

    /// Every request received, in order.
    QList<QByteArray> requests() const { return mRequests; }
    void clearRequests() { mRequests.clear(); }

signals:
    void requestReceived(const QByteArray &request);
    void responseSent(const QByteArray &response);
    void sessionChanged(quint8 session);
    void ecuReset(quint8 resetType);
    /// RequestTransferExit ended a download or upload of that many bytes.
    void transferExited(bool download, quint32 bytes);

private:
    enum class Transfer { None, Download, Upload };
    struct Did
    {
        QByteArray value;
        bool writable = true;
        bool securityProtected = false;
    };

    void onRequest(const QByteArray &request, bool functional);
    /// The answer to a request; empty when none is sent (suppressed positive response).
    QByteArray process(const QByteArray &request);
    void queueResponse(const QByteArray &response);
    void sendResponse(const QByteArray &response);
    void flushOutbox();
    void onResponseTimer();
    void enterSession(quint8 session);
    void resetEcu();
    bool inMemory(quint32 address, quint32 size) const;
    static bool readField(const QByteArray &r, int pos, int bytes, quint32 &value);

    QByteArray diagnosticSessionControl(const QByteArray &r);
    QByteArray ecuResetService(const QByteArray &r);
    QByteArray clearDiagnosticInformation(const QByteArray &r);
    QByteArray readDtcInformation(const QByteArray &r);
    QByteArray readDataByIdentifier(const QByteArray &r);
    QByteArray writeDataByIdentifier(const QByteArray &r);
    QByteArray readMemoryByAddress(const QByteArray &r);
    QByteArray writeMemoryByAddress(const QByteArray &r);
    QByteArray securityAccess(const QByteArray &r);
    QByteArray communicationControl(const QByteArray &r);
    QByteArray authentication(const QByteArray &r);
    QByteArray routineControl(const QByteArray &r);
    QByteArray requestTransfer(const QByteArray &r, bool download);
    QByteArray transferData(const QByteArray &r);
    QByteArray requestTransferExit(const QByteArray &r);
    QByteArray testerPresent(const QByteArray &r);
    QByteArray controlDtcSetting(const QByteArray &r);

    SimIsoTpServer *mPhysical;
    SimIsoTpServer *mFunctional;

    quint8 mSession = 0x01;
    QTimer *mS3Timer;
    quint8 mCommunicationControl = 0;
    bool mDtcSettingOn = true;

    QByteArray mMemory;
    quint32 mMemoryBase = 0;
    quint16 mMaxBlockLength = 4096;
    QHash<quint16, Did> mDids;
    QMap<quint32, quint8> mDtcs;
    QHash<quint16, Routine> mRoutines;
    QHash<quint16, bool> mRoutinesStarted;
    QHash<quint8, QByteArray> mAuthResponses;

    KeyFunction mKeyFunction;
    int mSeedLength = 4;
    bool mSecurityRequired = true;
    int mMaxAttempts = 3;
    int mFailedAttempts = 0;
    QTimer *mLockoutTimer;
    quint8 mUnlockedLevel = 0;
    quint8 mSeedLevel = 0; // level of the seed handed out, 0 when none
    QByteArray mSeed;
    quint32 mSeedCounter = 0x1234;

    Transfer mTransfer = Transfer::None;
    quint32 mTransferAddress = 0;
    quint32 mTransferSize = 0;
    quint32 mTransferDone = 0;
    quint8 mNextCounter = 1;
    quint32 mLastUploadOffset = 0;
    int mLastUploadCount = 0;

    // Answer scheduling and fault injection.
    int mPendingCount = 0;
    int mPendingInterval = 20;
    quint8 mNextNrc = 0;
    QHash<quint8, quint8> mForcedNrc;
    int mResponseDelay = 0;
    bool mSilent = false;
    QTimer *mResponseTimer;
    QByteArray mScheduledResponse;
    quint8 mScheduledSid = 0;
    int mPendingLeft = 0;
    QList<QByteArray> mOutbox;
    QList<QByteArray> mRequests;
    bool mResetAfterResponse = false;
    quint8 mResetType = 0;
};
