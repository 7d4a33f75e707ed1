#include "emcyconsumer.h"

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "cansender.h"
#include "tarnwicklogging_p.h"

#include <QStringList>

#include <cstring>

static void registerEmcyTypes()
{
    qRegisterMetaType<EMCYConsumer::EMCYData>("EMCYConsumer::EMCYData");
}
Q_CONSTRUCTOR_FUNCTION(registerEmcyTypes)

bool EMCYConsumer::EMCYData::operator==(const EMCYData &o) const
{
    return errorRegister == o.errorRegister && errorCode == o.errorCode
        && std::memcmp(manufacturerData, o.manufacturerData, sizeof manufacturerData) == 0;
}

EMCYConsumer::EMCYConsumer(QObject *parent)
    : CANopenService(parent)
{
}

EMCYConsumer::EMCYConsumer(unsigned int cobId, QObject *parent)
    : CANopenService(parent)
    , mCobId(cobId)
{
}

EMCYConsumer::EMCYConsumer(unsigned int cobId, CanScheduler *scheduler, QObject *parent)
    : CANopenService(parent)
    , mCobId(cobId)
{
    mScheduler = scheduler;
    if (mScheduler)
        registerCobId(Qt::AutoConnection);
}

EMCYConsumer::~EMCYConsumer()
{
    if (mScheduler)
        mScheduler->unregisterCan(mSender, this);
}

void EMCYConsumer::setCobId(unsigned int cobId)
{
    mCobId = cobId;
    if (!mScheduler)
        return;
    if (mSender)
        mScheduler->unregisterCan(mSender, this);
    mSender = mScheduler->registerCanId(mCobId);
    if (mSender)
        connect(mSender.data(), &CanSender::received, this, &EMCYConsumer::newCanMessageReceived);
}

void EMCYConsumer::setCanScheduler(CanScheduler *scheduler)
{
    if (mScheduler && mSender)
        mScheduler->unregisterCan(mSender, this);
    mSender.clear();
    // Lines of the old gateway are no longer ours either.
    if (mGatewayAdapter)
        disconnect(mGatewayAdapter, nullptr, this, nullptr);
    mGatewayAdapter.clear();
    if (!scheduler) {
        mScheduler.clear();
        return;
    }
    mScheduler = scheduler;
    registerCobId(Qt::DirectConnection);
}

void EMCYConsumer::registerCobId(Qt::ConnectionType type)
{
    mSender = mScheduler->registerCanId(mCobId);
    if (mSender)
        connect(mSender.data(), &CanSender::received, this, &EMCYConsumer::newCanMessageReceived, type);
    AbstractCanAdapter *adapter = mScheduler->canAdapter();
    if (adapter && adapter->getCanAdapterOption(AdapterOption_CiA309Gateway).toBool()) {
        mGatewayAdapter = adapter;
        connect(adapter, &AbstractCanAdapter::newCiA309Response, this, &EMCYConsumer::newCiA309Response,
            Qt::UniqueConnection);
    }
}

void EMCYConsumer::newCanMessageReceived(CAN::CanRxMessage message)
{
    if (message.id != mCobId) {
        qCDebug(lcEmcy) << "EMCYConsumer::newCanMessageReceived This should not happen.";
        return;
    }
    // CiA 301 EMCY: error code (little-endian), error register, five manufacturer bytes.
    // A shorter frame is still reported; the bytes it does not carry count as 0.
    quint8 bytes[8] = {};
    std::memcpy(bytes, message.data, qMin<size_t>(message.length, sizeof bytes));
    EMCYData data;
    data.errorCode = quint16(bytes[0] | (bytes[1] << 8));
    data.errorRegister = bytes[2];
    std::memcpy(data.manufacturerData, bytes + 3, sizeof data.manufacturerData);
    emit newEmcyData(data);
}

void EMCYConsumer::newCiA309Response(QString response)
{
    const QStringList lines = response.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        handleResponseLine(line);
}

void EMCYConsumer::handleResponseLine(QString line)
{
    if (!line.contains(QLatin1String("emcy"), Qt::CaseInsensitive))
        return;
    // "<node> EMCY <error code> <error register> <b0> <b1> <b2> <b3> <b4>"; every number in
    // C notation (0x.. hexadecimal, leading 0 octal, else decimal), unreadable ones are 0.
    const QStringList tokens = line.split(QLatin1Char(' '));
    if (tokens.size() < 8)
        return;
    const unsigned int node = tokens.at(0).toUInt(nullptr, 0);
    if ((node & 0xFFu) + 0x80u != mCobId)
        return;
    EMCYData data;
    data.errorCode = tokens.at(2).toUShort(nullptr, 0);
    data.errorRegister = quint8(tokens.at(3).toUInt(nullptr, 0) & 0xFFu);
    for (int i = 0; i < 5 && 4 + i < tokens.size(); ++i)
        data.manufacturerData[i] = quint8(tokens.at(4 + i).toUShort(nullptr, 0) & 0xFFu);
    emit newEmcyData(data);
}
