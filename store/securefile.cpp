#include "securefile.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTemporaryTag[] = ".saving-";
constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr qint64 kChunk = 1 << 20;    // for reading and copying
constexpr qint64 kMaxWrite = 1 << 30; // below what one write() takes
constexpr int kMaxLinks = 40;         // as the kernel's own limit on following links
const WriteHooks noHooks;

// A journal: the magic, the target's real path (a big-endian 32-bit length, then its bytes), the new
// content, then its length (big-endian 64 bits) and the SHA-256 of everything before the digest.
constexpr char kJournalMagic[8] = {'V', 'Y', 'J', 'R', 'N', 'L', '0', '1'};
constexpr qint64 kJournalHead = sizeof kJournalMagic + 4;
constexpr qint64 kDigestSize = 32;
constexpr qint64 kJournalTail = 8 + kDigestSize;
constexpr qint64 kMaxJournalPath = 1 << 16;

QString tr(const char* text)
{
    return QCoreApplication::translate("SecureFile", text);
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString notRegular(const QString& path)
{
    return tr("%1 is not a regular file").arg(native(path));
}

WriteResult failed(int error)
{
    return WriteResult{false, qt_error_string(error)};
}

WriteResult superseded()
{
    WriteResult result;
    result.ok = false;
    result.superseded = true;
    result.reason = QCoreApplication::translate("SecureFile", "the file was changed meanwhile");
    return result;
}

int hookError(const std::function<int()>& hook)
{
    return hook ? hook() : 0;
}

// The errors below are taken the moment a call fails and handed back as values, so that closing or
// deleting files afterwards, or a producer's own work, cannot change the reason the user is given.

// Writes all of `size` bytes, however many calls it takes: 0, or the error that stopped it.
// `offset` is where in the file they go, for the hooks; `written` (when given) grows by what went.
int writeAll(int fd, const char* data, qint64 size, const WriteHooks& hooks, qint64 offset = 0,
             qint64* written = nullptr)
{
    qint64 done = 0;
    while (done < size) {
        qint64 part = qMin(size - done, kMaxWrite);
        if (hooks.write) {
            qint64 at = offset + done;
            if (const int error = hooks.write(at, part))
                return error;
            part = qBound<qint64>(0, part, size - done);
        }
        const ssize_t count = ::write(fd, data + done, size_t(part));
        if (count < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            return error;
        }
        if (count == 0)
            return EIO; // no progress and no error: give up rather than spin
        done += count;
        if (written)
            *written += count;
    }
    return 0;
}

// Writes everything `produce` makes: 0, or the error that stopped it.
int writeProduced(int fd, const SecretProducer& produce, const WriteHooks& hooks)
{
    qint64 offset = 0;
    int error = 0;
    const bool made = produce([fd, &hooks, &offset, &error](const char* data, qint64 size) {
        if (error == 0)
            error = writeAll(fd, data, size, hooks, offset);
        if (error != 0) {
            errno = error; // as the producer was promised
            return false;
        }
        offset += size;
        return true;
    });
    if (error != 0)
        return error;
    return made ? 0 : ECANCELED; // the producer stopped of its own accord
}

// Puts the file's bytes on the disk and closes it (always): 0, or the first error.
int syncAndClose(int fd, const WriteHooks& hooks)
{
    int error = hookError(hooks.sync);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    const int closeFault = hookError(hooks.close);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error != 0 ? error : closeFault;
}

// Closes a file being given up on; what closing says no longer matters.
void closeAbandoned(int fd, const WriteHooks& hooks)
{
    hookError(hooks.close);
    ::close(fd);
}

// Makes a rename or a new file in the folder holding `file` survive a crash: 0, or the error.
int syncDirectory(const QString& file)
{
    const int fd =
        ::open(QFile::encodeName(QFileInfo(file).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0; // a folder we may write but not read cannot be opened to sync; nothing to do
    const int error = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno; // EINVAL: the file system cannot
    ::close(fd);
    return error;
}

// Whether the open `fd` is a regular file; false with `reason` set when it is not or cannot be told.
bool isRegular(int fd, const QString& path, QString* reason, qint64* size = nullptr)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = notRegular(path);
        return false;
    }
    if (size)
        *size = st.st_size;
    return true;
}

// Reads exactly `size` bytes at `offset`: 0, or the error (EIO when the file ends first).
int readAt(int fd, char* data, qint64 size, qint64 offset)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t count = ::pread(fd, data + done, size_t(size - done), off_t(offset + done));
        if (count < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            return error;
        }
        if (count == 0)
            return EIO; // shorter than it was a moment ago
        done += count;
    }
    return 0;
}

QByteArray folderOf(const QByteArray& name)
{
    const qsizetype slash = name.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : name.left(slash);
}

// The file a write to `path` should replace or create.
struct WriteTarget
{
    QString path;        // the real folder's path and the file's name; empty when refused
    bool exists = false; // a regular file is there now
};

// Follows the links at `path`, and at what they lead to, to the file they end in, which need not
// exist yet: a link to a missing file is saved by creating that file. Refused (empty path, `reason`
// set) for anything there that is not a regular file, a loop of links or a folder that is missing.
WriteTarget writeTarget(const QString& path, QString* reason)
{
    WriteTarget target;
    QByteArray name = QFile::encodeName(path);
    for (int links = 0;; ++links) {
        struct stat st;
        if (::lstat(name.constData(), &st) != 0) {
            const int error = errno;
            if (error != ENOENT) {
                *reason = qt_error_string(error);
                return WriteTarget();
            }
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            if (!S_ISREG(st.st_mode)) {
                *reason = notRegular(path);
                return WriteTarget();
            }
            target.exists = true;
            break;
        }
        if (links == kMaxLinks) {
            *reason = qt_error_string(ELOOP);
            return WriteTarget();
        }
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(name.constData(), buffer, sizeof buffer);
        if (length < 0 || length == ssize_t(sizeof buffer)) {
            *reason = qt_error_string(length < 0 ? errno : ENAMETOOLONG);
            return WriteTarget();
        }
        const QByteArray link(buffer, length);
        // A relative link counts from the link's own folder; ".." is left to the kernel, which
        // knows whether that folder is itself reached through a link.
        name = link.startsWith('/') ? link : folderOf(name) + '/' + link;
    }
    // The temporary file goes beside the real file, in that file's own folder.
    char* folder = ::realpath(folderOf(name).constData(), nullptr);
    if (!folder) {
        *reason = qt_error_string(errno);
        return WriteTarget();
    }
    const QByteArray file = name.mid(name.lastIndexOf('/') + 1);
    QByteArray real(folder);
    ::free(folder);
    if (!real.endsWith('/'))
        real += '/';
    target.path = QFile::decodeName(real + file);
    return target;
}

// Where the journal of a save in place of `target` (a real path) is kept.
QString journalPathFor(const QString& target)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (data.isEmpty())
        return QString();
    const QByteArray key = QCryptographicHash::hash(QFile::encodeName(target), QCryptographicHash::Sha256).toHex();
    return data + QStringLiteral("/journal/") + QString::fromLatin1(key) + QStringLiteral(".journal");
}

// Makes the journal's folder, owner-only: 0, or the error.
int makeJournalFolder(const QString& journal)
{
    const QString folder = QFileInfo(journal).absolutePath();
    QDir().mkpath(QFileInfo(folder).absolutePath());
    const QByteArray name = QFile::encodeName(folder);
    if (::mkdir(name.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return errno;
    struct stat st;
    if (::lstat(name.constData(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    return st.st_mode & (S_IRWXG | S_IRWXO) && ::chmod(name.constData(), S_IRWXU) != 0 ? errno : 0;
}

// The journal's bytes around what `produce` makes, for the file at `target`.
SecretProducer journalOf(const QString& target, const SecretProducer& produce)
{
    return [target, &produce](const SecretWrite& write) {
        QCryptographicHash digest(QCryptographicHash::Sha256);
        const auto put = [&digest, &write](const char* data, qint64 size) {
            digest.addData(QByteArrayView(data, size));
            return write(data, size);
        };
        const QByteArray name = QFile::encodeName(target);
        char head[kJournalHead];
        std::copy(std::begin(kJournalMagic), std::end(kJournalMagic), head);
        qToBigEndian<quint32>(quint32(name.size()), head + sizeof kJournalMagic);
        if (!put(head, kJournalHead) || !put(name.constData(), name.size()))
            return false;
        qint64 length = 0;
        const bool made = produce([&put, &length](const char* data, qint64 size) {
            length += size;
            return put(data, size);
        });
        if (!made)
            return false;
        char lengthBytes[8];
        qToBigEndian<quint64>(quint64(length), lengthBytes);
        if (!put(lengthBytes, sizeof lengthBytes))
            return false;
        const QByteArray sum = digest.result();
        return write(sum.constData(), sum.size());
    };
}

// A journal opened for reading and found whole.
struct Journal
{
    int fd = -1;
    qint64 start = 0;  // where the content begins
    qint64 length = 0; // of the content
};

enum class JournalCheck
{
    Sound,
    Torn,       // cut short, damaged or not this file's: never to be written anywhere
    Unreadable, // could not be read; see the error
};

// Opens `journal` and checks it holds the whole content for `target`. When Sound, `opened->fd` is
// open for the caller to close.
JournalCheck openJournal(const QString& journal, const QString& target, Journal* opened, int* error)
{
    const int fd = ::open(QFile::encodeName(journal).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        *error = errno;
        return JournalCheck::Unreadable;
    }
    const auto give = [fd](JournalCheck check) {
        ::close(fd);
        return check;
    };
    QString reason;
    qint64 size = 0;
    if (!isRegular(fd, journal, &reason, &size))
        return give(JournalCheck::Torn);
    const QByteArray name = QFile::encodeName(target);
    char head[kJournalHead];
    if (size < kJournalHead + name.size() + kJournalTail)
        return give(JournalCheck::Torn);
    if ((*error = readAt(fd, head, kJournalHead, 0)) != 0)
        return give(JournalCheck::Unreadable);
    const quint32 nameSize = qFromBigEndian<quint32>(head + sizeof kJournalMagic);
    if (!std::equal(std::begin(kJournalMagic), std::end(kJournalMagic), head) || nameSize > kMaxJournalPath ||
        qint64(nameSize) != name.size())
        return give(JournalCheck::Torn);
    QByteArray stored(nameSize, Qt::Uninitialized);
    char tail[kJournalTail];
    if ((*error = readAt(fd, stored.data(), nameSize, kJournalHead)) != 0 ||
        (*error = readAt(fd, tail, kJournalTail, size - kJournalTail)) != 0)
        return give(JournalCheck::Unreadable);
    const qint64 start = kJournalHead + nameSize;
    const qint64 length = size - start - kJournalTail;
    if (stored != name || qFromBigEndian<quint64>(tail) != quint64(length))
        return give(JournalCheck::Torn);

    QCryptographicHash digest(QCryptographicHash::Sha256);
    QByteArray chunk(kChunk, Qt::Uninitialized);
    for (qint64 at = 0, end = size - kDigestSize; at < end;) {
        const qint64 part = qMin(kChunk, end - at);
        if ((*error = readAt(fd, chunk.data(), part, at)) != 0)
            return give(JournalCheck::Unreadable);
        digest.addData(QByteArrayView(chunk.constData(), part));
        at += part;
    }
    if (digest.result() != QByteArrayView(tail + 8, kDigestSize))
        return give(JournalCheck::Torn);
    *opened = Journal{fd, start, length};
    return JournalCheck::Sound;
}

// Writes the journal's content over the file open on `fd`, cuts it to that length and syncs and
// closes it (always): 0, or the error. `touched` says whether the file was changed at all.
int overwriteFromJournal(const Journal& journal, int fd, const WriteHooks& hooks, bool* touched)
{
    *touched = false;
    // Room for the new bytes first, so that a full disk stops the save before the file is changed.
    if (journal.length > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(journal.length)) != 0) {
        const int error = errno;
        if (error != EOPNOTSUPP && error != ENOSYS && error != EINVAL) {
            closeAbandoned(fd, hooks);
            return error;
        }
    }
    QByteArray chunk(qMin(kChunk, qMax<qint64>(journal.length, 1)), Qt::Uninitialized);
    qint64 written = 0;
    int error = 0;
    for (qint64 at = 0; error == 0 && at < journal.length;) {
        const qint64 part = qMin<qint64>(chunk.size(), journal.length - at);
        error = readAt(journal.fd, chunk.data(), part, journal.start + at);
        if (error == 0)
            error = writeAll(fd, chunk.constData(), part, hooks, at, &written);
        at += part;
    }
    *touched = written > 0;
    if (error == 0) {
        // Written over rather than cut first, so that the old bytes stay until new ones replace them.
        *touched = true;
        if (::ftruncate(fd, off_t(journal.length)) != 0)
            error = errno;
    }
    if (error != 0) {
        closeAbandoned(fd, hooks);
        return error;
    }
    return syncAndClose(fd, hooks);
}

// Opens an existing regular file `target` for writing over it, owner-only: the descriptor, or -1
// with `reason` set.
int openForOverwrite(const QString& target, QString* reason)
{
    // O_NONBLOCK and O_NOFOLLOW: something swapped in since the check must not make open() wait.
    const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return -1;
    }
    if (!isRegular(fd, target, reason)) {
        ::close(fd);
        return -1;
    }
    // The mode first: a file we may not make owner-only is left as it was.
    if (::fchmod(fd, kOwnerOnly) != 0) {
        *reason = qt_error_string(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// Writes through a temporary file beside `target`, renamed over it once synced. When the temporary
// cannot be made, `createError` says why.
WriteResult writeReplacing(const QString& target, const SecretProducer& produce, const WriteHooks& hooks,
                           int* createError, const ReplaceCheck& replaceIf = {})
{
    QByteArray temporary = QFile::encodeName(target) + kTemporaryTag + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *createError = errno;
        return failed(*createError);
    }
    // mkostemp's 0600 is narrowed by the umask; an older file's mode is not carried over.
    int error = ::fchmod(fd, kOwnerOnly) != 0 ? errno : writeProduced(fd, produce, hooks);
    if (error != 0) {
        closeAbandoned(fd, hooks);
        ::unlink(temporary.constData());
        return failed(error);
    }
    error = syncAndClose(fd, hooks);
    // The last look at what is there, as close to the rename as can be.
    if (error == 0 && replaceIf && !replaceIf()) {
        ::unlink(temporary.constData());
        return superseded();
    }
    if (error == 0 && ::rename(temporary.constData(), QFile::encodeName(target).constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        return failed(error);
    }
    // The new file is in place, but might not be after a crash; say so rather than claim the save.
    error = syncDirectory(target);
    return error != 0 ? failed(error) : WriteResult();
}

// Rewrites `target` itself, for a folder that does not let us create the temporary file: the new
// bytes are made whole and synced in a journal first, so that a crash while `target` is being
// overwritten can be finished from it (recoverInPlaceWrite).
WriteResult writeInPlace(const QString& target, const SecretProducer& produce, const WriteHooks& hooks,
                         const ReplaceCheck& replaceIf)
{
    QString reason;
    const int fd = openForOverwrite(target, &reason);
    if (fd < 0)
        return WriteResult{false, reason};
    const QString journal = journalPathFor(target);
    const int folderError = journal.isEmpty() ? ENOENT : makeJournalFolder(journal);
    if (folderError != 0) {
        closeAbandoned(fd, hooks);
        return WriteResult{false, tr("its folder cannot be written and no journal to save it in place could be "
                                     "made in %1: %2")
                                      .arg(native(QFileInfo(journal).absolutePath()), qt_error_string(folderError))};
    }
    int createError = 0;
    const WriteResult journaled =
        writeReplacing(journal, journalOf(target, produce), hooks.journal ? *hooks.journal : noHooks, &createError);
    if (!journaled.ok) {
        closeAbandoned(fd, hooks);
        return journaled;
    }

    if (replaceIf && !replaceIf()) {
        closeAbandoned(fd, hooks);
        ::unlink(QFile::encodeName(journal).constData());
        return superseded();
    }
    Journal opened;
    int error = 0;
    bool touched = false;
    if (openJournal(journal, target, &opened, &error) != JournalCheck::Sound) {
        error = error ? error : EIO; // written and synced a moment ago, yet not as written
        closeAbandoned(fd, hooks);
    } else {
        error = overwriteFromJournal(opened, fd, hooks, &touched);
        ::close(opened.fd);
    }
    if (error != 0 && touched) {
        return WriteResult{false, tr("%1; the new contents are kept in %2 and will be written to the file when "
                                     "it is next opened")
                                      .arg(qt_error_string(error), native(journal))};
    }
    // Done, or the file untouched: either way the journal is of no more use.
    ::unlink(QFile::encodeName(journal).constData());
    return error != 0 ? failed(error) : WriteResult();
}

} // namespace

WriteResult writeSecretFile(const QString& path, const QByteArray& bytes, const WriteHooks& hooks)
{
    return writeSecretFile(
        path, [&bytes](const SecretWrite& write) { return write(bytes.constData(), bytes.size()); }, hooks);
}

WriteResult writeSecretFile(const QString& path, const SecretProducer& produce, const WriteHooks& hooks)
{
    return writeSecretFileIf(path, produce, {}, hooks);
}

WriteResult writeSecretFileIf(const QString& path, const SecretProducer& produce, const ReplaceCheck& replaceIf,
                              const WriteHooks& hooks)
{
    QString reason;
    const WriteTarget target = writeTarget(path, &reason);
    if (target.path.isEmpty())
        return WriteResult{false, reason};
    int createError = 0;
    const WriteResult result = writeReplacing(target.path, produce, hooks, &createError, replaceIf);
    // A folder we may not write holding a file we may (a shared folder, or a writable file mounted
    // into a read-only one): write the file in place, through a journal, rather than not save at all.
    if (!result.ok && (createError == EACCES || createError == EPERM || createError == EROFS) && target.exists)
        return writeInPlace(target.path, produce, hooks, replaceIf);
    // The journal of an earlier save in place that failed holds older bytes than these now.
    if (result.ok && target.exists) {
        const QString journal = journalPathFor(target.path);
        if (!journal.isEmpty())
            ::unlink(QFile::encodeName(journal).constData());
    }
    return result;
}

QString vaultSaveError(const QString& path, const QString& reason)
{
    // The store's own wording and translation context, so its message stays as it was.
    return QCoreApplication::translate("SettingsStore", "The vault could not be saved to %1: %2.")
        .arg(native(path), reason);
}

QString nonRegularReason(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || S_ISREG(st.st_mode))
        return QString();
    return notRegular(path);
}

bool openRegularFile(QFile& file, QString* reason)
{
    // Checked before opening too: opening some devices has effects of its own.
    const QString path = file.fileName();
    *reason = nonRegularReason(path);
    if (!reason->isEmpty())
        return false;
    // O_NONBLOCK: a pipe put in its place since the check must not make open() wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    if (!isRegular(fd, path, reason)) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, 0); // blocking reads again, as QFile expects
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        *reason = file.errorString();
        ::close(fd);
        return false;
    }
    return true;
}

ReadResult readRegularFile(const QString& path, qint64 maxSize)
{
    ReadResult result;
    QFile file(path);
    if (!openRegularFile(file, &result.reason))
        return result;
    const QString tooLarge = tr("%1 is larger than %2 bytes").arg(native(path)).arg(maxSize);
    // Judged by the open file's size before a byte is read or a byte of memory is taken for it.
    qint64 size = 0;
    if (!isRegular(file.handle(), path, &result.reason, &size))
        return result;
    if (size > maxSize) {
        result.reason = tooLarge;
        return result;
    }
    // The file may grow while it is read: never read more than one byte past the limit.
    result.bytes.reserve(size);
    for (;;) {
        const qint64 have = result.bytes.size();
        const qint64 left = maxSize - have;
        const qint64 want = left < kChunk ? left + 1 : kChunk;
        result.bytes.resize(have + want);
        const qint64 got = file.read(result.bytes.data() + have, want);
        result.bytes.resize(have + qMax<qint64>(got, 0));
        if (got < 0 || file.error() != QFileDevice::NoError) {
            result.reason = file.errorString();
            result.bytes.clear();
            return result;
        }
        if (result.bytes.size() > maxSize) {
            result.bytes = QByteArray();
            result.reason = tooLarge;
            return result;
        }
        if (got == 0) {
            result.ok = true;
            return result;
        }
    }
}

bool copySecretFile(const QString& from, const QString& to, QString* error)
{
    QFile source(from);
    if (!openRegularFile(source, error))
        return false;
    const QByteArray toName = QFile::encodeName(to);
    // O_EXCL: an existing file, or a link, at `to` is never replaced or written through.
    const int fd = ::open(toName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
    if (fd < 0) {
        *error = qt_error_string(errno);
        return false;
    }
    QString why;
    if (::fchmod(fd, kOwnerOnly) != 0)
        why = qt_error_string(errno);
    while (why.isEmpty()) {
        const QByteArray chunk = source.read(kChunk);
        if (source.error() != QFileDevice::NoError)
            why = source.errorString();
        else if (chunk.isEmpty())
            break;
        else if (const int failure = writeAll(fd, chunk.constData(), chunk.size(), noHooks))
            why = qt_error_string(failure);
    }
    int failure = syncAndClose(fd, noHooks);
    if (failure == 0)
        failure = syncDirectory(to);
    if (failure != 0 && why.isEmpty())
        why = qt_error_string(failure);
    if (!why.isEmpty()) {
        ::unlink(toName.constData());
        *error = why;
        return false;
    }
    return true;
}

int removeStaleTemporaries(const QString& path)
{
    QString reason;
    const QString target = writeTarget(path, &reason).path;
    const QFileInfo info(target.isEmpty() ? path : target);
    // Exactly what writeSecretFile creates: the name, the tag and mkostemp's six letters or digits.
    const QRegularExpression temporary(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(info.fileName() + QLatin1String(kTemporaryTag)) + QLatin1String("[A-Za-z0-9]{6}")));
    const QDir dir = info.dir();
    int removed = 0;
    // Regular files only: no links, folders or pipes that happen to match.
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        if (temporary.match(name).hasMatch() && QFile::remove(dir.filePath(name)))
            ++removed;
    }
    return removed;
}

QString inPlaceJournalPath(const QString& path)
{
    QString reason;
    const QString target = writeTarget(path, &reason).path;
    return target.isEmpty() ? QString() : journalPathFor(target);
}

QString recoverInPlaceWrite(const QString& path)
{
    QString reason;
    const QString target = writeTarget(path, &reason).path;
    const QString journal = target.isEmpty() ? QString() : journalPathFor(target);
    if (journal.isEmpty())
        return QString();
    // A save cut short while its journal was still being written had not touched the file.
    removeStaleTemporaries(journal);
    const QByteArray journalName = QFile::encodeName(journal);
    struct stat st;
    if (::lstat(journalName.constData(), &st) != 0)
        return QString();

    Journal opened;
    int error = 0;
    switch (openJournal(journal, target, &opened, &error)) {
    case JournalCheck::Torn:
        ::unlink(journalName.constData());
        return tr("An unfinished save of %1 left an incomplete journal, which was deleted; the file is as it "
                  "was before that save.")
            .arg(native(path));
    case JournalCheck::Unreadable:
        reason = qt_error_string(error);
        break;
    case JournalCheck::Sound: {
        const int fd = openForOverwrite(target, &reason);
        bool touched = false;
        if (fd >= 0 && (error = overwriteFromJournal(opened, fd, noHooks, &touched)) != 0)
            reason = qt_error_string(error);
        ::close(opened.fd);
        if (reason.isEmpty()) {
            ::unlink(journalName.constData());
            return tr("An unfinished save of %1 was completed from its journal.").arg(native(path));
        }
        break;
    }
    }
    return tr("An unfinished save of %1 could not be completed from its journal %2: %3. The journal was kept; the "
              "file may be incomplete.")
        .arg(native(path), native(journal), reason);
}
