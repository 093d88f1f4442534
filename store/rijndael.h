#pragma once

#include <cstdint>

// Rijndael with independent key and block lengths of 16, 24 or 32 bytes (16/16 is AES-128),
// plus ECB, CBC and CFB chaining. All state lives in the object; nothing is allocated.
class Rijndael
{
public:
    enum BlockMode
    {
        ECB = 0,
        CBC = 1,
        CFB = 2
    };

    // The initial chain every caller passes.
    static constexpr char zeroChain[32] = {};

    Rijndael();
    virtual ~Rijndael();

    // keyLength and blockSize are 16, 24 or 32; reads keyLength bytes of key and blockSize of chain.
    void makeKey(const char* key, const char* chain, int keyLength, int blockSize);

    // One block of the configured size; in and out are distinct.
    void encryptBlock(const char* in, char* out) const;
    void decryptBlock(const char* in, char* out) const;

    // 32-byte blocks run on the processor's AES instructions where it has them: much faster than
    // the tables, and in constant time, which table lookups are not. On unless turned off here;
    // applies to keys made afterwards.
    static void setAcceleration(bool enabled);
    // Whether the processor has the instructions.
    static bool accelerationAvailable();
    // Whether this key runs on them.
    bool accelerated() const { return m_accelerated; }

    // The whole blocks among the first n bytes; bytes past them are neither read nor written.
    // The chain carries over between calls until the next makeKey. Unknown modes act as ECB.
    void encrypt(const char* in, char* out, unsigned n, int mode);
    void decrypt(const char* in, char* out, unsigned n, int mode);

private:
    static constexpr int MaxRounds = 14;
    static constexpr int MaxBlockWords = 8;

    template <int Nb> void ecbEncrypt(const char* in, char* out, unsigned blocks) const;
    template <int Nb> void ecbDecrypt(const char* in, char* out, unsigned blocks) const;
    template <int Nb> void encryptBlocks(const char* in, char* out, unsigned blocks, int mode);
    template <int Nb> void decryptBlocks(const char* in, char* out, unsigned blocks, int mode);

    bool m_keyInitialized;
    bool m_accelerated = false;
    uint32_t m_encKey[MaxRounds + 1][MaxBlockWords];
    uint32_t m_decKey[MaxRounds + 1][MaxBlockWords];
    int m_keyLength;
    int m_blockSize;
    int m_rounds;
    char m_initialChain[32];
    char m_chain[32];
    uint32_t m_expansion[8];
    // The accelerated path's round keys, as bytes in block order.
    alignas(16) unsigned char m_laneEncKey[MaxRounds + 1][32];
    alignas(16) unsigned char m_laneDecKey[MaxRounds + 1][32];
};
