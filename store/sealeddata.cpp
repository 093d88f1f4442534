#include "sealeddata.h"

#include "rijndael.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr int KeySize = 32;
constexpr int BlockSize = 32;
constexpr int PrefixSize = 4;

void keyCipher(Rijndael& cipher, const QByteArray& key)
{
    char keyBytes[KeySize] = {};
    std::memcpy(keyBytes, key.constData(), size_t(qMin<qsizetype>(key.size(), KeySize)));
    cipher.makeKey(keyBytes, Rijndael::zeroChain, KeySize, BlockSize);
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
    cipher.encrypt(data.constData(), out + PrefixSize, unsigned(whole), Rijndael::ECB);

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
    QByteArray plain(m, '\0');
    cipher.decrypt(data.constData() + PrefixSize, plain.data(), unsigned(m - m % BlockSize), Rijndael::ECB);
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
