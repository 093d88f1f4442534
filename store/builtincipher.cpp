#include "store/builtincipher.h"

#include "store/payload.h"
#include "store/rijndael.h"
#include "store/sealeddata.h"

#include <QBuffer>
#include <QtEndian>

#include <cstring>
#include <system_error>
#include <thread>

namespace {

// A constant of the file format; changing it makes existing stores unreadable.
const QByteArray kStoreKey = QByteArrayLiteral("/lanterns.kwfob");

constexpr int kPrefixSize = 4;
constexpr int kBlockSize = 32;

void keyStoreCipher(Rijndael& cipher, const QByteArray& key)
{
    char keyBytes[kBlockSize] = {};
    std::memcpy(keyBytes, key.constData(), size_t(qMin<qsizetype>(key.size(), kBlockSize)));
    cipher.makeKey(keyBytes, Rijndael::zeroChain, kBlockSize, kBlockSize);
}

// From this size on ECB's independent blocks are shared between two threads: below it starting
// a thread costs about what it saves.
constexpr qint64 kSharedEcbBytes = qint64(1) << 19;

// ECB over the whole blocks of `bytes`, the second half on another thread when there is
// enough to share: a large store takes as long to decrypt as to parse.
void runEcb(const Rijndael& cipher, const char* in, char* out, qint64 bytes, bool encrypt)
{
    const auto run = [&cipher, encrypt](const char* from, char* to, qint64 length) {
        Rijndael copy = cipher; // ECB keeps no chain, but the object is not shared between threads
        if (encrypt)
            copy.encrypt(from, to, unsigned(length), Rijndael::ECB);
        else
            copy.decrypt(from, to, unsigned(length), Rijndael::ECB);
    };
    const qint64 whole = bytes / kBlockSize * kBlockSize;
    const qint64 half = whole / 2 / kBlockSize * kBlockSize;
    if (whole < kSharedEcbBytes) {
        run(in, out, whole);
        return;
    }
    std::thread helper;
    try {
        helper = std::thread(run, in + half, out + half, whole - half);
    } catch (const std::system_error&) {
        run(in + half, out + half, whole - half); // no thread to be had: do it here
    }
    run(in, out, half);
    if (helper.joinable())
        helper.join();
}

// The plaintext of a sealed array, decrypted a chunk at a time as the reader asks for it.
// It yields exactly what decryptData would: the stated length when the prefix is within
// the ciphertext, otherwise every decrypted byte, a trailing partial block as zeros.
class SealedSource : public PayloadSource
{
public:
    SealedSource(QIODevice& device, const QByteArray& key) : device(device)
    {
        keyStoreCipher(cipher, key);
        char prefix[kPrefixSize];
        if (device.read(prefix, kPrefixSize) != kPrefixSize)
            return; // no prefix: no payload
        const qint32 length = qFromLittleEndian<qint32>(prefix);
        const qint64 cipherSize = qMax<qint64>(device.size() - device.pos(), 0);
        framed = length >= 0 && length < cipherSize;
        total = framed ? length : cipherSize;
    }

    // Whether the prefix was present and within the ciphertext.
    bool wellFormed() const { return framed; }

    qint64 pending() const override { return total - handedOut; }

    qint64 readMore(QByteArray& out, qint64 max) override
    {
        const qint64 wanted = qMin(max, pending());
        if (wanted <= 0)
            return 0;
        // What is left of the last block first, then whole blocks straight into `out`.
        qint64 given = qMin<qint64>(wanted, spill.size());
        out.append(spill.constData(), given);
        spill.remove(0, given);
        const qint64 whole = (wanted - given) / kBlockSize * kBlockSize;
        if (whole > 0) {
            const qint64 at = out.size();
            out.resize(at + whole);
            given += decrypt(out.data() + at, whole);
        }
        if (given < wanted) {
            char block[kBlockSize];
            decrypt(block, kBlockSize);
            const qint64 taken = qMin<qint64>(wanted - given, kBlockSize);
            out.append(block, taken);
            spill.append(block + taken, kBlockSize - taken);
            given += taken;
        }
        handedOut += given;
        return given;
    }

private:
    // The next `bytes` (whole blocks) of plaintext; a block the file does not hold whole is zero.
    qint64 decrypt(char* plain, qint64 bytes)
    {
        cipherText.resize(bytes);
        const qint64 read = qMax<qint64>(device.read(cipherText.data(), bytes), 0);
        runEcb(cipher, cipherText.constData(), plain, read, false);
        const qint64 decrypted = read / kBlockSize * kBlockSize;
        std::memset(plain + decrypted, 0, size_t(bytes - decrypted));
        return bytes;
    }

    QIODevice& device;
    Rijndael cipher;
    QByteArray cipherText;
    QByteArray spill;
    qint64 total = 0;
    qint64 handedOut = 0;
    bool framed = false;
};

// Reads a store's bytes from `device`; `ownVault` keeps the entries' texts together (see
// decodeStorePayload), which only the program's own vault should do.
bool readSealed(QIODevice& device, Payload& payload, bool ownVault)
{
    SealedSource source(device, kStoreKey);
    const bool exact = ownVault ? decodeStorePayload(source, payload) : decodePayload(source, payload);
    return source.wellFormed() && exact;
}

// Writes the store file's bytes for a state, encrypted a piece at a time as the payload is
// encoded: a 4-byte little-endian payload length, then the payload and 1 to 32 zero bytes in
// Rijndael ECB blocks, as encryptData seals it, without the payload or the file ever whole in memory.
bool writeSealed(const Payload& state, const SecretWrite& write)
{
    const QStringList& categories = state.categories;
    const EntryList& entries = state.entries;
    const qint64 length = payloadSize(state.preferences, categories, entries);
    Rijndael cipher;
    keyStoreCipher(cipher, kStoreKey);
    char prefix[kPrefixSize];
    qToLittleEndian<qint32>(qint32(length), prefix); // as encryptData writes it, whatever the size
    if (!write(prefix, kPrefixSize))
        return false;
    QByteArray sealed;
    char carry[kBlockSize];
    qint64 carried = 0;
    const bool encoded = writePayload(state.preferences, categories, entries, [&](const char* data, qint64 size) {
        sealed.resize(size + kBlockSize);
        char* out = sealed.data();
        if (carried > 0) {
            const qint64 fill = qMin(size, kBlockSize - carried);
            std::memcpy(carry + carried, data, size_t(fill));
            carried += fill;
            data += fill;
            size -= fill;
            if (carried < kBlockSize)
                return true;
            cipher.encrypt(carry, out, kBlockSize, Rijndael::ECB);
            out += kBlockSize;
            carried = 0;
        }
        const qint64 whole = size / kBlockSize * kBlockSize;
        runEcb(cipher, data, out, whole, true);
        out += whole;
        carried = size - whole;
        std::memcpy(carry, data + whole, size_t(carried));
        return write(sealed.constData(), out - sealed.constData());
    });
    if (!encoded)
        return false;
    // The tail plus 1..32 zero bytes of padding make the last block.
    std::memset(carry + carried, 0, size_t(kBlockSize - carried));
    char last[kBlockSize];
    cipher.encrypt(carry, last, kBlockSize, Rijndael::ECB);
    return write(last, kBlockSize);
}

} // namespace

bool writeSealedStore(const Payload& payload, const SecretWrite& write)
{
    return writeSealed(payload, write);
}

QByteArray sealStore(const QByteArray& payload)
{
    QByteArray data = payload;
    encryptData(data, kStoreKey);
    return data;
}

bool readStore(QIODevice& device, Payload& payload)
{
    return readSealed(device, payload, true);
}

bool decodeStore(const QByteArray& fileBytes, Payload& payload)
{
    QBuffer buffer;
    buffer.setData(fileBytes);
    buffer.open(QIODevice::ReadOnly);
    return readSealed(buffer, payload, false);
}
