#include "store/filefingerprint.h"

#include "store/builtincipher.h"

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

StoreFingerprint openFileFingerprint(const QFile& file)
{
    struct stat st;
    return ::fstat(file.handle(), &st) == 0 ? fromStat(st) : StoreFingerprint();
}
