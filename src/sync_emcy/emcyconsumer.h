#pragma once

#include "canopenservice.h"
#include "canrxmessage.h"
#include "tarnwick_export.h"

#include <QMetaType>
#include <QPointer>
#include <QString>

class CanSender;

/// Consumer of the emergency messages of one CANopen producer: from the frames of its COB-ID,
/// or, when the adapter is a CiA 309 gateway, from the gateway's "emcy" notification lines.
/// Each emergency is reported once by newEmcyData.
class TARNWICK_EXPORT EMCYConsumer : public CANopenService
{
    Q_OBJECT
public:
    /// One emergency message as CiA 301 lays it out.
    struct EMCYData
    {
        quint8 errorRegister = 0; ///< object 0x1001 of the producer
        quint16 errorCode = 0; ///< emergency error code
        quint8 manufacturerData[5] = {}; ///< manufacturer-specific error field

        bool operator==(const EMCYData &o) const;
        bool operator!=(const EMCYData &o) const { return !(*this == o); }
    };

    /// No COB-ID yet (0x80000000, "not valid" in CiA 301: matches no frame and no line).
    explicit EMCYConsumer(QObject *parent = nullptr);
    explicit EMCYConsumer(unsigned int cobId, QObject *parent = nullptr);
    /// A consumer needs the COB-ID it listens to: write EMCYConsumer(0x80 + nodeId, &scheduler).
    /// A scheduler alone would bind to the QObject parent and consume nothing, so it does not compile.
    template<typename T, IfScheduler<T> = 0>
    explicit EMCYConsumer(T *scheduler, QObject *parent = nullptr) = delete;
    /// Registers for the COB-ID (and the gateway lines) when the scheduler is alive.
    EMCYConsumer(unsigned int cobId, CanScheduler *scheduler, QObject *parent = nullptr);
    ~EMCYConsumer() override;

    /// Listens to another COB-ID (0x80 + node-ID for a node's default EMCY).
    void setCobId(unsigned int cobId);
    unsigned int cobId() const { return mCobId; }
    /// Moves reception to another scheduler; null only drops the link. Whether gateway lines
    /// or frames are consumed is decided here from the adapter's CiA 309 option.
    void setCanScheduler(CanScheduler *scheduler);

signals:
    void newEmcyData(EMCYConsumer::EMCYData emcyData);

public slots:
    void newCanMessageReceived(CAN::CanRxMessage message);
    /// Gateway text: every "\n"-separated line is handled in order.
    void newCiA309Response(QString response);
    /// One gateway line "<node> EMCY <code> <register> <b0> ... <b4>".
    void handleResponseLine(QString line);

private:
    void registerCobId(Qt::ConnectionType type);

    unsigned int mCobId = 0x80000000u;
    QPointer<CanSender> mSender;
    QPointer<AbstractCanAdapter> mGatewayAdapter;
};

Q_DECLARE_METATYPE(EMCYConsumer::EMCYData)
