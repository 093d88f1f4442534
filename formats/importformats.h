#pragma once

// What the readers and writers of other password managers' files share: the formats by name,
// recognising one from the content, the text encodings they may come in, and the result of
// reading one. Pure functions over bytes; the dialogs live in app/.

#include "formats/textblocks.h"
#include "vault/entrylist.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <atomic>

enum class TransferFormat
{
    Unknown,
    VaultryList,   // our own password-protected list file
    Csv,           // any comma-separated table with a header row
    BitwardenJson, // Bitwarden's unencrypted JSON export
    KeePassXml,    // KeePass 2 XML, as KeePass and KeePassXC export it
};

// "CSV", "Bitwarden JSON", "KeePass 2 XML", "Vaultry list".
QString transferFormatName(TransferFormat format);

// The format the bytes are in, judged from their start; Unknown when none fits. Any text that
// is not XML or JSON counts as CSV, since a CSV file has no mark of its own. `bytes` may be the
// start of a file of `fileSize` bytes (-1: the bytes are the whole file).
TransferFormat recogniseFormat(const QByteArray& bytes, qint64 fileSize = -1);

// What a reader passed over, or kept only in the notes, so that the preview can say so.
struct ImportLeftOut
{
    int oldVersions = 0;        // history versions of entries (KeePass); the current version comes in
    int recycled = 0;           // entries in the recycle bin or the trash
    int otherKinds = 0;         // items of a kind Vaultry has no place for
    int shortRows = 0;          // CSV rows with fewer fields than the header: the missing ones are empty
    QList<int> shortRowLines;   // the lines of the first few of them
    QStringList columnsInNotes; // columns of a known layout without a field, kept in the notes by name
    int historyInNotes = 0;     // entries whose old passwords went into their notes (Bitwarden)

    bool isEmpty() const
    {
        return oldVersions == 0 && recycled == 0 && otherKinds == 0 && shortRows == 0 && columnsInNotes.isEmpty() &&
               historyInNotes == 0;
    }
};

// Entries read from another manager's file. Every entry has a fresh id and names a category;
// `categories` lists each category once, in the order met (also groups or folders left empty).
struct ImportedEntries
{
    bool ok = false;
    QString error; // when !ok: what is wrong and where ("line 4: ...")
    EntryList entries;
    QStringList categories;
    ImportLeftOut leftOut;
};

// How far a reader running on another thread has come, and whether to stop. The reader
// moves `done` towards `total` (bytes, or items); a reader that sees `cancelled` stops with
// an error. Shared between the threads without a lock.
struct ImportProgress
{
    std::atomic<qint64> done{0};
    std::atomic<qint64> total{0};
    std::atomic<bool> cancelled{false};
};

// What the start of a file says against reading it as text: empty, or holding a zero byte
// (binary, or UTF-16 without a byte-order mark). Empty when nothing does. Only the first
// `kHeadBytes` are needed, so a huge file is judged without being read.
inline constexpr qint64 kHeadBytes = 64 * 1024;
QString textProblem(const QByteArray& head, qint64 fileSize);

// Bitwarden's JSON is read whole into memory several times over; no real export comes near this.
inline constexpr qint64 kMaxJsonImportBytes = qint64(128) << 20;
// Element nesting in an XML file; a KeePass export of a deep group tree stays far below.
inline constexpr int kMaxXmlDepth = 64;

// The text of a file in UTF-8 (with or without a byte-order mark) or UTF-16 with a byte-order
// mark. On failure returns a null string and sets `error`, naming the line.
QString decodeImportText(const QByteArray& bytes, QString* error);

// Records for a reader to fill, made without a clock reading or a system random draw each:
// every one has the moment the maker was made as both times, and an id of Entry()'s form drawn
// from a generator seeded once from the random source. Reading the clock (a time-zone lookup)
// and the system's source (a CPU instruction per draw) for each of a million entries took seconds.
// The ids share blocks of text (TextBlocks), a fifth of an imported entry's memory otherwise.
class ImportedEntryMaker
{
public:
    ImportedEntryMaker();
    Entry make();

private:
    Entry blank{Entry::NoId};
    QRandomGenerator generator;
    TextBlocks ids;
};

// The 1-based line of character `offset` in `text`.
int lineOfOffset(const QString& text, qsizetype offset);

// Stores `time` in local time, as the vault keeps times; false for an invalid time. A time whose
// local form falls outside the years 1000 to 9999 but whose UTC form does not (9999-12-31T23:59:59Z,
// "never" to some exporters, east of Greenwich) is kept in UTC, so that it is written back as read.
// Other times outside those years ("unknown" as year 1) are passed over: `into` keeps its value.
bool takeImportedTime(const QDateTime& time, EntryTime& into);

// Adds "name: value" as a line of its own to `notes`, for a field that has no place in an
// entry; nothing for an empty value.
void appendNamedField(QString& notes, const QString& name, const QString& value);

// The title for an entry whose source gave none: the website's host, else the account.
QString fallbackTitle(const QString& url, const QString& account);

// An imported entry matching a vault entry in every text (title, category, website, account,
// password, notes) takes that entry's id, so that merging counts it as already there instead of
// adding it twice. Each vault entry answers for one imported entry: a file holding two equal
// entries brings both into a vault holding one (but nothing more on a second import).
void adoptMatchingIds(EntryList& incoming, const EntryList& existing);

// What merging `incoming` into a vault holding `existing` would do, category by category, in the
// order the categories first appear; for the preview and the report.
struct ImportPlan
{
    struct Category
    {
        QString name;
        int entries = 0;
        int alreadyThere = 0; // entries whose id the vault (or an earlier entry of the import) has
    };
    QList<Category> categories;
    int added = 0;
    int alreadyThere = 0;
    int categoriesReceiving = 0; // categories that get at least one entry
    ImportLeftOut leftOut;
};
ImportPlan planImport(const ImportedEntries& incoming, const EntryList& existing);

// Notes the named category in `categories`, skipping a repeat of the last one; a reader calls
// removeDuplicates() once at the end (checking the whole list each time would be quadratic).
void noteCategory(QStringList& categories, const QString& name);
