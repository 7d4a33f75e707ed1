#include "lssfd_manager.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "tarnwicklogging_p.h"

namespace {
constexpr quint32 LssRequestId = 0x7E5;
constexpr quint32 LssAnswerId = 0x7E4;
constexpr quint32 ScanAnswerFirstId = 0x7D0; // one identifier per nibble value
constexpr quint32 ScanAnswerLastId = 0x7DF;
constexpr quint8 FdFrameLength = 20;
constexpr quint8 LastScanStep = 32; // 32 nibbles make the 128-bit LSS address

// Command specifiers of the CAN FD layer setting services.
constexpr quint8 CsSwitchGlobalClassic = 0x04;
constexpr quint8 CsSwitchSelectiveAnswer = 0x44;
constexpr quint8 CsDeselect = 0x64;
constexpr quint8 CsSelect = 0x65;
constexpr quint8 CsSwitchGlobal = 0x81;
constexpr quint8 CsConfigureNodeId = 0x83;
constexpr quint8 CsStoreConfiguration = 0x85;
constexpr quint8 CsInquireLssAddress = 0x87;
constexpr quint8 CsIdentifyNonConfigured = 0x89;
constexpr quint8 CsNonConfiguredAnswer = 0x8A;
constexpr quint8 CsScanNonConfigured = 0x91;
constexpr quint8 CsScanAll = 0xD1;
constexpr quint8 CsConfigureBitTiming = 0x93;
constexpr quint8 CsInquireNodeId = 0x97;
constexpr quint8 CsActivateBitTiming = 0xD3;

void putBigEndian(quint8 *at, quint32 value)
{
    at[0] = quint8(value >> 24);
    at[1] = quint8(value >> 16);
    at[2] = quint8(value >> 8);
    at[3] = quint8(value);
}

quint32 readLittleEndian(const quint8 *at)
{
    return quint32(at[0]) | quint32(at[1]) << 8 | quint32(at[2]) << 16 | quint32(at[3]) << 24;
}

void registerLssfdTypes()
{
    qRegisterMetaType<LSSFD_Manager::LssAction>("LSSFD_Manager::LssAction");
    qRegisterMetaType<LSSFD_Manager::LssfdResult>("LSSFD_Manager::LssfdResult");
}
} // namespace

LSSFD_Manager::LSSFD_Manager(QObject *parent)
    : CANopenService(parent)
{
    registerLssfdTypes();
    mAnswerTimer.setSingleShot(true);
    mScanTimer.setSingleShot(true);
    // A window of a few ms must not stretch by the coarse timers' 5 %.
    mScanTimer.setTimerType(Qt::PreciseTimer);
    connect(&mAnswerTimer, &QTimer::timeout, this, &LSSFD_Manager::timeout);
    connect(&mScanTimer, &QTimer::timeout, this, &LSSFD_Manager::scanTimeout);
}

LSSFD_Manager::LSSFD_Manager(CanScheduler *scheduler, QObject *parent)
    : LSSFD_Manager(parent)
{
    setCanScheduler(scheduler);
}

LSSFD_Manager::~LSSFD_Manager()
{
    teardownScanReception();
    if (mAnswerSender && mScheduler)
        mScheduler->unregisterCan(mAnswerSender, this);
}

void LSSFD_Manager::setCanScheduler(CanScheduler *scheduler)
{
    registerLssfdTypes();
    if (mAnswerSender && mScheduler)
        mScheduler->unregisterCan(mAnswerSender, this);
    mAnswerSender.clear();
    // Scan answers of the old bus would otherwise keep arriving.
    teardownScanReception();
    mScheduler = scheduler;
    if (!scheduler)
        return;
    mAnswerSender = scheduler->registerCanId(LssAnswerId);
    if (mAnswerSender)
        connect(mAnswerSender, SIGNAL(received(CAN::CanRxMessage)), this,
            SLOT(newCanMessageReceived(CAN::CanRxMessage)), Qt::DirectConnection);
}

void LSSFD_Manager::setTimeout(quint16 ms)
{
    timeoutMs = ms;
}

// --- requests ---------------------------------------------------------------------------

CAN::RetType LSSFD_Manager::send(LssAction action, const quint8 *bytes, quint8 length, int answerTimeoutMs)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    if (pendingAction != LssAction_None)
        return CAN::RetType_Busy;
    CAN::CanMessage frame;
    frame.id = LssRequestId;
    frame.length = length;
    std::memcpy(frame.data, bytes, length);
    // Only the 20-byte frames travel as CAN FD, with the data phase at the fast bit rate.
    frame.fd = frame.bitRateSwitch = length == FdFrameLength;
    pendingAction = action;
    const CAN::RetType result = adapter->sendCanMessage(frame);
    if (result != CAN::RetType_OK || answerTimeoutMs < 0) {
        pendingAction = LssAction_None;
        return result;
    }
    mAnswerTimer.start(answerTimeoutMs);
    return CAN::RetType_OK;
}

CAN::RetType LSSFD_Manager::switchModeGlobal(LssGlobalState state, FDProtocolVersion version)
{
    if (!mScheduler || !mScheduler->canAdapter())
        return CAN::RetType_NoLink;
    if (version == FDProtocolVersion_Classic) {
        if (state == LssGlobalState_FdState2 || state == LssGlobalState_FdState3)
            return CAN::RetType_NoLink;
        const quint8 bytes[2] = { CsSwitchGlobalClassic, quint8(state) };
        return send(LssAction_SwitchModeGlobal, bytes, 2, -1);
    }
    const int s = int(state);
    const quint8 bytes[2] = { CsSwitchGlobal, s >= 0 && s <= 3 ? quint8(s) : quint8(0xFF) };
    return send(LssAction_SwitchModeGlobal, bytes, 2, -1);
}

CAN::RetType LSSFD_Manager::switchModeSelective(bool selectFlag, quint32 vendorId, quint32 productCode,
    quint32 revisionNumber, quint32 serialNumber, quint8 windowMs, quint8 selector)
{
    quint8 bytes[FdFrameLength] = { quint8(selectFlag ? CsSelect : CsDeselect), windowMs, selector, 0 };
    if (selector != 0) {
        putBigEndian(bytes + 4, vendorId);
        putBigEndian(bytes + 8, productCode);
        putBigEndian(bytes + 12, revisionNumber);
        putBigEndian(bytes + 16, serialNumber);
    }
    return send(LssAction_SwitchModeSelective, bytes, FdFrameLength, windowMs);
}

CAN::RetType LSSFD_Manager::configureNodeIdAndNetworkId(quint8 nodeId, quint8 networkId)
{
    const quint8 bytes[3] = { CsConfigureNodeId, nodeId, networkId };
    return send(LssAction_ConfigureNodeIdAndNetworkId, bytes, 3, timeoutMs);
}

CAN::RetType LSSFD_Manager::configureBitTiming(quint8 tableSelector, quint8 tableIndex)
{
    const quint8 bytes[3] = { CsConfigureBitTiming, tableSelector, tableIndex };
    return send(LssAction_ConfigureBitTiming, bytes, 3, timeoutMs);
}

CAN::RetType LSSFD_Manager::activateBitTiming(quint16 switchDelay)
{
    // The delay is the one little-endian value of these services.
    const quint8 bytes[3] = { CsActivateBitTiming, quint8(switchDelay), quint8(switchDelay >> 8) };
    return send(LssAction_ActivateBitTiming, bytes, 3, -1);
}

CAN::RetType LSSFD_Manager::storeConfiguration()
{
    const quint8 bytes[1] = { CsStoreConfiguration };
    return send(LssAction_StoreConfiguration, bytes, 1, timeoutMs);
}

CAN::RetType LSSFD_Manager::inquireNodeId()
{
    const quint8 bytes[1] = { CsInquireNodeId };
    return send(LssAction_InquireNodeId, bytes, 1, timeoutMs);
}

CAN::RetType LSSFD_Manager::inquireLssAddress()
{
    const quint8 bytes[1] = { CsInquireLssAddress };
    return send(LssAction_InquireLssAddress, bytes, 1, timeoutMs);
}

CAN::RetType LSSFD_Manager::identifyNonConfigSlaves()
{
    const quint8 bytes[1] = { CsIdentifyNonConfigured };
    return send(LssAction_IdentifyNonConfigSlaves, bytes, 1, timeoutMs);
}

void LSSFD_Manager::timeout()
{
    if (pendingAction == LssAction_None || pendingAction == LssAction_FdScan)
        return;
    // The request counts as pending until the host has seen its time-out; the host may
    // destroy the manager in its slot.
    const QPointer<LSSFD_Manager> self(this);
    emit lssfdResult(pendingAction, LssfdResult_Timeout, 0);
    if (self)
        pendingAction = LssAction_None;
}

void LSSFD_Manager::finish(LssAction action, LssfdResult result, const QVariant &value)
{
    mAnswerTimer.stop();
    pendingAction = LssAction_None;
    emit lssfdResult(action, result, value);
}

void LSSFD_Manager::newCanMessageReceived(CAN::CanRxMessage message)
{
    if (pendingAction == LssAction_None || message.remote)
        return;
    const int n = message.length;
    if (n == 0) {
        // The empty confirmation: of a selective switch, or of the complete scan address.
        if (pendingAction == LssAction_SwitchModeSelective)
            finish(LssAction_SwitchModeSelective, LssfdResult_Success, 0);
        else if (pendingAction == LssAction_FdScan)
            finishScan(LssfdResult_Success,
                QVariantList { scanAddress[0], scanAddress[1], scanAddress[2], scanAddress[3] });
        return;
    }
    const quint8 *b = message.data;
    // An answer too short for what it carries is not the awaited one.
    switch (b[0]) {
    case CsSwitchSelectiveAnswer:
        if (pendingAction == LssAction_SwitchModeSelective)
            finish(pendingAction, LssfdResult_Success, 0);
        return;
    case CsConfigureNodeId:
        if (pendingAction == LssAction_ConfigureNodeIdAndNetworkId && n >= 2)
            finish(pendingAction, b[1] == 0 ? LssfdResult_Success : LssfdResult_Error, int(b[1]));
        return;
    case CsStoreConfiguration:
        if (pendingAction == LssAction_StoreConfiguration && n >= 2) {
            if (b[1] == 0)
                finish(pendingAction, LssfdResult_Success, 0);
            else if (n >= 3)
                finish(pendingAction, LssfdResult_Error, b[1] * 256 + b[2]);
        }
        return;
    case CsConfigureBitTiming:
        if (pendingAction == LssAction_ConfigureBitTiming && n >= 2) {
            if (b[1] == 0)
                finish(pendingAction, LssfdResult_Success, 0);
            else if (n >= 3)
                finish(pendingAction, LssfdResult_Error, b[1] * 256 + b[2]);
        }
        return;
    case CsInquireLssAddress:
        if (pendingAction == LssAction_InquireLssAddress && n >= FdFrameLength)
            finish(pendingAction, LssfdResult_Success,
                QVariantList { readLittleEndian(b + 4), readLittleEndian(b + 8), readLittleEndian(b + 12),
                    readLittleEndian(b + 16) });
        return;
    case CsNonConfiguredAnswer:
        // Only the first non-configured device is reported; the request has ended with it.
        if (pendingAction == LssAction_IdentifyNonConfigSlaves)
            finish(pendingAction, LssfdResult_Success, 0);
        return;
    case CsInquireNodeId:
        if (pendingAction == LssAction_InquireNodeId && n >= 5)
            finish(pendingAction, LssfdResult_Success,
                QVariantList { int(b[1]), int(b[2]), int(b[3]), int(b[4]) });
        return;
    default:
        return;
    }
}

// --- LSS FD scan ------------------------------------------------------------------------

CAN::RetType LSSFD_Manager::fdScan(FDScanMode mode, quint8 windowMs)
{
    return fdScanKnownDevices(mode, 0, 0, 0, 0, 0, windowMs);
}

CAN::RetType LSSFD_Manager::fdScanKnownDevices(FDScanMode mode, quint32 vendorId, quint32 productCode,
    quint32 revisionNumber, quint32 serialNumber, quint8 startStep, quint8 windowMs)
{
    if (!mScheduler || !mScheduler->canAdapter())
        return CAN::RetType_NoLink;
    if (pendingAction != LssAction_None)
        return CAN::RetType_Busy;
    if (mode != FDScanMode_NonConfigured && mode != FDScanMode_AllDevices)
        return CAN::RetType_NoLink;
    if (windowMs < 1 || windowMs > 99 || startStep > LastScanStep)
        return CAN::RetType_NoLink;
    scanCommand = mode == FDScanMode_NonConfigured ? CsScanNonConfigured : CsScanAll;
    scanStep = startStep;
    scanWindow = windowMs;
    scanAddress[0] = vendorId;
    scanAddress[1] = productCode;
    scanAddress[2] = revisionNumber;
    scanAddress[3] = serialNumber;
    pendingAction = LssAction_FdScan;
    scanAnswered = false;
    scanNibble = 0;
    setupScanReception();
    const CAN::RetType result = reqFdScan();
    if (result != CAN::RetType_OK) {
        teardownScanReception();
        pendingAction = LssAction_None;
        return result;
    }
    return CAN::RetType_OK;
}

void LSSFD_Manager::setupScanReception()
{
    if (!mScanSenders.isEmpty() || !mScheduler)
        return;
    mScanSenders = mScheduler->registerCanIdRange(ScanAnswerFirstId, ScanAnswerLastId);
    for (const QPointer<CanSender> &sender : qAsConst(mScanSenders))
        if (sender)
            connect(sender, SIGNAL(received(CAN::CanRxMessage)), this,
                SLOT(scanAnswerReceived(CAN::CanRxMessage)), Qt::DirectConnection);
}

void LSSFD_Manager::teardownScanReception()
{
    if (mScheduler)
        for (const QPointer<CanSender> &sender : qAsConst(mScanSenders))
            if (sender)
                mScheduler->unregisterCan(sender, this);
    mScanSenders.clear();
}

CAN::RetType LSSFD_Manager::reqFdScan()
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    scanAnswered = false;
    CAN::CanMessage frame;
    frame.id = LssRequestId;
    frame.length = FdFrameLength;
    frame.fd = frame.bitRateSwitch = true;
    frame.data[0] = scanCommand;
    frame.data[1] = scanWindow;
    frame.data[2] = scanStep;
    for (int i = 0; i < 4; ++i)
        putBigEndian(frame.data + 4 + 4 * i, scanAddress[i]);
    const CAN::RetType result = adapter->sendCanMessage(frame);
    if (result == CAN::RetType_OK)
        mScanTimer.start(scanWindow);
    return result;
}

void LSSFD_Manager::scanAnswerReceived(CAN::CanRxMessage message)
{
    if (pendingAction != LssAction_FdScan || scanAnswered || message.remote)
        return;
    if (message.id < ScanAnswerFirstId || message.id > ScanAnswerLastId)
        return;
    // Several devices may answer one query; the first answer of the window decides.
    scanAnswered = true;
    scanNibble = quint8(message.id & 0x0F);
}

void LSSFD_Manager::scanTimeout()
{
    if (pendingAction != LssAction_FdScan)
        return;
    if (!scanAnswered || scanStep >= LastScanStep) {
        // Nobody answered, or nobody confirmed the complete address.
        qCDebug(lcLss) << "FD scan: no answer at step" << scanStep;
        finishScan(LssfdResult_Timeout, 0);
        return;
    }
    scanAddress[scanStep / 8] |= quint32(scanNibble) << (4 * (7 - scanStep % 8));
    ++scanStep;
    const CAN::RetType result = reqFdScan();
    if (result != CAN::RetType_OK) {
        qCDebug(lcLss) << "FD scan: query of step" << scanStep << "not sent, result" << int(result);
        finishScan(LssfdResult_Error, int(result));
    }
}

void LSSFD_Manager::finishScan(LssfdResult result, const QVariant &value)
{
    mScanTimer.stop();
    teardownScanReception();
    pendingAction = LssAction_None;
    emit lssfdResult(LssAction_FdScan, result, value);
}
