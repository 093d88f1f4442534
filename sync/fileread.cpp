#include "sync/fileread.h"

#include "store/builtincipher.h"
#include "store/protectedstore.h"
#include "store/secretmemory.h"
#include "store/securefile.h"

#include <QCoreApplication>
#include <QFile>

namespace {

// A protected store is authenticated as a whole, so it is read whole.
void readProtected(QFile& file, const ProtectionKey* key, DerivedKeys* keys, bool mayDerive, StoreFileRead& result)
{
    result.protectedForm = true;
    const StoreFingerprint identity = openFileFingerprint(file);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.status = StoreFileRead::Unreadable;
        result.reason = file.errorString();
        return;
    }
    result.fingerprint = identity;
    ContentHash hash;
    hash.add(bytes.constData(), bytes.size());
    result.fingerprint.digest = hash.result();
    QByteArray plain;
    ProtectedOutcome opened = key ? decodeProtectedStore(bytes, *key, plain) : ProtectedOutcome::OtherKey;
    // Protection turned off and on again on another computer gives the file a new salt under the
    // same master password: the password this session holds derives its key, without asking.
    if (opened == ProtectedOutcome::OtherKey && key) {
        const std::optional<ProtectedHeader> header = readProtectedHeader(bytes);
        std::shared_ptr<const ProtectionKey> again;
        if (header && keys)
            again = keys->keyFor(*key, bytes.left(kProtectedBoundSize), *header, mayDerive);
        else if (header && mayDerive)
            again = key->rederive(header->salt, header->limits);
        if (again && decodeProtectedStore(bytes, *again, plain) == ProtectedOutcome::Opened)
            opened = ProtectedOutcome::Opened;
    }
    if (opened != ProtectedOutcome::Opened) {
        result.status = StoreFileRead::Unreadable;
        result.needsPassword = opened == ProtectedOutcome::OtherKey;
        result.reason =
            opened == ProtectedOutcome::OtherKey
                ? QCoreApplication::translate("SettingsStore", "it is protected under a master password set elsewhere")
                : QCoreApplication::translate("SettingsStore", "it is damaged or not complete");
        return;
    }
    const bool clean = decodePayload(plain, result.payload);
    wipeBytes(plain);
    result.status = clean ? StoreFileRead::Read : StoreFileRead::Damaged;
}

} // namespace

std::shared_ptr<const ProtectionKey> DerivedKeys::keyFor(const ProtectionKey& key, const QByteArray& headerBytes,
                                                         const ProtectedHeader& header, bool mayDerive)
{
    const QByteArray name = key.salt() + headerBytes;
    {
        const std::lock_guard<std::mutex> held(mutex);
        const auto known = keys.constFind(name);
        if (known != keys.constEnd())
            return known.value();
    }
    if (!mayDerive)
        return nullptr;
    std::shared_ptr<const ProtectionKey> derived = key.rederive(header.salt, header.limits);
    const std::lock_guard<std::mutex> held(mutex);
    keys.insert(name, derived); // null too: a header that gives no key is not tried again
    ++derivations;
    return derived;
}

int DerivedKeys::derivationCount() const
{
    const std::lock_guard<std::mutex> held(mutex);
    return derivations;
}

StoreFileRead readStoreFile(const QString& path, const ProtectionKey* key, DerivedKeys* keys, bool mayDerive)
{
    StoreFileRead result;
    QFile file(path);
    if (!QFile::exists(path))
        return result;
    if (!openRegularFile(file, &result.reason)) {
        result.status = StoreFileRead::Unreadable;
        return result;
    }
    const QByteArray magic = file.peek(8);
    if (isProtectedStore(magic)) {
        readProtected(file, key, keys, mayDerive, result);
        return result;
    }
    const bool clean = readStoreFingerprinted(file, result.payload, &result.fingerprint);
    if (file.error() != QFileDevice::NoError) {
        result.status = StoreFileRead::Unreadable;
        result.reason = file.errorString();
        result.payload = Payload();
        return result;
    }
    result.status = clean ? StoreFileRead::Read : StoreFileRead::Damaged;
    return result;
}
