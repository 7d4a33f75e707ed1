#include "lsscia305service_p.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "lssclassicalscan_p.h"
#include "lssfastscan_p.h"
#include "lssrequestframe_p.h"
#include "tarnwicklogging_p.h"

#include <QStringList>

namespace {
constexpr quint32 LssAnswerId = Lss::AnswerId;

// Command specifiers of CiA 305.
constexpr quint8 CsSwitchGlobal = 0x04;
constexpr quint8 CsConfigureNodeId = 0x11;
constexpr quint8 CsConfigureBitTiming = 0x13;
constexpr quint8 CsActivateBitTiming = 0x15;
constexpr quint8 CsStoreConfiguration = 0x17;
constexpr quint8 CsSwitchSelectiveVendor = 0x40; // 0x41..0x43: product, revision, serial
constexpr quint8 CsSwitchSelectiveAnswer = 0x44;
constexpr quint8 CsIdentifySlave = 0x4F;
constexpr quint8 CsIdentifyNonConfigured = 0x4C;
constexpr quint8 CsNonConfiguredSlave = 0x50;
constexpr quint8 CsInquireNodeId = 0x5E;
} // namespace

LSSCiA305Service::LSSCiA305Service(QObject *parent)
    : LSSService(parent)
{
    mAnswerTimer.setSingleShot(true);
    mGapTimer.setSingleShot(true);
    connect(&mAnswerTimer, &QTimer::timeout, this, &LSSCiA305Service::timeout);
    connect(&mGapTimer, &QTimer::timeout, this, &LSSCiA305Service::sendNextMessage);
}

LSSCiA305Service::~LSSCiA305Service()
{
    if (mSender && mScheduler)
        mScheduler->unregisterCan(mSender, this);
}

void LSSCiA305Service::setCanScheduler(CanScheduler *scheduler)
{
    if (mSender && mScheduler)
        mScheduler->unregisterCan(mSender, this);
    mSender.clear();
    mScheduler = scheduler;
    if (!scheduler)
        return;
    mSender = scheduler->registerCanId(LssAnswerId);
    if (mSender)
        connect(mSender.data(), &CanSender::received, this, &LSSCiA305Service::newCanMessageReceived,
            Qt::DirectConnection);
}

// --- requests ---------------------------------------------------------------------------

CAN::RetType LSSCiA305Service::sendFrame(quint8 command, quint32 value, int valueBytes, quint8 length)
{
    AbstractCanAdapter *adapter = mScheduler ? mScheduler->canAdapter() : nullptr;
    if (!adapter)
        return CAN::RetType_NoLink;
    CAN::CanMessage frame = Lss::requestFrame(command, value, valueBytes, length);
    return adapter->sendCanMessage(frame);
}

CAN::RetType LSSCiA305Service::singleFrameRequest(LSSMaster::LssAction action, quint8 command, quint32 value,
    int valueBytes, quint8 fdLength, bool awaitAnswer)
{
    if (mPendingAction != LSSMaster::LssAction_None)
        return CAN::RetType_Busy;
    if (!mScheduler || !mScheduler->canAdapter())
        return CAN::RetType_NoLink;

    mPendingAction = action;
    const quint8 length = mUseCANopenFD.load() ? fdLength : 8;
    const CAN::RetType result = sendFrame(command, value, valueBytes, length);
    if (result != CAN::RetType_OK || !awaitAnswer) {
        mPendingAction = LSSMaster::LssAction_None;
        return result;
    }
    mAnswerTimer.start(mTimeout);
    return CAN::RetType_OK;
}

CAN::RetType LSSCiA305Service::switchModeGlobal(LSSMaster::LssGlobalState state)
{
    const quint32 mode = state != LSSMaster::LssGlobalState_Waiting ? 1 : 0;
    return singleFrameRequest(LSSMaster::LssAction_SwitchModeGlobal, CsSwitchGlobal, mode, 1, 2, false);
}

CAN::RetType LSSCiA305Service::configureNodeId(quint8 nodeId)
{
    return singleFrameRequest(LSSMaster::LssAction_ConfigureNodeId, CsConfigureNodeId, nodeId, 1, 2, true);
}

CAN::RetType LSSCiA305Service::configureBitTiming(quint8 tableSelector, quint8 tableIndex)
{
    // Byte 1 table selector, byte 2 table index.
    const quint32 value = quint32(tableSelector) | quint32(tableIndex) << 8;
    return singleFrameRequest(
        LSSMaster::LssAction_ConfigureBitTiming, CsConfigureBitTiming, value, 2, 8, true);
}

CAN::RetType LSSCiA305Service::activateBitTiming(quint16 switchDelay)
{
    // No slave answers: the request ends with the answer timer.
    return singleFrameRequest(
        LSSMaster::LssAction_ActivateBitTiming, CsActivateBitTiming, switchDelay, 2, 3, true);
}

CAN::RetType LSSCiA305Service::storeConfiguration()
{
    return singleFrameRequest(LSSMaster::LssAction_StoreConfiguration, CsStoreConfiguration, 0, 0, 1, true);
}

CAN::RetType LSSCiA305Service::identifyNonConfigSlaves()
{
    if (mPendingAction != LSSMaster::LssAction_None)
        return CAN::RetType_Busy;
    // Any number of slaves may answer: nothing is kept pending, each answer is reported.
    if (!mScheduler || !mScheduler->canAdapter())
        return CAN::RetType_NoLink;
    return sendFrame(CsIdentifyNonConfigured, 0, 0, mUseCANopenFD.load() ? 1 : 8);
}

CAN::RetType LSSCiA305Service::inquireNodeId()
{
    return singleFrameRequest(LSSMaster::LssAction_InquireNodeId, CsInquireNodeId, 0, 0, 1, true);
}

CAN::RetType LSSCiA305Service::switchModeSelective(
    quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber)
{
    if (mPendingAction != LSSMaster::LssAction_None)
        return CAN::RetType_Busy;
    mPendingAction = LSSMaster::LssAction_SwitchModeSelective;
    mSelectiveIdentity[0] = vendorId;
    mSelectiveIdentity[1] = productCode;
    mSelectiveIdentity[2] = revisionNumber;
    mSelectiveIdentity[3] = serialNumber;
    mSelectiveStep = 1;
    if (!mScheduler || !mScheduler->canAdapter()) {
        mPendingAction = LSSMaster::LssAction_None;
        return CAN::RetType_NoLink;
    }
    const CAN::RetType result = sendFrame(CsSwitchSelectiveVendor, vendorId, 4, 8);
    if (result != CAN::RetType_OK) {
        mPendingAction = LSSMaster::LssAction_None;
        return result;
    }
    mSelectiveStep = 2;
    mGapTimer.start(mMessageGap);
    return CAN::RetType_OK;
}

void LSSCiA305Service::sendNextMessage()
{
    if (mPendingAction != LSSMaster::LssAction_SwitchModeSelective || mSelectiveStep < 2
        || mSelectiveStep > 4)
        return;
    const quint8 command = quint8(CsSwitchSelectiveVendor + mSelectiveStep - 1);
    const CAN::RetType result = sendFrame(command, mSelectiveIdentity[mSelectiveStep - 1], 4, 8);
    if (result != CAN::RetType_OK) {
        qCDebug(lcLss) << "switch mode selective: frame" << Qt::hex << int(command) << "not sent, result"
                       << Qt::dec << int(result);
        finish(LSSMaster::LssAction_SwitchModeSelective, LSSMaster::LssResult_Error, 0);
        return;
    }
    ++mSelectiveStep;
    if (mSelectiveStep <= 4)
        mGapTimer.start(mMessageGap);
    else
        mAnswerTimer.start(mTimeout);
}

// --- scans ------------------------------------------------------------------------------

CAN::RetType LSSCiA305Service::fastScan(
    quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber, bool knownIdentity)
{
    if (mPendingAction != LSSMaster::LssAction_None)
        return CAN::RetType_Busy;
    mPendingAction = LSSMaster::LssAction_FastScan;
    delete mFastScan.data();
    // Owned by this service, so it ends with the service (also on a change of scheduler).
    LSSFastScan *scan
        = new LSSFastScan(vendorId, productCode, revisionNumber, serialNumber, mScheduler, this);
    mFastScan = scan;
    scan->setKnownIdentity(knownIdentity);
    scan->setStepTimeout(mScanTimeout);
    connect(scan, &LSSFastScan::noResponseTimeout, this, &LSSCiA305Service::fastScanTimeout,
        Qt::QueuedConnection);
    connect(scan, &LSSFastScan::nodeFound, this, &LSSCiA305Service::scanNodeFound, Qt::QueuedConnection);
    scan->sendNextMessage();
    return CAN::RetType_OK;
}

CAN::RetType LSSCiA305Service::classicalScan(quint32 vendorId, quint32 productCode)
{
    if (mPendingAction != LSSMaster::LssAction_None)
        return CAN::RetType_Busy;
    mPendingAction = LSSMaster::LssAction_ClassicalScan;
    delete mClassicalScan.data();
    LSSClassicalScan *scan = new LSSClassicalScan(vendorId, productCode, mScheduler, this);
    mClassicalScan = scan;
    scan->setTimeout(mTimeout);
    connect(scan, &LSSClassicalScan::noResponseTimeout, this, &LSSCiA305Service::fastScanTimeout,
        Qt::QueuedConnection);
    connect(scan, &LSSClassicalScan::nodeFound, this, &LSSCiA305Service::scanNodeFound, Qt::QueuedConnection);
    scan->sendNextMessage();
    return CAN::RetType_OK;
}

CAN::RetType LSSCiA305Service::classicalScan(quint32 vendorId, quint32 productCode, quint32 revisionLow,
    quint32 revisionHigh, quint32 serialLow, quint32 serialHigh)
{
    if (mPendingAction != LSSMaster::LssAction_None)
        return CAN::RetType_Busy;
    mPendingAction = LSSMaster::LssAction_ClassicalScan;
    delete mClassicalScan.data();
    LSSClassicalScan *scan = new LSSClassicalScan(vendorId, productCode, mScheduler, this);
    mClassicalScan = scan;
    scan->setScanParameters(vendorId, productCode, revisionLow, revisionHigh, serialLow, serialHigh);
    scan->setTimeout(mTimeout);
    connect(scan, &LSSClassicalScan::noResponseTimeout, this, &LSSCiA305Service::fastScanTimeout,
        Qt::QueuedConnection);
    connect(scan, &LSSClassicalScan::nodeFound, this, &LSSCiA305Service::scanNodeFound, Qt::QueuedConnection);
    scan->sendNextMessage();
    return CAN::RetType_OK;
}

CAN::RetType LSSCiA305Service::getFastScanValues(
    quint32 *vendorId, quint32 *productCode, quint32 *revisionNumber, quint32 *serialNumber) const
{
    if (!mFastScan)
        return CAN::RetType_NoLink;
    quint32 *const out[4] = { vendorId, productCode, revisionNumber, serialNumber };
    for (int i = 0; i < 4; ++i) {
        if (out[i])
            *out[i] = mFastScan->identity(i);
    }
    return CAN::RetType_OK;
}

CAN::RetType LSSCiA305Service::abortClassicalScan()
{
    if (!mClassicalScan)
        return CAN::RetType_Busy;
    mClassicalScan->abort();
    return CAN::RetType_OK;
}

bool LSSCiA305Service::fromPendingScan() const
{
    // A scan object reports through queued connections; a report of the other kind of scan
    // (an old classical scan aborted during a fastscan, say) must not end the pending one.
    const QObject *from = sender();
    if (!from)
        return true;
    switch (mPendingAction) {
    case LSSMaster::LssAction_FastScan:
        return from == mFastScan;
    case LSSMaster::LssAction_ClassicalScan:
        return from == mClassicalScan;
    case LSSMaster::LssAction_None:
    case LSSMaster::LssAction_SwitchModeGlobal:
    case LSSMaster::LssAction_SwitchModeSelective:
    case LSSMaster::LssAction_ConfigureNodeId:
    case LSSMaster::LssAction_StoreConfiguration:
    case LSSMaster::LssAction_IdentifyNonConfigSlaves:
    case LSSMaster::LssAction_InquireNodeId:
    case LSSMaster::LssAction_ActivateBitTiming:
    case LSSMaster::LssAction_ConfigureBitTiming:
        return false;
    }
    return false;
}

void LSSCiA305Service::scanNodeFound(
    quint32 vendorId, quint32 productCode, quint32 revisionNumber, quint32 serialNumber)
{
    if (!fromPendingScan())
        return;
    if (mPendingAction == LSSMaster::LssAction_FastScan) {
        // The host reads the address with getFastScanValues.
        finish(LSSMaster::LssAction_FastScan, LSSMaster::LssResult_Success, 0);
        return;
    }
    if (mPendingAction != LSSMaster::LssAction_ClassicalScan)
        return;
    const QStringList device = { QString::number(vendorId), QString::number(productCode),
        QString::number(revisionNumber), QString::number(serialNumber) };
    if (vendorId == 0xFFFFFFFFu) {
        // The end mark of the classical scan.
        finish(LSSMaster::LssAction_ClassicalScan, LSSMaster::LssResult_Success, device);
        return;
    }
    emit lssResult(LSSMaster::LssAction_ClassicalScan, LSSMaster::LssResult_Success, device);
}

void LSSCiA305Service::fastScanTimeout(quint8 timeoutInfo)
{
    if (mPendingAction == LSSMaster::LssAction_None || !fromPendingScan())
        return;
    finish(mPendingAction, LSSMaster::LssResult_Timeout, int(timeoutInfo));
}

// --- answers ----------------------------------------------------------------------------

void LSSCiA305Service::timeout()
{
    if (mPendingAction == LSSMaster::LssAction_None)
        return;
    finish(mPendingAction, LSSMaster::LssResult_Timeout, 0);
}

void LSSCiA305Service::finish(LSSMaster::LssAction action, LSSMaster::LssResult result, const QVariant &value)
{
    mAnswerTimer.stop();
    mGapTimer.stop();
    mPendingAction = LSSMaster::LssAction_None;
    // The host may delete the master (and this service) in its slot: nothing follows the signal.
    emit lssResult(action, result, value);
}

void LSSCiA305Service::codeAnswer(LSSMaster::LssAction action, quint8 code)
{
    if (mPendingAction != action)
        return;
    if (code == 0)
        finish(action, LSSMaster::LssResult_Success, 0);
    else
        finish(action, LSSMaster::LssResult_Error, int(code));
}

void LSSCiA305Service::newCanMessageReceived(const CAN::CanRxMessage &message)
{
    if (message.length != 8)
        return;
    const quint8 command = message.data[0];
    switch (command) {
    case CsSwitchSelectiveAnswer:
        if (mPendingAction == LSSMaster::LssAction_SwitchModeSelective)
            finish(LSSMaster::LssAction_SwitchModeSelective, LSSMaster::LssResult_Success, 0);
        break;
    case CsConfigureNodeId:
        codeAnswer(LSSMaster::LssAction_ConfigureNodeId, message.data[1]);
        break;
    case CsConfigureBitTiming:
        codeAnswer(LSSMaster::LssAction_ConfigureBitTiming, message.data[1]);
        break;
    case CsStoreConfiguration:
        codeAnswer(LSSMaster::LssAction_StoreConfiguration, message.data[1]);
        break;
    case CsInquireNodeId:
        if (mPendingAction == LSSMaster::LssAction_InquireNodeId)
            finish(LSSMaster::LssAction_InquireNodeId, LSSMaster::LssResult_Success, int(message.data[1]));
        break;
    case CsNonConfiguredSlave:
        // One report per answering slave; nothing was pending.
        emit lssResult(LSSMaster::LssAction_IdentifyNonConfigSlaves, LSSMaster::LssResult_Success, 0);
        break;
    case CsIdentifySlave:
        if (mPendingAction == LSSMaster::LssAction_FastScan && mFastScan)
            mFastScan->handleCanMessage(message);
        else if (mPendingAction == LSSMaster::LssAction_ClassicalScan && mClassicalScan)
            mClassicalScan->handleCanMessage(message);
        break;
    default:
        break;
    }
}
