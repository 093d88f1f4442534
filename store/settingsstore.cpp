#include "store/settingsstore.h"

#include "store/builtincipher.h"
#include "store/filefingerprint.h"
#include "store/legacystore.h"
#include "store/payload.h"
#include "store/securefile.h"
#include "store/storeload.h"
#include "store/storelocation.h"
#include "store/storeprotection.h"
#include "store/storestate.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char* text)
{
    return storeText(text);
}

QString native(const QString& path)
{
    return nativePath(path);
}

// Loads the current store. A damaged one is copied aside before anything can replace it; when
// no copy can be made (no room for it), `savePath` is set to a new file beside it, so that the
// original, which may hold more than was read, is never replaced.
StoreLoadResult loadCurrent(const QString& path, StoreState& state, bool readOnly, QString* savePath)
{
    QFile file(path);
    QString reason;
    if (!openRegularFile(file, &reason))
        return unreadable(path, reason);
    Payload payload;
    StoreFingerprint fingerprint;
    const bool clean = readStoreFingerprinted(file, payload, &fingerprint);
    if (file.error() != QFileDevice::NoError)
        return unreadable(path, file.errorString());
    file.close();

    applyPayload(payload, state);
    StoreLoadResult result;
    result.fingerprint = fingerprint;
    if (clean)
        return result;
    const QString loadedWhat = tr("Everything that could be read from it was loaded.");
    if (readOnly) {
        // Nothing will be written, so the file stays as it is without a copy.
        result.outcome = StoreLoadResult::Damaged;
        result.message = damagedMessage(path, loadedWhat);
        return result;
    }
    keepDamaged(result, path, loadedWhat);
    if (result.damagedCopyPath.isEmpty()) {
        *savePath = asidePath(path, QStringLiteral("recovered"));
        result.message += QLatin1Char(' ') + tr("The damaged file will not be replaced: this session's vault will "
                                                "be saved as %1 instead.")
                                                 .arg(native(*savePath));
    }
    return result;
}

// A store others may read is made owner-only where it is, its bytes and times untouched.
void makeOwnerOnly(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        ::chmod(name.constData(), st.st_mode & S_IRWXU);
}

// A store this computer knows to be protected that is not protected now: taken only when it is a
// whole ordinary store (protection turned off on another computer); anything less (a protected file
// cut below its mark, another file) is damaged protection, left as it is and not opened.
StoreLoadResult loadOnceProtected(const QString& path, StoreState& state)
{
    QFile file(path);
    QString reason;
    Payload payload;
    if (openRegularFile(file, &reason) && file.size() >= 8 && readStore(file, payload) &&
        file.error() == QFileDevice::NoError) {
        applyPayload(payload, state);
        rememberProtectedHere(path, false);
        StoreLoadResult result;
        result.fingerprint = statFingerprint(path);
        result.message = tr("The vault file %1 is no longer protected by the master password: protection was "
                            "turned off elsewhere.")
                             .arg(native(path));
        return result;
    }
    StoreLoadResult result;
    result.outcome = StoreLoadResult::NotOpened;
    result.message = tr("The vault file %1 was protected by the master password on this computer, but it is "
                        "damaged now and no password can open it. It has been left as it is.")
                         .arg(native(path));
    return result;
}

} // namespace

StoreSaveResult writeStoreFile(const QString& path, const QByteArray& bytes, const WriteHooks& hooks)
{
    return writeStoreFile(
        path, [&bytes](const SecretWrite& write) { return write(bytes.constData(), bytes.size()); }, hooks);
}

StoreSaveResult writeStoreFile(const QString& path, const SecretProducer& produce, const WriteHooks& hooks,
                               const ReplaceCheck& replaceIf)
{
    StoreSaveResult result;
    const WriteResult written = writeSecretFileIf(path, produce, replaceIf, hooks);
    if (!written.ok) {
        result.ok = false;
        result.superseded = written.superseded;
        result.error = vaultSaveError(path, written.reason);
    }
    return result;
}

SettingsStore::SettingsStore(const QString& directory, const QString& note)
    : storeDirectory(directory), locationNote(note)
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::filePath() const
{
    return storeDirectory + QLatin1String(kStoreFileName);
}

QString SettingsStore::legacyFilePath() const
{
    return storeDirectory + QLatin1String(kLegacyStoreFileName);
}

QString SettingsStore::saveFilePath() const
{
    return redirectedSavePath.isEmpty() ? filePath() : redirectedSavePath;
}

StoreSaveResult SettingsStore::save(const StoreState& state) const
{
    return save(snapshotOf(state));
}

StoreSaveResult SettingsStore::save(const StoreSnapshot& snapshot, const WriteHooks& hooks) const
{
    if (readOnly) {
        StoreSaveResult result;
        result.ok = false;
        result.error =
            tr("The vault in %1 was opened read-only; changes cannot be saved there.").arg(native(storeDirectory));
        return result;
    }
    // Out of memory while the window is locked: the file holds the vault as it was saved.
    if (vaultReleased)
        return StoreSaveResult();
    return save(snapshot, key, hooks);
}

StoreSaveResult SettingsStore::save(const StoreSnapshot& snapshot,
                                    const std::shared_ptr<const ProtectionKey>& sessionKey, const WriteHooks& hooks,
                                    const ReplaceCheck& replaceIf) const
{
    if (readOnly) {
        StoreSaveResult result;
        result.ok = false;
        result.error =
            tr("The vault in %1 was opened read-only; changes cannot be saved there.").arg(native(storeDirectory));
        return result;
    }
    // Hashed as written; a save that writes through a journal first makes the bytes again.
    const QString path = saveFilePath();
    if (!sessionKey && knownProtectedHere(filePath())) {
        StoreSaveResult result;
        result.ok = false;
        result.error = vaultSaveError(path, tr("the vault is protected by the master password on this computer, and "
                                               "protection was not turned off here"));
        return result;
    }
    QByteArray digest;
    qint64 length = 0;
    StoreSaveResult result = writeStoreFile(
        path,
        [&](const SecretWrite& write) {
            ContentHash hash;
            length = 0;
            const SecretWrite hashed = [&](const char* data, qint64 size) {
                hash.add(data, size);
                length += size;
                return write(data, size);
            };
            const bool made =
                sessionKey ? writeProtectedState(snapshot, *sessionKey, hashed) : writeSealedStore(snapshot, hashed);
            digest = hash.result();
            return made;
        },
        hooks, replaceIf);
    if (result.ok) {
        result.written = statFingerprint(path);
        // Changed again since? Then only its bytes can tell whose it is.
        result.written.digest = digest;
        if (result.written.size != length)
            result.written.modifiedNs = -1;
    }
    return result;
}

StoreLoadResult SettingsStore::load(StoreState& state) const
{
    StoreLoadResult result = loadFiles(state);
    QStringList notes{locationNote};
    if (!readOnly)
        notes << lockNote; // a read-only session saves nowhere, so where its lock is matters little
    notes << result.message;
    notes.removeIf([](const QString& note) { return note.isEmpty(); });
    result.message = notes.join(QLatin1Char(' '));
    locationNote.clear();
    lockNote.clear();
    return result;
}

StoreLoadResult SettingsStore::loadFiles(StoreState& state) const
{
    const QString legacyPath = legacyFilePath();
    const QString currentPath = filePath();
    redirectedSavePath.clear();
    readOnly = false;
    key.reset();
    vaultReleased = false;
    QString why;
    const bool writable = storeWritable(currentPath, &why);
    readOnly = !writable;
    const QString readOnlyNote =
        writable ? QString()
                 : tr("The vault file %1 cannot be written (%2), so it has been opened read-only: you can view it, "
                      "but changes cannot be saved there.")
                       .arg(native(currentPath), why);

    StoreLoadResult result;
    if (QFileInfo::exists(legacyPath)) {
        result = migrateLegacy(*this, state, readOnly, &redirectedSavePath);
        // An old file we cannot read must not hide a current store: starting empty would
        // overwrite the current store at the next save.
        if (result.outcome == StoreLoadResult::Unreadable && QFileInfo::exists(currentPath)) {
            const QString legacyNote = result.message;
            result = fileIsProtected(currentPath) ? loadProtected(state)
                                                  : loadCurrent(currentPath, state, readOnly, &redirectedSavePath);
            result.message =
                (legacyNote + QLatin1Char(' ') +
                 tr("It was left in place and the current vault file was loaded instead. ") + result.message)
                    .trimmed();
        }
    } else if (QFileInfo::exists(currentPath)) {
        makeOwnerOnly(currentPath);
        if (fileIsProtected(currentPath))
            result = loadProtected(state);
        else if (knownProtectedHere(currentPath))
            result = loadOnceProtected(currentPath, state);
        else
            result = loadCurrent(currentPath, state, readOnly, &redirectedSavePath);
    } else {
        result.outcome = StoreLoadResult::Created;
        if (!readOnly) {
            const StoreSaveResult saved = save(state);
            result.fingerprint = saved.written;
            if (!saved.ok)
                result.message = saved.error;
        }
    }
    result.message = (result.message + QLatin1Char(' ') + readOnlyNote).trimmed();
    return result;
}
