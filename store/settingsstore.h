#pragma once

// store/: the vault's files: the cipher and sealed arrays, the settings store with its lock,
// location and migration, the list file codec and the file side of list transfer, and the
// safe file writer. QtCore only (no widget header), and nothing here asks the user anything.

#include "store/builtincipher.h"
#include "store/filefingerprint.h"
#include "store/legacystore.h"
#include "store/securefile.h"
#include "store/storelocation.h"
#include "store/storestate.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class QIODevice;
struct Payload;

class QLockFile;
class ProtectionKey;
struct KdfLimits;
struct StoreState;

struct StoreLoadResult
{
    enum Outcome
    {
        Loaded,     // the current store parsed cleanly
        Created,    // no store existed; a fresh one was written (unless read-only)
        Migrated,   // the legacy file was read, written as the current store and deleted (unless
                    // read-only, or the store it replaces could not be kept)
        Damaged,    // loaded as far as it parsed; a copy of the file was kept (damagedCopyPath), or
                    // none could be and saves go beside it (SettingsStore::saveFilePath)
        Unreadable, // a store exists but could not be read; nothing was loaded
        NotOpened,  // a protected store was not opened (no password given, or its header is
                    // damaged): nothing was loaded, and nothing may be written over it
    };
    Outcome outcome = Loaded;
    // For the user: what went wrong and what was done about it. Empty when nothing did.
    QString message;
    QString damagedCopyPath;
    // The file the state came from (or was first written to); null when unknown.
    StoreFingerprint fingerprint;
};

struct StoreSaveResult
{
    bool ok = true;
    bool superseded = false;  // !ok: the file changed before it could be replaced, and was left as it is
    QString error;            // for the user, when !ok
    StoreFingerprint written; // the file as this save left it, when ok
};

// The encrypted settings store in one directory: the preferences, the category names and
// the entries, loaded once at start-up and written back on close, and the lock that keeps a
// second running program away from the same files.
// Asks the user for the master password of a protected store; `again` after a wrong one. False
// when the user would rather not open it.
using StorePasswordPrompt = std::function<bool(bool again, QString& password)>;

class SettingsStore
{
public:
    // `note` is passed on to the user with the result of the first load.
    explicit SettingsStore(const QString& directory, const QString& note = QString());
    ~SettingsStore();

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    QString directory() const { return storeDirectory; }
    QString filePath() const;
    QString legacyFilePath() const;

    struct LockResult
    {
        bool locked = false;
        QString message; // for the user, when !locked
    };
    // Takes the lock beside the store for as long as this object lives (a lock left by a
    // process that is gone is taken over), then removes temporary files a crashed save left.
    // Where no lock can be made beside the store (a folder the user may not write), and where
    // the lock there was synced from another computer, a lock in the user's runtime folder
    // keyed by the store's real path stands in; the next load's message says so.
    LockResult lock();
    bool isLocked() const;

    // Replaces the state with the store's contents (or creates the store).
    StoreLoadResult load(StoreState& state) const;
    // Writes the state; the previous file survives any failure. Refused when read-only.
    StoreSaveResult save(const StoreState& state) const;
    // The same from a snapshot; `hooks` let tests fail the write.
    StoreSaveResult save(const StoreSnapshot& snapshot, const WriteHooks& hooks = {}) const;
    // The same on any thread, in the form `sessionKey` says (protected when set), taken with
    // sessionKey() on the thread that owns the store: protection may change meanwhile. With
    // `replaceIf`, the file is replaced only when it still says yes at the last moment.
    StoreSaveResult save(const StoreSnapshot& snapshot, const std::shared_ptr<const ProtectionKey>& sessionKey,
                         const WriteHooks& hooks = {}, const ReplaceCheck& replaceIf = {}) const;
    std::shared_ptr<const ProtectionKey> sessionKey() const { return key; }

    // How load asks for the master password of a protected store; without one such a store is
    // not opened.
    void setPasswordPrompt(const StorePasswordPrompt& prompt) { passwordPrompt = prompt; }

    // Whether the file is protected under the master password (docs/protected-format.md): it was
    // when loaded, or protection was turned on since. Every save writes that form while it is.
    bool isProtected() const { return key != nullptr; }
    // Turns protection on for the next save: a key from `password` with a new salt and limits
    // from the calibration. False when no key could be made (libsodium lacks memory).
    bool protect(const QString& password);
    // The next save writes the ordinary form again.
    void unprotect();
    // A new master password while protected: a new salt, the same limits.
    bool changeProtectionPassword(const QString& password);
    // The store file was protected under another master password elsewhere: when `password` opens
    // it, its key reads that file (adoptedKey). It becomes the session's key only once a merge takes
    // that password's hash in (useAdoptedKey), so that the key saves are written under and the hash
    // they hold always come from the same password. False (nothing changed) when it does not open.
    bool adoptFileProtection(const QString& password);
    std::shared_ptr<const ProtectionKey> adoptedKey() const { return adopted; }
    void useAdoptedKey() const;
    // How protect() chooses the key derivation's cost (calibrateKdf by default).
    void setKdfCalibration(const std::function<KdfLimits()>& calibrate);

    // Set while the vault is out of memory (a locked window over a protected store, saved
    // first): saves write nothing, since the file holds the vault, until reopen() reads it back.
    void setVaultReleased(bool released) { vaultReleased = released; }
    bool isVaultReleased() const { return vaultReleased; }
    enum class ReopenOutcome
    {
        Opened,
        Refused, // wrong password, or the file was changed
        Failed,  // the file could not be read; `error` says why
    };
    // Reads a protected store back into `state` with `password`, as unlocking does; the key is
    // kept for later saves (derived anew when another copy changed the salt).
    ReopenOutcome reopen(StoreState& state, const QString& password, QString* error = nullptr);

    // Set by load when nothing can be written where the store is (a read-only file system,
    // or neither the file nor its folder writable): the vault can be viewed, and save refuses.
    bool isReadOnly() const { return readOnly; }
    // Where save writes: the store, or, when a damaged store could not be copied aside, a
    // new file beside it, so that the damaged original is never replaced.
    QString saveFilePath() const;

private:
    StoreLoadResult loadFiles(StoreState& state) const;
    StoreLoadResult loadProtected(StoreState& state) const;
    LockResult lockInRuntimeFolder();

    QString storeDirectory;
    mutable QString locationNote;
    mutable QString lockNote; // for the next load's message
    mutable bool readOnly = false;
    mutable QString redirectedSavePath;
    std::unique_ptr<QLockFile> lockFile;
    StorePasswordPrompt passwordPrompt;
    // Set while the file is protected; shared with saves in flight on other threads.
    mutable std::shared_ptr<ProtectionKey> key;
    mutable std::shared_ptr<ProtectionKey> adopted;
    std::function<KdfLimits()> calibration;
    mutable bool vaultReleased = false;
};

// Writes `bytes` to `path` as the safe writer does (owner-only, replaced only once complete
// and on disk); `hooks` let tests fail it at any step.
StoreSaveResult writeStoreFile(const QString& path, const QByteArray& bytes, const WriteHooks& hooks = {});
// The same for bytes made while the file is written (see writeSecretFile).
StoreSaveResult writeStoreFile(const QString& path, const SecretProducer& produce, const WriteHooks& hooks = {},
                               const ReplaceCheck& replaceIf = {});
