#pragma once

#include <QByteArray>
#include <QString>

// The sealed byte array: a 4-byte little-endian plaintext length, then the plaintext padded
// with 1 to 32 zero bytes and encrypted with Rijndael (32-byte key and block, ECB).
// The key is the first 32 bytes of the key bytes, zero-padded.
void encryptData(QByteArray& data, const QByteArray& key);
void encryptData(QByteArray& data, const QString& key); // key as Latin-1, "?" above U+00FF
void decryptData(QByteArray& data, const QByteArray& key);
void decryptData(QByteArray& data, const QString& key);

// Opens sealed data and says whether it was well formed: at least the prefix, and a prefix
// within 0..(ciphertext size - 1). The bytes are those decryptData gives in every case.
bool openSealed(QByteArray& data, const QByteArray& key);
