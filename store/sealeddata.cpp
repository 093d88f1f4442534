#include "sealeddata.h"

#include "rijndael.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr int KeySize = 32;
constexpr int BlockSize = 32;
constexpr int PrefixSize = 4;
// Above this, ECB's independent blocks are shared out among threads.
constexpr qsizetype ThreadedSize = 1 << 20;

void keyCipher(Rijndael& cipher, const QByteArray& key)
{
    char keyBytes[KeySize] = {};
    std::memcpy(keyBytes, key.constData(), size_t(qMin<qsizetype>(key.size(), KeySize)));
    cipher.makeKey(keyBytes, Rijndael::zeroChain, KeySize, BlockSize);
}

// Runs work(cipher, offset, length) over the whole blocks of `bytes`, one chunk per hardware thread
// when large. Each chunk gets its own copy of the keyed cipher, which keeps a chain.
template <typename Work> void inChunks(const Rijndael& cipher, qsizetype bytes, Work work)
{
    const qsizetype whole = bytes - bytes % BlockSize;
    const qsizetype threads = whole > ThreadedSize ? std::max(1u, std::thread::hardware_concurrency()) : 1;
    const qsizetype chunk = (whole / BlockSize + threads - 1) / threads * BlockSize;
    const auto run = [&cipher, work](qsizetype at, qsizetype length) {
        Rijndael copy = cipher;
        work(copy, at, length);
    };
    std::vector<std::thread> helpers;
    helpers.reserve(size_t(threads));
    for (qsizetype at = chunk; at < whole; at += chunk) {
        const qsizetype length = std::min(chunk, whole - at);
        try {
            helpers.emplace_back(run, at, length);
        } catch (const std::system_error&) {
            run(at, length); // no thread to be had: do it here
        }
    }
    run(0, std::min(chunk, whole));
    for (std::thread& helper : helpers)
        helper.join();
}

} // namespace

void encryptData(QByteArray& data, const QByteArray& key)
{
    Rijndael cipher;
    keyCipher(cipher, key);

    const qsizetype n = data.size();
    const qsizetype whole = n - n % BlockSize;
    QByteArray sealed(PrefixSize + whole + BlockSize, Qt::Uninitialized);
    char* out = sealed.data();
    qToLittleEndian<qint32>(qint32(n), out);
    const char* in = data.constData();
    inChunks(cipher, whole, [in, out](Rijndael& c, qsizetype at, qsizetype length) {
        c.encrypt(in + at, out + PrefixSize + at, unsigned(length), Rijndael::ECB);
    });

    // The tail plus 1..32 zero bytes of padding make the last block.
    char last[BlockSize] = {};
    std::memcpy(last, data.constData() + whole, size_t(n - whole));
    cipher.encrypt(last, out + PrefixSize + whole, BlockSize, Rijndael::ECB);
    data = sealed;
}

void encryptData(QByteArray& data, const QString& key)
{
    encryptData(data, key.toLatin1());
}

bool openSealed(QByteArray& data, const QByteArray& key)
{
    if (data.size() < PrefixSize) {
        data.clear();
        return false;
    }
    Rijndael cipher;
    keyCipher(cipher, key);

    const qint32 length = qFromLittleEndian<qint32>(data.constData());
    const qsizetype m = data.size() - PrefixSize;
    // Only a trailing partial block needs zeros; the threads write the rest, first touch included.
    QByteArray plain(m, Qt::Uninitialized);
    const qsizetype whole = m - m % BlockSize;
    std::memset(plain.data() + whole, 0, size_t(m - whole));
    const char* in = data.constData() + PrefixSize;
    char* out = plain.data();
    inChunks(cipher, m, [in, out](Rijndael& c, qsizetype at, qsizetype length) {
        c.decrypt(in + at, out + at, unsigned(length), Rijndael::ECB);
    });
    const bool wellFormed = length >= 0 && length < m;
    if (wellFormed)
        plain.truncate(length);
    data = plain;
    return wellFormed;
}

void decryptData(QByteArray& data, const QByteArray& key)
{
    openSealed(data, key);
}

void decryptData(QByteArray& data, const QString& key)
{
    openSealed(data, key.toLatin1());
}
