#pragma once

#include "canopendatatype.h"

#include <QList>
#include <QMap>
#include <QString>

/// One entry of an electronic data sheet: a variable (a VAR object, or a sub-index of an ARRAY
/// or RECORD object).
struct EdsEntry
{
    quint16 index = 0;
    quint8 sub = 0;
    QString name; ///< ParameterName; sub-indices as "Object.Sub"
    QString objectName; ///< the ParameterName of the object the entry belongs to
    int dataType = 0; ///< DataType, the CiA 301 data type index
    QString accessType; ///< ro, wo, rw, rwr, rww, const (lower case)
    QString defaultValue; ///< DefaultValue as written (may use $NODEID)
    QString value; ///< ParameterValue of a DCF, empty in an EDS
    int line = 0; ///< line of the entry's section

    CAN::CANopenDataType type() const { return CAN::CANopenDataType(dataType); }
    bool readable() const { return accessType != QLatin1String("wo"); }
    bool writable() const
    {
        return accessType != QLatin1String("ro") && accessType != QLatin1String("const");
    }
};

/// An EDS or DCF file (CiA 306): device information and the object dictionary it describes.
/// Parsing stops at the first fault with a message naming the file and line.
class EdsFile
{
public:
    bool load(const QString &path);
    /// Parses text; fileName only names the source in messages.
    bool parse(const QByteArray &text, const QString &fileName);
    /// "FILE:LINE: what is wrong" after a failed load or parse.
    QString errorString() const { return mError; }

    QString fileName() const { return mFileName; }
    QString vendorName() const { return mVendorName; }
    QString productName() const { return mProductName; }
    quint32 vendorNumber() const { return mVendorNumber; }
    quint32 productNumber() const { return mProductNumber; }
    quint32 revisionNumber() const { return mRevisionNumber; }
    /// NodeID of a DCF's [DeviceComissioning]; 0 when absent.
    quint8 nodeId() const { return mNodeId; }

    /// Every entry, by index and sub-index.
    QList<EdsEntry> entries() const { return mEntries.values(); }
    const EdsEntry *find(quint16 index, quint8 sub) const;
    /// By ParameterName ("Producer heartbeat time"), "Object.Sub" name or "Object.N" with a
    /// sub-index number; case-insensitive.
    const EdsEntry *find(const QString &name) const;

private:
    bool fail(int line, const QString &message);

    QString mFileName;
    QString mError;
    QString mVendorName;
    QString mProductName;
    quint32 mVendorNumber = 0;
    quint32 mProductNumber = 0;
    quint32 mRevisionNumber = 0;
    quint8 mNodeId = 0;
    QMap<quint32, EdsEntry> mEntries; // index << 8 | sub
};

/// The files given with --eds: one for a node ("NODE=FILE"), one for every node ("FILE"), or
/// folders whose files are matched to a node by its identity.
class EdsLibrary
{
public:
    /// Adds one --eds value; false with a message when a file is unreadable or malformed.
    bool add(const QString &spec, QString *error);
    bool isEmpty() const { return mByNode.isEmpty() && !mDefault && mPool.isEmpty(); }
    /// The file named for this node (or for every node); null when none.
    const EdsFile *forNode(quint8 node) const;
    /// The file named for this node alone ("NODE=FILE"); null when none.
    const EdsFile *namedFor(quint8 node) const { return mByNode.value(node); }
    /// A file of the folders for this identity: vendor and product must match, a matching
    /// revision is preferred. Null when none.
    const EdsFile *forIdentity(quint32 vendor, quint32 product, quint32 revision) const;
    bool hasFolders() const { return !mPool.isEmpty(); }

private:
    QList<EdsFile *> mFiles;
    QMap<quint8, const EdsFile *> mByNode;
    const EdsFile *mDefault = nullptr;
    QList<const EdsFile *> mPool;

public:
    EdsLibrary() = default;
    EdsLibrary(const EdsLibrary &) = delete;
    EdsLibrary &operator=(const EdsLibrary &) = delete;
    ~EdsLibrary();
};

/// The value of a DefaultValue or ParameterValue text for a node: "$NODEID+0x180" and the
/// like resolved; decimal, 0x-hex or (leading 0) octal. False when it is no number.
bool edsNumber(const QString &text, quint8 nodeId, quint64 *value);
