#include "sdoclient.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "sdoblockclient.h"
#include "sdocia309client.h"
#include "sdoexpeditedclient.h"
#include "sdosegmentedclient.h"
#include "tarnwicklogging_p.h"
#include "usdobulkclient.h"
#include "usdoexpeditedclient.h"
#include "usdosegmentedclient.h"

#include <QEventLoop>
#include <QHash>
#include <QMap>
#include <QTimer>
#include <QtEndian>

bool SDOClient::mUseBlockTransfer = false;
quint32 SDOClient::mBlockThreshold = 29;
quint32 SDOClient::mBlockUploadSize = 127;
std::atomic<bool> SDOClient::mUseUSDO { false };
std::atomic<quint8> SDOClient::mLocalId { 41 };
std::atomic<bool> SDOClient::mFastSeg { false };
std::atomic<quint8> SDOClient::mFastSegCnt { 0 };
std::atomic<bool> SDOClient::mRoutingActive { false };
std::atomic<quint16> SDOClient::mRoutingNetwork { 0 };
std::atomic<quint16> SDOClient::mRoutingGatewayInLocalNetwork { 0 };

static void registerSdoClientTypes()
{
    qRegisterMetaType<SDOClient::BlockHandling>("SDOClient::BlockHandling");
    qRegisterMetaType<SdoType>("SdoType");
}
Q_CONSTRUCTOR_FUNCTION(registerSdoClientTypes)

// CiA 301 SDO abort codes.
static const QMap<quint32, QString> sdoAbortTexts = {
    { 0x05030000, QStringLiteral("Toggle bit not alternated") },
    { 0x05040000, QStringLiteral("SDO Protocol timed out") },
    { 0x05040001, QStringLiteral("Command specifier not valid or unknown") },
    { 0x05040002, QStringLiteral("Invalid block size (block mode only).") },
    { 0x05040003, QStringLiteral("Invalid sequence number (block mode only).") },
    { 0x05040004, QStringLiteral("CRC error (block mode only).") },
    { 0x05040005, QStringLiteral("Out of memory") },
    { 0x06010000, QStringLiteral("Unsupported access to an object") },
    { 0x06010001, QStringLiteral("Attempt to read a write only object") },
    { 0x06010002, QStringLiteral("Attempt to write a read only object") },
    { 0x06020000, QStringLiteral("Object does not exist") },
    { 0x06040041, QStringLiteral("Object cannot be mapped to the PDO") },
    { 0x06040042,
        QStringLiteral("The number and length of the objects to be mapped would exceed PDO length") },
    { 0x06040043, QStringLiteral("General parameter incompatibility reason") },
    { 0x06040047, QStringLiteral("General internal incompatibility in the device.") },
    { 0x06060000, QStringLiteral("Access failed due to an hardware error") },
    { 0x06070010, QStringLiteral("Data type does not match, length of service parameter does not match") },
    { 0x06070012, QStringLiteral("Data type does not match: length too high") },
    { 0x06070013, QStringLiteral("Data type does not match: length too low") },
    { 0x06090011, QStringLiteral("sub index does not exist") },
    { 0x06090030, QStringLiteral("Invalid value for parameter (download only)") },
    { 0x06090031, QStringLiteral("Value of parameter written too high (download only).") },
    { 0x06090032, QStringLiteral("Value of parameter written too lpw (download only).") },
    { 0x06090036, QStringLiteral("Maximum value is less than minimum value") },
    { 0x060A0023, QStringLiteral("Resource not available: SDO connection") },
    { 0x08000000, QStringLiteral("General error") },
    { 0x08000020, QStringLiteral("Data cannot be transferred or stored to the application") },
    { 0x08000021,
        QStringLiteral("Data cannot be transferred or stored to the application because of local control") },
    { 0x08000022,
        QStringLiteral(
            "Data cannot be transferred or stored to the application because of present device state") },
    { 0x08000023,
        QStringLiteral("Object dictionary dynamic generation failes or no object dictionary is present") },
    { 0x08000024, QStringLiteral("No data available") },
    { 0x0A000001, QStringLiteral("Network ID unknown") },
    { 0x0A000002, QStringLiteral("Node ID unknown") },
    { 0x0A000003, QStringLiteral("SDO Channel in use") },
};

// CANopen FD USDO abort codes (one byte).
static const QHash<quint8, QString> usdoAbortTexts = {
    { 0x10, QStringLiteral("Unknown error") },
    { 0x11, QStringLiteral("USDO protocol error detected") },
    { 0x12, QStringLiteral("USDO time out error") },
    { 0x13, QStringLiteral("Unknown command specifier") },
    { 0x14, QStringLiteral("Invalid value in counter byte(segmented protocol)") },
    { 0x15, QStringLiteral("CRC error") },
    { 0x16, QStringLiteral("Out of memory") },
    { 0x17, QStringLiteral("General parameter incompatibility reason") },
    { 0x18, QStringLiteral("General internal incompatibility in the device") },
    { 0x19, QStringLiteral("USDO general routing error") },
    { 0x1A, QStringLiteral("USDO destination network unknown") },
    { 0x1B, QStringLiteral("USDO destination node unknown") },
    { 0x1C, QStringLiteral("USDO source network unknown") },
    { 0x1D, QStringLiteral("USDO source node unknown") },
    { 0x1E, QStringLiteral("Unexpected CAN DLC") },
    { 0x1F, QStringLiteral("Unexpected multiplexer") },
    { 0x30, QStringLiteral("Unsupported access to an object") },
    { 0x31, QStringLiteral("Attempt to read a write only object") },
    { 0x32, QStringLiteral("Attempt to write a read only object") },
    { 0x33, QStringLiteral("Object does not exist in the object dictionary") },
    { 0x34, QStringLiteral("Sub-index does not exist") },
    { 0x35, QStringLiteral("Access failed due to a hardware error") },
    { 0x36, QStringLiteral("Data type does not match, length of service parameter does not match") },
    { 0x37, QStringLiteral("Data type does not match, length of service parameter too high") },
    { 0x38, QStringLiteral("Data type does not match, length of service parameter too low") },
    { 0x40, QStringLiteral("Invalid value for parameter (download only)") },
    { 0x41, QStringLiteral("Value of parameter written too high (download only)") },
    { 0x42, QStringLiteral("Value of parameter written too low (download only)") },
    { 0x43, QStringLiteral("Maximum value is less than minimum value") },
    { 0x44, QStringLiteral("Minimum value is higher than maximum value") },
    { 0x45, QStringLiteral("CAN-ID and CAN frame format are of access type read-only") },
    { 0x50, QStringLiteral("Object cannot be mapped to the PDO") },
    { 0x51, QStringLiteral("The number and length of the objects to be mapped would exceed PDO length") },
    { 0x52, QStringLiteral("Attempt to map a non-mappable parameter to a PDO") },
    { 0x53, QStringLiteral("Attempt to map a parameter of PDO access type RPDO to a TPDO") },
    { 0x54, QStringLiteral("Attempt to map a parameter of PDO access type TPDO to a RPDO") },
    { 0x55, QStringLiteral("Attempt to write to PDO parameters, while PDO is valid") },
    { 0x56, QStringLiteral("Attempt to write to PDO mapping parameters, while PDO mapping is valid") },
    { 0x60, QStringLiteral("Data cannot be transferred or stored to the application") },
    { 0x61,
        QStringLiteral("Data cannot be transferred or stored to the application because of local control") },
    { 0x62,
        QStringLiteral(
            "Data cannot be transferred or stored to the application because of the present device state") },
    { 0x63, QStringLiteral("Object dictionary dynamic generation fails or no object dictionary is present") },
    { 0x64, QStringLiteral("No data available") },
    { 0x70, QStringLiteral("USDO server busy") },
};

SDOClient::SDOClient(QObject *parent)
    : CANopenService(parent)
{
    expeditedClient = new SDOExpeditedClient(this);
    segmentedClient = new SDOSegmentedClient(this);
    blockClient = new SDOBlockClient(this);
    usdoExpeditedClient = new USDOExpeditedClient(this);
    usdoSegmentedClient = new USDOSegmentedClient(this);
    usdoBulkClient = new USDOBulkClient(this);
    cia309Client = new SDOCiA309Client(this);
    mLocalId = 41;
    segmentedClient->setFastSegmentedDownload(mFastSeg, mFastSegCnt);
    usdoSegmentedClient->setFastSegmentedDownload(mFastSeg, mFastSegCnt);
    setupConnections();
}

SDOClient::SDOClient(quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent)
    : CANopenService(parent)
    , clientCob(clientCob)
    , serverCob(serverCob)
{
    mScheduler = scheduler;
    expeditedClient = new SDOExpeditedClient(serverCob, clientCob, scheduler, this);
    segmentedClient = new SDOSegmentedClient(serverCob, clientCob, scheduler, this);
    blockClient = new SDOBlockClient(serverCob, clientCob, scheduler, this);
    cia309Client = new SDOCiA309Client(scheduler, this);
    mLocalId = 41;
    usdoExpeditedClient = new USDOExpeditedClient(mLocalId, quint8(clientCob), scheduler, this);
    usdoSegmentedClient = new USDOSegmentedClient(mLocalId, quint8(clientCob), scheduler, this);
    usdoBulkClient = new USDOBulkClient(mLocalId, quint8(clientCob), scheduler, this);
    segmentedClient->setFastSegmentedDownload(mFastSeg, mFastSegCnt);
    usdoSegmentedClient->setFastSegmentedDownload(mFastSeg, mFastSegCnt);
    // Listen for the routing gateway right away, as setCanScheduler does: routing is a
    // process-wide switch that may already be on.
    registerRouting();
    setupConnections();
}

SDOClient::~SDOClient()
{
    if (mScheduler && routingRegistration)
        mScheduler->unregisterCan(routingRegistration, this);
}

void SDOClient::setupConnections()
{
    auto forwardResult = [this](quint16 i, quint8 s, const QVariant &v) { resultIndication(i, s, v); };
    connect(expeditedClient, &SDOExpeditedClient::resultReceived, this, forwardResult);
    connect(segmentedClient, &SDOExpeditedClient::resultReceived, this, forwardResult);
    connect(expeditedClient, &SDOExpeditedClient::errorReceived, this, &SDOClient::errorIndication);
    connect(segmentedClient, &SDOExpeditedClient::errorReceived, this, &SDOClient::errorIndication);
    connect(segmentedClient, &SDOSegmentedClient::progress, this, &SDOClient::progressIndication);
    connect(blockClient, &SDOExpeditedClient::resultReceived, this, forwardResult);
    connect(blockClient, &SDOExpeditedClient::errorReceived, this, &SDOClient::errorIndication);
    connect(blockClient, &SDOBlockClient::progress, this, &SDOClient::progressIndication);
    connect(cia309Client, &SDOCiA309Client::resultReceived, this, forwardResult);
    connect(cia309Client, &SDOCiA309Client::errorReceived, this, &SDOClient::errorIndication);
    connect(cia309Client, &SDOCiA309Client::progress, this, &SDOClient::progressIndication);

    connect(usdoExpeditedClient, &USDOExpeditedClient::resultReceived, this, &SDOClient::resultIndication);
    connect(usdoSegmentedClient, &USDOExpeditedClient::resultReceived, this, &SDOClient::resultIndication);
    connect(usdoBulkClient, &USDOBulkClient::resultReceived, this, forwardResult);
    connect(usdoExpeditedClient, &USDOExpeditedClient::broadcastRequestFinished, this,
        &SDOClient::usdoBcFinishedIndication);
    connect(usdoExpeditedClient, &USDOExpeditedClient::broadcastResultReceived, this,
        &SDOClient::usdoBcResultIndication);
    connect(usdoExpeditedClient, &USDOExpeditedClient::errorReceived, this, &SDOClient::errorIndication);
    connect(usdoSegmentedClient, &USDOExpeditedClient::errorReceived, this, &SDOClient::errorIndication);
    connect(usdoBulkClient, &USDOBulkClient::errorReceived, this, &SDOClient::errorIndication);
    connect(usdoSegmentedClient, &USDOSegmentedClient::progress, this, &SDOClient::progressIndication);
    connect(usdoBulkClient, &USDOBulkClient::progress, this, &SDOClient::progressIndication);
}

void SDOClient::handOverUsdoNodeIds()
{
    const quint8 node = quint8(clientCob);
    usdoExpeditedClient->setNodeIds(mLocalId, node);
    usdoSegmentedClient->setNodeIds(mLocalId, node);
    usdoBulkClient->setNodeIds(mLocalId, node);
}

void SDOClient::handOverUsdoRouting()
{
    usdoExpeditedClient->setRouting(mRoutingActive, quint8(mRoutingGatewayInLocalNetwork.load()),
        quint8(mRoutingNetwork.load()), quint8(clientCob));
}

void SDOClient::registerRouting()
{
    if (!mScheduler)
        return;
    if (routingRegistration)
        mScheduler->unregisterCan(routingRegistration, this);
    routingRegistration = mScheduler->registerCanId(0x580u + mRoutingGatewayInLocalNetwork.load());
    if (routingRegistration)
        connect(routingRegistration.data(), &CanSender::received, this, &SDOClient::canMessageIndication,
            Qt::DirectConnection);
}

CAN::RetType SDOClient::setCobIds(quint32 serverCob, quint32 clientCob, bool extended)
{
    if (busy)
        return CAN::RetType_Busy;
    this->serverCob = serverCob;
    this->clientCob = clientCob;
    this->extended = extended;
    quint32 toClient = serverCob;
    quint32 toServer = clientCob;
    bool ext = extended;
    if (mRoutingActive) {
        // The protocol clients talk to the gateway, which forwards to the node.
        const quint16 gateway = mRoutingGatewayInLocalNetwork;
        toClient = 0x580u + gateway;
        toServer = 0x600u + gateway;
        ext = false;
    }
    segmentedClient->setCobIds(toClient, toServer, ext);
    if (blockClient)
        blockClient->setCobIds(toClient, toServer, ext);
    handOverUsdoNodeIds();
    return expeditedClient->setCobIds(toClient, toServer, ext);
}

void SDOClient::getCobIds(quint32 &serverCob, quint32 &clientCob) const
{
    serverCob = this->serverCob;
    clientCob = this->clientCob;
}

CAN::RetType SDOClient::setNodeId(quint8 nodeId)
{
    return setCobIds(0x580u + nodeId, 0x600u + nodeId, false);
}

CAN::RetType SDOClient::setCanScheduler(CanScheduler *scheduler)
{
    if (mScheduler && routingRegistration)
        mScheduler->unregisterCan(routingRegistration, this);
    routingRegistration.clear();
    mScheduler = scheduler;
    registerRouting();
    segmentedClient->setCanScheduler(scheduler);
    if (blockClient)
        blockClient->setCanScheduler(scheduler);
    usdoExpeditedClient->setCanScheduler(scheduler);
    usdoSegmentedClient->setCanScheduler(scheduler);
    usdoBulkClient->setCanScheduler(scheduler);
    const CAN::RetType ret = expeditedClient->setCanScheduler(scheduler);
    const CAN::RetType gateway = cia309Client->setCanScheduler(scheduler);
    if (!scheduler)
        return CAN::RetType_NoLink;
    return ret != CAN::RetType_OK ? ret : gateway;
}

CAN::RetType SDOClient::setSdoTimeout(quint32 ms)
{
    sdoTimeout = ms;
    segmentedClient->setSdoTimeout(ms);
    if (blockClient)
        blockClient->setSdoTimeout(ms);
    usdoExpeditedClient->setSdoTimeout(ms);
    usdoSegmentedClient->setSdoTimeout(ms);
    usdoBulkClient->setSdoTimeout(ms);
    cia309Client->setSdoTimeout(ms);
    return expeditedClient->setSdoTimeout(ms);
}

quint32 SDOClient::getSdoTimeout() const
{
    return expeditedClient->getSdoTimeout();
}

void SDOClient::setSegDelay(quint32 delay)
{
    segDelay = delay;
    if (blockClient)
        blockClient->setSegDelay(delay);
}

void SDOClient::setTemporaryBlockHandling(SDOClient::BlockHandling handling)
{
    blockHandling = handling;
}

void SDOClient::setFastSegmentedDownload(bool on, quint8 count)
{
    mFastSeg = on;
    mFastSegCnt = count;
    segmentedClient->setFastSegmentedDownload(on, count);
    usdoSegmentedClient->setFastSegmentedDownload(on, count);
}

void SDOClient::activateUSDO(bool on, quint8 localId)
{
    mLocalId = localId;
    mUseUSDO = on;
    activateCANopenFD(on);
    if (on)
        handOverUsdoNodeIds();
}

void SDOClient::setRouting(quint16 network, quint8 gatewayNode)
{
    mRoutingGatewayInLocalNetwork = gatewayNode;
    mRoutingNetwork = network;
    if (network == 0 || gatewayNode == 0) {
        mRoutingActive = false;
        if (clientCob >= 0x80) // back to the node's own channel
            setCobIds(clientCob - 0x80, clientCob, false);
        routingWait = false;
        return;
    }
    mRoutingActive = true;
    registerRouting();
}

// --- transfers ---------------------------------------------------------------------------

bool SDOClient::beginTransfer(quint16 index, quint8 sub, CAN::RetType &ret)
{
    if (!mScheduler || !mScheduler->canAdapter()) {
        ret = CAN::RetType_NoLink;
        return false;
    }
    if (busy) {
        emit opError(index, sub, CAN::RetType_Busy);
        ret = CAN::RetType_Busy;
        return false;
    }
    busy = true;
    this->index = index;
    subIndex = sub;
    if (mRoutingActive && !mUseUSDO) {
        ret = sendNetworkIndication();
        if (ret != CAN::RetType_OK)
            return false;
    }
    if (!mScheduler || !mScheduler->canAdapter()) { // gone while waiting for the gateway
        busy = false;
        ret = CAN::RetType_NoLink;
        return false;
    }
    return true;
}

CAN::RetType SDOClient::sendNetworkIndication()
{
    // CiA 301 SDO network indication: E0, network, 0, node, 0 0 0 0 to the gateway's
    // default SDO channel; the gateway confirms or aborts on its response channel.
    const quint16 gateway = mRoutingGatewayInLocalNetwork;
    CAN::CanMessage frame;
    frame.id = 0x600u + gateway;
    frame.length = 8;
    frame.data[0] = 0xE0;
    frame.data[1] = quint8(mRoutingNetwork.load());
    frame.data[3] = quint8(clientCob);
    const CAN::RetType sent = mScheduler->canAdapter()->sendCanMessage(frame);
    if (sent != CAN::RetType_OK) {
        busy = false;
        emit opError(index, subIndex, sent);
        return sent;
    }
    routingAborted = false;
    routingWait = true;
    currentType = SdoType_Routing;
    QPointer<SDOClient> self(this);
    mysleep(quint16(sdoTimeout & 0xFFFF), &routingWait);
    if (!self)
        return CAN::RetType_NoLink;
    if (routingWait || routingAborted) {
        const bool aborted = routingAborted;
        routingAborted = false;
        if (!aborted) {
            routingWait = false; // a late answer finds nothing to confirm
            lastAbortCode = 0x05040000;
            QTimer::singleShot(100, this, &SDOClient::sendRoutingError);
            emit opError(index, subIndex, CAN::RetType_NoLink);
        }
        return CAN::RetType_NoLink;
    }
    return CAN::RetType_OK;
}

CAN::RetType SDOClient::finishStart(bool clientFound, CAN::RetType ret)
{
    if (!clientFound)
        ret = CAN::RetType_InvalidRequest;
    if (ret != CAN::RetType_OK) {
        busy = false;
        emit opError(index, subIndex, ret);
    }
    return ret;
}

CAN::RetType SDOClient::read(quint16 index, quint8 sub, CAN::CANopenDataType type)
{
    CAN::RetType ret = CAN::RetType_OK;
    if (!beginTransfer(index, sub, ret))
        return ret;
    if (mScheduler->canAdapter()->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool()) {
        currentType = SdoType_CiA309;
        const bool found = !cia309Client.isNull();
        if (found)
            ret = cia309Client->read(quint8(clientCob), index, sub, type);
        return finishStart(found, ret);
    }
    const SdoType protocol = getSdoTypefromDataType(type, 0, 0);
    bool found = false;
    switch (protocol) {
    case SdoType_Expedited:
        currentType = protocol;
        if ((found = !expeditedClient.isNull()))
            ret = expeditedClient->read(index, sub, type);
        break;
    case SdoType_Segmented:
        currentType = protocol;
        if ((found = !segmentedClient.isNull()))
            ret = segmentedClient->read(index, sub);
        break;
    case SdoType_Block:
        currentType = protocol;
        if ((found = !blockClient.isNull())) {
            blockClient->setBlockSize(quint8(mBlockUploadSize & 0xFF));
            ret = blockClient->read(index, sub);
        }
        break;
    case SdoType_UsdoExpedited:
        currentType = protocol;
        if ((found = !usdoExpeditedClient.isNull())) {
            handOverUsdoRouting();
            ret = usdoExpeditedClient->read(index, sub, type);
        }
        break;
    case SdoType_UsdoSegmented:
        currentType = protocol;
        if ((found = !usdoSegmentedClient.isNull()))
            ret = usdoSegmentedClient->read(index, sub, type);
        break;
    case SdoType_None:
    case SdoType_Routing:
    case SdoType_UsdoBulk:
    case SdoType_CiA309:
        break;
    }
    return finishStart(found, ret);
}

static bool isVariableLength(CAN::CANopenDataType type)
{
    return type == CAN::VISIBLE_STRING || type == CAN::OCTET_STRING || type == CAN::DOMAIN;
}

// The bytes of a segmented download. Numbers given for the 40- to 64-bit types become their
// little-endian bytes (toByteArray() would give their decimal text); anything else is taken
// as the bytes to send.
static QByteArray segmentedPayload(CAN::CANopenDataType type, const QVariant &value)
{
    int size = 0;
    switch (type) {
    case CAN::UNSIGNED40:
        size = 5;
        break;
    case CAN::UNSIGNED48:
        size = 6;
        break;
    case CAN::INTEGER64:
    case CAN::UNSIGNED64:
        size = 8;
        break;
    default:
        break;
    }
    const int userType = value.userType();
    const bool bytes = userType == QMetaType::QByteArray || userType == QMetaType::QString;
    if (size == 0 || bytes || !value.canConvert<qulonglong>())
        return value.toByteArray();
    const quint64 number = userType == QMetaType::LongLong || userType == QMetaType::Int
        ? quint64(value.toLongLong())
        : value.toULongLong();
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char((number >> (8 * i)) & 0xFF);
    return out;
}

// The value of a USDO expedited download: numbers for the 40- to 64-bit types become their
// little-endian bytes, as for a segmented download; every other value passes unchanged.
static QVariant usdoPayload(CAN::CANopenDataType type, const QVariant &value)
{
    const bool longNumber = type == CAN::UNSIGNED40 || type == CAN::UNSIGNED48 || type == CAN::INTEGER64
        || type == CAN::UNSIGNED64;
    return longNumber ? QVariant(segmentedPayload(type, value)) : value;
}

CAN::RetType SDOClient::write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value)
{
    CAN::RetType ret = CAN::RetType_OK;
    if (!beginTransfer(index, sub, ret))
        return ret;
    const quint32 size = isVariableLength(type) ? quint32(value.toByteArray().size()) : 0;
    // The rule runs before the transport is known, so a one-shot override is used up either way.
    const SdoType protocol = getSdoTypefromDataType(type, size, 2);
    if (mScheduler->canAdapter()->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool()) {
        currentType = SdoType_CiA309;
        const bool found = !cia309Client.isNull();
        if (found)
            ret = cia309Client->write(quint8(clientCob), index, sub, type, value);
        return finishStart(found, ret);
    }
    bool found = false;
    switch (protocol) {
    case SdoType_Expedited:
        currentType = protocol;
        if ((found = !expeditedClient.isNull()))
            ret = expeditedClient->write(index, sub, type, value);
        break;
    case SdoType_Segmented:
        currentType = protocol;
        if ((found = !segmentedClient.isNull())) {
            // The switches are process-wide: every client follows them from its next download.
            segmentedClient->setFastSegmentedDownload(mFastSeg, mFastSegCnt);
            ret = segmentedClient->write(index, sub, segmentedPayload(type, value));
        }
        break;
    case SdoType_Block:
        currentType = protocol;
        if ((found = !blockClient.isNull())) {
            connect(blockClient, &SDOBlockClient::errorOccured, this, &SDOClient::blockError,
                Qt::UniqueConnection);
            blockClient->setSegDelay(segDelay);
            ret = blockClient->write(index, sub, value.toByteArray());
        }
        break;
    case SdoType_UsdoExpedited:
        currentType = protocol;
        if ((found = !usdoExpeditedClient.isNull())) {
            handOverUsdoRouting();
            ret = usdoExpeditedClient->write(index, sub, type, usdoPayload(type, value));
        }
        break;
    case SdoType_UsdoSegmented: {
        const QByteArray bytes = segmentedPayload(type, value);
        if (bytes.size() < 57) { // fits one frame
            currentType = SdoType_UsdoExpedited;
            if ((found = !usdoExpeditedClient.isNull())) {
                handOverUsdoRouting();
                ret = usdoExpeditedClient->write(index, sub, type, bytes);
            }
            break;
        }
        currentType = protocol;
        if ((found = !usdoSegmentedClient.isNull())) {
            usdoSegmentedClient->setFastSegmentedDownload(mFastSeg, mFastSegCnt);
            ret = usdoSegmentedClient->write(index, sub, type, bytes);
        }
        break;
    }
    case SdoType_UsdoBulk:
        currentType = protocol;
        if ((found = !usdoBulkClient.isNull()))
            ret = usdoBulkClient->write(index, sub, CAN::DOMAIN, value);
        break;
    case SdoType_None:
    case SdoType_Routing:
    case SdoType_CiA309:
        break;
    }
    return finishStart(found, ret);
}

CAN::RetType SDOClient::abort(quint32 code)
{
    switch (currentType) {
    case SdoType_None:
    case SdoType_Routing:
        return CAN::RetType_InvalidRequest;
    case SdoType_Expedited:
        if (!expeditedClient)
            return CAN::RetType_OK;
        busy = false;
        return expeditedClient->abort(code);
    case SdoType_Segmented:
        if (!segmentedClient)
            return CAN::RetType_OK;
        busy = false;
        return segmentedClient->abort(code);
    case SdoType_Block:
        if (!blockClient)
            return CAN::RetType_OK;
        busy = false;
        return blockClient->abort(code);
    case SdoType_CiA309:
        if (!cia309Client)
            return CAN::RetType_OK;
        busy = false;
        return cia309Client->abort(code);
    case SdoType_UsdoExpedited:
        if (!usdoExpeditedClient)
            return CAN::RetType_OK;
        busy = false;
        return usdoExpeditedClient->abort(code);
    case SdoType_UsdoSegmented:
        if (!usdoSegmentedClient)
            return CAN::RetType_OK;
        busy = false;
        return usdoSegmentedClient->abort(code);
    case SdoType_UsdoBulk:
        if (!usdoBulkClient)
            return CAN::RetType_OK;
        busy = false;
        return usdoBulkClient->abort(code);
    }
    return CAN::RetType_OK;
}

QByteArray SDOClient::getCurrentlyReceivedData() const
{
    if (mUseUSDO)
        return usdoSegmentedClient ? usdoSegmentedClient->getCurrentlyReceivedData() : QByteArray();
    switch (currentType) {
    case SdoType_Segmented:
        return segmentedClient ? segmentedClient->getCurrentlyReceivedData() : QByteArray();
    case SdoType_Block:
        return blockClient ? blockClient->getCurrentlyReceivedData() : QByteArray();
    case SdoType_CiA309:
        return cia309Client ? cia309Client->getCurrentlyReceivedData() : QByteArray();
    case SdoType_None:
    case SdoType_Routing:
    case SdoType_Expedited:
    case SdoType_UsdoExpedited:
    case SdoType_UsdoSegmented:
    case SdoType_UsdoBulk:
        break;
    }
    return QByteArray();
}

// --- forwarding ----------------------------------------------------------------------------

void SDOClient::resultIndication(quint16 index, quint8 sub, QVariant value, bool faultyDataType)
{
    busy = false;
    emit resultReceived(index, sub, value, serverCob, clientCob, faultyDataType);
}

void SDOClient::errorIndication(quint16 index, quint8 sub, quint32 errorCode)
{
    busy = false;
    emit errorReceived(index, sub, errorCode);
}

void SDOClient::progressIndication(quint8 percentValue)
{
    emit progress(percentValue);
}

void SDOClient::usdoBcResultIndication(quint8 nodeId, quint16 index, quint8 sub, QVariant value)
{
    emit broadcastResultReceived(nodeId, index, sub, value);
}

void SDOClient::usdoBcFinishedIndication()
{
    busy = false;
    emit broadcastRequestFinished();
}

void SDOClient::blockError(CAN::RetType ret)
{
    qCDebug(lcSdo) << "void SDOClient::blockError(CAN::RetType)" << ret;
    busy = false;
    emit opError(index, subIndex, ret);
}

void SDOClient::canMessageIndication(CAN::CanRxMessage message)
{
    if (!mRoutingActive || !routingWait)
        return;
    if (message.id != 0x580u + mRoutingGatewayInLocalNetwork.load() || message.remote || message.length < 8)
        return;
    if (message.data[0] == 0x80) {
        routingWait = false;
        routingAborted = true;
        lastAbortCode = qFromLittleEndian<quint32>(message.data + 4);
        QTimer::singleShot(100, this, &SDOClient::sendRoutingError);
        emit opError(index, subIndex, CAN::RetType_NoLink);
        return;
    }
    routingWait = false; // confirmed: the waiting read or write goes on
}

void SDOClient::sendRoutingError()
{
    busy = false;
    emit errorReceived(index, subIndex, lastAbortCode);
}

// --- waiting, protocol rule and abort texts --------------------------------------------------

void SDOClient::mysleep(quint16 ms, std::atomic<bool> *flag)
{
    if (!flag) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        return;
    }
    const int cycles = ms / 10;
    for (int n = 0; n < cycles; ++n) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
        if (!flag->load()) {
            qCDebug(lcSdo) << "void SDOClient::mysleep(quint16, std::atomic<bool>*)"
                           << "aborted after " << n << " 10ms cycles.";
            return;
        }
    }
}

QString SDOClient::interpretSdoAbort(quint32 code)
{
    if (mUseUSDO)
        return interpretUsdoAbort(code);
    const auto it = sdoAbortTexts.constFind(code);
    if (it != sdoAbortTexts.constEnd())
        return *it;
    return tr("unknown SDO abort code");
}

QString SDOClient::interpretUsdoAbort(quint32 code)
{
    const auto it = usdoAbortTexts.constFind(quint8(code & 0xFF));
    if (it != usdoAbortTexts.constEnd())
        return *it;
    return tr("Error Code %1 \n No interpretation yet").arg(code);
}

SdoType SDOClient::getSdoTypefromDataType(CAN::CANopenDataType type, quint32 size, quint8 direction)
{
    using namespace CAN;
    // Numbers of fixed size, and the types of more than four bytes (classic SDO sends those
    // segmented, USDO expedited).
    bool upToFourBytes = false;
    bool longFixed = false;
    bool variable = false;
    switch (type) {
    case BOOLEAN:
    case INTEGER8:
    case INTEGER16:
    case INTEGER32:
    case UNSIGNED8:
    case UNSIGNED16:
    case UNSIGNED32:
    case REAL32:
    case INTEGER24:
    case UNSIGNED24:
        upToFourBytes = true;
        break;
    case TIME_OF_DAY:
    case INTEGER64:
    case UNSIGNED40:
    case UNSIGNED48:
    case UNSIGNED64:
        longFixed = true;
        break;
    case VISIBLE_STRING:
    case OCTET_STRING:
    case DOMAIN:
        variable = true;
        break;
    case REAL64:
    case INTEGER40:
        if (mUseUSDO)
            longFixed = true; // USDO carries them expedited; classic SDO has no rule for them
        break;
    case INTEGER48:
    case UNICODE_STRING:
    case TIME_DIFFERENCE:
    case INTEGER56:
    case UNSIGNED56:
        break;
    }
    if (!mUseUSDO) {
        if (upToFourBytes)
            return SdoType_Expedited;
        if (longFixed)
            return SdoType_Segmented;
        if (variable) {
            if (useBlockTransfer(direction, size))
                return SdoType_Block;
            if (size >= 1 && size <= 4)
                return SdoType_Expedited;
            return SdoType_Segmented;
        }
        return SdoType_None;
    }
    if (upToFourBytes || longFixed)
        return SdoType_UsdoExpedited;
    if (type == DOMAIN)
        return useBlockTransfer(direction, size) ? SdoType_UsdoBulk : SdoType_UsdoSegmented;
    return SdoType_UsdoSegmented;
}

bool SDOClient::useBlockTransfer(quint8 direction, quint32 size)
{
    const BlockHandling handling = blockHandling;
    blockHandling = BlockHandling_Default; // a one-shot override is used up here
    switch (handling) {
    case BlockHandling_NoBlockOnce:
        return false;
    case BlockHandling_Default:
        if (!mUseBlockTransfer)
            return false;
        break;
    case BlockHandling_BlockOnce:
        break;
    }
    if (mUseUSDO)
        return direction == 2; // bulk only for downloads
    if (direction != 2)
        return true;
    return size >= mBlockThreshold;
}
