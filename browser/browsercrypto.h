#pragma once

// browser/: filling logins in web browsers through the KeePassXC-Browser extension: the native
// messaging frames, the encrypted protocol, the actions over the vault, what this computer allows,
// the local server the window runs and the manifests that point browsers at the host executable.
// QtCore and QtNetwork only; the window answers the questions through BrowserPrompts.

#include <QByteArray>

// NaCl boxes (X25519, XSalsa20-Poly1305) as the extension's TweetNaCl makes them, through libsodium.
namespace BrowserCrypto {

inline constexpr int kKeySize = 32;
inline constexpr int kNonceSize = 24;

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;
};

// Starts libsodium once; false when it cannot run.
bool ready();
KeyPair makeKeyPair();
QByteArray randomBytes(int size);
// The box of `plain` for `theirPublic` from `ourSecret`; empty when a key or the nonce has the wrong size.
QByteArray seal(const QByteArray& plain, const QByteArray& nonce, const QByteArray& theirPublic,
                const QByteArray& ourSecret);
// The contents of a box; false when it was not made with these keys and nonce or was changed.
bool open(const QByteArray& box, const QByteArray& nonce, const QByteArray& theirPublic, const QByteArray& ourSecret,
          QByteArray& plain);
// The nonce plus one, read as a little-endian number (libsodium's sodium_increment), as the
// extension expects the answer's nonce.
QByteArray incremented(const QByteArray& nonce);
// Overwrites the bytes before they are released.
void wipe(QByteArray& bytes);

} // namespace BrowserCrypto
