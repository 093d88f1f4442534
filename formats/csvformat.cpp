#include "csvformat.h"

#include "formats/textblocks.h"
#include "vault/vault.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimeZone>

#include <csv.h>

#include <cstring>
#include <functional>
#include <memory>

namespace {

// A record's fields as the file's UTF-8 bytes, one after another: a string is made only of
// the fields an entry keeps, so that no text is made for each field of each row.
struct CsvRow
{
    int line = 0; // where the record starts
    QByteArray text;
    QList<qsizetype> ends; // where each field's bytes end in `text`

    qsizetype size() const { return ends.size(); }
    QByteArrayView field(qsizetype i) const
    {
        const qsizetype start = i == 0 ? 0 : ends.at(i - 1);
        return QByteArrayView(text).sliced(start, ends.at(i) - start);
    }
    QStringList strings() const
    {
        QStringList fields;
        for (qsizetype i = 0; i < size(); ++i)
            fields.append(textOf(field(i)));
        return fields;
    }
    static QString textOf(QByteArrayView bytes)
    {
        return bytes.isEmpty() ? QString(QLatin1String("")) : QString::fromUtf8(bytes);
    }
};

// Takes each record as it is read; false stops the reading (its error set by the taker).
using RecordTaker = std::function<bool(const CsvRow&)>;

struct TableReader
{
    const RecordTaker* take = nullptr;
    CsvRow row; // its buffers kept from record to record
    int line = 0;
    int recordStart = 0;
    bool recordOpen = false;
    bool stopped = false;
};

void onField(void* data, size_t length, void* reader)
{
    auto* r = static_cast<TableReader*>(reader);
    r->row.text.append(static_cast<const char*>(data), qsizetype(length));
    r->row.ends.append(r->row.text.size());
}

void onRecordEnd(int, void* reader)
{
    auto* r = static_cast<TableReader*>(reader);
    r->row.line = r->recordStart;
    r->recordOpen = false;
    if (!r->stopped && !(*r->take)(r->row))
        r->stopped = true;
    r->row.text.resize(0);
    r->row.ends.resize(0);
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

// The separator of the header row: whichever of comma, semicolon and tab it holds most of outside
// quotes (a comma when it holds none), as spreadsheets in many languages write semicolons.
char detectDelimiter(QByteArrayView text)
{
    int counts[3] = {0, 0, 0};
    const char candidates[3] = {',', ';', '\t'};
    bool quoted = false;
    for (const char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '\n')
            break;
        for (int i = 0; i < 3; ++i)
            counts[i] += !quoted && c == candidates[i];
    }
    int best = 0;
    for (int i = 1; i < 3; ++i) {
        if (counts[i] > counts[best])
            best = i;
    }
    return candidates[best];
}

// The table's UTF-8 text, without a byte-order mark: whole in memory, or read from a file a
// piece at a time so that the file is never held whole beside the entries made of it.
struct TableText
{
    QByteArray head;         // the first 64 KiB (or all of a shorter text), which the separator is judged by
    qint64 size = 0;         // bytes, for the progress
    qsizetype lineFeeds = 0; // for reserving the entries
    // Hands the text's pieces in order to `take`, which returns false to stop; false when
    // stopped, or when the text could not be read.
    std::function<bool(const std::function<bool(QByteArrayView)>& take)> pieces;
};

constexpr qsizetype kHeadForSeparator = 65536;
constexpr qsizetype kPiece = qsizetype(1) << 20;

// Whether `text` (whole characters) is UTF-8 without a zero byte; decoded a piece at a time
// by the callers, so that no decoded copy of the whole file is made.
bool soundUtf8(QByteArrayView text)
{
    if (text.indexOf('\0') >= 0)
        return false;
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString decoded = decoder(text);
    return !decoder.hasError();
}

// The text of the file in memory: the bytes themselves when they are UTF-8 already (checked
// piece by piece, without a copy), else converted into `converted`. False, with `error` set,
// when the file is no text we read.
bool utf8Text(const QByteArray& bytes, QByteArray& converted, QByteArrayView& text, QString* error)
{
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const QString decoded = decodeImportText(bytes, error);
        if (decoded.isNull())
            return false;
        converted = decoded.toUtf8();
        text = converted;
        return true;
    }
    const QByteArrayView body = QByteArrayView(bytes).sliced(bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0);
    bool sound = true;
    for (qsizetype at = 0; sound && at < body.size();) {
        qsizetype end = qMin(at + kPiece, body.size());
        while (end < body.size() && end > at + 1 && (uchar(body.at(end)) & 0xC0) == 0x80)
            --end;
        sound = soundUtf8(body.sliced(at, end - at));
        at = end;
    }
    if (!sound) {
        // The slow way names the line.
        decodeImportText(bytes, error);
        return false;
    }
    text = body;
    return true;
}

// Splits the text into records, each with the line it starts on, handing each to `take` as
// it ends. Lines are fed one at a time so that an error can name its line.
bool readTable(const TableText& text, const RecordTaker& take, QString* error, ImportProgress* progress)
{
    std::unique_ptr<csv_parser, ParserDeleter> parser(new csv_parser);
    if (csv_init(parser.get(), CSV_STRICT | CSV_STRICT_FINI) != 0) {
        delete parser.release();
        *error = QStringLiteral("out of memory");
        return false;
    }
    csv_set_space_func(parser.get(), noSpace);
    csv_set_delim(parser.get(), detectDelimiter(text.head));
    TableReader reader;
    reader.take = &take;
    if (progress)
        progress->total = text.size;
    qint64 done = 0;
    const auto feedLine = [&](QByteArrayView line) {
        ++reader.line;
        if (!reader.recordOpen && !line.trimmed().isEmpty()) {
            reader.recordStart = reader.line;
            reader.recordOpen = true;
        }
        if (csv_parse(parser.get(), line.data(), size_t(line.size()), onField, onRecordEnd, &reader) !=
            size_t(line.size())) {
            *error = csv_error(parser.get()) == CSV_EPARSE
                         ? QStringLiteral("line %1: a quote where none may be (fields holding quotes, separators "
                                          "or line breaks must be quoted, a quote inside doubled)")
                               .arg(reader.line)
                         : QStringLiteral("line %1: %2")
                               .arg(reader.line)
                               .arg(QString::fromUtf8(csv_strerror(csv_error(parser.get()))));
            return false;
        }
        if (reader.stopped)
            return false;
        done += line.size();
        if (progress && (reader.line & 0x3FF) == 0) {
            progress->done = done;
            if (progress->cancelled) {
                *error = QStringLiteral("cancelled");
                return false;
            }
        }
        return true;
    };
    // A line cut by the end of a piece waits in `carried` for the rest.
    QByteArray carried;
    const bool whole = text.pieces([&](QByteArrayView piece) {
        qsizetype start = 0;
        if (!carried.isEmpty()) {
            const qsizetype feed = piece.indexOf('\n');
            if (feed < 0) {
                carried.append(piece);
                return true;
            }
            carried.append(piece.first(feed + 1));
            if (!feedLine(carried))
                return false;
            carried.resize(0);
            start = feed + 1;
        }
        while (start < piece.size()) {
            const qsizetype feed = piece.indexOf('\n', start);
            if (feed < 0) {
                carried.append(piece.sliced(start));
                break;
            }
            if (!feedLine(piece.sliced(start, feed + 1 - start)))
                return false;
            start = feed + 1;
        }
        return true;
    });
    if (!whole || (!carried.isEmpty() && !feedLine(carried)))
        return false;
    if (csv_fini(parser.get(), onField, onRecordEnd, &reader) != 0) {
        *error = QStringLiteral("line %1: a quoted field that starts here is never closed; the file may be "
                                "cut short")
                     .arg(reader.recordStart);
        return false;
    }
    if (progress)
        progress->done = text.size;
    return !reader.stopped;
}

QString normalised(const QString& column)
{
    return column.trimmed().toLower();
}

// The header's columns by their case-folded names, looked up by the names the readers spell
// (string literals, so their addresses key a cache: no text made for each field of each row).
class Columns
{
public:
    explicit Columns(const QHash<QString, int>& names) : names(names) {}

    int of(const char* name) const
    {
        auto found = cache.constFind(name);
        if (found == cache.cend())
            found = cache.insert(name, names.value(QLatin1String(name), -1));
        return *found;
    }

private:
    const QHash<QString, int>& names;
    mutable QHash<const char*, int> cache;
};

// The columns of a record by their (case-folded) header names. A field an entry keeps as it
// is comes from `kept`, whose text goes into the shared blocks; any other is a string of its own
// that goes when it is done with.
class Record
{
public:
    Record(const Columns& columns, const CsvRow& row, TextBlocks& texts) : columns(columns), row(row), texts(texts) {}

    QString operator[](const char* name) const { return at(columns.of(name)); }
    QString at(int column) const { return CsvRow::textOf(bytesAt(column)); }
    QString kept(const char* name) const { return keptAt(columns.of(name)); }
    QString keptAt(int column) const { return texts.fromUtf8(bytesAt(column)); }
    int line() const { return row.line; }

private:
    QByteArrayView bytesAt(int column) const
    {
        return column >= 0 && column < row.size() ? row.field(column) : QByteArrayView();
    }

    const Columns& columns;
    const CsvRow& row;
    TextBlocks& texts;
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
    // An organization's export names collections where a personal one names folders.
    if (has({"type", "name", "login_uri", "login_username", "login_password"}) &&
        (has({"folder"}) || has({"collections"})))
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

// The columns each layout reads (or deliberately passes over); any other goes into the notes.
QStringList knownColumns(CsvLayout layout)
{
    switch (layout) {
    case CsvLayout::KeePassXC:
        return {"group", "title", "username", "password", "url", "notes", "totp", "icon", "last modified", "created"};
    case CsvLayout::Bitwarden:
        return {"folder", "collections", "favorite",  "type",           "name",           "notes",
                "fields", "reprompt",    "login_uri", "login_username", "login_password", "login_totp"};
    case CsvLayout::Chromium:
        return {"name", "url", "username", "password", "note"};
    case CsvLayout::Firefox:
        return {"url",  "username",    "password",     "httprealm",          "formactionorigin",
                "guid", "timecreated", "timelastused", "timepasswordchanged"};
    case CsvLayout::Custom:
        break;
    }
    return {};
}

// Bitwarden joins an item's addresses with commas, and an address may hold one itself: a new
// address starts only where a scheme ("https:", "androidapp:") follows the comma.
QStringList splitBitwardenUris(const QString& joined)
{
    static const QRegularExpression start(QStringLiteral(",(?=[A-Za-z][A-Za-z0-9+.-]*:)"));
    QStringList uris = joined.split(start, Qt::SkipEmptyParts);
    for (QString& uri : uris) {
        if (uri.endsWith(QLatin1Char(',')))
            uri.chop(1);
    }
    uris.removeAll(QString());
    return uris;
}

// KeePassXC's recycle bin, by the name it gives it, directly under the root group.
bool inRecycleBin(const QString& group)
{
    const QStringList parts = group.split(QLatin1Char('/'));
    return parts.size() >= 2 && parts.at(1) == QLatin1String("Recycle Bin");
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
        entry.title = r.kept("title");
        entry.account = r.kept("username");
        entry.password = r.kept("password");
        entry.url = r.kept("url");
        entry.notes = r.kept("notes");
        appendNamedField(entry.notes, QStringLiteral("TOTP"), r["totp"]);
        return readIsoTime(r["created"], entry.dateCreated, QStringLiteral("Created"), r.line(), error) &&
               readIsoTime(r["last modified"], entry.dateChanged, QStringLiteral("Last Modified"), r.line(), error);
    }
    case CsvLayout::Bitwarden: {
        // A collection stands for a category as a folder does; further collections go into the notes.
        QStringList collections = r["collections"].split(QLatin1Char(','), Qt::SkipEmptyParts);
        const QString folder = r["folder"];
        entry.category =
            categoryOrGeneral(!folder.isEmpty() || collections.isEmpty() ? folder : collections.takeFirst());
        entry.title = r.kept("name");
        entry.notes = r.kept("notes");
        if (r["type"] != QLatin1String("note")) {
            entry.account = r.kept("login_username");
            entry.password = r.kept("login_password");
            // Several addresses come joined by commas.
            QStringList uris = splitBitwardenUris(r["login_uri"]);
            if (!uris.isEmpty())
                entry.url = uris.takeFirst();
            appendNamedField(entry.notes, QStringLiteral("Other websites"), uris.join(QStringLiteral(", ")));
            appendNamedField(entry.notes, QStringLiteral("TOTP"), r["login_totp"]);
        }
        appendNamedField(entry.notes, QStringLiteral("Collections"), collections.join(QStringLiteral(", ")));
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
        entry.title = r.kept("name");
        entry.url = r.kept("url");
        entry.account = r.kept("username");
        entry.password = r.kept("password");
        entry.notes = r.kept("note");
        return true;
    case CsvLayout::Firefox:
        entry.category = Vault::generalCategory();
        entry.title = QString();
        entry.url = r.kept("url");
        entry.account = r.kept("username");
        entry.password = r.kept("password");
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
    entry.title = r.keptAt(mapping.title);
    entry.account = r.keptAt(mapping.account);
    entry.password = r.keptAt(mapping.password);
    entry.url = r.keptAt(mapping.website);
    entry.notes = r.keptAt(mapping.notes);
    entry.category = categoryOrGeneral(r.at(mapping.category).trimmed());
    const int mapped[] = {mapping.title,   mapping.account, mapping.password,
                          mapping.website, mapping.notes,   mapping.category};
    for (int column = 0; column < header.size(); ++column) {
        if (std::find(std::begin(mapped), std::end(mapped), column) == std::end(mapped))
            appendNamedField(entry.notes, header.at(column), r.at(column));
    }
}

// Reads the table; a null `mapping` means a known layout is required.
CsvImport decodeText(const TableText& text, const CsvColumnMapping* mapping, ImportProgress* progress)
{
    CsvImport result;
    ImportedEntries& imported = result.entries;
    QString error;
    bool sawHeader = false;
    QStringList header;
    QHash<QString, int> columns;
    QList<int> extraColumns; // of a known layout, into the notes
    const Columns named(columns);
    QHash<QString, QString> categoryNames;
    ImportedEntryMaker maker;
    TextBlocks texts;
    imported.entries.reserve(text.lineFeeds);
    const RecordTaker take = [&](const CsvRow& row) {
        if (!sawHeader) {
            sawHeader = true;
            header = row.strings();
            result.columns = header;
            for (int i = 0; i < header.size(); ++i) {
                if (!columns.contains(normalised(header.at(i))))
                    columns.insert(normalised(header.at(i)), i);
            }
            result.layout = mapping ? CsvLayout::Custom : layoutOf(columns);
            if (result.layout == CsvLayout::Custom && !mapping) {
                result.status = CsvImport::NeedsMapping;
                return true; // for the first row, shown beside the names
            }
            const QStringList known = knownColumns(result.layout);
            for (int i = 0; i < header.size(); ++i) {
                if (!mapping && !known.contains(normalised(header.at(i)))) {
                    extraColumns.append(i);
                    imported.leftOut.columnsInNotes.append(header.at(i));
                }
            }
            return true;
        }
        if (result.status == CsvImport::NeedsMapping) {
            result.firstRow = row.strings();
            return false;
        }
        if (row.size() > header.size()) {
            error = QStringLiteral("line %1: %2 fields where the header row names %3")
                        .arg(row.line)
                        .arg(row.size())
                        .arg(header.size());
            return false;
        }
        if (row.size() < header.size()) {
            // Imported with the missing fields empty, and counted for the preview: a hand-made
            // file often leaves out trailing empty fields, and a damaged one shows in the count.
            if (++imported.leftOut.shortRows <= 5)
                imported.leftOut.shortRowLines.append(row.line);
        }
        const Record record(named, row, texts);
        if (result.layout == CsvLayout::KeePassXC && inRecycleBin(record["group"])) {
            ++imported.leftOut.recycled;
            return true;
        }
        Entry entry = maker.make();
        if (mapping) {
            readMappedRecord(*mapping, header, record, entry);
        } else if (!readKnownRecord(result.layout, record, entry, &error)) {
            return false;
        }
        for (int column : std::as_const(extraColumns))
            appendNamedField(entry.notes, header.at(column), record.at(column));
        if (entry.title.isEmpty())
            entry.title = fallbackTitle(entry.url, entry.account);
        // One copy of each category's name, shared by its entries.
        auto shared = categoryNames.constFind(entry.category);
        if (shared == categoryNames.cend())
            shared = categoryNames.insert(entry.category, entry.category);
        entry.category = *shared;
        noteCategory(imported.categories, entry.category);
        imported.entries.append(std::move(entry));
        return true;
    };
    const bool read = readTable(text, take, &error, progress);
    if (result.status == CsvImport::NeedsMapping) {
        imported = ImportedEntries();
        return result;
    }
    if (!read || !sawHeader) {
        imported = ImportedEntries();
        imported.error =
            sawHeader || !error.isEmpty() ? error : QStringLiteral("the file is empty: there is no header row");
        result.status = CsvImport::Failed;
        return result;
    }
    imported.categories.removeDuplicates();
    imported.ok = true;
    result.status = CsvImport::Imported;
    return result;
}

CsvImport decode(const QByteArray& bytes, const CsvColumnMapping* mapping, ImportProgress* progress)
{
    QByteArray converted;
    QByteArrayView body;
    QString error;
    if (!utf8Text(bytes, converted, body, &error)) {
        CsvImport failed;
        failed.entries.error = error;
        return failed;
    }
    TableText text;
    text.head = body.first(qMin(body.size(), kHeadForSeparator)).toByteArray();
    text.size = body.size();
    text.lineFeeds = body.count('\n');
    text.pieces = [body](const std::function<bool(QByteArrayView)>& take) { return take(body); };
    return decodeText(text, mapping, progress);
}

// Reads `file` from `from` to its end into `buffer`, a piece at a time (each ending at a whole
// character unless it is the last), handing each to `take`; false when `take` stops or the
// file cannot be read (`readError` set).
bool readPieces(QIODevice& file, qint64 from, QByteArray& buffer, QString* readError,
                const std::function<bool(QByteArrayView)>& take)
{
    if (!file.seek(from)) {
        *readError = file.errorString();
        return false;
    }
    buffer.resize(kPiece + 4);
    qsizetype held = 0; // the start of a character the last piece cut, carried to the next
    for (;;) {
        const qint64 got = file.read(buffer.data() + held, kPiece);
        if (got < 0) {
            *readError = file.errorString();
            return false;
        }
        const qsizetype filled = held + qsizetype(got);
        const bool last = got == 0 || file.atEnd();
        qsizetype end = filled;
        if (!last) {
            // Before the last character, which may go on in the next piece (at most 4 bytes).
            qsizetype lead = filled - 1;
            while (lead > filled - 4 && lead > 0 && (uchar(buffer.at(lead)) & 0xC0) == 0x80)
                --lead;
            if (lead > 0 && (uchar(buffer.at(lead)) & 0xC0) != 0x80)
                end = lead;
        }
        if (end > 0 && !take(QByteArrayView(buffer).first(end)))
            return false;
        held = filled - end;
        std::memmove(buffer.data(), buffer.constData() + end, size_t(held));
        if (last)
            return true;
    }
}

} // namespace

CsvImport decodeCsvFile(QIODevice& file, const CsvColumnMapping* mapping, ImportProgress* progress, QString* readError)
{
    if (!file.seek(0)) {
        *readError = file.errorString();
        return CsvImport();
    }
    const QByteArray start = file.peek(3);
    // A UTF-16 file is converted whole, and a file that fails the check is read whole again by
    // the reader in memory, whose messages name the line.
    const auto whole = [&]() {
        QByteArray bytes(qsizetype(file.size()), Qt::Uninitialized);
        qsizetype at = 0;
        while (at < bytes.size() && file.seek(at)) {
            const qint64 got = file.read(bytes.data() + at, bytes.size() - at);
            if (got <= 0)
                break;
            at += qsizetype(got);
        }
        if (at < bytes.size()) {
            *readError = file.errorString();
            return CsvImport();
        }
        return decode(bytes, mapping, progress);
    };
    if (start.startsWith("\xFF\xFE") || start.startsWith("\xFE\xFF"))
        return whole();
    const qint64 from = start.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    QByteArray buffer;
    TableText text;
    text.size = file.size() - from;
    bool sound = true;
    const bool read = readPieces(file, from, buffer, readError, [&](QByteArrayView piece) {
        if (text.head.size() < kHeadForSeparator)
            text.head += piece.first(qMin(piece.size(), kHeadForSeparator - text.head.size()));
        text.lineFeeds += piece.count('\n');
        sound = soundUtf8(piece);
        return sound && !(progress && progress->cancelled);
    });
    if (!read && !readError->isEmpty())
        return CsvImport();
    if (!sound)
        return whole();
    if (progress && progress->cancelled) {
        CsvImport cancelled;
        cancelled.entries.error = QStringLiteral("cancelled");
        return cancelled;
    }
    text.pieces = [&](const std::function<bool(QByteArrayView)>& take) {
        return readPieces(file, from, buffer, readError, take);
    };
    CsvImport result = decodeText(text, mapping, progress);
    if (!readError->isEmpty())
        return CsvImport();
    return result;
}

namespace {

QString isoTime(const EntryTime& time)
{
    if (time.isNull() || !time.isValid())
        return QLatin1String("");
    QDateTime utc = time.toDateTime().toUTC();
    // ISO 8601 ends with year 9999: a later "never" is written as the last moment it has.
    const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59), QTimeZone::utc());
    if (utc > last)
        utc = last;
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

CsvImport decodeCsv(const QByteArray& bytes, ImportProgress* progress)
{
    return decode(bytes, nullptr, progress);
}

CsvImport decodeCsv(const QByteArray& bytes, const CsvColumnMapping& mapping, ImportProgress* progress)
{
    return decode(bytes, &mapping, progress);
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
