#include "sdovaluecodec.h"

#include <QtEndian>

#include <cstring>

static quint32 floatBits(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

static float bitsToFloat(quint32 bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Sign extension from bit 23 of a 24-bit value.
static qint32 signExtend24(quint32 raw)
{
    raw &= 0x00FFFFFFu;
    if (raw & 0x00800000u)
        raw |= 0xFF800000u;
    return qint32(raw);
}

bool SDOValueCodec::isNumberOfFourBytes(CAN::CANopenDataType type)
{
    switch (type) {
    case CAN::BOOLEAN:
    case CAN::INTEGER8:
    case CAN::INTEGER16:
    case CAN::INTEGER32:
    case CAN::UNSIGNED8:
    case CAN::UNSIGNED16:
    case CAN::UNSIGNED32:
    case CAN::REAL32:
    case CAN::INTEGER24:
    case CAN::UNSIGNED24:
        return true;
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
    case CAN::UNICODE_STRING:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE:
    case CAN::DOMAIN:
    case CAN::REAL64:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::INTEGER64:
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED56:
    case CAN::UNSIGNED64:
        break;
    }
    return false;
}

CAN::RetType SDOValueCodec::encodeExpedited(
    CAN::CANopenDataType type, const QVariant &value, quint8 &command, quint8 payload[4])
{
    // CiA 301 initiate download, expedited: e = 1; with s = 1 bits 2-3 give the count of
    // bytes 4-7 that carry no data. Numbers travel as the 32 bits toUInt() gives; the command
    // byte tells the server how many of them count.
    quint32 number = 0;
    command = 0;
    switch (type) {
    case CAN::BOOLEAN:
        command = 0x22; // size not indicated
        number = value.toUInt();
        break;
    case CAN::INTEGER8:
    case CAN::UNSIGNED8:
        command = 0x2F;
        number = value.toUInt();
        break;
    case CAN::INTEGER16:
    case CAN::UNSIGNED16:
        command = 0x2B;
        number = value.toUInt();
        break;
    case CAN::INTEGER24:
    case CAN::UNSIGNED24:
        command = 0x27;
        number = value.toUInt();
        break;
    case CAN::INTEGER32:
    case CAN::UNSIGNED32:
        command = 0x23;
        number = value.toUInt();
        break;
    case CAN::REAL32:
        command = 0x23;
        number = floatBits(value.toFloat());
        break;
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
    case CAN::DOMAIN: {
        const QByteArray bytes = value.toByteArray();
        if (bytes.isEmpty() || bytes.size() > 4)
            return CAN::RetType_InvalidRequest;
        command = quint8(0x23 | ((4 - bytes.size()) << 2));
        std::memset(payload, 0, 4);
        std::memcpy(payload, bytes.constData(), size_t(bytes.size()));
        return CAN::RetType_OK;
    }
    case CAN::UNICODE_STRING:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE:
    case CAN::REAL64:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::INTEGER64:
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED56:
    case CAN::UNSIGNED64:
        return CAN::RetType_InvalidRequest;
    }
    if (command == 0) // a number outside the enumeration
        return CAN::RetType_InvalidRequest;
    qToLittleEndian<quint32>(number, payload);
    return CAN::RetType_OK;
}

QVariant SDOValueCodec::decodeExpedited(CAN::CANopenDataType type, quint32 raw)
{
    switch (type) {
    case CAN::BOOLEAN:
        return QVariant(int(raw != 0));
    case CAN::INTEGER8:
        return QVariant(int(qint8(raw & 0xFF)));
    case CAN::INTEGER16:
        return QVariant(int(qint16(raw & 0xFFFF)));
    case CAN::INTEGER32:
        return QVariant(int(qint32(raw)));
    case CAN::UNSIGNED8:
        return QVariant(int(raw & 0xFF));
    case CAN::UNSIGNED16:
        return QVariant(int(raw & 0xFFFF));
    case CAN::REAL32:
        return QVariant(bitsToFloat(raw));
    case CAN::INTEGER24:
        return QVariant(int(signExtend24(raw)));
    case CAN::UNSIGNED24:
        // Bytes beyond the size of the type are undefined in CiA 301.
        return QVariant(uint(raw & 0x00FFFFFFu));
    case CAN::UNSIGNED32:
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
    case CAN::UNICODE_STRING:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE:
    case CAN::DOMAIN:
    case CAN::REAL64:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::INTEGER64:
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED56:
    case CAN::UNSIGNED64:
        break;
    }
    return QVariant(uint(raw));
}

static int usdoValueSize(CAN::CANopenDataType type)
{
    switch (type) {
    case CAN::BOOLEAN:
    case CAN::INTEGER8:
    case CAN::UNSIGNED8:
        return 1;
    case CAN::INTEGER16:
    case CAN::UNSIGNED16:
        return 2;
    case CAN::INTEGER24:
    case CAN::UNSIGNED24:
        return 3;
    case CAN::INTEGER32:
    case CAN::UNSIGNED32:
    case CAN::REAL32:
        return 4;
    case CAN::INTEGER40:
    case CAN::UNSIGNED40:
        return 5;
    case CAN::UNSIGNED48:
        return 6;
    case CAN::UNSIGNED64:
        return 8;
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
    case CAN::DOMAIN:
        return -1; // the length of the value
    case CAN::UNICODE_STRING:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE:
    case CAN::REAL64:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::INTEGER64:
    case CAN::UNSIGNED56:
        break;
    }
    return 0;
}

CAN::RetType SDOValueCodec::encodeUsdo(CAN::CANopenDataType type, const QVariant &value, QByteArray &bytes)
{
    const int size = usdoValueSize(type);
    if (size == 0)
        return CAN::RetType_InvalidRequest;
    if (size > 0 && size <= 4) {
        const quint32 number = type == CAN::REAL32 ? floatBits(value.toFloat()) : value.toUInt();
        bytes.resize(size);
        for (int i = 0; i < size; ++i)
            bytes[i] = char((number >> (8 * i)) & 0xFF);
        return CAN::RetType_OK;
    }
    // Strings, domains and the 5-, 6- and 8-byte numbers: the caller gives the bytes.
    const QByteArray given = value.toByteArray();
    if (size < 0) {
        if (given.size() > 56)
            return CAN::RetType_InvalidRequest;
        bytes = given;
        return CAN::RetType_OK;
    }
    if (given.size() < size)
        return CAN::RetType_InvalidRequest;
    bytes = given.left(size);
    return CAN::RetType_OK;
}

QVariant SDOValueCodec::decodeUsdo(CAN::CANopenDataType type, const quint8 *bytes, int length)
{
    quint64 number = 0;
    for (int i = qMin(length, 8) - 1; i >= 0; --i)
        number = (number << 8) | bytes[i];
    const quint32 raw = quint32(number);
    switch (type) {
    case CAN::BOOLEAN:
        return QVariant(int(raw & 1));
    case CAN::INTEGER8:
        return QVariant::fromValue<signed char>(static_cast<signed char>(raw & 0xFF));
    case CAN::INTEGER16:
        return QVariant::fromValue<short>(static_cast<short>(raw & 0xFFFF));
    case CAN::INTEGER32:
        return QVariant(int(raw));
    case CAN::UNSIGNED8:
        return QVariant::fromValue<unsigned char>(static_cast<unsigned char>(raw & 0xFF));
    case CAN::UNSIGNED16:
        return QVariant::fromValue<ushort>(static_cast<ushort>(raw & 0xFFFF));
    case CAN::UNSIGNED32:
        return QVariant(uint(raw));
    case CAN::REAL32:
        return QVariant(bitsToFloat(raw));
    case CAN::INTEGER24:
        return QVariant(int(signExtend24(raw)));
    case CAN::UNSIGNED24:
        return QVariant(uint(raw & 0x00FFFFFFu));
    case CAN::VISIBLE_STRING:
    case CAN::OCTET_STRING:
    case CAN::UNICODE_STRING:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE:
    case CAN::DOMAIN:
    case CAN::REAL64:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::INTEGER64:
    case CAN::UNSIGNED40:
    case CAN::UNSIGNED48:
    case CAN::UNSIGNED56:
    case CAN::UNSIGNED64:
        break;
    }
    return QVariant(int(0));
}
