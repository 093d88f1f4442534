#include "csvformat.h"

#include "vault/vault.h"

#include <QHash>
#include <QTimeZone>

#include <csv.h>

#include <memory>

namespace {

struct CsvRow
{
    int line = 0; // where the record starts
    QStringList fields;
};

struct CsvTable
{
    bool ok = false;
    QString error;
    QList<CsvRow> rows;
};

struct TableReader
{
    QList<CsvRow> rows;
    QStringList fields;
    int line = 0;
    int recordStart = 0;
    bool recordOpen = false;
};

void onField(void* data, size_t length, void* reader)
{
    auto* r = static_cast<TableReader*>(reader);
    r->fields.append(length == 0 ? QString(QLatin1String(""))
                                 : QString::fromUtf8(static_cast<const char*>(data), qsizetype(length)));
}

void onRecordEnd(int, void* reader)
{
    auto* r = static_cast<TableReader*>(reader);
    r->rows.append({r->recordStart, std::move(r->fields)});
    r->fields = QStringList();
    r->recordOpen = false;
}

// Spaces around unquoted fields are part of them: a password may begin with one.
int noSpace(unsigned char)
{
    return 0;
}

struct ParserDeleter
{
    void operator()(csv_parser* parser) const
    {
        csv_free(parser);
        delete parser;
    }
};

// Splits the text into records, each with the line it starts on. Lines are fed one at a time so
// that an error can name its line.
CsvTable readTable(const QString& text)
{
    CsvTable table;
    std::unique_ptr<csv_parser, ParserDeleter> parser(new csv_parser);
    if (csv_init(parser.get(), CSV_STRICT | CSV_STRICT_FINI) != 0) {
        delete parser.release();
        table.error = QStringLiteral("out of memory");
        return table;
    }
    csv_set_space_func(parser.get(), noSpace);
    TableReader reader;
    const QByteArray bytes = text.toUtf8();
    for (qsizetype start = 0; start < bytes.size();) {
        qsizetype end = bytes.indexOf('\n', start);
        end = end < 0 ? bytes.size() : end + 1;
        ++reader.line;
        const QByteArrayView line(bytes.constData() + start, end - start);
        if (!reader.recordOpen && !line.trimmed().isEmpty()) {
            reader.recordStart = reader.line;
            reader.recordOpen = true;
        }
        if (csv_parse(parser.get(), line.data(), size_t(line.size()), onField, onRecordEnd, &reader) !=
            size_t(line.size())) {
            table.error = csv_error(parser.get()) == CSV_EPARSE
                              ? QStringLiteral("line %1: a quote where none may be (fields holding quotes, commas "
                                               "or line breaks must be quoted, a quote inside doubled)")
                                    .arg(reader.line)
                              : QStringLiteral("line %1: %2")
                                    .arg(reader.line)
                                    .arg(QString::fromUtf8(csv_strerror(csv_error(parser.get()))));
            return table;
        }
        start = end;
    }
    if (csv_fini(parser.get(), onField, onRecordEnd, &reader) != 0) {
        table.error = QStringLiteral("line %1: a quoted field that starts here is never closed; the file may be "
                                     "cut short")
                          .arg(reader.recordStart);
        return table;
    }
    table.ok = true;
    table.rows = std::move(reader.rows);
    return table;
}

QString normalised(const QString& column)
{
    return column.trimmed().toLower();
}

// The columns of a record by their (case-folded) header names.
class Record
{
public:
    Record(const QHash<QString, int>& columns, const CsvRow& row) : columns(columns), row(row) {}

    QString operator[](const char* name) const { return at(columns.value(QLatin1String(name), -1)); }
    QString at(int column) const
    {
        return column >= 0 && column < row.fields.size() ? row.fields.at(column) : QString(QLatin1String(""));
    }
    int line() const { return row.line; }

private:
    const QHash<QString, int>& columns;
    const CsvRow& row;
};

CsvLayout layoutOf(const QHash<QString, int>& columns)
{
    const auto has = [&columns](std::initializer_list<const char*> names) {
        for (const char* name : names) {
            if (!columns.contains(QLatin1String(name)))
                return false;
        }
        return true;
    };
    if (has({"group", "title", "username", "password", "url", "notes"}))
        return CsvLayout::KeePassXC;
    if (has({"folder", "type", "name", "login_uri", "login_username", "login_password"}))
        return CsvLayout::Bitwarden;
    if (has({"url", "username", "password", "httprealm"}))
        return CsvLayout::Firefox;
    if (has({"name", "url", "username", "password"})) {
        // Only name, url, username, password and note: another table with these would lose columns.
        const int extra = columns.size() - 4 - (columns.contains(QStringLiteral("note")) ? 1 : 0);
        if (extra == 0)
            return CsvLayout::Chromium;
    }
    return CsvLayout::Custom;
}

// A time written as ISO 8601; false (with `error` set) for text that is none.
bool readIsoTime(const QString& text, EntryTime& time, const QString& column, int line, QString* error)
{
    if (text.trimmed().isEmpty())
        return true;
    if (!takeImportedTime(QDateTime::fromString(text.trimmed(), Qt::ISODate), time)) {
        *error = QStringLiteral("line %1: \"%2\" in column %3 is not a date and time").arg(line).arg(text, column);
        return false;
    }
    return true;
}

// Milliseconds since 1970 as Firefox writes them.
bool readEpochTime(const QString& text, EntryTime& time, const QString& column, int line, QString* error)
{
    if (text.trimmed().isEmpty())
        return true;
    bool number = false;
    const qint64 msecs = text.trimmed().toLongLong(&number);
    if (!number || !takeImportedTime(QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc()), time)) {
        *error =
            QStringLiteral("line %1: \"%2\" in column %3 is not a time in milliseconds").arg(line).arg(text, column);
        return false;
    }
    return true;
}

QString categoryOrGeneral(const QString& name)
{
    return name.isEmpty() ? Vault::generalCategory() : name;
}

// Fills `entry` from a record of a known layout; false (error set) when a field is unreadable.
bool readKnownRecord(CsvLayout layout, const Record& r, Entry& entry, QString* error)
{
    switch (layout) {
    case CsvLayout::KeePassXC: {
        // The path starts with the root group, which every entry shares.
        const QString group = r["group"];
        const qsizetype slash = group.indexOf(QLatin1Char('/'));
        entry.category = categoryOrGeneral(slash < 0 ? QString() : group.mid(slash + 1));
        entry.title = r["title"];
        entry.account = r["username"];
        entry.password = r["password"];
        entry.url = r["url"];
        entry.notes = r["notes"];
        appendNamedField(entry.notes, QStringLiteral("TOTP"), r["totp"]);
        return readIsoTime(r["created"], entry.dateCreated, QStringLiteral("Created"), r.line(), error) &&
               readIsoTime(r["last modified"], entry.dateChanged, QStringLiteral("Last Modified"), r.line(), error);
    }
    case CsvLayout::Bitwarden: {
        entry.category = categoryOrGeneral(r["folder"]);
        entry.title = r["name"];
        entry.notes = r["notes"];
        if (r["type"] != QLatin1String("note")) {
            entry.account = r["login_username"];
            entry.password = r["login_password"];
            // Several addresses come joined by commas.
            QStringList uris = r["login_uri"].split(QLatin1Char(','), Qt::SkipEmptyParts);
            if (!uris.isEmpty())
                entry.url = uris.takeFirst();
            appendNamedField(entry.notes, QStringLiteral("Other websites"), uris.join(QStringLiteral(", ")));
            appendNamedField(entry.notes, QStringLiteral("TOTP"), r["login_totp"]);
        }
        // Custom fields come as "name: value" lines already.
        const QString fields = r["fields"];
        if (!fields.isEmpty()) {
            if (!entry.notes.isEmpty() && !entry.notes.endsWith(QLatin1Char('\n')))
                entry.notes += QLatin1Char('\n');
            entry.notes += fields;
        }
        return true;
    }
    case CsvLayout::Chromium:
        entry.category = Vault::generalCategory();
        entry.title = r["name"];
        entry.url = r["url"];
        entry.account = r["username"];
        entry.password = r["password"];
        entry.notes = r["note"];
        return true;
    case CsvLayout::Firefox:
        entry.category = Vault::generalCategory();
        entry.title = QString();
        entry.url = r["url"];
        entry.account = r["username"];
        entry.password = r["password"];
        entry.notes = QLatin1String("");
        appendNamedField(entry.notes, QStringLiteral("HTTP realm"), r["httprealm"]);
        return readEpochTime(r["timecreated"], entry.dateCreated, QStringLiteral("timeCreated"), r.line(), error) &&
               readEpochTime(r["timepasswordchanged"], entry.dateChanged, QStringLiteral("timePasswordChanged"),
                             r.line(), error);
    case CsvLayout::Custom:
        break;
    }
    return false;
}

void readMappedRecord(const CsvColumnMapping& mapping, const QStringList& header, const Record& r, Entry& entry)
{
    entry.title = r.at(mapping.title);
    entry.account = r.at(mapping.account);
    entry.password = r.at(mapping.password);
    entry.url = r.at(mapping.website);
    entry.notes = r.at(mapping.notes);
    entry.category = categoryOrGeneral(r.at(mapping.category).trimmed());
    const int mapped[] = {mapping.title,   mapping.account, mapping.password,
                          mapping.website, mapping.notes,   mapping.category};
    for (int column = 0; column < header.size(); ++column) {
        if (std::find(std::begin(mapped), std::end(mapped), column) == std::end(mapped))
            appendNamedField(entry.notes, header.at(column), r.at(column));
    }
}

// Reads the table; a null `mapping` means a known layout is required.
CsvImport decode(const QByteArray& bytes, const CsvColumnMapping* mapping)
{
    CsvImport result;
    QString error;
    const QString text = decodeImportText(bytes, &error);
    if (text.isNull()) {
        result.entries.error = error;
        return result;
    }
    CsvTable table = readTable(text);
    if (!table.ok) {
        result.entries.error = table.error;
        return result;
    }
    if (table.rows.isEmpty()) {
        result.entries.error = QStringLiteral("the file is empty: there is no header row");
        return result;
    }
    const CsvRow header = table.rows.takeFirst();
    result.columns = header.fields;
    QHash<QString, int> columns;
    for (int i = 0; i < header.fields.size(); ++i) {
        if (!columns.contains(normalised(header.fields.at(i))))
            columns.insert(normalised(header.fields.at(i)), i);
    }
    result.layout = mapping ? CsvLayout::Custom : layoutOf(columns);
    if (result.layout == CsvLayout::Custom && !mapping) {
        result.status = CsvImport::NeedsMapping;
        if (!table.rows.isEmpty())
            result.firstRow = table.rows.constFirst().fields;
        return result;
    }

    ImportedEntries& imported = result.entries;
    imported.entries.reserve(table.rows.size());
    for (const CsvRow& row : std::as_const(table.rows)) {
        if (row.fields.size() > header.fields.size()) {
            imported.entries.clear();
            imported.error = QStringLiteral("line %1: %2 fields where the header row names %3")
                                 .arg(row.line)
                                 .arg(row.fields.size())
                                 .arg(header.fields.size());
            return result;
        }
        const Record record(columns, row);
        Entry entry;
        if (mapping) {
            readMappedRecord(*mapping, header.fields, record, entry);
        } else if (!readKnownRecord(result.layout, record, entry, &imported.error)) {
            imported.entries.clear();
            return result;
        }
        if (entry.title.isEmpty())
            entry.title = fallbackTitle(entry.url, entry.account);
        noteCategory(imported.categories, entry.category);
        imported.entries.append(std::move(entry));
    }
    imported.categories.removeDuplicates();
    imported.ok = true;
    result.status = CsvImport::Imported;
    return result;
}

QString isoTime(const EntryTime& time)
{
    if (time.isNull() || !time.isValid())
        return QLatin1String("");
    const QDateTime utc = time.toDateTime().toUTC();
    return utc.toString(utc.time().msec() == 0 ? Qt::ISODate : Qt::ISODateWithMs);
}

void appendQuoted(QByteArray& out, const QString& field)
{
    const QByteArray utf8 = field.toUtf8();
    QByteArray quoted(2 + 2 * utf8.size(), Qt::Uninitialized);
    const size_t written = csv_write(quoted.data(), size_t(quoted.size()), utf8.constData(), size_t(utf8.size()));
    out.append(quoted.constData(), qsizetype(written));
}

void appendRecord(QByteArray& out, const QStringList& fields)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += ',';
        appendQuoted(out, fields.at(i));
    }
    out += '\n';
}

} // namespace

CsvImport decodeCsv(const QByteArray& bytes)
{
    return decode(bytes, nullptr);
}

CsvImport decodeCsv(const QByteArray& bytes, const CsvColumnMapping& mapping)
{
    return decode(bytes, &mapping);
}

QString csvLayoutName(CsvLayout layout)
{
    switch (layout) {
    case CsvLayout::KeePassXC:
        return QStringLiteral("KeePassXC CSV");
    case CsvLayout::Bitwarden:
        return QStringLiteral("Bitwarden CSV");
    case CsvLayout::Chromium:
        return QStringLiteral("Chrome or Edge CSV");
    case CsvLayout::Firefox:
        return QStringLiteral("Firefox CSV");
    case CsvLayout::Custom:
        break;
    }
    return QStringLiteral("CSV");
}

CsvColumnMapping guessCsvMapping(const QStringList& columns)
{
    CsvColumnMapping mapping;
    const auto pick = [&columns](int& field, std::initializer_list<const char*> names) {
        for (const char* name : names) {
            for (int i = 0; i < columns.size(); ++i) {
                if (field < 0 && normalised(columns.at(i)) == QLatin1String(name))
                    field = i;
            }
        }
    };
    pick(mapping.title, {"title", "name", "label", "item", "entry", "service"});
    pick(mapping.account, {"username", "user name", "user", "login", "login_username", "account", "email", "e-mail"});
    pick(mapping.password, {"password", "login_password", "pass", "pwd", "pin"});
    pick(mapping.website, {"url", "website", "web site", "login_uri", "uri", "address", "site"});
    pick(mapping.notes, {"notes", "note", "memo", "comments", "comment", "extra", "description"});
    pick(mapping.category, {"group", "category", "folder", "grouping", "tag", "tags"});
    return mapping;
}

QByteArray encodeKeePassXcCsv(const EntryList& entries)
{
    QByteArray out;
    appendRecord(out,
                 {QStringLiteral("Group"), QStringLiteral("Title"), QStringLiteral("Username"),
                  QStringLiteral("Password"), QStringLiteral("URL"), QStringLiteral("Notes"), QStringLiteral("TOTP"),
                  QStringLiteral("Icon"), QStringLiteral("Last Modified"), QStringLiteral("Created")});
    for (const Entry& entry : entries)
        appendRecord(out, {QStringLiteral("Root/") + entry.category, entry.title, entry.account, entry.password,
                           entry.url, entry.notes, QString(), QStringLiteral("0"), isoTime(entry.dateChanged),
                           isoTime(entry.dateCreated)});
    return out;
}
