#include "edsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

// CiA 306 files are INI files. QSettings reads them too, but it reports no line numbers and
// merges duplicated keys silently; a user's file deserves an exact message, so the sections
// are read here line by line.

bool edsNumber(const QString &text, quint8 nodeId, quint64 *value)
{
    QString t = text.trimmed();
    t.remove(QLatin1Char(' '));
    quint64 offset = 0;
    const int pos = t.indexOf(QLatin1String("$NODEID"), 0, Qt::CaseInsensitive);
    if (pos >= 0) {
        // "$NODEID+0x180" or "0x180+$NODEID"
        offset = nodeId;
        t.remove(pos, 7);
        if (t.startsWith(QLatin1Char('+')))
            t.remove(0, 1);
        else if (t.endsWith(QLatin1Char('+')))
            t.chop(1);
        else if (!t.isEmpty())
            return false;
        if (t.isEmpty()) {
            *value = offset;
            return true;
        }
    }
    bool ok = false;
    quint64 v = 0;
    bool negative = false;
    if (t.startsWith(QLatin1Char('-'))) {
        negative = true;
        t = t.mid(1);
    }
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = t.mid(2).toULongLong(&ok, 16);
    else if (t.size() > 1 && t.startsWith(QLatin1Char('0')))
        v = t.mid(1).toULongLong(&ok, 8);
    else
        v = t.toULongLong(&ok, 10);
    if (!ok)
        return false;
    *value = (negative ? quint64(-qint64(v)) : v) + offset;
    return true;
}

namespace {
struct Key
{
    QString value;
    int line = 0;
};

/// The key as CiA 306 spells it, for messages.
QString keyName(const char *key)
{
    static const char *names[] = { "VendorNumber", "ProductNumber", "RevisionNumber", "NodeID",
        "SupportedObjects", "DataType", "ObjectType", "SubNumber", "CompactSubObj", "AccessType" };
    for (const char *n : names)
        if (QLatin1String(n).compare(QLatin1String(key), Qt::CaseInsensitive) == 0)
            return QLatin1String(n);
    return QLatin1String(key);
}
struct Section
{
    QString name; // as written
    int line = 0;
    QMap<QString, Key> keys; // lower-case key
    bool has(const char *key) const { return keys.contains(QLatin1String(key)); }
    Key key(const char *k) const { return keys.value(QLatin1String(k)); }
};
} // namespace

bool EdsFile::fail(int line, const QString &message)
{
    mError = QStringLiteral("%1:%2: %3").arg(mFileName).arg(line).arg(message);
    return false;
}

bool EdsFile::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        mFileName = path;
        mError = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return parse(file.readAll(), path);
}

bool EdsFile::parse(const QByteArray &text, const QString &fileName)
{
    mFileName = fileName;
    mError.clear();
    mEntries.clear();
    QMap<QString, Section> sections; // upper-case name
    Section *current = nullptr;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const int line = i + 1;
        const QString l = QString::fromLatin1(lines.at(i).constData(), lines.at(i).size()).trimmed();
        if (l.isEmpty() || l.startsWith(QLatin1Char(';')) || l.startsWith(QLatin1Char('#')))
            continue;
        if (l.startsWith(QLatin1Char('['))) {
            if (!l.endsWith(QLatin1Char(']')) || l.size() < 3)
                return fail(line, QStringLiteral("malformed section header \"%1\"").arg(l));
            const QString name = l.mid(1, l.size() - 2).trimmed();
            const QString key = name.toUpper();
            if (sections.contains(key))
                return fail(line,
                    QStringLiteral("section [%1] appears twice (first on line %2)")
                        .arg(name)
                        .arg(sections.value(key).line));
            current = &sections[key];
            current->name = name;
            current->line = line;
            continue;
        }
        const int eq = l.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return fail(line, QStringLiteral("expected KEY=VALUE or [SECTION], not \"%1\"").arg(l));
        if (!current)
            return fail(line, QStringLiteral("\"%1\" stands before the first section").arg(l));
        const QString key = l.left(eq).trimmed().toLower();
        if (current->keys.contains(key))
            return fail(line,
                QStringLiteral("%1 appears twice in [%2] (first on line %3)")
                    .arg(l.left(eq).trimmed(), current->name)
                    .arg(current->keys.value(key).line));
        current->keys.insert(key, { l.mid(eq + 1).trimmed(), line });
    }

    auto number = [&](const Section &s, const char *key, quint64 max, quint64 *v, bool required) -> bool {
        if (!s.has(key)) {
            if (required)
                return fail(s.line, QStringLiteral("[%1] has no %2").arg(s.name, keyName(key)));
            return true;
        }
        const Key k = s.key(key);
        if (!edsNumber(k.value, 0, v) || *v > max)
            return fail(k.line, QStringLiteral("%1 \"%2\" is not a valid number").arg(keyName(key), k.value));
        return true;
    };

    // Device information.
    const auto info = sections.constFind(QStringLiteral("DEVICEINFO"));
    if (info == sections.constEnd())
        return fail(1, QStringLiteral("no [DeviceInfo] section"));
    quint64 v = 0;
    mVendorName = info->key("vendorname").value;
    mProductName = info->key("productname").value;
    if (!number(*info, "vendornumber", 0xFFFFFFFFu, &v, false))
        return false;
    mVendorNumber = quint32(v);
    v = 0;
    if (!number(*info, "productnumber", 0xFFFFFFFFu, &v, false))
        return false;
    mProductNumber = quint32(v);
    v = 0;
    if (!number(*info, "revisionnumber", 0xFFFFFFFFu, &v, false))
        return false;
    mRevisionNumber = quint32(v);
    const auto commissioning = sections.constFind(QStringLiteral("DEVICECOMISSIONING"));
    if (commissioning != sections.constEnd()) {
        v = 0;
        if (!number(*commissioning, "nodeid", 127, &v, false))
            return false;
        mNodeId = quint8(v);
    }

    // The object lists name every object the file describes.
    if (!sections.contains(QStringLiteral("MANDATORYOBJECTS")))
        return fail(1, QStringLiteral("no [MandatoryObjects] section"));
    QMap<quint16, int> objects; // index -> line where it is listed
    for (const char *listName : { "MANDATORYOBJECTS", "OPTIONALOBJECTS", "MANUFACTUREROBJECTS" }) {
        const auto list = sections.constFind(QLatin1String(listName));
        if (list == sections.constEnd())
            continue;
        quint64 count = 0;
        if (!number(*list, "supportedobjects", 0xFFFF, &count, true))
            return false;
        for (quint64 n = 1; n <= count; ++n) {
            const QString key = QString::number(n);
            if (!list->keys.contains(key))
                return fail(list->key("supportedobjects").line,
                    QStringLiteral("[%1] lists %2 objects but has no entry %3")
                        .arg(list->name)
                        .arg(count)
                        .arg(n));
            const Key k = list->keys.value(key);
            quint64 index = 0;
            if (!edsNumber(k.value, 0, &index) || index == 0 || index > 0xFFFF)
                return fail(k.line, QStringLiteral("\"%1\" is not an object index").arg(k.value));
            if (objects.contains(quint16(index)))
                return fail(k.line,
                    QStringLiteral("object 0x%1 is listed twice (first on line %2)")
                        .arg(index, 4, 16, QLatin1Char('0'))
                        .arg(objects.value(quint16(index))));
            objects.insert(quint16(index), k.line);
        }
    }

    auto addEntry = [&](const Section &s, quint16 index, quint8 sub, const QString &objectName,
                        const Section *inherit) -> bool {
        EdsEntry e;
        e.index = index;
        e.sub = sub;
        e.line = s.line;
        e.objectName = objectName;
        e.name = s.key("parametername").value;
        if (e.name.isEmpty())
            return fail(s.line, QStringLiteral("[%1] has no ParameterName").arg(s.name));
        const Section &typed = (inherit && !s.has("datatype")) ? *inherit : s;
        quint64 type = 0;
        if (!number(typed, "datatype", 0xFFFF, &type, true))
            return false;
        e.dataType = int(type);
        const Section &accessed = (inherit && !s.has("accesstype")) ? *inherit : s;
        if (!accessed.has("accesstype"))
            return fail(s.line, QStringLiteral("[%1] has no AccessType").arg(s.name));
        e.accessType = accessed.key("accesstype").value.toLower();
        static const QStringList access = { QStringLiteral("ro"), QStringLiteral("wo"), QStringLiteral("rw"),
            QStringLiteral("rwr"), QStringLiteral("rww"), QStringLiteral("const") };
        if (!access.contains(e.accessType))
            return fail(accessed.key("accesstype").line,
                QStringLiteral("AccessType \"%1\" is none of ro, wo, rw, rwr, rww, const")
                    .arg(accessed.key("accesstype").value));
        e.defaultValue = s.key("defaultvalue").value;
        e.value = s.key("parametervalue").value;
        // Numbers must be numbers (the $NODEID forms included).
        const bool numeric
            = (type >= 1 && type <= 7) || type == 16 || (type >= 18 && type <= 27 && type != 23);
        for (const char *k : { "defaultvalue", "parametervalue", "lowlimit", "highlimit" }) {
            const Key key = s.key(k);
            quint64 dummy = 0;
            if (numeric && !key.value.isEmpty() && !edsNumber(key.value, 0, &dummy))
                return fail(key.line,
                    QStringLiteral("%1 \"%2\" of [%3] is not a valid number")
                        .arg(QLatin1String(k == QLatin1String("defaultvalue") ? "DefaultValue"
                                     : k == QLatin1String("parametervalue")   ? "ParameterValue"
                                     : k == QLatin1String("lowlimit")         ? "LowLimit"
                                                                              : "HighLimit"),
                            key.value, s.name));
        }
        mEntries.insert(quint32(index) << 8 | sub, e);
        return true;
    };

    static const QRegularExpression subName(QStringLiteral("^([0-9A-F]{1,4})SUB([0-9A-F]{1,2})$"));
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        const quint16 index = it.key();
        const QString name = QStringLiteral("%1").arg(index, 4, 16, QLatin1Char('0')).toUpper();
        const auto s = sections.constFind(name);
        if (s == sections.constEnd())
            return fail(it.value(),
                QStringLiteral("object 0x%1 is listed here but has no section [%2]")
                    .arg(index, 4, 16, QLatin1Char('0'))
                    .arg(name));
        quint64 objectType = 7;
        if (!number(*s, "objecttype", 0xFF, &objectType, false))
            return false;
        const QString objectName = s->key("parametername").value;
        if (objectName.isEmpty())
            return fail(s->line, QStringLiteral("[%1] has no ParameterName").arg(s->name));
        if (objectType == 7 || objectType == 2) { // VAR, DOMAIN
            if (objectType == 2 && !s->has("datatype")) {
                Section domain = *s;
                domain.keys.insert(QStringLiteral("datatype"), { QStringLiteral("0x000F"), s->line });
                if (!addEntry(domain, index, 0, objectName, nullptr))
                    return false;
            } else if (!addEntry(*s, index, 0, objectName, nullptr)) {
                return false;
            }
            continue;
        }
        if (objectType != 8 && objectType != 9)
            return fail(s->key("objecttype").line ? s->key("objecttype").line : s->line,
                QStringLiteral("ObjectType 0x%1 of [%2] is not VAR (7), DOMAIN (2), ARRAY (8) or RECORD (9)")
                    .arg(objectType, 0, 16)
                    .arg(s->name));
        quint64 compact = 0;
        if (!number(*s, "compactsubobj", 0xFE, &compact, false))
            return false;
        if (compact > 0) {
            // An array given by its type: sub-index 0 holds the count, 1..n the elements.
            Section count;
            count.name = s->name;
            count.line = s->line;
            count.keys.insert(
                QStringLiteral("parametername"), { QStringLiteral("Number of entries"), s->line });
            count.keys.insert(QStringLiteral("datatype"), { QStringLiteral("0x0005"), s->line });
            count.keys.insert(QStringLiteral("accesstype"), { QStringLiteral("ro"), s->line });
            count.keys.insert(QStringLiteral("defaultvalue"), { QString::number(compact), s->line });
            if (!addEntry(count, index, 0, objectName, nullptr))
                return false;
            const auto names = sections.constFind(name + QStringLiteral("NAME"));
            for (quint64 n = 1; n <= compact; ++n) {
                Section element = *s;
                QString elementName = QStringLiteral("%1 %2").arg(objectName).arg(n);
                if (names != sections.constEnd() && names->keys.contains(QString::number(n)))
                    elementName = names->keys.value(QString::number(n)).value;
                element.keys.insert(QStringLiteral("parametername"), { elementName, s->line });
                if (!addEntry(element, index, quint8(n), objectName, nullptr))
                    return false;
            }
            continue;
        }
        quint64 subNumber = 0;
        if (!number(*s, "subnumber", 0xFF, &subNumber, true))
            return false;
        int found = 0;
        for (auto sub = sections.constBegin(); sub != sections.constEnd(); ++sub) {
            const QRegularExpressionMatch m = subName.match(sub.key());
            if (!m.hasMatch() || m.captured(1).toUInt(nullptr, 16) != index)
                continue;
            const quint8 subIndex = quint8(m.captured(2).toUInt(nullptr, 16));
            if (mEntries.contains(quint32(index) << 8 | subIndex))
                return fail(sub->line,
                    QStringLiteral("sub-index %1 of object 0x%2 is described twice")
                        .arg(subIndex)
                        .arg(index, 4, 16, QLatin1Char('0')));
            if (!addEntry(*sub, index, subIndex, objectName, nullptr))
                return false;
            ++found;
        }
        if (quint64(found) != subNumber)
            return fail(s->key("subnumber").line,
                QStringLiteral("[%1] says SubNumber=%2 but %3 sub-index sections follow")
                    .arg(s->name)
                    .arg(subNumber)
                    .arg(found));
    }
    return true;
}

const EdsEntry *EdsFile::find(quint16 index, quint8 sub) const
{
    const auto it = mEntries.constFind(quint32(index) << 8 | sub);
    return it == mEntries.constEnd() ? nullptr : &*it;
}

const EdsEntry *EdsFile::find(const QString &name) const
{
    const QString wanted = name.trimmed();
    auto same = [&](const QString &a) { return a.compare(wanted, Qt::CaseInsensitive) == 0; };
    for (const EdsEntry &e : mEntries) {
        if (e.sub == 0 && same(e.objectName) && !mEntries.contains(quint32(e.index) << 8 | 1))
            return &e; // a VAR object by its name
        if (same(e.objectName + QLatin1Char('.') + e.name)
            || same(e.objectName + QLatin1Char('.') + QString::number(e.sub)))
            return &e;
    }
    const EdsEntry *unique = nullptr;
    for (const EdsEntry &e : mEntries) {
        if (same(e.name)) {
            if (unique)
                return nullptr; // ambiguous: "Object.Sub" tells them apart
            unique = &e;
        }
    }
    return unique;
}

EdsLibrary::~EdsLibrary()
{
    qDeleteAll(mFiles);
}

bool EdsLibrary::add(const QString &spec, QString *error)
{
    QString path = spec;
    int node = -1;
    const int eq = spec.indexOf(QLatin1Char('='));
    if (eq > 0) {
        bool ok = false;
        node = spec.left(eq).toInt(&ok, 0);
        if (!ok || node < 1 || node > 127) {
            *error
                = QStringLiteral("--eds %1: use FILE, FOLDER or NODE=FILE with a node-ID 1..127").arg(spec);
            return false;
        }
        path = spec.mid(eq + 1);
    }
    const QFileInfo fi(path);
    if (fi.isDir()) {
        if (node >= 0) {
            *error
                = QStringLiteral("--eds %1: a folder is matched by identity, not given to a node").arg(spec);
            return false;
        }
        const QStringList names = QDir(path).entryList({ QStringLiteral("*.eds"), QStringLiteral("*.dcf"),
                                                           QStringLiteral("*.EDS"), QStringLiteral("*.DCF") },
            QDir::Files, QDir::Name);
        for (const QString &name : names) {
            auto *file = new EdsFile;
            mFiles << file;
            if (!file->load(QDir(path).filePath(name))) {
                *error = file->errorString();
                return false;
            }
            mPool << file;
        }
        return true;
    }
    auto *file = new EdsFile;
    mFiles << file;
    if (!file->load(path)) {
        *error = file->errorString();
        return false;
    }
    if (node > 0)
        mByNode.insert(quint8(node), file);
    else
        mDefault = file;
    return true;
}

const EdsFile *EdsLibrary::forNode(quint8 node) const
{
    return mByNode.value(node, mDefault);
}

const EdsFile *EdsLibrary::forIdentity(quint32 vendor, quint32 product, quint32 revision) const
{
    const EdsFile *candidate = nullptr;
    for (const EdsFile *f : mPool) {
        if (f->vendorNumber() != vendor || f->productNumber() != product)
            continue;
        if (f->revisionNumber() == revision)
            return f;
        if (!candidate)
            candidate = f;
    }
    return candidate;
}
