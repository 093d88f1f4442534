#pragma once

// The built-in cipher stream of the ordinary store form: the payload sealed under the program's own
// key (Rijndael, 256-bit blocks, ECB) behind a 4-byte length. It hides the vault from a casual look,
// nothing more (README, "What the encryption protects").

#include "store/securefile.h"

#include <QByteArray>

class QIODevice;
struct Payload;

// A store file's bytes for a payload: the payload sealed under the store key.
QByteArray sealStore(const QByteArray& payload);
// Reads a store file's bytes into `payload` as far as they go. True when the file is well
// formed: a length prefix within the ciphertext and a payload that fills it exactly.
bool decodeStore(const QByteArray& fileBytes, Payload& payload);
// The same, reading from `device` (open, positioned at the start) a block at a time, so that
// the ciphertext and the plaintext of a large store are never held whole.
bool readStore(QIODevice& device, Payload& payload);
// Writes the ordinary form of `payload` piece by piece as it is encoded, never whole in memory.
bool writeSealedStore(const Payload& payload, const SecretWrite& write);
