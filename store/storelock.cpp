#include "store/settingsstore.h"

#include "store/securefile.h"
#include "store/storeload.h"
#include "store/storelocation.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>

#include <cerrno>
#include <csignal>

namespace {

QString tr(const char* text)
{
    return storeText(text);
}

QString native(const QString& path)
{
    return nativePath(path);
}

// Where a session keeps its lock when it cannot keep it beside the store: the user's runtime
// folder (else data folder), under a name made of the store's real path.
QString runtimeLockPath(const QString& storePath)
{
    // Only a runtime folder the session names: Qt's stand-in for a missing one is a folder in /tmp.
    QString folder = qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")
                         ? QString()
                         : QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QByteArray key =
        QCryptographicHash::hash(QFile::encodeName(realStorePath(storePath)), QCryptographicHash::Sha256);
    return folder + QStringLiteral("/vaultry-") + QString::fromLatin1(key.toHex().left(32)) + QStringLiteral(".lock");
}

QString lockHolder(QLockFile& lock)
{
    qint64 pid = 0;
    QString host;
    QString application;
    return lock.getLockInfo(&pid, &host, &application) ? tr(" (process %1 on %2)").arg(pid).arg(host) : QString();
}

QString alreadyOpen(const QString& holder)
{
    return tr("Vaultry is already open with this vault%1. Close it there first; this copy will end without loading "
              "or saving anything.")
        .arg(holder);
}

QString notLocked(const QString& directory, QLockFile::LockError error)
{
    return tr("The vault in %1 could not be locked for this session: %2. Vaultry will end without loading or "
              "saving anything.")
        .arg(native(directory), error == QLockFile::PermissionError ? tr("permission denied") : tr("unknown error"));
}

// Whether the process named by a lock on this computer has ended: a lock that QLockFile still
// reports held although its holder is gone is one it could not remove (a folder the user may
// not write).
bool holderIsGone(QLockFile& lock)
{
    qint64 pid = 0;
    QString host;
    QString application;
    return lock.getLockInfo(&pid, &host, &application) && pid > 0 &&
           (host.isEmpty() || host == QSysInfo::machineHostName()) && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

// The host a lock beside the store was taken on, when that is another computer: the store's
// folder is synced, and that computer's Vaultry is open on its own copy.
QString otherHost(QLockFile& lock)
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!lock.getLockInfo(&pid, &host, &application) || host.isEmpty() || host == QSysInfo::machineHostName())
        return QString();
    return host;
}

} // namespace

bool SettingsStore::isLocked() const
{
    return lockFile && lockFile->isLocked();
}

SettingsStore::LockResult SettingsStore::lock()
{
    LockResult result;
    if (isLocked()) {
        result.locked = true;
        return result;
    }
    bool syncedFromOtherHost = false;
    lockFile = std::make_unique<QLockFile>(filePath() + QStringLiteral(".lock"));
    // Held for the whole session: only a lock whose process is gone counts as stale, never an old one.
    lockFile->setStaleLockTime(0);
    if (!lockFile->tryLock(0)) {
        const QLockFile::LockError error = lockFile->error();
        const QString host = error == QLockFile::LockFailedError ? otherHost(*lockFile) : QString();
        syncedFromOtherHost = !host.isEmpty();
        if (syncedFromOtherHost) {
            result = lockInRuntimeFolder();
            lockNote = tr("Vaultry is also open on %1; changes from both will be merged.").arg(host);
        } else if (error == QLockFile::PermissionError ||
                   (error == QLockFile::LockFailedError && holderIsGone(*lockFile))) {
            // A lock that cannot be made, or a crash's lock that cannot be removed.
            result = lockInRuntimeFolder();
            lockNote = tr("No lock file can be made beside the vault in %1, so this session's lock is kept in %2: "
                          "it keeps a second Vaultry of yours away from this vault, not other users. Changes are "
                          "written into the vault file itself.")
                           .arg(native(storeDirectory), native(QFileInfo(lockFile->fileName()).path()));
        } else {
            result.message = error == QLockFile::LockFailedError ? alreadyOpen(lockHolder(*lockFile))
                                                                 : notLocked(storeDirectory, error);
        }
        if (!result.locked) {
            lockNote.clear();
            lockFile.reset();
            return result;
        }
    } else if (QFileInfo::exists(runtimeLockPath(filePath()))) {
        // A copy here that found another computer's lock beside the store keeps its own in the
        // runtime folder; that computer's lock is gone now, but this copy is not.
        QLockFile elsewhere(runtimeLockPath(filePath()));
        elsewhere.setStaleLockTime(0);
        if (!elsewhere.tryLock(0) && elsewhere.error() == QLockFile::LockFailedError) {
            result.message = alreadyOpen(lockHolder(elsewhere));
            lockFile.reset();
            return result;
        }
    }
    // No other copy can be saving now: whatever temporaries are there, a crash left. Not so
    // while another computer holds the lock: its save may be in flight through the sync.
    if (!syncedFromOtherHost)
        removeStaleTemporaries(filePath());
    // A journal left means a save in place was cut short: finish it before the store is read.
    const QString recovered = recoverInPlaceWrite(filePath());
    if (!recovered.isEmpty())
        locationNote = (locationNote + QLatin1Char(' ') + recovered).trimmed();
    result.locked = true;
    return result;
}

SettingsStore::LockResult SettingsStore::lockInRuntimeFolder()
{
    LockResult result;
    const QString path = runtimeLockPath(filePath());
    const QString folder = QFileInfo(path).path();
    if (!QFileInfo::exists(folder) && QDir().mkpath(folder))
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    lockFile = std::make_unique<QLockFile>(path);
    lockFile->setStaleLockTime(0);
    result.locked = lockFile->tryLock(0);
    if (!result.locked) {
        result.message = lockFile->error() == QLockFile::LockFailedError ? alreadyOpen(lockHolder(*lockFile))
                                                                         : notLocked(storeDirectory, lockFile->error());
    }
    return result;
}
