#pragma once

#include "tarnwicksim_export.h"

#include <QByteArray>
#include <QMap>
#include <QObject>

/// The object dictionary of a simulated CANopen device: typed entries addressed by index and
/// sub-index, values held as the little-endian bytes that travel on the bus. Reads and writes
/// check existence, access and length as a CiA 301 device does and answer with its abort codes.
class TARNWICKSIM_EXPORT SimObjectDictionary : public QObject
{
    Q_OBJECT
public:
    enum Access { ReadOnly, WriteOnly, ReadWrite, Const };

    /// CiA 301 data type indices used by the simulated devices.
    enum DataType : quint16 {
        Boolean = 0x0001,
        Integer8 = 0x0002,
        Integer16 = 0x0003,
        Integer32 = 0x0004,
        Unsigned8 = 0x0005,
        Unsigned16 = 0x0006,
        Unsigned32 = 0x0007,
        Real32 = 0x0008,
        VisibleString = 0x0009,
        OctetString = 0x000A,
        Domain = 0x000F,
        Integer24 = 0x0010,
        Real64 = 0x0011,
        Integer64 = 0x0015,
        Unsigned24 = 0x0016,
        Unsigned40 = 0x0018,
        Unsigned48 = 0x0019,
        Unsigned64 = 0x001B,
    };

    /// CiA 301 abort codes the dictionary answers with.
    enum AbortCode : quint32 {
        Abort_None = 0,
        Abort_WriteOnly = 0x06010001,
        Abort_ReadOnly = 0x06010002,
        Abort_NoObject = 0x06020000,
        Abort_LengthMismatch = 0x06070010,
        Abort_LengthTooHigh = 0x06070012,
        Abort_LengthTooLow = 0x06070013,
        Abort_NoSubIndex = 0x06090011,
        Abort_ValueRange = 0x06090030,
        Abort_OutOfMemory = 0x05040005,
    };

    struct Entry
    {
        quint16 dataType = Unsigned32;
        Access access = ReadWrite;
        QByteArray value;
        int maxSize = 0; ///< for strings and domains: largest accepted size (0: 1 MiB + 1 KiB)
    };

    explicit SimObjectDictionary(QObject *parent = nullptr);

    /// Size in bytes of a fixed-size type, 0 for strings and domains.
    static int typeSize(quint16 dataType);

    void add(quint16 index, quint8 sub, quint16 dataType, Access access, const QByteArray &value);
    /// Adds an integer entry; the value is stored little-endian in the type's size.
    void addValue(quint16 index, quint8 sub, quint16 dataType, Access access, quint64 value);
    /// Adds a record/array: sub 0 (UNSIGNED8, const) holds the highest sub-index given.
    void addRecord(quint16 index, const QList<QPair<quint16, quint64>> &subs, Access access = ReadOnly);
    void remove(quint16 index, quint8 sub);

    bool hasIndex(quint16 index) const;
    bool contains(quint16 index, quint8 sub) const;
    const Entry *entry(quint16 index, quint8 sub) const;

    /// Reads as an SDO server does: 0 or the abort code.
    quint32 read(quint16 index, quint8 sub, QByteArray *value) const;
    /// Writes as an SDO server does: checks access and length; 0 or the abort code.
    quint32 write(quint16 index, quint8 sub, const QByteArray &value);

    /// Direct access for the device and for tests (no access check).
    QByteArray value(quint16 index, quint8 sub) const;
    quint64 unsignedValue(quint16 index, quint8 sub) const;
    void setValue(quint16 index, quint8 sub, const QByteArray &value);
    void setUnsigned(quint16 index, quint8 sub, quint64 value);

    static quint32 key(quint16 index, quint8 sub) { return (quint32(index) << 8) | sub; }

signals:
    /// An entry was written through write() (an SDO download), not by setValue.
    void entryWritten(quint16 index, quint8 sub);

private:
    QMap<quint32, Entry> mEntries;
};
