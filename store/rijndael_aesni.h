#pragma once

#include <cstddef>
#include <cstdint>

// Rijndael with 32-byte blocks on the processor's AES instructions, for Rijndael's own use.
// Everything here but available() needs those instructions, so ask it first. Their timing does
// not depend on keys or data, unlike table lookups.
namespace RijndaelAesni {

// 32-byte blocks always take 14 rounds, whatever the key length.
constexpr int Rounds = 14;
using RoundKeys = unsigned char[Rounds + 1][32]; // in state byte order, as the block bytes

// Whether the processor has AES, SSSE3 and SSE4.1.
bool available();

// SubBytes on each byte of a key-schedule word (big-endian, as Rijndael's columns).
uint32_t subWord(uint32_t w);

// The decryption round keys of the equivalent inverse cipher from the encryption ones.
void makeDecryptionKeys(const RoundKeys& enc, RoundKeys& dec);

// ECB over whole 32-byte blocks; in and out are the same or do not overlap.
void encrypt(const RoundKeys& enc, const char* in, char* out, std::size_t blocks);
void decrypt(const RoundKeys& dec, const char* in, char* out, std::size_t blocks);

} // namespace RijndaelAesni
