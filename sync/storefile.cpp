#include "storefile.h"

#include "store/protectedstore.h"
#include "store/secretmemory.h"
#include "store/securefile.h"
#include "store/settingsstore.h"
#include "store/storestate.h"

#include <QCoreApplication>
#include <QFile>

#include <sodium.h>

#include <sys/stat.h>

namespace {

StoreFingerprint fromStat(const struct stat& st)
{
    StoreFingerprint fingerprint;
    fingerprint.size = qint64(st.st_size);
    fingerprint.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    fingerprint.inode = quint64(st.st_ino);
    fingerprint.device = quint64(st.st_dev);
    return fingerprint;
}

// Hands the file's bytes on to the reader unchanged, hashing them on the way.
class HashingReader : public QIODevice
{
public:
    explicit HashingReader(QIODevice& source) : source(source) { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }

    bool isSequential() const override { return false; }
    qint64 size() const override { return source.size(); }
    QByteArray result() { return hash.result(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 got = source.read(data, maxSize);
        if (got > 0)
            hash.add(data, got);
        return got;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QIODevice& source;
    ContentHash hash;
};

} // namespace

ContentHash::ContentHash()
{
    static_assert(sizeof(crypto_generichash_state) <= 384, "ContentHash::state holds the hash state");
    crypto_generichash_init(reinterpret_cast<crypto_generichash_state*>(state), nullptr, 0, crypto_generichash_BYTES);
}

void ContentHash::add(const char* data, qint64 size)
{
    crypto_generichash_update(reinterpret_cast<crypto_generichash_state*>(state),
                              reinterpret_cast<const unsigned char*>(data), quint64(size));
}

QByteArray ContentHash::result()
{
    QByteArray digest(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash_final(reinterpret_cast<crypto_generichash_state*>(state),
                             reinterpret_cast<unsigned char*>(digest.data()), crypto_generichash_BYTES);
    return digest;
}

StoreSnapshot snapshotOf(const StoreState& state)
{
    return StoreSnapshot{state.preferences, state.vault.categoryNames(), state.vault.entries()};
}

bool StoreFingerprint::sameStat(const StoreFingerprint& other) const
{
    return size == other.size && modifiedNs == other.modifiedNs && inode == other.inode && device == other.device;
}

StoreFingerprint statFingerprint(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return StoreFingerprint();
    return fromStat(st);
}

bool storeFileUnchanged(const QString& path, const StoreFingerprint& known)
{
    const StoreFingerprint now = statFingerprint(path);
    return !known.isNull() && !now.isNull() && now.sameStat(known);
}

bool readStoreFingerprinted(QFile& file, Payload& payload, StoreFingerprint* fingerprint)
{
    struct stat st;
    const bool statted = ::fstat(file.handle(), &st) == 0;
    HashingReader reader(file);
    const bool clean = readStore(reader, payload);
    // The rest of a file the payload did not fill belongs to what was read too.
    char rest[65536];
    while (reader.read(rest, sizeof rest) > 0) {
    }
    if (fingerprint) {
        *fingerprint = statted ? fromStat(st) : StoreFingerprint();
        fingerprint->digest = reader.result();
    }
    return clean;
}

namespace {

// A protected store is authenticated as a whole, so it is read whole.
void readProtected(QFile& file, const ProtectionKey* key, StoreFileRead& result)
{
    struct stat st;
    const bool statted = ::fstat(file.handle(), &st) == 0;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.status = StoreFileRead::Unreadable;
        result.reason = file.errorString();
        return;
    }
    result.fingerprint = statted ? fromStat(st) : StoreFingerprint();
    ContentHash hash;
    hash.add(bytes.constData(), bytes.size());
    result.fingerprint.digest = hash.result();
    QByteArray plain;
    ProtectedOutcome opened = key ? decodeProtectedStore(bytes, *key, plain) : ProtectedOutcome::OtherKey;
    // Protection turned off and on again on another computer gives the file a new salt under the
    // same master password: the password this session holds derives its key, without asking.
    if (opened == ProtectedOutcome::OtherKey && key) {
        const std::optional<ProtectedHeader> header = readProtectedHeader(bytes);
        const std::unique_ptr<ProtectionKey> again = header ? key->rederive(header->salt, header->limits) : nullptr;
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

StoreFileRead readStoreFile(const QString& path, const ProtectionKey* key)
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
        readProtected(file, key, result);
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
