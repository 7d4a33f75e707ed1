#pragma once

#include "canrxmessage.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

/// Turns bus traffic into readable lines: CANopen (NMT, SYNC, EMCY, TIME, PDO, SDO with its
/// expedited, segmented and block phases, USDO, heartbeat and node guarding, LSS) by identifier,
/// and ISO-TP frames on the configured identifiers with the UDS service of every reassembled
/// message. It keeps the little state it needs (which SDO transfer runs on a channel, ISO-TP
/// messages being reassembled); any frame, of any length, decodes to something.
class BusDecoder
{
public:
    struct Line
    {
        int node = -1; ///< CANopen node the frame concerns, -1 for none
        QString protocol; ///< NMT, SYNC, EMCY, TIME, PDO, SDO, USDO, HB, GUARD, LSS, ISOTP, UDS, CAN
        QString text; ///< the decoded content
        QJsonObject fields;
    };

    BusDecoder();
    /// Identifiers that carry ISO-TP (UDS); default 0x7E0, 0x7E8 and 0x7DF.
    void setIsoTpIds(const QList<quint32> &ids);

    /// The decoded lines of one frame: one, and one more when it completes a UDS message.
    QList<Line> decode(const CAN::CanRxMessage &frame);

    /// "602   [8]  40 18 10 01 00 00 00 00" (candump's columns without the interface).
    static QString frameText(const CAN::CanRxMessage &frame);
    /// candump's log format: "(1700000000.123456) can0 602#4018100100000000".
    static QString candumpLine(const CAN::CanRxMessage &frame, const QString &interfaceName);
    /// The name of a UDS service (ISO 14229), or "service 0xNN".
    static QString udsServiceName(quint8 sid);
    /// The text of a UDS negative response code.
    static QString udsNrcText(quint8 nrc);

private:
    Line decodeSdo(const CAN::CanRxMessage &f, quint8 node, bool request);
    Line decodeUsdo(const CAN::CanRxMessage &f, quint8 node, bool request);
    Line decodeLss(const CAN::CanRxMessage &f, bool fromMaster);
    QList<Line> decodeIsoTp(const CAN::CanRxMessage &f);
    Line decodeUds(quint32 id, const QByteArray &message);

    enum SdoPhase {
        Sdo_Idle,
        Sdo_Download,
        Sdo_Upload,
        Sdo_BlockDownload,
        Sdo_BlockUpload,
        Sdo_BlockUploadStarting
    };
    struct SdoChannel
    {
        SdoPhase phase = Sdo_Idle;
        quint16 index = 0;
        quint8 sub = 0;
    };
    struct IsoTpMessage
    {
        QByteArray data;
        int expected = 0;
    };
    QHash<quint8, SdoChannel> mSdo;
    QHash<quint8, bool> mGuardRequested;
    QList<quint32> mIsoTpIds;
    QHash<quint32, IsoTpMessage> mIsoTp;
};
