#include "keepassxml.h"

#include "vault/vault.h"

#include <QRegularExpression>
#include <QSet>
#include <QTimeZone>
#include <QUuid>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <QtEndian>

#include <vector>

namespace {

// Reads a KeePass document element by element. Every read goes through next(), which keeps
// the nesting depth in bounds and refuses document type declarations and entity references,
// so nothing the file declares is ever expanded.
class KeePassReader
{
public:
    KeePassReader(const QByteArray& bytes, ImportProgress* progress) : xml(bytes), progress(progress)
    {
        if (progress)
            progress->total = bytes.size();
    }

    ImportedEntries read();

private:
    struct Group
    {
        QString path; // below the root; empty for the root itself
        bool recycled = false;
    };

    bool next();
    bool fail(const QString& message);
    // Reads past the rest of the current element.
    bool skipElement();
    // The text of the current element, which holds no elements.
    bool readText(QString& text);
    bool readMeta();
    bool readRoot();
    bool readGroup(const Group& parent, bool isRoot);
    bool readEntry(QList<Entry>& found);
    bool readTimes(Entry& entry);
    bool readString(Entry& entry, QStringList& extra);
    bool readBinary(QStringList& extra);
    bool readTags(QStringList& extra);
    // Passes over the old versions of an entry, counting them.
    bool countHistory();
    bool readTime(EntryTime& time);
    QString where() const { return QStringLiteral("line %1").arg(xml.lineNumber()); }

    QXmlStreamReader xml;
    ImportProgress* progress;
    ImportedEntryMaker maker;
    int depth = 0;
    QString error;
    QString recycleBinUuid;
    // Groups that hold only groups ("Work" above "Work/Mail"): no category of their own.
    QStringList containers;
    ImportedEntries result;
};

bool KeePassReader::fail(const QString& message)
{
    if (error.isEmpty())
        error = message;
    return false;
}

bool KeePassReader::next()
{
    switch (xml.readNext()) {
    case QXmlStreamReader::StartElement:
        if (++depth > kMaxXmlDepth)
            return fail(QStringLiteral("%1: elements are nested more than %2 deep").arg(where()).arg(kMaxXmlDepth));
        return true;
    case QXmlStreamReader::EndElement:
        --depth;
        return true;
    case QXmlStreamReader::DTD:
        return fail(
            QStringLiteral("%1: the file declares a document type, which a KeePass export never does").arg(where()));
    case QXmlStreamReader::EntityReference:
        return fail(QStringLiteral("%1: the entity \"&%2;\" is not declared").arg(where(), xml.name()));
    case QXmlStreamReader::Invalid:
        if (xml.error() == QXmlStreamReader::PrematureEndOfDocumentError)
            return fail(QStringLiteral("%1: the file ends before the document does; it may be cut short").arg(where()));
        return fail(QStringLiteral("%1, column %2: %3").arg(where()).arg(xml.columnNumber()).arg(xml.errorString()));
    default:
        return true;
    }
}

bool KeePassReader::skipElement()
{
    const int level = depth;
    while (next()) {
        if (depth < level)
            return true;
    }
    return false;
}

bool KeePassReader::readText(QString& text)
{
    text = QLatin1String("");
    const int level = depth;
    while (next()) {
        if (depth < level)
            return true;
        if (xml.isCharacters())
            text += xml.text();
        else if (xml.isStartElement())
            return fail(QStringLiteral("%1: <%2> inside an element that holds text").arg(where(), xml.name()));
    }
    return false;
}

ImportedEntries KeePassReader::read()
{
    bool sawDocument = false;
    // Read to the end even after the document, so that anything behind it is an error too.
    while (!xml.atEnd() && next()) {
        if (!xml.isStartElement())
            continue;
        if (xml.name() != QLatin1String("KeePassFile")) {
            fail(QStringLiteral("%1: the document is <%2>, not <KeePassFile>: this is not a KeePass 2 XML export")
                     .arg(where(), xml.name()));
            break;
        }
        sawDocument = true;
        while (next() && depth > 0) {
            if (!xml.isStartElement())
                continue;
            const bool ok = xml.name() == QLatin1String("Meta")   ? readMeta()
                            : xml.name() == QLatin1String("Root") ? readRoot()
                                                                  : skipElement();
            if (!ok)
                break;
        }
        if (!error.isEmpty())
            break;
    }
    if (error.isEmpty() && !sawDocument)
        error = QStringLiteral("the file holds no XML document");
    if (!error.isEmpty()) {
        ImportedEntries failed;
        failed.error = error;
        return failed;
    }
    result.categories.removeDuplicates();
    QSet<QString> used;
    for (const Entry& entry : std::as_const(result.entries))
        used.insert(entry.category);
    for (const QString& container : std::as_const(containers)) {
        if (!used.contains(container))
            result.categories.removeAll(container);
    }
    result.ok = true;
    return result;
}

bool KeePassReader::readMeta()
{
    const int level = depth;
    while (next() && depth >= level) {
        if (!xml.isStartElement())
            continue;
        if (depth == level + 1 && xml.name() == QLatin1String("RecycleBinUUID")) {
            if (!readText(recycleBinUuid))
                return false;
        } else if (!skipElement()) {
            return false;
        }
    }
    return error.isEmpty();
}

bool KeePassReader::readRoot()
{
    const int level = depth;
    while (next() && depth >= level) {
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("Group")) {
            if (!readGroup(Group(), true))
                return false;
        } else if (!skipElement()) {
            return false;
        }
    }
    return error.isEmpty();
}

bool KeePassReader::readGroup(const Group& parent, bool isRoot)
{
    Group group;
    group.recycled = parent.recycled;
    QString name;
    QList<Entry> found;
    bool hasSubgroups = false;
    const int level = depth;
    while (next() && depth >= level) {
        if (!xml.isStartElement())
            continue;
        const auto element = xml.name();
        if (element == QLatin1String("UUID")) {
            QString uuid;
            if (!readText(uuid))
                return false;
            // An all-zero UUID names no recycle bin.
            if (!uuid.isEmpty() && uuid == recycleBinUuid && QByteArray::fromBase64(uuid.toLatin1()).count('\0') != 16)
                group.recycled = true;
        } else if (element == QLatin1String("Name")) {
            if (!readText(name))
                return false;
            // The root group's name ("Root", "Passwords", the database's) is shared by all.
            if (!isRoot)
                group.path = parent.path.isEmpty() ? name : parent.path + QLatin1Char('/') + name;
            if (!group.recycled && !group.path.isEmpty())
                noteCategory(result.categories, group.path);
        } else if (element == QLatin1String("Entry")) {
            if (!readEntry(found))
                return false;
        } else if (element == QLatin1String("Group")) {
            hasSubgroups = true;
            if (!readGroup(group, false))
                return false;
        } else if (!skipElement()) {
            return false;
        }
    }
    if (!error.isEmpty())
        return false;
    if (group.recycled) {
        result.leftOut.recycled += int(found.size());
        return true;
    }
    if (found.isEmpty() && hasSubgroups)
        containers << group.path;
    const QString category = group.path.isEmpty() ? Vault::generalCategory() : group.path;
    for (Entry& entry : found) {
        entry.category = category;
        noteCategory(result.categories, category);
        result.entries.append(std::move(entry));
    }
    return true;
}

bool KeePassReader::readEntry(QList<Entry>& found)
{
    Entry entry = maker.make();
    if (progress) {
        progress->done = xml.characterOffset();
        if (progress->cancelled)
            return fail(QStringLiteral("cancelled"));
    }
    entry.title = QString();
    QStringList extra; // "name: value" of the fields without a place, in file order
    const int level = depth;
    while (next() && depth >= level) {
        if (!xml.isStartElement())
            continue;
        const auto element = xml.name();
        bool ok = true;
        if (element == QLatin1String("Times"))
            ok = readTimes(entry);
        else if (element == QLatin1String("String"))
            ok = readString(entry, extra);
        else if (element == QLatin1String("Binary"))
            ok = readBinary(extra);
        else if (element == QLatin1String("Tags"))
            ok = readTags(extra);
        else if (element == QLatin1String("History"))
            ok = countHistory();
        else // AutoType, colours, icons
            ok = skipElement();
        if (!ok)
            return false;
    }
    if (!error.isEmpty())
        return false;
    for (const QString& field : std::as_const(extra)) {
        if (!entry.notes.isEmpty() && !entry.notes.endsWith(QLatin1Char('\n')))
            entry.notes += QLatin1Char('\n');
        entry.notes += field;
    }
    if (entry.title.isEmpty())
        entry.title = fallbackTitle(entry.url, entry.account);
    found.append(std::move(entry));
    return true;
}

bool KeePassReader::readTimes(Entry& entry)
{
    const int level = depth;
    while (next() && depth >= level) {
        if (!xml.isStartElement())
            continue;
        bool ok = true;
        if (xml.name() == QLatin1String("CreationTime"))
            ok = readTime(entry.dateCreated);
        else if (xml.name() == QLatin1String("LastModificationTime"))
            ok = readTime(entry.dateChanged);
        else
            ok = skipElement();
        if (!ok)
            return false;
    }
    return error.isEmpty();
}

// KeePass writes ISO 8601 in UTC; KeePassXC's newer files the seconds since 0001-01-01 as
// eight little-endian bytes in base64.
bool KeePassReader::readTime(EntryTime& time)
{
    const int line = int(xml.lineNumber());
    QString text;
    if (!readText(text))
        return false;
    text = text.trimmed();
    if (text.isEmpty())
        return true;
    QDateTime parsed = QDateTime::fromString(text, Qt::ISODate);
    if (!parsed.isValid()) {
        const auto decoded = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (decoded && decoded.decoded.size() == 8) {
            const qint64 seconds = qFromLittleEndian<qint64>(decoded.decoded.constData());
            const QDateTime epoch(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc());
            if (seconds >= 0 && seconds < qint64(10000) * 366 * 86400)
                parsed = epoch.addSecs(seconds);
            else
                return true; // far beyond any time an entry has: passed over
        }
    }
    if (!takeImportedTime(parsed, time))
        return fail(QStringLiteral("line %1: \"%2\" is not a date and time").arg(line).arg(text));
    return true;
}

bool KeePassReader::readString(Entry& entry, QStringList& extra)
{
    QString key;
    QString value;
    const int level = depth;
    while (next() && depth >= level) {
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("Key")) {
            if (!readText(key))
                return false;
        } else if (xml.name() == QLatin1String("Value")) {
            // In a database file a protected value is enciphered; an export holds it in the clear.
            if (xml.attributes()
                    .value(QLatin1String("Protected"))
                    .compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
                return fail(QStringLiteral("%1: the value is enciphered by its database; export the database as "
                                           "XML from KeePass or KeePassXC")
                                .arg(where()));
            if (!readText(value))
                return false;
        } else if (!skipElement()) {
            return false;
        }
    }
    if (!error.isEmpty())
        return false;
    if (key == QLatin1String("Title"))
        entry.title = value;
    else if (key == QLatin1String("UserName"))
        entry.account = value;
    else if (key == QLatin1String("Password"))
        entry.password = value;
    else if (key == QLatin1String("URL"))
        entry.url = value;
    else if (key == QLatin1String("Notes"))
        entry.notes = value;
    else if (!value.isEmpty())
        extra << key + QStringLiteral(": ") + value;
    return true;
}

bool KeePassReader::readBinary(QStringList& extra)
{
    QString key;
    const int level = depth;
    while (next() && depth >= level) {
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("Key")) {
            if (!readText(key))
                return false;
        } else if (!skipElement()) {
            return false;
        }
    }
    if (!error.isEmpty())
        return false;
    extra << QStringLiteral("Attachment (not imported): ") + key;
    return true;
}

bool KeePassReader::countHistory()
{
    const int level = depth;
    while (next()) {
        if (depth < level)
            return true;
        if (xml.isStartElement() && depth == level + 1 && xml.name() == QLatin1String("Entry"))
            ++result.leftOut.oldVersions;
    }
    return false;
}

bool KeePassReader::readTags(QStringList& extra)
{
    QString tags;
    if (!readText(tags))
        return false;
    if (!tags.trimmed().isEmpty())
        extra << QStringLiteral("Tags: ") + tags.trimmed();
    return true;
}

// ---- writing

struct GroupNode
{
    QString name;
    QString path;
    std::vector<GroupNode> children;
    QList<const Entry*> entries;
};

// Splits a category into its groups; a name with an empty part ("a//b", "/x") stays one group.
QStringList groupNames(const QString& category)
{
    const QStringList parts = category.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty())
            return {category};
    }
    return parts;
}

GroupNode& groupFor(GroupNode& root, const QString& category)
{
    GroupNode* node = &root;
    for (const QString& name : groupNames(category)) {
        const QString path = node == &root ? name : node->path + QLatin1Char('/') + name;
        auto child = std::find_if(node->children.begin(), node->children.end(),
                                  [&name](const GroupNode& c) { return c.name == name; });
        if (child == node->children.end()) {
            node->children.push_back({name, path, {}, {}});
            child = node->children.end() - 1;
        }
        node = &*child;
    }
    return *node;
}

QString uuidFor(const QString& kind, const QString& key)
{
    static const QUuid space(QStringLiteral("{6e0b1a52-8b4d-4c57-9b0a-5a0d5f6f7a01}"));
    return QString::fromLatin1(QUuid::createUuidV5(space, kind + QLatin1Char(':') + key).toRfc4122().toBase64());
}

QString isoTime(const EntryTime& time)
{
    QDateTime utc = time.isValid() ? time.toDateTime().toUTC() : QDateTime::currentDateTimeUtc();
    // ISO 8601 ends with year 9999: a later "never" is written as the last moment it has.
    const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59), QTimeZone::utc());
    if (utc > last)
        utc = last;
    return utc.toString(utc.time().msec() == 0 ? Qt::ISODate : Qt::ISODateWithMs);
}

// Whether XML 1.0 can hold the UTF-16 unit `c` at `i` of `text` (a surrogate only as a pair).
bool xmlCarries(const QString& text, qsizetype& i)
{
    const char16_t c = text.at(i).unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        ++i;
        return true;
    }
    return (c >= 0x20 || c == u'\t' || c == u'\n' || c == u'\r') && !QChar::isSurrogate(c) && c != 0xFFFE &&
           c != 0xFFFF;
}

// Text as XML 1.0 can hold it: a carriage return as a character reference (a parser turns a bare
// one into a line feed), characters XML forbids as U+FFFD.
void writeText(QXmlStreamWriter& xml, const QString& text)
{
    QString run;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r') {
            xml.writeCharacters(run);
            run.clear();
            xml.writeEntityReference(QStringLiteral("#13"));
            continue;
        }
        const bool surrogatePair = QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        if (surrogatePair) {
            run += text.at(i);
            run += text.at(++i);
            continue;
        }
        const bool allowed =
            (c >= 0x20 || c == u'\t' || c == u'\n') && !QChar::isSurrogate(c) && c != 0xFFFE && c != 0xFFFF;
        run += allowed ? QChar(c) : QChar(QChar::ReplacementCharacter);
    }
    xml.writeCharacters(run);
}

void writeTextElement(QXmlStreamWriter& xml, const QString& name, const QString& text)
{
    xml.writeStartElement(name);
    writeText(xml, text);
    xml.writeEndElement();
}

void writeString(QXmlStreamWriter& xml, const QString& key, const QString& value, bool protect = false)
{
    xml.writeStartElement(QStringLiteral("String"));
    xml.writeTextElement(QStringLiteral("Key"), key);
    xml.writeStartElement(QStringLiteral("Value"));
    if (protect)
        xml.writeAttribute(QStringLiteral("ProtectInMemory"), QStringLiteral("True"));
    writeText(xml, value);
    xml.writeEndElement();
    xml.writeEndElement();
}

// `used`: the entries' UUIDs written so far. Only a damaged store holds two entries with one id;
// the second gets a UUID of its own, since KeePassXC keeps one entry per UUID.
void writeEntry(QXmlStreamWriter& xml, const Entry& entry, QSet<QString>& used)
{
    xml.writeStartElement(QStringLiteral("Entry"));
    QString uuid = uuidFor(QStringLiteral("entry"), entry.id);
    for (int again = 1; used.contains(uuid); ++again)
        uuid = uuidFor(QStringLiteral("entry"), entry.id + QLatin1Char('#') + QString::number(again));
    used.insert(uuid);
    xml.writeTextElement(QStringLiteral("UUID"), uuid);
    xml.writeStartElement(QStringLiteral("Times"));
    xml.writeTextElement(QStringLiteral("CreationTime"), isoTime(entry.dateCreated));
    xml.writeTextElement(QStringLiteral("LastModificationTime"), isoTime(entry.dateChanged));
    xml.writeEndElement();
    writeString(xml, QStringLiteral("Title"), entry.title);
    writeString(xml, QStringLiteral("UserName"), entry.account);
    writeString(xml, QStringLiteral("Password"), entry.password, true);
    writeString(xml, QStringLiteral("URL"), entry.url);
    writeString(xml, QStringLiteral("Notes"), entry.notes);
    xml.writeEndElement();
}

void writeGroup(QXmlStreamWriter& xml, const GroupNode& group, bool isRoot, QSet<QString>& usedEntryUuids)
{
    xml.writeStartElement(QStringLiteral("Group"));
    // The root's own kind: a category with no name has the empty path, and a group sharing the
    // root's UUID is taken for the root by KeePassXC.
    xml.writeTextElement(QStringLiteral("UUID"), isRoot ? uuidFor(QStringLiteral("root"), QString())
                                                        : uuidFor(QStringLiteral("group"), group.path));
    writeTextElement(xml, QStringLiteral("Name"), group.name);
    for (const Entry* entry : group.entries)
        writeEntry(xml, *entry, usedEntryUuids);
    for (const GroupNode& child : group.children)
        writeGroup(xml, child, false, usedEntryUuids);
    xml.writeEndElement();
}

} // namespace

QStringList entriesXmlCannotCarry(const EntryList& entries)
{
    QStringList titles;
    for (const Entry& entry : entries) {
        for (const QString* field : {&entry.title, &entry.account, &entry.password, &entry.url, &entry.notes}) {
            bool carried = true;
            for (qsizetype i = 0; carried && i < field->size(); ++i)
                carried = xmlCarries(*field, i);
            if (!carried) {
                titles << entry.category + QLatin1Char('/') + entry.title;
                break;
            }
        }
    }
    return titles;
}

ImportedEntries decodeKeePassXml(const QByteArray& bytes, ImportProgress* progress)
{
    // The XML reader places an encoding error only roughly; the text decoder names its line. A
    // declaration of another encoding is left to the XML reader.
    static const QRegularExpression otherEncoding(
        QStringLiteral("^\\s*<\\?xml[^>]*encoding\\s*=\\s*[\"'](?!utf-(8|16))"),
        QRegularExpression::CaseInsensitiveOption);
    if (!otherEncoding.match(QString::fromLatin1(bytes.left(256))).hasMatch()) {
        QString error;
        if (decodeImportText(bytes, &error).isNull()) {
            ImportedEntries failed;
            failed.error = error;
            return failed;
        }
    }
    return KeePassReader(bytes, progress).read();
}

QByteArray encodeKeePassXml(const EntryList& entries, const QStringList& categories)
{
    GroupNode root{QStringLiteral("Root"), QString(), {}, {}};
    for (const QString& category : categories)
        groupFor(root, category);
    for (const Entry& entry : entries)
        groupFor(root, entry.category).entries.append(&entry);

    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(-1); // one tab, as KeePass writes
    xml.writeStartDocument(QStringLiteral("1.0"), true);
    xml.writeStartElement(QStringLiteral("KeePassFile"));
    xml.writeStartElement(QStringLiteral("Meta"));
    xml.writeTextElement(QStringLiteral("Generator"), QStringLiteral("Vaultry"));
    xml.writeTextElement(QStringLiteral("DatabaseName"), QStringLiteral("Vaultry"));
    xml.writeStartElement(QStringLiteral("MemoryProtection"));
    xml.writeTextElement(QStringLiteral("ProtectPassword"), QStringLiteral("True"));
    xml.writeEndElement();
    xml.writeTextElement(QStringLiteral("RecycleBinEnabled"), QStringLiteral("False"));
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("Root"));
    QSet<QString> usedEntryUuids;
    writeGroup(xml, root, true, usedEntryUuids);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}
