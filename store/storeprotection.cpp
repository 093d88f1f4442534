#include "store/storeprotection.h"

#include "prefs/masterpassword.h"
#include "store/builtincipher.h"
#include "store/legacystore.h"
#include "store/payload.h"
#include "store/protectedstore.h"
#include "store/secretmemory.h"
#include "store/settingsstore.h"
#include "store/storeload.h"
#include "store/storelocation.h"
#include "store/storestate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

QString tr(const char* text)
{
    return storeText(text);
}

QString native(const QString& path)
{
    return nativePath(path);
}

// A decrypted payload handed to the payload reader.
class BufferSource : public PayloadSource
{
public:
    explicit BufferSource(const QByteArray& bytes) : bytes(bytes) {}
    qint64 pending() const override { return bytes.size() - handedOut; }
    qint64 readMore(QByteArray& out, qint64 max) override
    {
        const qint64 given = qMin(max, pending());
        out.append(bytes.constData() + handedOut, given);
        handedOut += given;
        return given;
    }

private:
    const QByteArray& bytes;
    qint64 handedOut = 0;
};

// The largest protected store read: its bytes are authenticated whole, so they are read whole.
constexpr qint64 kMaxProtectedFileBytes = qint64(4) << 30;

bool readProtectedFile(const QString& path, QByteArray& bytes, QString* reason)
{
    ReadResult read = readRegularFile(path, kMaxProtectedFileBytes);
    if (!read.ok) {
        *reason = read.reason;
        return false;
    }
    bytes = std::move(read.bytes);
    return true;
}

// The mark of a store known here to be protected: a file named after the store's real path.
QString protectedMarkPath(const QString& path)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (data.isEmpty())
        return QString();
    const QByteArray key = QCryptographicHash::hash(QFile::encodeName(realStorePath(path)), QCryptographicHash::Sha256);
    return data + QStringLiteral("/protected/") + QString::fromLatin1(key.toHex().left(32));
}

} // namespace

bool knownProtectedHere(const QString& path)
{
    const QString mark = protectedMarkPath(path);
    return !mark.isEmpty() && QFile::exists(mark);
}

void rememberProtectedHere(const QString& path, bool isProtected)
{
    const QString mark = protectedMarkPath(path);
    if (mark.isEmpty() || QFile::exists(mark) == isProtected)
        return;
    if (!isProtected) {
        QFile::remove(mark);
        return;
    }
    const QString folder = QFileInfo(mark).path();
    if (!QFileInfo::exists(folder) && QDir().mkpath(folder))
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeSecretFile(mark, QByteArray());
}

bool fileIsProtected(const QString& path)
{
    QFile file(path);
    QString reason;
    if (!openRegularFile(file, &reason))
        return false;
    const QByteArray first = file.read(kProtectedMagicSize);
    if (first.size() < kProtectedMagicSize)
        return false;
    int differing = 0;
    for (int i = 0; i < kProtectedMagicSize; ++i)
        differing += first[i] != kProtectedMagic[i];
    return differing <= 1;
}

bool writeProtectedState(const Payload& state, const ProtectionKey& key, const SecretWrite& write)
{
    return writeProtectedStore(
        key,
        [&state](const PayloadSink& sink) {
            return writePayload(state.preferences, state.categories, state.entries, sink);
        },
        write);
}

bool SettingsStore::protect(const QString& password)
{
    std::unique_ptr<ProtectionKey> made = ProtectionKey::create(password, calibration ? calibration() : calibrateKdf());
    if (!made)
        return false;
    key = std::move(made);
    rememberProtectedHere(filePath(), true);
    return true;
}

void SettingsStore::unprotect()
{
    key.reset();
    rememberProtectedHere(filePath(), false);
}

bool SettingsStore::changeProtectionPassword(const QString& password)
{
    if (!key)
        return true;
    std::unique_ptr<ProtectionKey> made = ProtectionKey::create(password, key->limits());
    if (!made)
        return false;
    key = std::move(made);
    return true;
}

bool SettingsStore::adoptFileProtection(const QString& password)
{
    QByteArray bytes;
    QString reason;
    if (!readProtectedFile(saveFilePath(), bytes, &reason))
        return false;
    QByteArray plain;
    std::unique_ptr<ProtectionKey> derived;
    const bool opens = openProtectedStore(bytes, password, plain, &derived) == ProtectedOutcome::Opened && derived;
    wipeBytes(plain);
    if (!opens)
        return false;
    // Without a session key (the ordinary form here) there is no other password to keep apart.
    if (key) {
        adopted = std::move(derived);
    } else {
        // Protected on another computer: known as protected here from now on.
        key = std::move(derived);
        rememberProtectedHere(filePath(), true);
    }
    return true;
}

void SettingsStore::useAdoptedKey() const
{
    if (!adopted)
        return;
    key = std::move(adopted);
    adopted.reset();
}

void SettingsStore::setKdfCalibration(const std::function<KdfLimits()>& calibrate)
{
    calibration = calibrate;
}

SettingsStore::ReopenOutcome SettingsStore::reopen(StoreState& state, const QString& password, QString* error)
{
    const QString path = saveFilePath();
    QByteArray bytes;
    QString reason;
    if (!readProtectedFile(path, bytes, &reason)) {
        if (error)
            *error = tr("The vault file %1 could not be read: %2.").arg(native(path), reason);
        return ReopenOutcome::Failed;
    }
    Payload payload;
    if (!isProtectedStore(bytes)) {
        // Written in the ordinary form meanwhile, by another copy: the master password still decides.
        if (!decodeStore(bytes, payload)) {
            if (error)
                *error = tr("The vault file %1 is damaged.").arg(native(path));
            return ReopenOutcome::Failed;
        }
        if (hashMasterPassword(password) != payload.preferences.masterPasswordHash)
            return ReopenOutcome::Refused;
        key.reset();
        rememberProtectedHere(filePath(), false);
    } else {
        // Derived from what was typed, never the session's key: the password is what is checked.
        QByteArray plain;
        std::unique_ptr<ProtectionKey> derived;
        if (openProtectedStore(bytes, password, plain, &derived) != ProtectedOutcome::Opened)
            return ReopenOutcome::Refused;
        bytes = QByteArray();
        BufferSource source(plain);
        const bool exact = decodeStorePayload(source, payload);
        wipeBytes(plain);
        if (!exact) {
            if (error)
                *error = tr("The vault file %1 opened, but what it holds cannot be read.").arg(native(path));
            return ReopenOutcome::Failed;
        }
        key = std::move(derived);
    }
    applyPayload(payload, state);
    vaultReleased = false;
    return ReopenOutcome::Opened;
}

StoreLoadResult SettingsStore::loadProtected(StoreState& state) const
{
    const QString path = filePath();
    StoreLoadResult result;
    result.outcome = StoreLoadResult::NotOpened;
    QByteArray bytes; // the ciphertext only
    QString reason;
    if (!readProtectedFile(path, bytes, &reason)) {
        result.message =
            tr("The vault file %1 could not be read: %2. It has been left as it is.").arg(native(path), reason);
        return result;
    }
    if (!readProtectedHeader(bytes)) {
        result.message = tr("The vault file %1 is encrypted with the master password, but its beginning is damaged, "
                            "so no password can open it. It has been left as it is.")
                             .arg(native(path));
        return result;
    }
    for (bool again = false; passwordPrompt; again = true) {
        QString password;
        const bool given = passwordPrompt(again, password);
        if (!given) {
            wipeString(password);
            return result; // the user's choice: nothing to say
        }
        QByteArray plain;
        std::unique_ptr<ProtectionKey> derived;
        const ProtectedOutcome opened = openProtectedStore(bytes, password, plain, &derived);
        wipeString(password);
        if (opened != ProtectedOutcome::Opened)
            continue;         // a wrong password and a changed file look the same
        bytes = QByteArray(); // not needed to parse: a large vault is not held three times
        Payload payload;
        BufferSource source(plain);
        const bool exact = decodeStorePayload(source, payload);
        wipeBytes(plain);
        if (!exact) {
            // Authentic, so written that way: never loaded in part, never replaced.
            result.message = tr("The vault file %1 opened with the master password, but what it holds cannot be "
                                "read. It has been left as it is.")
                                 .arg(native(path));
            return result;
        }
        applyPayload(payload, state);
        key = std::move(derived);
        rememberProtectedHere(path, true);
        result.outcome = StoreLoadResult::Loaded;
        return result;
    }
    result.message = tr("The vault file %1 is encrypted with the master password.").arg(native(path));
    return result;
}
