#include "browser/browsercrypto.h"

#include <sodium.h>

namespace BrowserCrypto {

bool ready()
{
    static const bool started = sodium_init() >= 0;
    return started;
}

KeyPair makeKeyPair()
{
    ready();
    KeyPair pair;
    pair.publicKey.resize(crypto_box_PUBLICKEYBYTES);
    pair.secretKey.resize(crypto_box_SECRETKEYBYTES);
    crypto_box_keypair(reinterpret_cast<unsigned char*>(pair.publicKey.data()),
                       reinterpret_cast<unsigned char*>(pair.secretKey.data()));
    return pair;
}

QByteArray randomBytes(int size)
{
    ready();
    QByteArray bytes(size, '\0');
    randombytes_buf(bytes.data(), size_t(size));
    return bytes;
}

namespace {

bool sizesFit(const QByteArray& nonce, const QByteArray& publicKey, const QByteArray& secretKey)
{
    return nonce.size() == crypto_box_NONCEBYTES && publicKey.size() == crypto_box_PUBLICKEYBYTES &&
           secretKey.size() == crypto_box_SECRETKEYBYTES;
}

const unsigned char* bytesOf(const QByteArray& bytes)
{
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

} // namespace

QByteArray seal(const QByteArray& plain, const QByteArray& nonce, const QByteArray& theirPublic,
                const QByteArray& ourSecret)
{
    if (!ready() || !sizesFit(nonce, theirPublic, ourSecret))
        return QByteArray();
    QByteArray box(plain.size() + crypto_box_MACBYTES, '\0');
    if (crypto_box_easy(reinterpret_cast<unsigned char*>(box.data()), bytesOf(plain), size_t(plain.size()),
                        bytesOf(nonce), bytesOf(theirPublic), bytesOf(ourSecret)) != 0)
        return QByteArray();
    return box;
}

bool open(const QByteArray& box, const QByteArray& nonce, const QByteArray& theirPublic, const QByteArray& ourSecret,
          QByteArray& plain)
{
    plain.clear();
    if (!ready() || !sizesFit(nonce, theirPublic, ourSecret) || box.size() < qsizetype(crypto_box_MACBYTES))
        return false;
    plain.resize(box.size() - crypto_box_MACBYTES);
    if (crypto_box_open_easy(reinterpret_cast<unsigned char*>(plain.data()), bytesOf(box), size_t(box.size()),
                             bytesOf(nonce), bytesOf(theirPublic), bytesOf(ourSecret)) != 0) {
        plain.clear();
        return false;
    }
    return true;
}

QByteArray incremented(const QByteArray& nonce)
{
    QByteArray next = nonce;
    next.detach();
    sodium_increment(reinterpret_cast<unsigned char*>(next.data()), size_t(next.size()));
    return next;
}

void wipe(QByteArray& bytes)
{
    if (!bytes.isEmpty()) {
        bytes.detach();
        sodium_memzero(bytes.data(), size_t(bytes.size()));
    }
    bytes.clear();
}

} // namespace BrowserCrypto
