#pragma once

// Comma-separated tables as password managers and browsers export them, read and written with
// libcsv. The header row tells the layout; a table with a header we do not know is read
// through a mapping the user chooses from its column names.

#include "formats/importformats.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>

// The layouts known by their header row.
enum class CsvLayout
{
    Custom,    // read through a CsvColumnMapping
    KeePassXC, // Group, Title, Username, Password, URL, Notes, TOTP, Icon, Last Modified, Created
    Bitwarden, // folder, favorite, type, name, notes, fields, reprompt, login_uri, login_username, ...
    Chromium,  // name, url, username, password[, note]: Chrome, Chromium, Edge
    Firefox,   // url, username, password, httpRealm, formActionOrigin, guid, timeCreated, ...
};

// Which column (0-based, -1: none) holds what, for a table of another layout. Columns no
// field takes go into the notes with their names.
struct CsvColumnMapping
{
    int title = -1;
    int account = -1;
    int password = -1;
    int website = -1;
    int notes = -1;
    int category = -1;
};

struct CsvImport
{
    enum Status
    {
        Imported,
        NeedsMapping, // the header is of no known layout: ask for a mapping of `columns`
        Failed,       // see entries.error
    };
    Status status = Failed;
    CsvLayout layout = CsvLayout::Custom;
    QStringList columns;  // the header row's names
    QStringList firstRow; // with NeedsMapping: the first row under the header, to show beside the names
    ImportedEntries entries;
};

// Reads a table of a known layout; any other header gives NeedsMapping with the columns. The
// separator (comma, semicolon or tab) is the header row's. Columns of a known layout that no
// field takes go into the notes with their names; KeePassXC's recycle bin stays behind.
CsvImport decodeCsv(const QByteArray& bytes, ImportProgress* progress = nullptr);
// Reads any table through `mapping` (also one of a known layout).
CsvImport decodeCsv(const QByteArray& bytes, const CsvColumnMapping& mapping, ImportProgress* progress = nullptr);
// As decodeCsv (through `mapping` unless null), reading `file` (seekable, from its start) a
// piece at a time instead of holding it whole; a file that cannot be read sets `readError`.
CsvImport decodeCsvFile(QIODevice& file, const CsvColumnMapping* mapping, ImportProgress* progress, QString* readError);

// "KeePassXC CSV", "Bitwarden CSV", "Chrome or Edge CSV", "Firefox CSV", "CSV".
QString csvLayoutName(CsvLayout layout);

// A first guess at the mapping from the column names ("Title", "Login", "Email", "URL", ...).
CsvColumnMapping guessCsvMapping(const QStringList& columns);

// The entries in KeePassXC's layout, every field quoted, lines ending in "\n"; a category becomes
// the group under the root, "Root/<category>", as KeePassXC writes it. Times in UTC, ISO 8601.
QByteArray encodeKeePassXcCsv(const EntryList& entries);
