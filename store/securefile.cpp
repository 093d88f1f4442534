#include "securefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTemporaryTag[] = ".saving-";
constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr qint64 kChunk = 1 << 20;    // for reading and copying
constexpr qint64 kMaxWrite = 1 << 30; // below what one write() takes
const WriteHooks noHooks;

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

// Runs a test's fault for the next system call; false, with errno set, when it fails the call.
bool passes(const std::function<int()>& hook)
{
    const int error = hook ? hook() : 0;
    errno = error;
    return error == 0;
}

// Writes all of `size` bytes, however many calls it takes; false with errno set when it cannot.
// `offset` is where in the file they go, for the hooks.
bool writeAll(int fd, const char* data, qint64 size, const WriteHooks& hooks, qint64 offset = 0)
{
    qint64 done = 0;
    while (done < size) {
        qint64 part = qMin(size - done, kMaxWrite);
        if (hooks.write) {
            qint64 at = offset + done;
            if (const int error = hooks.write(at, part)) {
                errno = error;
                return false;
            }
            part = qBound<qint64>(0, part, size - done);
        }
        const ssize_t written = ::write(fd, data + done, size_t(part));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO; // no progress and no error: give up rather than spin
            return false;
        }
        done += written;
    }
    return true;
}

// Writes everything `produce` makes; false with errno set when it cannot.
bool writeProduced(int fd, const SecretProducer& produce, const WriteHooks& hooks)
{
    qint64 offset = 0;
    errno = 0;
    const bool made = produce([fd, &hooks, &offset](const char* data, qint64 size) {
        if (!writeAll(fd, data, size, hooks, offset))
            return false;
        offset += size;
        return true;
    });
    if (!made && errno == 0)
        errno = ECANCELED; // the producer stopped of its own accord
    return made;
}

// Puts the file's bytes on the disk and closes it (always); false with errno set when either failed.
bool syncAndClose(int fd, const WriteHooks& hooks)
{
    int error = 0;
    if (!passes(hooks.sync) || ::fsync(fd) != 0)
        error = errno;
    const bool closeFault = !passes(hooks.close);
    const int closeError = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (closeFault && error == 0)
        error = closeError;
    errno = error;
    return error == 0;
}

// Makes a rename in the folder holding `file` survive a crash.
bool syncDirectory(const QString& file)
{
    const int fd =
        ::open(QFile::encodeName(QFileInfo(file).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true; // a folder we may write but not read cannot be opened to sync; nothing to do
    int error = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno; // EINVAL: the file system cannot
    ::close(fd);
    errno = error;
    return error == 0;
}

// Whether the open `fd` is a regular file; false with `reason` set when it is not or cannot be told.
bool isRegular(int fd, const QString& path, QString* reason)
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
    return true;
}

// The regular file that `path` names, following a link; `path` itself when nothing is there yet.
// Empty, with `reason` set, for anything that is not a regular file.
QString writeTarget(const QString& path, QString* reason)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0) {
        if (errno == ENOENT)
            return path;
        *reason = qt_error_string(errno);
        return QString();
    }
    QString target = path;
    if (S_ISLNK(st.st_mode)) {
        // The link stays; the file it leads to is replaced, within that file's own folder.
        char* resolved = ::realpath(name.constData(), nullptr);
        if (!resolved || ::stat(resolved, &st) != 0) {
            *reason = qt_error_string(errno);
            ::free(resolved);
            return QString();
        }
        target = QFile::decodeName(resolved);
        ::free(resolved);
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = notRegular(path);
        return QString();
    }
    return target;
}

// Rewrites `target` itself, for a folder that does not let us create the temporary file. A failure
// part way leaves the file cut short: there is nowhere else to put the new bytes.
WriteResult writeInPlace(const QString& target, const SecretProducer& produce, const WriteHooks& hooks)
{
    // O_NONBLOCK and O_NOFOLLOW: something swapped in since the check must not make open() wait.
    const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return failed(errno);
    QString reason;
    if (!isRegular(fd, target, &reason)) {
        ::close(fd);
        return WriteResult{false, reason};
    }
    // The mode first: a file we may not make owner-only is left as it was.
    if (::fchmod(fd, kOwnerOnly) != 0 || ::ftruncate(fd, 0) != 0 || !writeProduced(fd, produce, hooks)) {
        const int error = errno;
        ::close(fd);
        return failed(error);
    }
    if (!syncAndClose(fd, hooks))
        return failed(errno);
    return WriteResult();
}

} // namespace

WriteResult writeSecretFile(const QString& path, const QByteArray& bytes, const WriteHooks& hooks)
{
    return writeSecretFile(
        path, [&bytes](const SecretWrite& write) { return write(bytes.constData(), bytes.size()); }, hooks);
}

WriteResult writeSecretFile(const QString& path, const SecretProducer& produce, const WriteHooks& hooks)
{
    QString reason;
    const QString target = writeTarget(path, &reason);
    if (target.isEmpty())
        return WriteResult{false, reason};

    QByteArray temporary = QFile::encodeName(target) + kTemporaryTag + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // A folder we may not write holding a file we may: write the file in place, as QSaveFile's
        // direct-write fallback does, rather than not save at all.
        if ((error == EACCES || error == EPERM) && QFileInfo::exists(target))
            return writeInPlace(target, produce, hooks);
        return failed(error);
    }
    // mkostemp's 0600 is narrowed by the umask; an older file's mode is not carried over.
    if (::fchmod(fd, kOwnerOnly) != 0 || !writeProduced(fd, produce, hooks)) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.constData());
        return failed(error);
    }
    if (!syncAndClose(fd, hooks) || ::rename(temporary.constData(), QFile::encodeName(target).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return failed(error);
    }
    // The new file is in place, but might not be after a crash; say so rather than claim the save.
    if (!syncDirectory(target))
        return failed(errno);
    return WriteResult();
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
    // Read in chunks rather than trust size(): the file may grow while it is read.
    while (result.bytes.size() <= maxSize) {
        const QByteArray chunk = file.read(kChunk);
        if (file.error() != QFileDevice::NoError) {
            result.reason = file.errorString();
            result.bytes.clear();
            return result;
        }
        if (chunk.isEmpty()) {
            result.ok = true;
            return result;
        }
        result.bytes += chunk;
    }
    result.bytes.clear();
    result.reason = tr("%1 is larger than %2 bytes").arg(native(path)).arg(maxSize);
    return result;
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
        else if (!writeAll(fd, chunk.constData(), chunk.size(), noHooks))
            why = qt_error_string(errno);
    }
    if ((!syncAndClose(fd, noHooks) || !syncDirectory(to)) && why.isEmpty())
        why = qt_error_string(errno);
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
    const QString target = writeTarget(path, &reason);
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
