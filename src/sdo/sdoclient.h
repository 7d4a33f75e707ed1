#pragma once

#include "canopendatatype.h"
#include "canopenservice.h"
#include "canrxmessage.h"
#include "cantypes.h"
#include "sdotype.h"
#include "tarnwick_export.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <atomic>

class CanSender;
class SDOBlockClient;
class SDOCiA309Client;
class SDOExpeditedClient;
class SDOSegmentedClient;
class USDOBulkClient;
class USDOExpeditedClient;
class USDOSegmentedClient;

/// Reads and writes object-dictionary entries of one CANopen node. Each read or write picks
/// the transfer protocol from the data type and the size of the value, starts it and returns;
/// the outcome arrives as resultReceived or errorReceived (a CiA 301 abort code, see
/// interpretSdoAbort). Optionally routes requests through an SDO gateway node (setRouting).
/// Values of fixed-size types arrive as int, uint or float; strings, domains and the 40- to
/// 64-bit types as QByteArray (little-endian for numbers).
class TARNWICK_EXPORT SDOClient : public CANopenService
{
    Q_OBJECT
public:
    /// One-shot override of the block rule, consumed by the next string or domain transfer.
    enum BlockHandling {
        BlockHandling_Default = 0, ///< no override
        BlockHandling_NoBlockOnce = 1, ///< the next such transfer uses no block (or bulk) transfer
        BlockHandling_BlockOnce = 2, ///< the next such transfer applies the block rule even when off
    };
    Q_ENUM(BlockHandling)

    explicit SDOClient(QObject *parent = nullptr);
    /// A client on scheduler, with the settings of SDOClient(parent) (no node yet).
    template<typename T, IfScheduler<T> = 0>
    explicit SDOClient(T *scheduler, QObject *parent = nullptr)
        : SDOClient(parent)
    {
        setCanScheduler(scheduler);
    }
    /// A client of the server answering on serverCob and listening on clientCob.
    SDOClient(quint32 serverCob, quint32 clientCob, CanScheduler *scheduler, QObject *parent = nullptr);
    ~SDOClient() override;

    /// SDO COB-IDs (server to client, client to server) and their extended-frame flag. With
    /// routing active the protocol clients talk to the gateway instead. 1 while busy.
    CAN::RetType setCobIds(quint32 serverCob, quint32 clientCob, bool extended);
    void getCobIds(quint32 &serverCob, quint32 &clientCob) const;
    /// The default SDO channel of a node: 0x580 + nodeId and 0x600 + nodeId.
    CAN::RetType setNodeId(quint8 nodeId);
    /// The bus to use; null clears it and gives 6.
    CAN::RetType setCanScheduler(CanScheduler *scheduler);
    CanScheduler *getCanScheduler() const { return mScheduler.data(); }

    /// Response timeout of every protocol in ms; its low 16 bits also bound the wait for a
    /// routing gateway. 1 while a transfer runs.
    CAN::RetType setSdoTimeout(quint32 ms);
    /// The response timeout in ms (2000 by default).
    quint32 getSdoTimeout() const;
    /// Delay handed to the block transfer.
    void setSegDelay(quint32 delay);
    void setTemporaryBlockHandling(SDOClient::BlockHandling handling);
    /// Fast segmented download for every client of the process: up to count frames in flight.
    void setFastSegmentedDownload(bool on, quint8 count);
    /// USDO (CANopen FD) for every client of the process, with the host's own node-ID.
    void activateUSDO(bool on, quint8 localId);
    /// Routes the requests of every client of the process through gatewayNode into network;
    /// 0 for either switches routing off. Takes effect for the COB-IDs at the next setNodeId
    /// or setCobIds.
    void setRouting(quint16 network, quint8 gatewayNode);

    /// Starts reading an entry. 0 started, 1 busy, 2 the type cannot be transferred, 6 no
    /// scheduler/adapter or routing failed; other codes come from the adapter.
    CAN::RetType read(quint16 index, quint8 sub, CAN::CANopenDataType type);
    /// Starts writing value to an entry; same results as read. Strings and domains are given
    /// as QByteArray (or QString), numbers as any numeric QVariant.
    CAN::RetType write(quint16 index, quint8 sub, CAN::CANopenDataType type, QVariant value);
    /// Aborts the running transfer with a CiA 301 abort code (0: locally, without a frame).
    /// 2 when nothing was started yet.
    CAN::RetType abort(quint32 code);
    /// The bytes an upload has received so far.
    QByteArray getCurrentlyReceivedData() const;
    /// True from an accepted read or write until its result or error.
    bool isBusy() const { return busy.load(); }

    /// Waits ms milliseconds with a running event loop; with flag, in 10 ms steps and only as
    /// long as *flag stays true.
    static void mysleep(quint16 ms, std::atomic<bool> *flag = nullptr);
    /// Text of a CiA 301 abort code (of a USDO abort code while USDO is active).
    static QString interpretSdoAbort(quint32 code);
    /// Text of a USDO abort code (its low byte).
    static QString interpretUsdoAbort(quint32 code);
    /// The protocol for a type, a payload size (0 when unknown) and a direction (2 write,
    /// 0 read). Consumes the one-shot block override when the block rule is consulted.
    SdoType getSdoTypefromDataType(CAN::CANopenDataType type, quint32 size, quint8 direction);
    /// Whether a string or domain transfer goes block (or USDO bulk); consumes the override.
    bool useBlockTransfer(quint8 direction, quint32 size);

    // Process-wide switches, shared by every SDOClient.
    static bool mUseBlockTransfer; ///< block transfer for strings and domains (false)
    static quint32 mBlockThreshold; ///< smallest block download in bytes (29)
    static quint32 mBlockUploadSize; ///< low byte: block size of block uploads (127)
    static std::atomic<bool> mUseUSDO; ///< USDO instead of classic SDO (false)
    static std::atomic<quint8> mLocalId; ///< the host's USDO node-ID (41)
    static std::atomic<bool> mFastSeg; ///< fast segmented download (false)
    static std::atomic<quint8> mFastSegCnt; ///< frames in flight of the fast download (0)
    static std::atomic<bool> mRoutingActive; ///< SDO routing on (false)
    static std::atomic<quint16> mRoutingNetwork; ///< destination network
    static std::atomic<quint16> mRoutingGatewayInLocalNetwork; ///< gateway node-ID

signals:
    void resultReceived(quint16 index, quint8 sub, QVariant value, quint32 serverCob = 0,
        quint32 clientCob = 0, bool faultyDataType = false);
    void broadcastResultReceived(quint8 nodeId, quint16 index, quint8 sub, QVariant value);
    void broadcastRequestFinished();
    void errorReceived(quint16 index, quint8 sub, quint32 errorCode);
    void progress(quint8 percentValue);
    void opError(quint16 index, quint8 sub, CAN::RetType error);

public slots:
    void resultIndication(quint16 index, quint8 sub, QVariant value, bool faultyDataType = false);
    void errorIndication(quint16 index, quint8 sub, quint32 errorCode);
    void progressIndication(quint8 percentValue);
    void canMessageIndication(CAN::CanRxMessage message);
    void sendRoutingError();

private slots:
    void usdoBcResultIndication(quint8 nodeId, quint16 index, quint8 sub, QVariant value);
    void usdoBcFinishedIndication();
    void blockError(CAN::RetType ret);

private:
    void setupConnections();
    void registerRouting();
    bool beginTransfer(quint16 index, quint8 sub, CAN::RetType &ret);
    CAN::RetType sendNetworkIndication();
    CAN::RetType finishStart(bool clientFound, CAN::RetType ret);
    void handOverUsdoNodeIds();
    void handOverUsdoRouting();

    quint32 segDelay = 0;
    BlockHandling blockHandling = BlockHandling_Default;
    QPointer<SDOExpeditedClient> expeditedClient;
    QPointer<SDOSegmentedClient> segmentedClient;
    QPointer<SDOBlockClient> blockClient;
    QPointer<USDOExpeditedClient> usdoExpeditedClient;
    QPointer<USDOSegmentedClient> usdoSegmentedClient;
    QPointer<USDOBulkClient> usdoBulkClient;
    QPointer<SDOCiA309Client> cia309Client;
    QPointer<CanSender> routingRegistration;
    quint32 lastAbortCode = 0;
    quint16 index = 0;
    quint8 subIndex = 0;
    quint32 sdoTimeout = 0;
    std::atomic<bool> busy { false };
    SdoType currentType = SdoType_None;
    quint32 clientCob = 0;
    quint32 serverCob = 0;
    bool extended = false;
    std::atomic<bool> routingWait { false };
    std::atomic<bool> routingAborted { false };
};

Q_DECLARE_METATYPE(SDOClient::BlockHandling)
