#include "simudsecu.h"

#include "simisotpserver.h"

#include <QTimer>

namespace {
// ISO 14229-1 negative response codes used by this server.
enum Nrc : quint8 {
    Nrc_ServiceNotSupported = 0x11,
    Nrc_SubFunctionNotSupported = 0x12,
    Nrc_IncorrectMessageLength = 0x13,
    Nrc_BusyRepeatRequest = 0x21,
    Nrc_ConditionsNotCorrect = 0x22,
    Nrc_RequestSequenceError = 0x24,
    Nrc_RequestOutOfRange = 0x31,
    Nrc_SecurityAccessDenied = 0x33,
    Nrc_InvalidKey = 0x35,
    Nrc_ExceededNumberOfAttempts = 0x36,
    Nrc_RequiredTimeDelayNotExpired = 0x37,
    Nrc_UploadDownloadNotAccepted = 0x70,
    Nrc_TransferDataSuspended = 0x71,
    Nrc_WrongBlockSequenceCounter = 0x73,
    Nrc_ResponsePending = 0x78,
    Nrc_SubFunctionNotSupportedInActiveSession = 0x7E,
    Nrc_ServiceNotSupportedInActiveSession = 0x7F,
};

constexpr quint8 kSessionDefault = 0x01;
constexpr quint8 kSessionProgramming = 0x02;
constexpr quint8 kSessionExtended = 0x03;
constexpr quint8 kSuppressBit = 0x80;

QByteArray negative(quint8 sid, quint8 nrc)
{
    QByteArray r(3, 0);
    r[0] = char(0x7F);
    r[1] = char(sid);
    r[2] = char(nrc);
    return r;
}

QByteArray positive(quint8 sid, std::initializer_list<quint8> bytes = {})
{
    QByteArray r;
    r.reserve(1 + int(bytes.size()));
    r.append(char(sid + 0x40));
    for (quint8 b : bytes)
        r.append(char(b));
    return r;
}

quint8 at(const QByteArray &r, int i)
{
    return quint8(r.at(i));
}

bool hasSuppressBit(quint8 sid)
{
    switch (sid) {
    case 0x10:
    case 0x11:
    case 0x27:
    case 0x28:
    case 0x31:
    case 0x3E:
    case 0x85:
        return true;
    default:
        return false;
    }
}
} // namespace

QByteArray SimUdsEcu::defaultKey(quint8 level, const QByteArray &seed)
{
    QByteArray key = seed;
    for (char &c : key)
        c = char(quint8(quint8(c) ^ 0x5A) + level);
    return key;
}

SimUdsEcu::SimUdsEcu(AbstractCanAdapter *adapter, QObject *parent)
    : QObject(parent)
    , mPhysical(new SimIsoTpServer(adapter, this))
    , mFunctional(new SimIsoTpServer(adapter, this))
    , mS3Timer(new QTimer(this))
    , mKeyFunction(&SimUdsEcu::defaultKey)
    , mLockoutTimer(new QTimer(this))
    , mResponseTimer(new QTimer(this))
{
    mFunctional->setSingleFramesOnly(true);
    setIds(0x7E0, 0x7E8, 0x7DF);
    for (QTimer *t : { mS3Timer, mLockoutTimer, mResponseTimer })
        t->setSingleShot(true);
    mS3Timer->setInterval(5000);
    mLockoutTimer->setInterval(1000);
    connect(mS3Timer, &QTimer::timeout, this, [this] { enterSession(kSessionDefault); });
    connect(mLockoutTimer, &QTimer::timeout, this, [this] { mFailedAttempts = 0; });
    connect(mResponseTimer, &QTimer::timeout, this, &SimUdsEcu::onResponseTimer);
    connect(mPhysical, &SimIsoTpServer::messageReceived, this,
        [this](const QByteArray &m) { onRequest(m, false); });
    connect(mFunctional, &SimIsoTpServer::messageReceived, this,
        [this](const QByteArray &m) { onRequest(m, true); });
    connect(mPhysical, &SimIsoTpServer::messageSent, this, &SimUdsEcu::flushOutbox);
}

SimUdsEcu::~SimUdsEcu() = default;

void SimUdsEcu::setIds(quint32 requestId, quint32 responseId, quint32 functionalId, bool extendedIds)
{
    mPhysical->setIds(requestId, responseId, extendedIds);
    mFunctional->setIds(functionalId, responseId, extendedIds);
}

void SimUdsEcu::setExtendedAddressing(
    bool on, quint8 ecuAddress, quint8 testerAddress, quint8 functionalAddress)
{
    mPhysical->setExtendedAddressing(on, ecuAddress, testerAddress);
    mFunctional->setExtendedAddressing(on, functionalAddress, testerAddress);
}

void SimUdsEcu::setCanFd(bool on)
{
    mPhysical->setCanFd(on);
    mFunctional->setCanFd(on);
}

void SimUdsEcu::setMemory(quint32 baseAddress, const QByteArray &image)
{
    mMemoryBase = baseAddress;
    mMemory = image;
}

void SimUdsEcu::setDataIdentifier(
    quint16 identifier, const QByteArray &value, bool writable, bool securityProtected)
{
    mDids.insert(identifier, Did { value, writable, securityProtected });
}

QByteArray SimUdsEcu::dataIdentifier(quint16 identifier) const
{
    return mDids.value(identifier).value;
}

void SimUdsEcu::addDtc(quint32 dtc, quint8 status)
{
    mDtcs.insert(dtc & 0xFFFFFF, status);
}

void SimUdsEcu::setSecurityAttempts(int attempts, int lockoutMs)
{
    mMaxAttempts = qMax(1, attempts);
    mLockoutTimer->setInterval(qMax(0, lockoutMs));
}

void SimUdsEcu::setS3Timeout(int ms)
{
    mS3Timer->setInterval(qMax(1, ms));
}

void SimUdsEcu::setAuthenticationResponse(quint8 subFunction, const QByteArray &response)
{
    mAuthResponses.insert(subFunction, response);
}

void SimUdsEcu::setResponsePending(int count, int intervalMs)
{
    mPendingCount = qMax(0, count);
    mPendingInterval = qMax(0, intervalMs);
}

void SimUdsEcu::setNegativeResponse(quint8 sid, quint8 nrc)
{
    if (nrc == 0)
        mForcedNrc.remove(sid);
    else
        mForcedNrc.insert(sid, nrc);
}

bool SimUdsEcu::inMemory(quint32 address, quint32 size) const
{
    const quint64 begin = mMemoryBase;
    const quint64 end = begin + quint64(mMemory.size());
    return address >= begin && quint64(address) + size <= end;
}

bool SimUdsEcu::readField(const QByteArray &r, int pos, int bytes, quint32 &value)
{
    if (bytes < 1 || bytes > 4 || pos + bytes > r.size())
        return false;
    value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | at(r, pos + i);
    return true;
}

void SimUdsEcu::enterSession(quint8 session)
{
    // Every session transition locks security again and ends a running transfer.
    mUnlockedLevel = 0;
    mSeedLevel = 0;
    mTransfer = Transfer::None;
    const bool changed = session != mSession;
    mSession = session;
    if (mSession == kSessionDefault) {
        mS3Timer->stop();
        mCommunicationControl = 0;
        mDtcSettingOn = true;
    } else {
        mS3Timer->start();
    }
    if (changed)
        emit sessionChanged(mSession);
}

void SimUdsEcu::resetEcu()
{
    enterSession(kSessionDefault);
    mRoutinesStarted.clear();
    mFailedAttempts = 0;
    emit ecuReset(mResetType);
}

void SimUdsEcu::onRequest(const QByteArray &request, bool functional)
{
    mRequests.append(request);
    emit requestReceived(request);
    if (mSilent || request.isEmpty())
        return;
    if (mSession != kSessionDefault)
        mS3Timer->start();
    const quint8 sid = at(request, 0);
    if (mResponseTimer->isActive()) {
        if (!functional)
            queueResponse(negative(sid, Nrc_BusyRepeatRequest));
        return;
    }

    QByteArray response;
    quint8 forced = mNextNrc;
    mNextNrc = 0;
    if (forced == 0)
        forced = mForcedNrc.value(sid, 0);
    if (forced != 0)
        response = negative(sid, forced);
    else
        response = process(request);

    // Functionally addressed requests get no "not supported" or "out of range" answers.
    if (functional && response.size() == 3 && at(response, 0) == 0x7F) {
        switch (at(response, 2)) {
        case Nrc_ServiceNotSupported:
        case Nrc_SubFunctionNotSupported:
        case Nrc_RequestOutOfRange:
        case Nrc_SubFunctionNotSupportedInActiveSession:
        case Nrc_ServiceNotSupportedInActiveSession:
            response.clear();
            break;
        default:
            break;
        }
    }
    if (response.isEmpty()) {
        if (mResetAfterResponse) {
            mResetAfterResponse = false;
            resetEcu();
        }
        return;
    }
    if (mPendingCount == 0 && mResponseDelay == 0) {
        queueResponse(response);
        return;
    }
    mScheduledResponse = response;
    mScheduledSid = sid;
    mPendingLeft = mPendingCount;
    mResponseTimer->start(mResponseDelay);
}

void SimUdsEcu::onResponseTimer()
{
    if (mPendingLeft > 0) {
        --mPendingLeft;
        queueResponse(negative(mScheduledSid, Nrc_ResponsePending));
        mResponseTimer->start(mPendingInterval);
        return;
    }
    const QByteArray response = mScheduledResponse;
    mScheduledResponse.clear();
    queueResponse(response);
}

void SimUdsEcu::queueResponse(const QByteArray &response)
{
    mOutbox.append(response);
    flushOutbox();
}

void SimUdsEcu::flushOutbox()
{
    while (!mOutbox.isEmpty() && !mPhysical->isSending()) {
        const QByteArray response = mOutbox.takeFirst();
        sendResponse(response);
    }
}

void SimUdsEcu::sendResponse(const QByteArray &response)
{
    mPhysical->send(response);
    emit responseSent(response);
    if (mResetAfterResponse && at(response, 0) == 0x51) {
        mResetAfterResponse = false;
        resetEcu();
    }
}

QByteArray SimUdsEcu::process(const QByteArray &r)
{
    const quint8 sid = at(r, 0);
    QByteArray response;
    switch (sid) {
    case 0x10:
        response = diagnosticSessionControl(r);
        break;
    case 0x11:
        response = ecuResetService(r);
        break;
    case 0x14:
        response = clearDiagnosticInformation(r);
        break;
    case 0x19:
        response = readDtcInformation(r);
        break;
    case 0x22:
        response = readDataByIdentifier(r);
        break;
    case 0x23:
        response = readMemoryByAddress(r);
        break;
    case 0x27:
        response = securityAccess(r);
        break;
    case 0x28:
        response = communicationControl(r);
        break;
    case 0x29:
        response = authentication(r);
        break;
    case 0x2E:
        response = writeDataByIdentifier(r);
        break;
    case 0x31:
        response = routineControl(r);
        break;
    case 0x34:
        response = requestTransfer(r, true);
        break;
    case 0x35:
        response = requestTransfer(r, false);
        break;
    case 0x36:
        response = transferData(r);
        break;
    case 0x37:
        response = requestTransferExit(r);
        break;
    case 0x3D:
        response = writeMemoryByAddress(r);
        break;
    case 0x3E:
        response = testerPresent(r);
        break;
    case 0x85:
        response = controlDtcSetting(r);
        break;
    default:
        return negative(sid, Nrc_ServiceNotSupported);
    }
    // suppressPosRspMsgIndicationBit: a positive answer is not sent.
    if (hasSuppressBit(sid) && r.size() >= 2 && (at(r, 1) & kSuppressBit) && !response.isEmpty()
        && at(response, 0) != 0x7F)
        return QByteArray();
    return response;
}

QByteArray SimUdsEcu::diagnosticSessionControl(const QByteArray &r)
{
    if (r.size() != 2)
        return negative(0x10, Nrc_IncorrectMessageLength);
    const quint8 type = at(r, 1) & 0x7F;
    if (type != kSessionDefault && type != kSessionProgramming && type != kSessionExtended)
        return negative(0x10, Nrc_SubFunctionNotSupported);
    enterSession(type);
    // P2server 50 ms, P2*server 5000 ms (in units of 10 ms).
    return positive(0x10, { type, 0x00, 0x32, 0x01, 0xF4 });
}

QByteArray SimUdsEcu::ecuResetService(const QByteArray &r)
{
    if (r.size() != 2)
        return negative(0x11, Nrc_IncorrectMessageLength);
    const quint8 type = at(r, 1) & 0x7F;
    if (type < 0x01 || type > 0x03)
        return negative(0x11, Nrc_SubFunctionNotSupported);
    // The reset follows the answer.
    mResetAfterResponse = true;
    mResetType = type;
    return positive(0x11, { type });
}

QByteArray SimUdsEcu::clearDiagnosticInformation(const QByteArray &r)
{
    quint32 group = 0;
    if (r.size() != 4 || !readField(r, 1, 3, group))
        return negative(0x14, Nrc_IncorrectMessageLength);
    if (group == 0xFFFFFF)
        mDtcs.clear();
    else if (mDtcs.remove(group) == 0)
        return negative(0x14, Nrc_RequestOutOfRange);
    return positive(0x14);
}

QByteArray SimUdsEcu::readDtcInformation(const QByteArray &r)
{
    if (r.size() < 2)
        return negative(0x19, Nrc_IncorrectMessageLength);
    const quint8 type = at(r, 1);
    constexpr quint8 availabilityMask = 0xFF;
    switch (type) {
    case 0x01: // reportNumberOfDTCByStatusMask
    case 0x02: { // reportDTCByStatusMask
        if (r.size() != 3)
            return negative(0x19, Nrc_IncorrectMessageLength);
        const quint8 mask = at(r, 2);
        QByteArray response = positive(0x19, { type, availabilityMask });
        int count = 0;
        for (auto it = mDtcs.constBegin(); it != mDtcs.constEnd(); ++it) {
            if ((it.value() & mask) == 0)
                continue;
            ++count;
            if (type == 0x02) {
                response.append(char(it.key() >> 16));
                response.append(char(it.key() >> 8));
                response.append(char(it.key()));
                response.append(char(it.value()));
            }
        }
        if (type == 0x01) {
            response.append(char(0x01)); // DTCFormatIdentifier: ISO 14229-1
            response.append(char(count >> 8));
            response.append(char(count));
        }
        return response;
    }
    case 0x0A: { // reportSupportedDTC
        if (r.size() != 2)
            return negative(0x19, Nrc_IncorrectMessageLength);
        QByteArray response = positive(0x19, { type, availabilityMask });
        for (auto it = mDtcs.constBegin(); it != mDtcs.constEnd(); ++it) {
            response.append(char(it.key() >> 16));
            response.append(char(it.key() >> 8));
            response.append(char(it.key()));
            response.append(char(it.value()));
        }
        return response;
    }
    default:
        return negative(0x19, Nrc_SubFunctionNotSupported);
    }
}

QByteArray SimUdsEcu::readDataByIdentifier(const QByteArray &r)
{
    if (r.size() < 3 || (r.size() - 1) % 2 != 0)
        return negative(0x22, Nrc_IncorrectMessageLength);
    QByteArray response = positive(0x22);
    bool any = false;
    for (int i = 1; i + 1 < r.size(); i += 2) {
        const quint16 id = quint16(at(r, i) << 8 | at(r, i + 1));
        const auto it = mDids.constFind(id);
        if (it == mDids.constEnd())
            continue;
        any = true;
        response.append(r.mid(i, 2));
        response.append(it->value);
    }
    if (!any)
        return negative(0x22, Nrc_RequestOutOfRange);
    return response;
}

QByteArray SimUdsEcu::writeDataByIdentifier(const QByteArray &r)
{
    if (r.size() < 4)
        return negative(0x2E, Nrc_IncorrectMessageLength);
    const quint16 id = quint16(at(r, 1) << 8 | at(r, 2));
    const auto it = mDids.find(id);
    if (it == mDids.end() || !it->writable)
        return negative(0x2E, Nrc_RequestOutOfRange);
    if (r.size() - 3 != it->value.size())
        return negative(0x2E, Nrc_IncorrectMessageLength);
    if (it->securityProtected && mUnlockedLevel == 0)
        return negative(0x2E, Nrc_SecurityAccessDenied);
    it->value = r.mid(3);
    return positive(0x2E, { at(r, 1), at(r, 2) });
}

QByteArray SimUdsEcu::readMemoryByAddress(const QByteArray &r)
{
    if (r.size() < 2)
        return negative(0x23, Nrc_IncorrectMessageLength);
    const int addressLength = at(r, 1) & 0x0F;
    const int sizeLength = at(r, 1) >> 4;
    if (addressLength < 1 || addressLength > 4 || sizeLength < 1 || sizeLength > 4)
        return negative(0x23, Nrc_RequestOutOfRange);
    quint32 address = 0;
    quint32 size = 0;
    if (r.size() != 2 + addressLength + sizeLength || !readField(r, 2, addressLength, address)
        || !readField(r, 2 + addressLength, sizeLength, size))
        return negative(0x23, Nrc_IncorrectMessageLength);
    if (size == 0 || !inMemory(address, size))
        return negative(0x23, Nrc_RequestOutOfRange);
    QByteArray response = positive(0x23);
    response.append(mMemory.mid(int(address - mMemoryBase), int(size)));
    return response;
}

QByteArray SimUdsEcu::writeMemoryByAddress(const QByteArray &r)
{
    if (r.size() < 2)
        return negative(0x3D, Nrc_IncorrectMessageLength);
    const int addressLength = at(r, 1) & 0x0F;
    const int sizeLength = at(r, 1) >> 4;
    if (addressLength < 1 || addressLength > 4 || sizeLength < 1 || sizeLength > 4)
        return negative(0x3D, Nrc_RequestOutOfRange);
    quint32 address = 0;
    quint32 size = 0;
    const int header = 2 + addressLength + sizeLength;
    if (!readField(r, 2, addressLength, address) || !readField(r, 2 + addressLength, sizeLength, size)
        || qint64(r.size()) != header + qint64(size))
        return negative(0x3D, Nrc_IncorrectMessageLength);
    if (size == 0 || !inMemory(address, size))
        return negative(0x3D, Nrc_RequestOutOfRange);
    if (mSecurityRequired && mUnlockedLevel == 0)
        return negative(0x3D, Nrc_SecurityAccessDenied);
    mMemory.replace(int(address - mMemoryBase), int(size), r.mid(header));
    QByteArray response = positive(0x3D);
    response.append(r.mid(1, header - 1));
    return response;
}

QByteArray SimUdsEcu::securityAccess(const QByteArray &r)
{
    if (r.size() < 2)
        return negative(0x27, Nrc_IncorrectMessageLength);
    const quint8 type = at(r, 1) & 0x7F;
    if (type == 0x00 || type == 0x7F)
        return negative(0x27, Nrc_SubFunctionNotSupported);
    if (mSession == kSessionDefault)
        return negative(0x27, Nrc_ServiceNotSupportedInActiveSession);
    if (mLockoutTimer->isActive())
        return negative(0x27, Nrc_RequiredTimeDelayNotExpired);

    if (type & 0x01) { // requestSeed
        if (r.size() != 2)
            return negative(0x27, Nrc_IncorrectMessageLength);
        QByteArray response = positive(0x27, { type });
        if (mUnlockedLevel == type) {
            // Already unlocked: a seed of zeros says so.
            response.append(QByteArray(mSeedLength, 0));
            return response;
        }
        mSeed.resize(mSeedLength);
        for (char &c : mSeed) {
            // A small linear congruential generator: reproducible seeds, never all zero.
            mSeedCounter = mSeedCounter * 1103515245u + 12345u;
            c = char((mSeedCounter >> 16) | 0x01);
        }
        mSeedLevel = type;
        response.append(mSeed);
        return response;
    }

    // sendKey
    const quint8 level = quint8(type - 1);
    if (mSeedLevel == 0 || mSeedLevel != level)
        return negative(0x27, Nrc_RequestSequenceError);
    const QByteArray expected = mKeyFunction ? mKeyFunction(level, mSeed) : QByteArray();
    mSeedLevel = 0;
    if (r.mid(2) != expected) {
        if (++mFailedAttempts >= mMaxAttempts) {
            mLockoutTimer->start();
            return negative(0x27, Nrc_ExceededNumberOfAttempts);
        }
        return negative(0x27, Nrc_InvalidKey);
    }
    mFailedAttempts = 0;
    mUnlockedLevel = level;
    return positive(0x27, { type });
}

QByteArray SimUdsEcu::communicationControl(const QByteArray &r)
{
    if (r.size() != 3)
        return negative(0x28, Nrc_IncorrectMessageLength);
    const quint8 type = at(r, 1) & 0x7F;
    if (type > 0x03)
        return negative(0x28, Nrc_SubFunctionNotSupported);
    if (mSession == kSessionDefault)
        return negative(0x28, Nrc_ServiceNotSupportedInActiveSession);
    mCommunicationControl = type;
    return positive(0x28, { type });
}

QByteArray SimUdsEcu::authentication(const QByteArray &r)
{
    if (r.size() < 2)
        return negative(0x29, Nrc_IncorrectMessageLength);
    const quint8 task = at(r, 1) & 0x7F;
    const auto it = mAuthResponses.constFind(task);
    if (it == mAuthResponses.constEnd())
        return negative(0x29, Nrc_SubFunctionNotSupported);
    return *it;
}

QByteArray SimUdsEcu::routineControl(const QByteArray &r)
{
    if (r.size() < 4)
        return negative(0x31, Nrc_IncorrectMessageLength);
    const quint8 type = at(r, 1) & 0x7F;
    if (type < 0x01 || type > 0x03)
        return negative(0x31, Nrc_SubFunctionNotSupported);
    const quint16 id = quint16(at(r, 2) << 8 | at(r, 3));
    const auto it = mRoutines.constFind(id);
    if (it == mRoutines.constEnd())
        return negative(0x31, Nrc_RequestOutOfRange);
    if (type != 0x01 && !mRoutinesStarted.value(id))
        return negative(0x31, Nrc_RequestSequenceError);
    QByteArray status;
    const quint8 nrc = (*it)(type, r.mid(4), status);
    if (nrc != 0)
        return negative(0x31, nrc);
    if (type == 0x01)
        mRoutinesStarted.insert(id, true);
    QByteArray response = positive(0x31, { type, at(r, 2), at(r, 3) });
    response.append(status);
    return response;
}

QByteArray SimUdsEcu::requestTransfer(const QByteArray &r, bool download)
{
    const quint8 sid = download ? 0x34 : 0x35;
    if (r.size() < 3)
        return negative(sid, Nrc_IncorrectMessageLength);
    if (mSession == kSessionDefault)
        return negative(sid, Nrc_ServiceNotSupportedInActiveSession);
    const quint8 dataFormat = at(r, 1);
    const int addressLength = at(r, 2) & 0x0F;
    const int sizeLength = at(r, 2) >> 4;
    if (addressLength < 1 || addressLength > 4 || sizeLength < 1 || sizeLength > 4)
        return negative(sid, Nrc_RequestOutOfRange);
    quint32 address = 0;
    quint32 size = 0;
    if (r.size() != 3 + addressLength + sizeLength || !readField(r, 3, addressLength, address)
        || !readField(r, 3 + addressLength, sizeLength, size))
        return negative(sid, Nrc_IncorrectMessageLength);
    if (dataFormat != 0x00 || size == 0 || !inMemory(address, size))
        return negative(sid, Nrc_RequestOutOfRange);
    if (mSecurityRequired && mUnlockedLevel == 0)
        return negative(sid, Nrc_SecurityAccessDenied);
    if (mTransfer != Transfer::None)
        return negative(sid, Nrc_ConditionsNotCorrect);
    mTransfer = download ? Transfer::Download : Transfer::Upload;
    mTransferAddress = address;
    mTransferSize = size;
    mTransferDone = 0;
    mNextCounter = 1;
    // lengthFormatIdentifier 0x20: maxNumberOfBlockLength in two bytes.
    return positive(sid, { 0x20, quint8(mMaxBlockLength >> 8), quint8(mMaxBlockLength & 0xFF) });
}

QByteArray SimUdsEcu::transferData(const QByteArray &r)
{
    if (r.size() < 2)
        return negative(0x36, Nrc_IncorrectMessageLength);
    if (mTransfer == Transfer::None)
        return negative(0x36, Nrc_RequestSequenceError);
    const quint8 counter = at(r, 1);
    const bool repeated = counter == quint8(mNextCounter - 1) && mTransferDone > 0;
    if (counter != mNextCounter && !repeated)
        return negative(0x36, Nrc_WrongBlockSequenceCounter);

    if (mTransfer == Transfer::Download) {
        const int dataLength = r.size() - 2;
        if (r.size() > mMaxBlockLength)
            return negative(0x36, Nrc_IncorrectMessageLength);
        if (repeated) // the tester missed our answer and sent the block again
            return positive(0x36, { counter });
        if (quint64(mTransferDone) + dataLength > mTransferSize)
            return negative(0x36, Nrc_TransferDataSuspended);
        mMemory.replace(int(mTransferAddress - mMemoryBase + mTransferDone), dataLength, r.mid(2));
        mTransferDone += quint32(dataLength);
        ++mNextCounter;
        return positive(0x36, { counter });
    }

    if (r.size() != 2)
        return negative(0x36, Nrc_IncorrectMessageLength);
    if (repeated) { // the same block once more
        QByteArray response = positive(0x36, { counter });
        response.append(
            mMemory.mid(int(mTransferAddress - mMemoryBase + mLastUploadOffset), mLastUploadCount));
        return response;
    }
    if (mTransferDone >= mTransferSize)
        return negative(0x36, Nrc_RequestSequenceError);
    const quint32 chunk = quint32(qMax(1, mMaxBlockLength - 2));
    mLastUploadOffset = mTransferDone;
    mLastUploadCount = int(qMin(chunk, mTransferSize - mTransferDone));
    QByteArray response = positive(0x36, { counter });
    response.append(mMemory.mid(int(mTransferAddress - mMemoryBase + mLastUploadOffset), mLastUploadCount));
    mTransferDone += quint32(mLastUploadCount);
    ++mNextCounter;
    return response;
}

QByteArray SimUdsEcu::requestTransferExit(const QByteArray &r)
{
    if (mTransfer == Transfer::None)
        return negative(0x37, Nrc_RequestSequenceError);
    Q_UNUSED(r)
    const bool download = mTransfer == Transfer::Download;
    const quint32 done = mTransferDone;
    mTransfer = Transfer::None;
    emit transferExited(download, done);
    return positive(0x37);
}

QByteArray SimUdsEcu::testerPresent(const QByteArray &r)
{
    if (r.size() != 2)
        return negative(0x3E, Nrc_IncorrectMessageLength);
    if ((at(r, 1) & 0x7F) != 0x00)
        return negative(0x3E, Nrc_SubFunctionNotSupported);
    return positive(0x3E, { 0x00 });
}

QByteArray SimUdsEcu::controlDtcSetting(const QByteArray &r)
{
    if (r.size() < 2)
        return negative(0x85, Nrc_IncorrectMessageLength);
    const quint8 type = at(r, 1) & 0x7F;
    if (type != 0x01 && type != 0x02)
        return negative(0x85, Nrc_SubFunctionNotSupported);
    if (mSession == kSessionDefault)
        return negative(0x85, Nrc_ServiceNotSupportedInActiveSession);
    mDtcSettingOn = type == 0x01;
    return positive(0x85, { type });
}
