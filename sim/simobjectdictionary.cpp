#include "simobjectdictionary.h"

#include <QtEndian>

SimObjectDictionary::SimObjectDictionary(QObject *parent)
    : QObject(parent)
{
}

int SimObjectDictionary::typeSize(quint16 dataType)
{
    switch (dataType) {
    case Boolean:
    case Integer8:
    case Unsigned8:
        return 1;
    case Integer16:
    case Unsigned16:
        return 2;
    case Integer24:
    case Unsigned24:
        return 3;
    case Integer32:
    case Unsigned32:
    case Real32:
        return 4;
    case Unsigned40:
        return 5;
    case Unsigned48:
        return 6;
    case Real64:
    case Integer64:
    case Unsigned64:
        return 8;
    default:
        return 0;
    }
}

static QByteArray littleEndian(quint64 value, int size)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

void SimObjectDictionary::add(
    quint16 index, quint8 sub, quint16 dataType, Access access, const QByteArray &value)
{
    Entry e;
    e.dataType = dataType;
    e.access = access;
    e.value = value;
    mEntries.insert(key(index, sub), e);
}

void SimObjectDictionary::addValue(quint16 index, quint8 sub, quint16 dataType, Access access, quint64 value)
{
    add(index, sub, dataType, access, littleEndian(value, qMax(1, typeSize(dataType))));
}

void SimObjectDictionary::addRecord(quint16 index, const QList<QPair<quint16, quint64>> &subs, Access access)
{
    addValue(index, 0, Unsigned8, Const, quint64(subs.size()));
    quint8 sub = 1;
    for (const auto &s : subs)
        addValue(index, sub++, s.first, access, s.second);
}

void SimObjectDictionary::remove(quint16 index, quint8 sub)
{
    mEntries.remove(key(index, sub));
}

bool SimObjectDictionary::hasIndex(quint16 index) const
{
    auto it = mEntries.lowerBound(key(index, 0));
    return it != mEntries.end() && (it.key() >> 8) == index;
}

bool SimObjectDictionary::contains(quint16 index, quint8 sub) const
{
    return mEntries.contains(key(index, sub));
}

const SimObjectDictionary::Entry *SimObjectDictionary::entry(quint16 index, quint8 sub) const
{
    auto it = mEntries.constFind(key(index, sub));
    return it == mEntries.constEnd() ? nullptr : &it.value();
}

quint32 SimObjectDictionary::read(quint16 index, quint8 sub, QByteArray *value) const
{
    const Entry *e = entry(index, sub);
    if (!e)
        return hasIndex(index) ? Abort_NoSubIndex : Abort_NoObject;
    if (e->access == WriteOnly)
        return Abort_WriteOnly;
    if (value)
        *value = e->value;
    return Abort_None;
}

quint32 SimObjectDictionary::write(quint16 index, quint8 sub, const QByteArray &value)
{
    auto it = mEntries.find(key(index, sub));
    if (it == mEntries.end())
        return hasIndex(index) ? Abort_NoSubIndex : Abort_NoObject;
    Entry &e = it.value();
    if (e.access == ReadOnly || e.access == Const)
        return Abort_ReadOnly;
    const int size = typeSize(e.dataType);
    if (size > 0) {
        if (value.size() > size)
            return Abort_LengthTooHigh;
        if (value.size() < size)
            return Abort_LengthTooLow;
    } else {
        const int limit = e.maxSize > 0 ? e.maxSize : (1 << 20) + 1024;
        if (value.size() > limit)
            return Abort_LengthTooHigh;
    }
    e.value = value;
    emit entryWritten(index, sub);
    return Abort_None;
}

QByteArray SimObjectDictionary::value(quint16 index, quint8 sub) const
{
    const Entry *e = entry(index, sub);
    return e ? e->value : QByteArray();
}

quint64 SimObjectDictionary::unsignedValue(quint16 index, quint8 sub) const
{
    const QByteArray v = value(index, sub);
    quint64 result = 0;
    for (int i = qMin(8, int(v.size())) - 1; i >= 0; --i)
        result = (result << 8) | quint8(v.at(i));
    return result;
}

void SimObjectDictionary::setValue(quint16 index, quint8 sub, const QByteArray &value)
{
    auto it = mEntries.find(key(index, sub));
    if (it != mEntries.end())
        it->value = value;
}

void SimObjectDictionary::setUnsigned(quint16 index, quint8 sub, quint64 value)
{
    auto it = mEntries.find(key(index, sub));
    if (it != mEntries.end())
        it->value = littleEndian(value, qMax(1, typeSize(it->dataType)));
}
