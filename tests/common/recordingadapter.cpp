#include "recordingadapter.h"

QByteArray frameHex(const CAN::CanMessage &message)
{
    return QByteArray(reinterpret_cast<const char *>(message.data), qMin<int>(message.length, 64)).toHex();
}

QByteArray frameHex(const CAN::CanRxMessage &message)
{
    return message.payload().toHex();
}

CAN::CanMessage makeFrame(quint32 id, const QByteArray &bytes)
{
    CAN::CanMessage m;
    m.id = id & CAN::MaxExtendedId;
    m.extended = id > CAN::MaxStandardId; // an identifier only 29 bits can hold
    m.fd = bytes.size() > 8;
    m.setPayload(bytes.constData(), int(bytes.size()));
    return m;
}
