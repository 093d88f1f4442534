#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class QIODevice;
struct Payload;

// The encrypted settings store beside the executable: the preferences, the category names
// and the entries, loaded once at start-up and written back on close.

// Directory holding the store files; the application directory unless set (tests set it).
QString storeDirectory();
void setStoreDirectory(const QString& directory);

inline constexpr char kStoreFileName[] = "/settings2.vydat";
inline constexpr char kLegacyStoreFileName[] = "/settings.vydat";

struct StoreLoadResult
{
    enum Outcome
    {
        Loaded,     // the current store parsed cleanly
        Created,    // no store existed; a fresh one was written
        Migrated,   // the legacy file was read, written as the current store and deleted
        Damaged,    // loaded as far as it parsed; a copy of the file was kept (damagedCopyPath)
        Unreadable, // a store exists but could not be read; nothing was loaded
    };
    Outcome outcome = Loaded;
    // For the user: what went wrong and what was done about it. Empty when nothing did.
    QString message;
    QString damagedCopyPath;
};

struct StoreSaveResult
{
    bool ok = true;
    QString error; // for the user, when !ok
};

// Replaces the preferences, categoryNames and entries from the store (or creates the store).
StoreLoadResult loadSettings();
// Writes the preferences, categoryNames and entries; the previous file survives any failure.
StoreSaveResult saveSettings();

// The pieces of the store below the file operations, free of global state so that tests
// and fuzzers can drive them.

// A store file's bytes for a payload: the payload sealed under the store key.
QByteArray sealStore(const QByteArray& payload);
// Reads a store file's bytes into `payload` as far as they go. True when the file is well
// formed: a length prefix within the ciphertext and a payload that fills it exactly.
bool decodeStore(const QByteArray& fileBytes, Payload& payload);
// The same, reading from `device` (open, positioned at the start) a block at a time, so that
// the ciphertext and the plaintext of a large store are never held whole.
bool readStore(QIODevice& device, Payload& payload);

// The plaintext of a legacy store file (int32 n, then the ciphertext as a QByteArray),
// decrypted as far as the file holds whole blocks; padding included. `complete` is false
// when the file ended before its stated ciphertext did.
QByteArray openLegacyStore(const QByteArray& fileBytes, bool* complete = nullptr);

// Writes `bytes` to `path` through a temporary file that replaces it only once complete.
// `filter`, when given, returns an open device that the bytes go through on their way to
// the temporary file (tests pass one that fails part way).
using StoreWriteFilter = std::function<std::unique_ptr<QIODevice>(QIODevice* file)>;
StoreSaveResult writeStoreFile(const QString& path, const QByteArray& bytes, const StoreWriteFilter& filter = {});
