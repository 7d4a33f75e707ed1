#include "abstractcanadapter.h"

AbstractCanAdapter::AbstractCanAdapter(QObject *parent)
    : QObject(parent)
{
}

AbstractCanAdapter::~AbstractCanAdapter() = default;

QVariant AbstractCanAdapter::getCanAdapterOption(AdapterOption option) const
{
    return mOptions.value(int(option));
}

void AbstractCanAdapter::setCanAdapterOption(AdapterOption option, const QVariant &value)
{
    auto it = mOptions.find(int(option));
    if (it != mOptions.end() && *it == value)
        return;
    mOptions.insert(int(option), value);
    emit optionChanged(option, value);
}

CAN::RetType AbstractCanAdapter::sendCiA309Line(const QString &)
{
    return CAN::RetType_NoLink;
}

CAN::RetType AbstractCanAdapter::sendCiA309Request(const QString &, quint16 &)
{
    return CAN::RetType_NoLink;
}

CAN::RetType AbstractCanAdapter::sendCanMessage(CAN::CanMessage &)
{
    return CAN::RetType_NoLink;
}
