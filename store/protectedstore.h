#pragma once

// The protected store: the store's payload encrypted under a key derived from the master password
// (Argon2id, then XChaCha20-Poly1305 secretstream from libsodium). docs/protected-format.md
// describes the bytes for other programs. Pure functions over bytes; no file is touched here.

#include "store/payload.h"
#include "store/secretmemory.h"
#include "store/securefile.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

inline constexpr char kProtectedMagic[] = "VYPROT01"; // 8 bytes, no terminator in the file
inline constexpr int kProtectedMagicSize = 8;
inline constexpr int kProtectedSaltSize = 16;
inline constexpr int kProtectedBoundSize = 32;  // magic, limits and salt: the first message's additional data
inline constexpr int kProtectedHeaderSize = 56; // those and the stream header
inline constexpr int kProtectedKeySize = 32;
inline constexpr qint64 kProtectedMessageMax = qint64(1) << 20; // plaintext bytes per message
inline constexpr qint64 kProtectedMessageOverhead = 17;         // secretstream's tag and MAC

// Argon2id's cost: passes over the memory and the memory in KiB.
struct KdfLimits
{
    quint32 opsLimit = 0;
    quint32 memLimitKiB = 0;
    bool operator==(const KdfLimits& other) const
    {
        return opsLimit == other.opsLimit && memLimitKiB == other.memLimitKiB;
    }
};

// The limits a file may ask for. A file asking for more is refused before anything is derived, so
// that a forged header can neither claim gigabytes nor keep the program busy for minutes.
inline constexpr quint32 kMinOpsLimit = 1; // libsodium's least
inline constexpr quint32 kMaxOpsLimit = 256;
inline constexpr quint32 kMinMemLimitKiB = 8;            // libsodium's least
inline constexpr quint32 kMaxMemLimitKiB = 1u << 20;     // 1 GiB
inline constexpr quint64 kMaxKdfWork = quint64(8) << 20; // opsLimit × memLimitKiB: 8 GiB of passes
// What calibration chooses within.
inline constexpr quint32 kCalibratedMinMemKiB = 64u << 10;  // 64 MiB
inline constexpr quint32 kCalibratedMaxMemKiB = 256u << 10; // more memory only makes unlocking harder elsewhere

bool kdfLimitsAccepted(const KdfLimits& limits);
// The cheapest limits a file may have: for tests, which derive many keys.
inline constexpr KdfLimits kLowestKdfLimits{kMinOpsLimit, kMinMemLimitKiB};

// Limits for which deriving a key takes about 0.5 to 1 s on this machine, with at least 64 MiB.
// `secondsFor` times one derivation at given limits; calibrateKdf() times real ones.
KdfLimits calibrateKdf(const std::function<double(const KdfLimits&)>& secondsFor);
KdfLimits calibrateKdf();

// The master password and the key derived from it for one salt and limits, both in guarded memory.
// The password is kept so that a store saved elsewhere with another salt opens without asking again.
class ProtectionKey
{
public:
    // The key of `password` (its UTF-8 bytes) for `salt` (16 bytes) and `limits`; null when the salt
    // or limits are not acceptable or the memory cannot be had.
    static std::unique_ptr<ProtectionKey> derive(const QString& password, const QByteArray& salt,
                                                 const KdfLimits& limits);
    // The same with a new random salt: for turning protection on and for a new master password.
    static std::unique_ptr<ProtectionKey> create(const QString& password, const KdfLimits& limits);
    // The same password for another salt and limits.
    std::unique_ptr<ProtectionKey> rederive(const QByteArray& salt, const KdfLimits& limits) const;

    ~ProtectionKey();
    ProtectionKey(const ProtectionKey&) = delete;
    ProtectionKey& operator=(const ProtectionKey&) = delete;

    const QByteArray& salt() const { return keySalt; }
    const KdfLimits& limits() const { return keyLimits; }
    bool derivedFor(const QByteArray& salt, const KdfLimits& limits) const;
    // Whether the master password it was derived from hashes to `hash` (a store's master-password
    // hash): the key a store is written under and the hash it holds come from the same password.
    bool holdsPasswordOf(const QString& hash) const;

private:
    friend struct ProtectionKeyAccess;
    ProtectionKey(const QByteArray& passwordUtf8, const QByteArray& salt, const KdfLimits& limits);
    bool deriveKey();

    GuardedBytes password; // UTF-8
    GuardedBytes key;
    QByteArray keySalt;
    KdfLimits keyLimits;
};

// The first bytes of a protected store, as far as they can be read without the password.
struct ProtectedHeader
{
    KdfLimits limits;
    QByteArray salt;
};

// Whether the bytes (the first 8 are enough) begin a protected store.
bool isProtectedStore(const QByteArray& firstBytes);
// The limits and salt of a protected store; nothing when the bytes are not one, are too short to
// hold the header, or ask for limits out of range.
std::optional<ProtectedHeader> readProtectedHeader(const QByteArray& fileBytes);

enum class ProtectedOutcome
{
    Opened,       // authentic and complete
    NotProtected, // no protected store's magic
    Malformed,    // header cut short or limits out of range: no password opens it
    OtherKey,     // the key was derived for another salt or limits: derive one for this file
    Refused,      // wrong password, or the file was changed, cut short or extended
};

// The payload of a protected store. Anything but a whole, authentic file leaves `payload` empty:
// nothing of a file that fails is handed out. Wipe the payload (wipeBytes) once parsed.
ProtectedOutcome decodeProtectedStore(const QByteArray& fileBytes, const ProtectionKey& key, QByteArray& payload);
// The same, deriving the key from `password` for the file's salt and limits. When the file opens,
// `derived` (if given) receives the key, which serves every later save of this store.
ProtectedOutcome openProtectedStore(const QByteArray& fileBytes, const QString& password, QByteArray& payload,
                                    std::unique_ptr<ProtectionKey>* derived = nullptr);

// A protected store's bytes for `payload`, with a new stream header (hence nonce) every call.
QByteArray encodeProtectedStore(const QByteArray& payload, const ProtectionKey& key);

// The same made while it is written: plaintext goes in a piece at a time through append(), which
// sends out a message each time 1 MiB has gathered; finish() sends the last one. The file is never
// whole in memory. Each returns false once `write` has.
class ProtectedWriter
{
public:
    ProtectedWriter(const ProtectionKey& key, const SecretWrite& write);
    ~ProtectedWriter();
    ProtectedWriter(const ProtectedWriter&) = delete;
    ProtectedWriter& operator=(const ProtectedWriter&) = delete;

    bool append(const char* data, qint64 size);
    bool finish();

private:
    bool start();
    bool push(bool last);

    const ProtectionKey& key;
    SecretWrite write;
    GuardedBytes state;
    GuardedBytes plain; // the message gathering, kProtectedMessageMax bytes
    qint64 gathered = 0;
    QByteArray bound; // bytes 0-31, the first message's additional data
    QByteArray cipherText;
    bool started = false;
    bool pushedAny = false;
    bool failed = false;
    bool finished = false;
};

// Writes the protected store of the payload that `writePayload` hands to its sink (as writePayload
// in payload.h does): the producer for writeStoreFile.
using PayloadWriter = std::function<bool(const PayloadSink& sink)>;
bool writeProtectedStore(const ProtectionKey& key, const PayloadWriter& writePayload, const SecretWrite& write);
