#pragma once

#include "cli/exitcodes.h"
#include "store/payload.h"
#include "store/filefingerprint.h"
#include "sync/fileread.h"

#include <functional>
#include <memory>

class PasswordInput;
class ProtectionKey;

// The vault file as the command line sees it: read and authenticated once, changed in memory by
// one command, then written the way the window saves: if the file changed meanwhile (the window
// saved, a sync tool brought another computer's version), the command's change is merged into
// that version, with the version read as the common ancestor, and written only over the file it
// was merged with. The window's lock does not keep the command line out: a window that has the
// vault open takes the written change in like any change on disk.
class VaultFile
{
public:
    explicit VaultFile(const QString& directory);
    ~VaultFile();

    QString path() const { return storePath; }

    // Reads the file; asks `passwords` for the master password when one is set or the file is
    // protected under it. A missing file reads as an empty vault.
    bool open(const PasswordInput& passwords, CliError& error);

    // open(), then the position of the entry `reference` names (see findEntry); -1 with `error` set.
    qsizetype openEntry(const PasswordInput& passwords, const QString& reference, CliError& error);

    const Payload& contents() const { return read; }
    bool isProtected() const { return key != nullptr; }

    // Writes `changed` (the contents after the command's change) in the vault's own form.
    bool write(const Payload& changed, CliError& error);

private:
    bool readFile(const std::shared_ptr<const ProtectionKey>& withKey, StoreFileRead& file, CliError& error) const;

    QString directory;
    QString storePath;
    Payload read;
    StoreFingerprint fingerprint;
    std::shared_ptr<const ProtectionKey> key;
};
