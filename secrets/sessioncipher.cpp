#include "secrets/sessioncipher.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <sodium.h>

namespace {

constexpr int kGroupBytes = 128;
constexpr int kKeyBytes = 16;
constexpr int kBlockBytes = 16;

template <typename T, void (*Free)(T*)> struct Deleter
{
    void operator()(T* pointer) const { Free(pointer); }
};
using BigNumber = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
using KdfContext = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

BigNumber fromBytes(const QByteArray& bytes)
{
    return BigNumber(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.constData()), int(bytes.size()), nullptr));
}

QByteArray toBytes(const BIGNUM* number, int padTo = 0)
{
    QByteArray bytes(qMax(BN_num_bytes(number), padTo), '\0');
    BN_bn2binpad(number, reinterpret_cast<unsigned char*>(bytes.data()), int(bytes.size()));
    return bytes;
}

BigNumber prime()
{
    return BigNumber(BN_get_rfc2409_prime_1024(nullptr));
}

// base ^ exponent mod p, in constant time for the secret exponent; padded to the group's size.
QByteArray power(const BIGNUM* base, const BIGNUM* exponent)
{
    BigNumber modulus = prime();
    BigNumber result(BN_new());
    std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>> context(BN_CTX_new());
    if (!modulus || !result || !context ||
        !BN_mod_exp_mont_consttime(result.get(), base, exponent, modulus.get(), context.get(), nullptr))
        return QByteArray();
    return toBytes(result.get(), kGroupBytes);
}

// A public key is an element 1 < y < p - 1 of the group.
bool isGroupElement(const BIGNUM* value)
{
    BigNumber limit = prime();
    return limit && BN_sub_word(limit.get(), 1) && BN_cmp(value, BN_value_one()) > 0 && BN_cmp(value, limit.get()) < 0;
}

QByteArray hkdfSha256(const QByteArray& secret)
{
    Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf)
        return QByteArray();
    KdfContext context(EVP_KDF_CTX_new(kdf.get()));
    char digest[] = "SHA256";
    QByteArray material = secret;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, material.data(), size_t(material.size())),
        OSSL_PARAM_construct_end(),
    };
    QByteArray key(kKeyBytes, '\0');
    const bool made = context && EVP_KDF_derive(context.get(), reinterpret_cast<unsigned char*>(key.data()),
                                                size_t(key.size()), params) > 0;
    sodium_memzero(material.data(), size_t(material.size()));
    return made ? key : QByteArray();
}

QByteArray runCipher(bool encrypt, const QByteArray& key, const QByteArray& iv, const QByteArray& data, bool* ok)
{
    *ok = false;
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context || key.size() != kKeyBytes || iv.size() != kBlockBytes ||
        EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr,
                          reinterpret_cast<const unsigned char*>(key.constData()),
                          reinterpret_cast<const unsigned char*>(iv.constData()), encrypt ? 1 : 0) <= 0)
        return QByteArray();
    QByteArray out(data.size() + kBlockBytes, '\0');
    int written = 0;
    int last = 0;
    auto* buffer = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_CipherUpdate(context.get(), buffer, &written, reinterpret_cast<const unsigned char*>(data.constData()),
                         int(data.size())) <= 0 ||
        EVP_CipherFinal_ex(context.get(), buffer + written, &last) <= 0) {
        sodium_memzero(out.data(), size_t(out.size()));
        return QByteArray();
    }
    out.truncate(written + last);
    *ok = true;
    return out;
}

} // namespace

SessionCipher::~SessionCipher()
{
    if (!key.isEmpty())
        sodium_memzero(key.data(), size_t(key.size()));
}

std::unique_ptr<SessionCipher> SessionCipher::plain()
{
    return std::unique_ptr<SessionCipher>(new SessionCipher(QByteArray()));
}

std::unique_ptr<SessionCipher> SessionCipher::agree(const QByteArray& clientPublicKey, QByteArray* ourPublicKey)
{
    KeyPair ours = generateKeyPair();
    QByteArray key = deriveKey(ours.privateKey, clientPublicKey);
    sodium_memzero(ours.privateKey.data(), size_t(ours.privateKey.size()));
    if (ours.publicKey.isEmpty() || key.isEmpty())
        return nullptr;
    *ourPublicKey = ours.publicKey;
    return std::unique_ptr<SessionCipher>(new SessionCipher(key));
}

SessionCipher::KeyPair SessionCipher::generateKeyPair()
{
    BigNumber exponent(BN_secure_new());
    BigNumber generator(BN_new());
    if (!exponent || !generator || !BN_set_word(generator.get(), 2) ||
        !BN_priv_rand(exponent.get(), kGroupBytes * 8 - 1, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY))
        return {};
    KeyPair pair;
    pair.publicKey = power(generator.get(), exponent.get());
    pair.privateKey = toBytes(exponent.get());
    if (pair.publicKey.isEmpty())
        return {};
    return pair;
}

QByteArray SessionCipher::deriveKey(const QByteArray& privateKey, const QByteArray& peerPublicKey)
{
    BigNumber peer = fromBytes(peerPublicKey);
    BigNumber exponent = fromBytes(privateKey);
    if (!peer || !exponent || BN_is_zero(exponent.get()) || !isGroupElement(peer.get()))
        return QByteArray();
    QByteArray shared = power(peer.get(), exponent.get());
    if (shared.isEmpty())
        return QByteArray();
    const QByteArray key = hkdfSha256(shared);
    sodium_memzero(shared.data(), size_t(shared.size()));
    return key;
}

QByteArray SessionCipher::encrypt(const QByteArray& key, const QByteArray& iv, const QByteArray& data)
{
    bool ok = false;
    return runCipher(true, key, iv, data, &ok);
}

QByteArray SessionCipher::decrypt(const QByteArray& key, const QByteArray& iv, const QByteArray& data, bool* ok)
{
    return runCipher(false, key, iv, data, ok);
}

bool SessionCipher::seal(const QByteArray& secret, QByteArray* parameters, QByteArray* value) const
{
    if (!encrypts()) {
        *parameters = QByteArray();
        *value = secret;
        return true;
    }
    QByteArray iv(kBlockBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(iv.data()), kBlockBytes) != 1)
        return false;
    bool ok = false;
    *value = runCipher(true, key, iv, secret, &ok);
    *parameters = iv;
    return ok;
}

bool SessionCipher::open(const QByteArray& parameters, const QByteArray& value, QByteArray* secret) const
{
    if (!encrypts()) {
        *secret = value;
        return true;
    }
    bool ok = false;
    *secret = runCipher(false, key, parameters, value, &ok);
    return ok;
}
