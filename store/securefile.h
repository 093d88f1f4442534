#pragma once

// Reading and writing the files that hold secrets: the store, the copies kept of it and exported
// lists. Files are owner-only (0600), are replaced only by a complete file that has reached the disk
// (or, where no file can be made beside them, rewritten from a journal that has), and only regular
// files are read or written, so a named pipe or device in their place cannot hang or leak the vault.

#include <QByteArray>
#include <QString>

#include <functional>

class QFile;

// Faults for tests, each run just before the system call it is named after: returning 0 lets the
// call go ahead, an errno value fails it with that error. `write` may also lower `size`, which
// makes a short write.
struct WriteHooks
{
    std::function<int(qint64 offset, qint64& size)> write;
    std::function<int()> sync;  // fsync of the file
    std::function<int()> close; // where the file system reports write-back errors it held back
    // For a save in place: the faults for the journal, written (through its own temporary file)
    // before the file itself is overwritten. The hooks above then apply to the overwrite.
    const WriteHooks* journal = nullptr;
};

struct WriteResult
{
    bool ok = true;
    QString reason;          // for the user when !ok, e.g. "No space left on device"
    bool superseded = false; // !ok because the ReplaceCheck said no: the old file is as it was
};

// Asked right before the new bytes replace the old file (the rename, or the overwrite in place):
// false leaves the old file as it is.
using ReplaceCheck = std::function<bool()>;

// Writes `bytes` to `path` as a 0600 file: through a temporary file beside it (see
// removeStaleTemporaries) that is synced and renamed over `path` only when all went well, so a
// failure leaves the old file as it was. A link is written through to the file it leads to, which
// is created when it is missing; anything else that is not a regular file is refused.
// When no file can be made beside an existing `path` (a folder the user may not write), the new
// bytes go first to a synced journal in the user's data folder (inPlaceJournalPath), then over
// `path` itself, and the journal is removed once `path` is synced. A failure before the overwrite
// leaves the old file; one during it leaves the journal for recoverInPlaceWrite, and says so. A
// later save that replaces `path` as usual deletes such a journal, whose bytes it has outdated.
WriteResult writeSecretFile(const QString& path, const QByteArray& bytes, const WriteHooks& hooks = {});

// The same for bytes made while the file is written, so that a large file is never whole in
// memory: `produce` hands each piece to the function it is given, which returns false (errno set)
// once writing has failed; `produce` then stops and returns false. Hook offsets count from the
// start of the file.
using SecretWrite = std::function<bool(const char* data, qint64 size)>;
using SecretProducer = std::function<bool(const SecretWrite& write)>;
WriteResult writeSecretFile(const QString& path, const SecretProducer& produce, const WriteHooks& hooks = {});
// The same, replacing the old file only when `replaceIf` says so at the last moment.
WriteResult writeSecretFileIf(const QString& path, const SecretProducer& produce, const ReplaceCheck& replaceIf,
                              const WriteHooks& hooks = {});

// The store's report of a failed save: "The vault could not be saved to <path>: <reason>."
QString vaultSaveError(const QString& path, const QString& reason);

struct ReadResult
{
    bool ok = false;
    QByteArray bytes;
    QString reason; // for the user when !ok
};

// The contents of `path`, refused when it is not a regular file or holds more than `maxSize` bytes:
// judged by its size before anything is read, and never more than `maxSize` + 1 bytes read even
// when the file grows meanwhile.
ReadResult readRegularFile(const QString& path, qint64 maxSize);

// Opens `file` (its fileName()) read-only and unbuffered, refusing anything but a regular file
// without blocking on it. On failure returns false with `reason` set for the user.
bool openRegularFile(QFile& file, QString* reason);

// Why `path` (after following links) is not a regular file; empty when it is one or does not exist.
QString nonRegularReason(const QString& path);

// Copies `from` to a new 0600 file `to`, synced; never replaces an existing `to`. On failure
// nothing is left at `to` and `error` says why.
bool copySecretFile(const QString& from, const QString& to, QString* error);

// Deletes the temporaries (<name>.saving-XXXXXX) that an interrupted writeSecretFile(path) left
// beside path. Call it before saving, never while another process may be saving the same file.
// Returns how many were deleted.
int removeStaleTemporaries(const QString& path);

// Where a save in place of `path` keeps its journal: a file named after the real path of the file
// `path` leads to, in "journal" under the user's data folder. Empty when there is no such place.
QString inPlaceJournalPath(const QString& path);

// Finishes a save in place of `path` that was cut short (a crash, a kill, a failed write): a sound
// journal is written over the file and removed; a torn one is deleted, leaving the file as it was,
// which that save had not yet touched. Returns what was done, for the user; empty when there was
// nothing to do. Call it before reading `path`, never while another process may be saving it.
QString recoverInPlaceWrite(const QString& path);
