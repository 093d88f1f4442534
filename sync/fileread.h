#pragma once

// The second step of a save: reading the store file as it is now, authenticating it when it is
// protected, and fingerprinting the bytes read.

#include "store/filefingerprint.h"
#include "store/payload.h"

#include <QHash>
#include <QString>

#include <memory>
#include <mutex>

class ProtectionKey;
struct ProtectedHeader;

// Keys derived from the session's master password for the headers of files from elsewhere (a new
// salt there), by the header's bytes: a derivation takes up to a second, a forged header's limits
// much longer, so each header is derived for once, never at every look. Shared by the saver's
// thread and its worker.
class DerivedKeys
{
public:
    // The key for `header` (whose first bytes are `headerBytes`) from `key`'s password; when it was
    // not derived before, derived now if `mayDerive`, else null. A derivation that failed stays null.
    std::shared_ptr<const ProtectionKey> keyFor(const ProtectionKey& key, const QByteArray& headerBytes,
                                                const ProtectedHeader& header, bool mayDerive);
    int derivationCount() const;

private:
    mutable std::mutex mutex;
    QHash<QByteArray, std::shared_ptr<const ProtectionKey>> keys;
    int derivations = 0;
};

struct StoreFileRead
{
    enum Status
    {
        Missing,
        Unreadable, // could not be opened or read
        Damaged,    // read, but not a whole store: a partial download, another file
        Read,
    };
    Status status = Missing;
    Payload payload;
    StoreFingerprint fingerprint;
    QString reason; // for the user, when Unreadable
    // Unreadable because it is protected under a master password this session does not hold
    // (changed, or protection turned on, on another computer).
    bool needsPassword = false;
    bool protectedForm = false; // the file is in the protected form (whether it opened or not)
};

// Reads and fingerprints the store file at `path` as it is now. A store protected under the
// master password opens only with `key` (derived for its salt); otherwise it is Unreadable.
// `keys` remembers keys derived for other salts; without `mayDerive` none is derived here (the GUI
// thread, at the close), and a file under an unknown salt reads as needing a password.
StoreFileRead readStoreFile(const QString& path, const ProtectionKey* key = nullptr, DerivedKeys* keys = nullptr,
                            bool mayDerive = true);
