#include "protectedstore.h"

#include "prefs/masterpassword.h"

#include <QElapsedTimer>
#include <QtEndian>

#include <sodium.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

static_assert(kMinOpsLimit == crypto_pwhash_argon2id_OPSLIMIT_MIN);
static_assert(quint64(kMinMemLimitKiB) * 1024 == crypto_pwhash_argon2id_MEMLIMIT_MIN);
static_assert(kProtectedSaltSize == crypto_pwhash_argon2id_SALTBYTES);
static_assert(kProtectedHeaderSize - kProtectedBoundSize == crypto_secretstream_xchacha20poly1305_HEADERBYTES);
static_assert(kProtectedKeySize == crypto_secretstream_xchacha20poly1305_KEYBYTES);
static_assert(kProtectedMessageOverhead == crypto_secretstream_xchacha20poly1305_ABYTES);
static_assert(kMaxKdfWork / kMaxMemLimitKiB >= 1, "the largest memory must allow one pass");

// The guarded key bytes, for this file's functions only.
bool ProtectionKey::holdsPasswordOf(const QString& hash) const
{
    return password.read([&hash](const unsigned char* bytes, qsizetype size) {
        QString text = QString::fromUtf8(reinterpret_cast<const char*>(bytes), size);
        const bool same = hashMasterPassword(text) == hash;
        wipeString(text);
        return same;
    });
}

struct ProtectionKeyAccess
{
    static const GuardedBytes& key(const ProtectionKey& key) { return key.key; }
};

namespace {

constexpr int kLengthSize = 4;
constexpr qint64 kMaxCipherMessage = kProtectedMessageMax + kProtectedMessageOverhead;

using StreamState = crypto_secretstream_xchacha20poly1305_state;

const unsigned char* bytesOf(const QByteArray& array)
{
    return reinterpret_cast<const unsigned char*>(array.constData());
}

// Bytes 0–31: the magic, the limits big-endian and the salt.
QByteArray boundBytes(const ProtectionKey& key)
{
    QByteArray bytes(kProtectedBoundSize, Qt::Uninitialized);
    std::memcpy(bytes.data(), kProtectedMagic, kProtectedMagicSize);
    qToBigEndian<quint32>(key.limits().opsLimit, bytes.data() + 8);
    qToBigEndian<quint32>(key.limits().memLimitKiB, bytes.data() + 12);
    std::memcpy(bytes.data() + 16, key.salt().constData(), kProtectedSaltSize);
    return bytes;
}

// Calibration aims here, between the bounds below.
constexpr double kTargetSeconds = 0.75;
constexpr double kFastestSeconds = 0.5;
constexpr double kSlowestSeconds = 1.0;
constexpr quint32 kMiB = 1024; // in KiB

quint32 maxOpsFor(quint32 memLimitKiB)
{
    return quint32(qMin<quint64>(kMaxOpsLimit, kMaxKdfWork / memLimitKiB));
}

// A step towards the target from limits that were too fast by `scale`: more memory while it is
// below the ceiling, then more passes.
KdfLimits stepUp(const KdfLimits& limits, double scale)
{
    KdfLimits next = limits;
    if (limits.memLimitKiB < kCalibratedMaxMemKiB) {
        const double wanted =
            qMax<double>(limits.memLimitKiB + kMiB, std::floor(limits.memLimitKiB * scale / kMiB) * kMiB);
        next.memLimitKiB = quint32(qMin<double>(wanted, kCalibratedMaxMemKiB));
    } else {
        const double wanted = qMax<double>(limits.opsLimit + 1, std::floor(limits.opsLimit * scale));
        next.opsLimit = quint32(qMin<double>(wanted, maxOpsFor(limits.memLimitKiB)));
        next.opsLimit = qMax(next.opsLimit, limits.opsLimit); // at the ceiling already
    }
    return next;
}

KdfLimits midway(const KdfLimits& a, const KdfLimits& b)
{
    return KdfLimits{a.opsLimit + (b.opsLimit - a.opsLimit) / 2,
                     (a.memLimitKiB + (b.memLimitKiB - a.memLimitKiB) / 2) / kMiB * kMiB};
}

} // namespace

bool kdfLimitsAccepted(const KdfLimits& limits)
{
    return limits.opsLimit >= kMinOpsLimit && limits.opsLimit <= kMaxOpsLimit &&
           limits.memLimitKiB >= kMinMemLimitKiB && limits.memLimitKiB <= kMaxMemLimitKiB &&
           quint64(limits.opsLimit) * limits.memLimitKiB <= kMaxKdfWork;
}

KdfLimits calibrateKdf(const std::function<double(const KdfLimits&)>& secondsFor)
{
    KdfLimits limits{kMinOpsLimit, kCalibratedMinMemKiB};
    double seconds = secondsFor(limits);
    for (int step = 0; step < 16 && seconds < kFastestSeconds; ++step) {
        const KdfLimits next = stepUp(limits, kTargetSeconds / qMax(seconds, 1e-3));
        if (next == limits)
            break; // as costly as a file may be
        const double nextSeconds = secondsFor(next);
        if (nextSeconds > kSlowestSeconds) {
            // Overshot: halfway may still be within the target.
            const KdfLimits middle = midway(limits, next);
            if (!(middle == limits) && !(middle == next)) {
                const double middleSeconds = secondsFor(middle);
                if (middleSeconds <= kSlowestSeconds)
                    limits = middle;
            }
            break;
        }
        limits = next;
        seconds = nextSeconds;
    }
    return limits;
}

KdfLimits calibrateKdf()
{
    if (!sodiumReady())
        return KdfLimits{kMinOpsLimit, kCalibratedMinMemKiB};
    unsigned char salt[kProtectedSaltSize];
    randombytes_buf(salt, sizeof salt);
    return calibrateKdf([&salt](const KdfLimits& limits) {
        unsigned char key[kProtectedKeySize];
        const char password[] = "calibration";
        QElapsedTimer timer;
        timer.start();
        const int failed = crypto_pwhash(key, sizeof key, password, sizeof password - 1, salt, limits.opsLimit,
                                         size_t(limits.memLimitKiB) * 1024, crypto_pwhash_ALG_ARGON2ID13);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        sodium_memzero(key, sizeof key);
        return failed ? std::numeric_limits<double>::infinity() : seconds; // no memory for it: too costly
    });
}

ProtectionKey::ProtectionKey(const QByteArray& passwordUtf8, const QByteArray& salt, const KdfLimits& limits)
    : password(passwordUtf8.size()), key(kProtectedKeySize), keySalt(salt), keyLimits(limits)
{
    password.edit([&passwordUtf8](unsigned char* bytes, qsizetype size) {
        std::memcpy(bytes, passwordUtf8.constData(), size_t(size));
    });
}

ProtectionKey::~ProtectionKey() = default;

bool ProtectionKey::deriveKey()
{
    if (!password.isValid() || !key.isValid() || keySalt.size() != kProtectedSaltSize || !kdfLimitsAccepted(keyLimits))
        return false;
    return key.edit([this](unsigned char* out, qsizetype outSize) {
        return password.read([&](const unsigned char* pass, qsizetype passSize) {
            return crypto_pwhash(out, (unsigned long long)outSize, reinterpret_cast<const char*>(pass),
                                 (unsigned long long)passSize, bytesOf(keySalt), keyLimits.opsLimit,
                                 size_t(keyLimits.memLimitKiB) * 1024, crypto_pwhash_ALG_ARGON2ID13) == 0;
        });
    });
}

std::unique_ptr<ProtectionKey> ProtectionKey::derive(const QString& password, const QByteArray& salt,
                                                     const KdfLimits& limits)
{
    if (!sodiumReady())
        return nullptr;
    QByteArray utf8 = password.toUtf8();
    std::unique_ptr<ProtectionKey> made(new ProtectionKey(utf8, salt, limits));
    wipeBytes(utf8);
    if (!made->deriveKey())
        return nullptr;
    return made;
}

std::unique_ptr<ProtectionKey> ProtectionKey::create(const QString& password, const KdfLimits& limits)
{
    if (!sodiumReady())
        return nullptr;
    QByteArray salt(kProtectedSaltSize, Qt::Uninitialized);
    randombytes_buf(salt.data(), size_t(salt.size()));
    return derive(password, salt, limits);
}

std::unique_ptr<ProtectionKey> ProtectionKey::rederive(const QByteArray& salt, const KdfLimits& limits) const
{
    QByteArray utf8 = password.read([](const unsigned char* bytes, qsizetype size) {
        return QByteArray(reinterpret_cast<const char*>(bytes), size);
    });
    std::unique_ptr<ProtectionKey> made(new ProtectionKey(utf8, salt, limits));
    wipeBytes(utf8);
    if (!made->deriveKey())
        return nullptr;
    return made;
}

bool ProtectionKey::derivedFor(const QByteArray& salt, const KdfLimits& limits) const
{
    return salt == keySalt && limits == keyLimits;
}

bool isProtectedStore(const QByteArray& firstBytes)
{
    return firstBytes.startsWith(QByteArray::fromRawData(kProtectedMagic, kProtectedMagicSize));
}

std::optional<ProtectedHeader> readProtectedHeader(const QByteArray& fileBytes)
{
    if (!isProtectedStore(fileBytes) || fileBytes.size() < kProtectedHeaderSize)
        return std::nullopt;
    ProtectedHeader header;
    header.limits.opsLimit = qFromBigEndian<quint32>(fileBytes.constData() + 8);
    header.limits.memLimitKiB = qFromBigEndian<quint32>(fileBytes.constData() + 12);
    header.salt = fileBytes.mid(16, kProtectedSaltSize);
    if (!kdfLimitsAccepted(header.limits))
        return std::nullopt;
    return header;
}

ProtectedOutcome decodeProtectedStore(const QByteArray& fileBytes, const ProtectionKey& key, QByteArray& payload)
{
    payload.clear();
    if (!isProtectedStore(fileBytes))
        return ProtectedOutcome::NotProtected;
    const std::optional<ProtectedHeader> header = readProtectedHeader(fileBytes);
    if (!header)
        return ProtectedOutcome::Malformed;
    if (!key.derivedFor(header->salt, header->limits))
        return ProtectedOutcome::OtherKey;

    // The messages' frame first: every length within bounds and the last one ending the file, so
    // that the plaintext's size is known before anything is decrypted.
    const qint64 size = fileBytes.size();
    const char* data = fileBytes.constData();
    qint64 plainSize = 0;
    int messages = 0;
    for (qint64 at = kProtectedHeaderSize; at < size; ++messages) {
        if (size - at < kLengthSize)
            return ProtectedOutcome::Refused;
        const quint32 length = qFromBigEndian<quint32>(data + at);
        at += kLengthSize;
        if (length < kProtectedMessageOverhead || length > kMaxCipherMessage || length > size - at)
            return ProtectedOutcome::Refused;
        plainSize += length - kProtectedMessageOverhead;
        at += length;
    }
    if (messages == 0 || !sodiumReady())
        return ProtectedOutcome::Refused;

    GuardedBytes state(sizeof(StreamState));
    if (!state.isValid())
        return ProtectedOutcome::Refused;
    QByteArray plain(plainSize, Qt::Uninitialized);
    const bool authentic = state.edit([&](unsigned char* stateBytes, qsizetype) {
        auto* stream = reinterpret_cast<StreamState*>(stateBytes);
        const bool started = ProtectionKeyAccess::key(key).read([&](const unsigned char* keyBytes, qsizetype) {
            return crypto_secretstream_xchacha20poly1305_init_pull(
                       stream, reinterpret_cast<const unsigned char*>(data + kProtectedBoundSize), keyBytes) == 0;
        });
        if (!started)
            return false;
        auto* out = reinterpret_cast<unsigned char*>(plain.data());
        qint64 at = kProtectedHeaderSize;
        for (int i = 0; i < messages; ++i) {
            const quint32 length = qFromBigEndian<quint32>(data + at);
            at += kLengthSize;
            unsigned long long outSize = 0;
            unsigned char tag = 0;
            const bool first = i == 0;
            if (crypto_secretstream_xchacha20poly1305_pull(
                    stream, out, &outSize, &tag, reinterpret_cast<const unsigned char*>(data + at), length,
                    first ? reinterpret_cast<const unsigned char*>(data) : nullptr,
                    first ? kProtectedBoundSize : 0) != 0)
                return false;
            const bool last = i == messages - 1;
            if (tag != (last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                             : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE))
                return false;
            out += outSize;
            at += length;
        }
        return true;
    });
    if (!authentic) {
        wipeBytes(plain);
        return ProtectedOutcome::Refused;
    }
    payload = plain;
    return ProtectedOutcome::Opened;
}

ProtectedOutcome openProtectedStore(const QByteArray& fileBytes, const QString& password, QByteArray& payload,
                                    std::unique_ptr<ProtectionKey>* derived)
{
    payload.clear();
    if (!isProtectedStore(fileBytes))
        return ProtectedOutcome::NotProtected;
    const std::optional<ProtectedHeader> header = readProtectedHeader(fileBytes);
    if (!header)
        return ProtectedOutcome::Malformed;
    std::unique_ptr<ProtectionKey> key = ProtectionKey::derive(password, header->salt, header->limits);
    if (!key)
        return ProtectedOutcome::Refused; // no memory for the derivation: cannot be opened here
    const ProtectedOutcome outcome = decodeProtectedStore(fileBytes, *key, payload);
    if (outcome == ProtectedOutcome::Opened && derived)
        *derived = std::move(key);
    return outcome;
}

ProtectedWriter::ProtectedWriter(const ProtectionKey& key, const SecretWrite& write)
    : key(key), write(write), state(sizeof(StreamState)), plain(kProtectedMessageMax)
{
}

ProtectedWriter::~ProtectedWriter() = default;

bool ProtectedWriter::start()
{
    started = true;
    if (!sodiumReady() || !state.isValid() || !plain.isValid() || key.salt().size() != kProtectedSaltSize) {
        errno = ENOMEM;
        return false;
    }
    bound = boundBytes(key);
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    state.edit([&](unsigned char* stateBytes, qsizetype) {
        ProtectionKeyAccess::key(key).read([&](const unsigned char* keyBytes, qsizetype) {
            crypto_secretstream_xchacha20poly1305_init_push(reinterpret_cast<StreamState*>(stateBytes), header,
                                                            keyBytes);
        });
    });
    return write(bound.constData(), bound.size()) && write(reinterpret_cast<const char*>(header), sizeof header);
}

bool ProtectedWriter::push(bool last)
{
    cipherText.resize(gathered + kProtectedMessageOverhead);
    const bool first = !pushedAny;
    state.edit([&](unsigned char* stateBytes, qsizetype) {
        plain.read([&](const unsigned char* plainBytes, qsizetype) {
            crypto_secretstream_xchacha20poly1305_push(
                reinterpret_cast<StreamState*>(stateBytes), reinterpret_cast<unsigned char*>(cipherText.data()),
                nullptr, plainBytes, (unsigned long long)gathered, first ? bytesOf(bound) : nullptr,
                first ? kProtectedBoundSize : 0,
                last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                     : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
        });
    });
    pushedAny = true;
    gathered = 0;
    char length[kLengthSize];
    qToBigEndian<quint32>(quint32(cipherText.size()), length);
    return write(length, kLengthSize) && write(cipherText.constData(), cipherText.size());
}

bool ProtectedWriter::append(const char* data, qint64 size)
{
    if (failed || finished)
        return false;
    if (!started && !start()) {
        failed = true;
        return false;
    }
    while (size > 0) {
        if (gathered == kProtectedMessageMax && !push(false)) {
            failed = true;
            return false;
        }
        const qint64 piece = qMin(size, kProtectedMessageMax - gathered);
        plain.edit([&](unsigned char* bytes, qsizetype) { std::memcpy(bytes + gathered, data, size_t(piece)); });
        gathered += piece;
        data += piece;
        size -= piece;
    }
    return true;
}

bool ProtectedWriter::finish()
{
    if (failed || finished)
        return false;
    if (!started && !start()) {
        failed = true;
        return false;
    }
    finished = true;
    failed = !push(true);
    return !failed;
}

QByteArray encodeProtectedStore(const QByteArray& payload, const ProtectionKey& key)
{
    QByteArray file;
    file.reserve(kProtectedHeaderSize + payload.size() +
                 (payload.size() / kProtectedMessageMax + 1) * (kLengthSize + kProtectedMessageOverhead));
    const SecretWrite write = [&file](const char* data, qint64 size) {
        file.append(data, size);
        return true;
    };
    ProtectedWriter writer(key, write);
    if (!writer.append(payload.constData(), payload.size()) || !writer.finish())
        return QByteArray();
    return file;
}

bool writeProtectedStore(const ProtectionKey& key, const PayloadWriter& writePayload, const SecretWrite& write)
{
    ProtectedWriter writer(key, write);
    return writePayload([&writer](const char* data, qint64 size) { return writer.append(data, size); }) &&
           writer.finish();
}
