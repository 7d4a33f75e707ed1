#pragma once

#include "canmessage.h"
#include "canrxmessage.h"
#include "cantypes.h"
#include "vendrel_export.h"

#include <QHash>
#include <QObject>
#include <QVariant>

/// Keys of the adapter option store. Services read AdapterOption_CiA309Gateway before each
/// exchange and set AdapterOption_TransferActive around long SDO transfers.
enum AdapterOption : int {
    AdapterOption_Bitrate = 1, ///< nominal bit rate in bit/s (int)
    AdapterOption_DataBitrate = 2, ///< CAN FD data bit rate in bit/s (int)
    AdapterOption_TransferActive = 18, ///< bool: a segmented/block transfer is running
    AdapterOption_CiA309Gateway = 25, ///< bool: the adapter is a CiA 309 ASCII gateway
};

/// Base of every CAN adapter: sends frames (and, for gateways, text lines) and hands every
/// received frame to the scheduler through messageReceived().
class VENDREL_EXPORT AbstractCanAdapter : public QObject
{
    Q_OBJECT
public:
    explicit AbstractCanAdapter(QObject *parent = nullptr);
    ~AbstractCanAdapter() override;

    QVariant getCanAdapterOption(AdapterOption option) const;
    void setCanAdapterOption(AdapterOption option, const QVariant &value);

    /// Sends one line to a CiA 309 gateway without a sequence number. Default: 6 (not offered).
    virtual CAN::RetType sendCiA309Line(const QString &line);
    /// Sends a request line; the caller passes 0xFFFF in sequence, the adapter writes the
    /// number it put in front of the line. Default: 6 (not offered).
    virtual CAN::RetType sendCiA309Request(const QString &line, quint16 &sequence);
    /// Sends one frame. 0: accepted; 7: not accepted now, retry; others: adapter failure.
    /// Default: 6 (not offered).
    virtual CAN::RetType sendCanMessage(CAN::CanMessage &message);

    /// True when the adapter can send CAN FD frames.
    bool mCanFdCapable = false;

signals:
    /// Every received frame, in order of reception.
    void messageReceived(const CAN::CanRxMessage &message);
    /// Text from a CiA 309 gateway: one or more lines joined by "\n".
    void newCiA309Response(const QString &response);
    /// The value of an option changed.
    void optionChanged(AdapterOption option, const QVariant &value);

private:
    QHash<int, QVariant> mOptions;
};

Q_DECLARE_METATYPE(AdapterOption)
