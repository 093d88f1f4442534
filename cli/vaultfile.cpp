#include "cli/vaultfile.h"

#include "cli/entrylookup.h"
#include "cli/passwordinput.h"
#include "prefs/masterpassword.h"
#include "store/protectedstore.h"
#include "store/secretmemory.h"
#include "store/securefile.h"
#include "store/settingsstore.h"
#include "sync/caswrite.h"
#include "sync/storemerge.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

// Versions of the file that may come in while one command writes, before it gives up.
constexpr int kWriteAttempts = 5;

} // namespace

VaultFile::VaultFile(const QString& folder) : directory(folder), storePath(folder + QLatin1String(kStoreFileName)) {}

VaultFile::~VaultFile() = default;

bool VaultFile::readFile(const std::shared_ptr<const ProtectionKey>& withKey, StoreFileRead& file,
                         CliError& error) const
{
    file = readStoreFile(storePath, withKey.get());
    switch (file.status) {
    case StoreFileRead::Missing:
    case StoreFileRead::Read:
        return true;
    case StoreFileRead::Unreadable:
        if (file.needsPassword)
            return true; // the caller decides
        error = CliError::file(tr("cannot read %1: %2").arg(QDir::toNativeSeparators(storePath), file.reason));
        return false;
    case StoreFileRead::Damaged:
        break;
    }
    error = CliError::file(tr("%1 is damaged or not a vault file; open it in Vaultry, which keeps a copy")
                               .arg(QDir::toNativeSeparators(storePath)));
    return false;
}

bool VaultFile::open(const PasswordInput& passwords, CliError& error)
{
    StoreFileRead file;
    if (!readFile(nullptr, file, error))
        return false;
    if (file.needsPassword) {
        // Protected: the password is the key; nothing is read without it.
        QByteArray bytes;
        {
            QFile raw(storePath);
            QString reason;
            if (!openRegularFile(raw, &reason)) {
                error = CliError::file(tr("cannot read %1: %2").arg(QDir::toNativeSeparators(storePath), reason));
                return false;
            }
            bytes = raw.readAll();
        }
        QString password;
        if (!passwords.read(tr("Master password: "), password)) {
            error = CliError::password(tr("the vault is encrypted with a master password, and none was given"));
            return false;
        }
        QByteArray plain;
        std::unique_ptr<ProtectionKey> derived;
        const ProtectedOutcome opened = openProtectedStore(bytes, password, plain, &derived);
        wipeString(password);
        wipeBytes(plain);
        if (opened != ProtectedOutcome::Opened || !derived) {
            error = CliError::password(tr("wrong master password, or the vault file is damaged"));
            return false;
        }
        key = std::move(derived);
        if (!readFile(key, file, error))
            return false;
        if (file.status != StoreFileRead::Read) {
            error = CliError::file(tr("%1 changed while it was read; try again").arg(storePath));
            return false;
        }
    } else if (file.status == StoreFileRead::Read && !file.payload.preferences.masterPasswordHash.isEmpty()) {
        QString password;
        if (!passwords.read(tr("Master password: "), password)) {
            error = CliError::password(tr("the vault has a master password, and none was given"));
            return false;
        }
        const bool right = hashMasterPassword(password) == file.payload.preferences.masterPasswordHash;
        wipeString(password);
        if (!right) {
            error = CliError::password(tr("wrong master password"));
            return false;
        }
    }
    read = std::move(file.payload);
    fingerprint = file.fingerprint;
    return true;
}

bool VaultFile::write(const Payload& changed, CliError& error)
{
    SettingsStore store(directory);
    Payload ancestor = read;
    Payload ours = changed;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        // Replaced only if the file is still the version merged, right before the rename.
        const StoreSaveResult saved = compareAndSwapWrite(store, ours, key, fingerprint);
        if (saved.ok) {
            fingerprint = saved.written;
            read = std::move(ours);
            return true;
        }
        if (!saved.superseded) {
            error = CliError::file(saved.error);
            return false;
        }
        // Someone else wrote meanwhile: take their version in, then try again over it.
        StoreFileRead file;
        if (!readFile(key, file, error))
            return false;
        if (file.needsPassword) {
            error = CliError::password(tr("the vault file was encrypted with another master password meanwhile; "
                                          "nothing was written"));
            return false;
        }
        if (file.status == StoreFileRead::Missing) {
            fingerprint = StoreFingerprint();
            continue;
        }
        StoreMerge merge = mergeStore(ancestor, ours, file.payload);
        ancestor = std::move(file.payload);
        ours = std::move(merge.merged);
        fingerprint = file.fingerprint;
    }
    error = CliError::file(tr("%1 kept changing while it was written; nothing was written").arg(storePath));
    return false;
}

qsizetype VaultFile::openEntry(const PasswordInput& passwords, const QString& reference, CliError& error)
{
    return open(passwords, error) ? findEntry(read, reference, error) : -1;
}
