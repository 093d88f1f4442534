#pragma once

#include <QByteArray>

#include <memory>

// How a session's secrets cross the bus. "plain" passes them as they are. The DH algorithm
// ("dh-ietf1024-sha256-aes128-cbc-pkcs7") agrees on a key by Diffie-Hellman in the 1024-bit
// MODP group of RFC 2409 (the second Oakley group, generator 2), takes 128 bits of HKDF-SHA256
// (no salt, no info) of the shared secret padded to the group's 128 bytes, and seals each
// value with AES-128-CBC and PKCS#7 padding under a fresh random IV (the secret's parameters).
// OpenSSL's libcrypto does the arithmetic and the cipher.
class SessionCipher
{
public:
    static constexpr char kPlain[] = "plain";
    static constexpr char kDhAes[] = "dh-ietf1024-sha256-aes128-cbc-pkcs7";

    ~SessionCipher();
    SessionCipher(const SessionCipher&) = delete;
    SessionCipher& operator=(const SessionCipher&) = delete;

    static std::unique_ptr<SessionCipher> plain();
    // The service's side of a DH session for the client's public key (big-endian bytes); its own
    // public key goes to `ourPublicKey`. Null when the client's key is not a valid group element.
    static std::unique_ptr<SessionCipher> agree(const QByteArray& clientPublicKey, QByteArray* ourPublicKey);

    bool encrypts() const { return !key.isEmpty(); }
    // The value sealed for the client, with the parameters it needs to open it.
    bool seal(const QByteArray& secret, QByteArray* parameters, QByteArray* value) const;
    // The secret a client sealed; false when it does not open (wrong key, bad padding or IV).
    bool open(const QByteArray& parameters, const QByteArray& value, QByteArray* secret) const;

    // Both sides of the agreement, for clients (and tests): a key pair in the group, and the
    // AES key from our private key and the peer's public key. Empty results on failure.
    struct KeyPair
    {
        QByteArray publicKey;
        QByteArray privateKey;
    };
    static KeyPair generateKeyPair();
    static QByteArray deriveKey(const QByteArray& privateKey, const QByteArray& peerPublicKey);
    // AES-128-CBC with PKCS#7 under `key`, as a session seals and opens values.
    static QByteArray encrypt(const QByteArray& key, const QByteArray& iv, const QByteArray& data);
    static QByteArray decrypt(const QByteArray& key, const QByteArray& iv, const QByteArray& data, bool* ok);

private:
    explicit SessionCipher(QByteArray key) : key(std::move(key)) {}

    QByteArray key; // empty for "plain"
};
