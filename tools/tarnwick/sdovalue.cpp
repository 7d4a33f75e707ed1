#include "sdovalue.h"

#include "tool.h"

#include <QRegularExpression>
#include <QStringList>

#include <cstring>
#include <limits>

namespace {
struct TypeName
{
    const char *name;
    CAN::CANopenDataType type;
};
const TypeName kTypes[] = {
    { "bool", CAN::BOOLEAN },
    { "i8", CAN::INTEGER8 },
    { "i16", CAN::INTEGER16 },
    { "i24", CAN::INTEGER24 },
    { "i32", CAN::INTEGER32 },
    { "i40", CAN::INTEGER40 },
    { "i48", CAN::INTEGER48 },
    { "i56", CAN::INTEGER56 },
    { "i64", CAN::INTEGER64 },
    { "u8", CAN::UNSIGNED8 },
    { "u16", CAN::UNSIGNED16 },
    { "u24", CAN::UNSIGNED24 },
    { "u32", CAN::UNSIGNED32 },
    { "u40", CAN::UNSIGNED40 },
    { "u48", CAN::UNSIGNED48 },
    { "u56", CAN::UNSIGNED56 },
    { "u64", CAN::UNSIGNED64 },
    { "r32", CAN::REAL32 },
    { "r64", CAN::REAL64 },
    { "string", CAN::VISIBLE_STRING },
    { "octets", CAN::OCTET_STRING },
    { "unicode", CAN::UNICODE_STRING },
    { "domain", CAN::DOMAIN },
};
} // namespace

QString typeNames()
{
    QStringList names;
    for (const TypeName &t : kTypes)
        names << QLatin1String(t.name);
    return names.join(QStringLiteral(", "));
}

bool parseType(const QString &text, CAN::CANopenDataType *type)
{
    for (const TypeName &t : kTypes) {
        if (text == QLatin1String(t.name)) {
            *type = t.type;
            return true;
        }
    }
    return false;
}

QString typeName(CAN::CANopenDataType type)
{
    for (const TypeName &t : kTypes)
        if (t.type == type)
            return QLatin1String(t.name);
    return QStringLiteral("type %1").arg(int(type));
}

bool isSigned(CAN::CANopenDataType t)
{
    switch (t) {
    case CAN::INTEGER8:
    case CAN::INTEGER16:
    case CAN::INTEGER24:
    case CAN::INTEGER32:
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::INTEGER64:
        return true;
    default:
        return false;
    }
}

int bitsOf(CAN::CANopenDataType t)
{
    switch (t) {
    case CAN::BOOLEAN:
        return 1;
    case CAN::INTEGER8:
    case CAN::UNSIGNED8:
        return 8;
    case CAN::INTEGER16:
    case CAN::UNSIGNED16:
        return 16;
    case CAN::INTEGER24:
    case CAN::UNSIGNED24:
        return 24;
    case CAN::INTEGER32:
    case CAN::UNSIGNED32:
        return 32;
    case CAN::INTEGER40:
    case CAN::UNSIGNED40:
        return 40;
    case CAN::INTEGER48:
    case CAN::UNSIGNED48:
        return 48;
    case CAN::INTEGER56:
    case CAN::UNSIGNED56:
        return 56;
    case CAN::INTEGER64:
    case CAN::UNSIGNED64:
        return 64;
    default:
        return 0;
    }
}

bool isInteger(CAN::CANopenDataType t)
{
    return bitsOf(t) > 0;
}

CAN::CANopenDataType wireType(CAN::CANopenDataType t)
{
    switch (t) {
    case CAN::INTEGER40:
    case CAN::INTEGER48:
    case CAN::INTEGER56:
    case CAN::UNSIGNED56:
    case CAN::REAL64:
    case CAN::UNICODE_STRING:
    case CAN::TIME_DIFFERENCE:
        return CAN::DOMAIN;
    default:
        return t;
    }
}

bool parseValue(const QString &text, CAN::CANopenDataType type, QVariant *value)
{
    switch (type) {
    case CAN::VISIBLE_STRING:
        *value = text.toUtf8();
        return true;
    case CAN::UNICODE_STRING: {
        QByteArray bytes;
        for (const QChar c : text) {
            bytes.append(char(c.unicode() & 0xFF));
            bytes.append(char(c.unicode() >> 8));
        }
        *value = bytes;
        return true;
    }
    case CAN::OCTET_STRING:
    case CAN::DOMAIN:
    case CAN::TIME_OF_DAY:
    case CAN::TIME_DIFFERENCE: {
        QString hex = text;
        hex.remove(QLatin1Char(' '));
        if (hex.size() % 2 || hex.contains(QRegularExpression(QStringLiteral("[^0-9a-fA-F]"))))
            return false;
        *value = QByteArray::fromHex(hex.toLatin1());
        return true;
    }
    case CAN::REAL32: {
        bool ok = false;
        const float f = text.toFloat(&ok);
        *value = f;
        return ok;
    }
    case CAN::REAL64: {
        bool ok = false;
        const double d = text.toDouble(&ok);
        QByteArray bytes(8, Qt::Uninitialized);
        quint64 bits = 0;
        std::memcpy(&bits, &d, 8);
        for (int i = 0; i < 8; ++i)
            bytes[i] = char(bits >> (8 * i));
        *value = bytes;
        return ok;
    }
    default:
        break;
    }
    const int bits = bitsOf(type);
    if (bits == 0)
        return false;
    quint64 raw = 0;
    if (isSigned(type)) {
        bool ok = false;
        const qlonglong v = text.startsWith(QLatin1String("0x")) ? qlonglong(text.mid(2).toULongLong(&ok, 16))
                                                                 : text.toLongLong(&ok);
        const qlonglong limit = bits == 64 ? std::numeric_limits<qlonglong>::max() : (1LL << (bits - 1)) - 1;
        if (!ok || v > limit || v < -limit - 1)
            return false;
        *value = v;
        raw = quint64(v);
    } else {
        const quint64 max = bits == 64 ? std::numeric_limits<quint64>::max() : (quint64(1) << bits) - 1;
        if (!parseNumber(text, max, &raw))
            return false;
        *value = (type == CAN::BOOLEAN) ? QVariant(raw != 0) : QVariant(qulonglong(raw));
    }
    if (wireType(type) == CAN::DOMAIN) {
        // Sent as its little-endian bytes.
        QByteArray bytes(bits / 8, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(raw >> (8 * i));
        *value = bytes;
    }
    return true;
}

QString formatValue(const QVariant &value, CAN::CANopenDataType type)
{
    if (value.type() == QVariant::String) { // through a gateway: strings as text, octets in hex
        if (type == CAN::OCTET_STRING)
            return QString::fromLatin1(QByteArray::fromHex(value.toString().toLatin1()).toHex(' '));
        return value.toString();
    }
    if (value.type() == QVariant::ByteArray
        && (isInteger(type) || type == CAN::REAL64 || type == CAN::REAL32)) {
        // Types above 32 bits travel segmented: the value is its little-endian bytes.
        const QByteArray bytes = value.toByteArray();
        quint64 v = 0;
        for (int i = qMin(8, int(bytes.size())) - 1; i >= 0; --i)
            v = (v << 8) | quint8(bytes.at(i));
        if (type == CAN::REAL64 || type == CAN::REAL32) {
            if (bytes.size() == 8) {
                double d = 0;
                std::memcpy(&d, &v, 8);
                return QString::number(d, 'g', 17);
            }
            if (bytes.size() == 4) {
                const quint32 v32 = quint32(v);
                float f = 0;
                std::memcpy(&f, &v32, 4);
                return QString::number(double(f));
            }
            return QString::fromLatin1(bytes.toHex(' '));
        }
        const int bits = qMin(64, int(bytes.size()) * 8);
        if (isSigned(type) && bits > 0 && bits < 64 && ((v >> (bits - 1)) & 1))
            v |= ~quint64(0) << bits; // sign-extend
        return formatValue(isSigned(type) ? QVariant(qlonglong(v)) : QVariant(qulonglong(v)), type);
    }
    if (value.type() == QVariant::ByteArray) {
        const QByteArray bytes = value.toByteArray();
        if (type == CAN::VISIBLE_STRING)
            return QString::fromUtf8(bytes);
        if (type == CAN::UNICODE_STRING) {
            QString s;
            for (int i = 0; i + 1 < bytes.size(); i += 2)
                s.append(QChar(ushort(quint8(bytes.at(i)) | (quint8(bytes.at(i + 1)) << 8))));
            return s;
        }
        return QString::fromLatin1(bytes.toHex(' '));
    }
    if (type == CAN::REAL32 || type == CAN::REAL64)
        return QString::number(value.toDouble());
    if (type == CAN::BOOLEAN)
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (isSigned(type))
        return QString::number(value.toLongLong());
    const quint64 v = value.toULongLong();
    return QStringLiteral("%1 (0x%2)").arg(v).arg(v, 0, 16);
}
