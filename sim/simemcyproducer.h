#pragma once

#include "cantypes.h"
#include "tarnwicksim_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

class SimCanopenNode;

/// The emergency producer of a simulated node (CiA 301). An emergency sets the error register
/// (0x1001) and sends error code (little-endian), error register and five manufacturer bytes
/// on the COB-ID of object 0x1014 (added with 0x80 + node-ID; bit 31 set: no EMCY). Only a
/// pre-operational or operational node sends emergencies.
class TARNWICKSIM_EXPORT SimEmcyProducer : public QObject
{
    Q_OBJECT
public:
    /// The parent defaults to the node.
    explicit SimEmcyProducer(SimCanopenNode *node, QObject *parent = nullptr);

    /// Sends one emergency; manufacturer bytes beyond five are dropped, missing ones are 0.
    /// 2 when the node's state or a COB-ID marked invalid forbids it, else the adapter's result.
    CAN::RetType sendEmergency(
        quint16 errorCode, quint8 errorRegister, const QByteArray &manufacturerData = QByteArray());
    /// The CiA 301 "error reset or no error" emergency (code 0000, register 00).
    CAN::RetType sendErrorReset() { return sendEmergency(0x0000, 0x00); }

    quint32 cobId() const;
    quint64 emergenciesSent() const { return mSent; }

private:
    QPointer<SimCanopenNode> mNode;
    bool mCobIdWritten = false;
    quint64 mSent = 0;
};
