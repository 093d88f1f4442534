#include "rijndael.h"

#include "rijndael_aesni.h"

#include <atomic>
#include <cassert>
#include <cstring>
#include <utility>

namespace {

constexpr uint8_t xtime(uint8_t b)
{
    return uint8_t((b << 1) ^ ((b & 0x80) ? 0x1b : 0));
}

constexpr uint8_t gmul(uint8_t a, uint8_t b)
{
    uint8_t p = 0;
    while (b) {
        if (b & 1)
            p ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return p;
}

constexpr uint32_t rotr8(uint32_t w)
{
    return (w >> 8) | (w << 24);
}

constexpr uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    return uint32_t(b0) << 24 | uint32_t(b1) << 16 | uint32_t(b2) << 8 | uint32_t(b3);
}

// Words are big-endian columns throughout: byte 0 of a column is the most significant.
struct alignas(64) Tables
{
    uint32_t te[4][256];     // SubBytes and MixColumns, one table per row position
    uint32_t td[4][256];     // InvSubBytes and InvMixColumns
    uint32_t invMix[4][256]; // InvMixColumns alone, for the decryption round keys
    uint8_t sbox[256];
    uint8_t invSbox[256];
    uint32_t rcon[30]; // Nk = 4 with Nb = 8 needs 29 of them
};

constexpr Tables makeTables()
{
    Tables t{};
    // Powers and logarithms of the generator 3 give the multiplicative inverses.
    uint8_t power[255] = {};
    uint8_t logarithm[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
        power[i] = x;
        logarithm[x] = uint8_t(i);
        x ^= xtime(x);
    }
    for (int a = 0; a < 256; ++a) {
        const uint8_t inv = a ? power[(255 - logarithm[a]) % 255] : 0;
        uint8_t s = inv;
        uint8_t r = inv;
        for (int i = 0; i < 4; ++i) {
            r = uint8_t((r << 1) | (r >> 7));
            s ^= r;
        }
        s ^= 0x63;
        t.sbox[a] = s;
        t.invSbox[s] = uint8_t(a);
    }
    for (int a = 0; a < 256; ++a) {
        const uint8_t s = t.sbox[a];
        const uint8_t b = uint8_t(a);
        uint32_t e = word(xtime(s), s, s, uint8_t(xtime(s) ^ s));
        uint32_t m = word(gmul(b, 0x0e), gmul(b, 0x09), gmul(b, 0x0d), gmul(b, 0x0b));
        for (int row = 0; row < 4; ++row) {
            t.te[row][a] = e;
            t.invMix[row][a] = m;
            e = rotr8(e);
            m = rotr8(m);
        }
    }
    for (int a = 0; a < 256; ++a)
        for (int row = 0; row < 4; ++row)
            t.td[row][a] = t.invMix[row][t.invSbox[a]];
    uint8_t rc = 1;
    for (uint32_t& r : t.rcon) {
        r = uint32_t(rc) << 24;
        rc = xtime(rc);
    }
    return t;
}

constexpr Tables tables = makeTables();

static_assert(tables.sbox[0x00] == 0x63 && tables.sbox[0x53] == 0xed && tables.invSbox[0x63] == 0x00);
static_assert(tables.te[0][0x00] == 0xc66363a5 && tables.td[0][0x00] == 0x51f4a750);
static_assert(tables.rcon[9] == 0x36000000);

inline uint32_t load32(const unsigned char* p)
{
    return word(p[0], p[1], p[2], p[3]);
}

inline void store32(unsigned char* p, uint32_t w)
{
    p[0] = uint8_t(w >> 24);
    p[1] = uint8_t(w >> 16);
    p[2] = uint8_t(w >> 8);
    p[3] = uint8_t(w);
}

inline uint32_t subWord(uint32_t w)
{
    const uint8_t* s = tables.sbox;
    return word(s[w >> 24], s[(w >> 16) & 0xff], s[(w >> 8) & 0xff], s[w & 0xff]);
}

// Offsets of rows 1..3 for encryption; decryption shifts by Nb minus these.
template <int Nb> struct Shifts;
template <> struct Shifts<4>
{
    static constexpr int s1 = 1, s2 = 2, s3 = 3;
};
template <> struct Shifts<6>
{
    static constexpr int s1 = 1, s2 = 2, s3 = 3;
};
template <> struct Shifts<8>
{
    static constexpr int s1 = 1, s2 = 3, s3 = 4;
};

template <int Nb, bool Inverse> struct Cipher
{
    static constexpr int s1 = Inverse ? Nb - Shifts<Nb>::s1 : Shifts<Nb>::s1;
    static constexpr int s2 = Inverse ? Nb - Shifts<Nb>::s2 : Shifts<Nb>::s2;
    static constexpr int s3 = Inverse ? Nb - Shifts<Nb>::s3 : Shifts<Nb>::s3;
    using Columns = std::make_index_sequence<Nb>;

    // The fold expressions unroll every column so the state stays in registers.
    template <std::size_t... C>
    [[gnu::always_inline]] static inline void load(const unsigned char* in, const uint32_t* k, uint32_t* a,
                                                   std::index_sequence<C...>)
    {
        ((a[C] = load32(in + 4 * C) ^ k[C]), ...);
    }

    template <std::size_t... C>
    [[gnu::always_inline]] static inline void round(const uint32_t* a, uint32_t* t, const uint32_t* k,
                                                    std::index_sequence<C...>)
    {
        const auto& T = Inverse ? tables.td : tables.te;
        ((t[C] = T[0][a[C] >> 24] ^ T[1][(a[(C + s1) % Nb] >> 16) & 0xff] ^ T[2][(a[(C + s2) % Nb] >> 8) & 0xff] ^
                 T[3][a[(C + s3) % Nb] & 0xff] ^ k[C]),
         ...);
    }

    template <std::size_t... C>
    [[gnu::always_inline]] static inline void finalRound(const uint32_t* t, const uint32_t* k, unsigned char* out,
                                                         std::index_sequence<C...>)
    {
        const uint8_t* s = Inverse ? tables.invSbox : tables.sbox;
        (store32(out + 4 * C, word(s[t[C] >> 24], s[(t[(C + s1) % Nb] >> 16) & 0xff], s[(t[(C + s2) % Nb] >> 8) & 0xff],
                                   s[t[(C + s3) % Nb] & 0xff]) ^
                                  k[C]),
         ...);
    }

    static void block(const uint32_t (*key)[8], int rounds, const char* in, char* out)
    {
        uint32_t a[Nb];
        uint32_t t[Nb];
        load(reinterpret_cast<const unsigned char*>(in), key[0], a, Columns{});
        // Rounds is even, so the pairs cover 1..rounds-2 and one single round follows.
        for (int r = 1; r < rounds - 1; r += 2) {
            round(a, t, key[r], Columns{});
            round(t, a, key[r + 1], Columns{});
        }
        round(a, t, key[rounds - 1], Columns{});
        finalRound(t, key[rounds], reinterpret_cast<unsigned char*>(out), Columns{});
    }
};

std::atomic<bool> accelerationWanted{true};

static_assert(RijndaelAesni::Rounds == 14, "32-byte blocks take 14 rounds with every key length");

inline void xorInto(char* dst, const char* src, int n)
{
    for (int i = 0; i < n; ++i)
        dst[i] ^= src[i];
}

} // namespace

Rijndael::Rijndael() : m_keyInitialized(false) {}

Rijndael::~Rijndael() = default;

void Rijndael::setAcceleration(bool enabled)
{
    accelerationWanted = enabled;
}

bool Rijndael::accelerationAvailable()
{
    static const bool available = RijndaelAesni::available();
    return available;
}

void Rijndael::makeKey(const char* key, const char* chain, int keyLength, int blockSize)
{
    assert(keyLength == 16 || keyLength == 24 || keyLength == 32);
    assert(blockSize == 16 || blockSize == 24 || blockSize == 32);
    m_keyLength = keyLength;
    m_blockSize = blockSize;
    const int nk = keyLength / 4;
    const int nb = blockSize / 4;
    m_rounds = (nk > nb ? nk : nb) + 6;
    std::memcpy(m_initialChain, chain, blockSize);
    std::memcpy(m_chain, chain, blockSize);
    m_accelerated = blockSize == 32 && accelerationWanted && accelerationAvailable();
    // The table lookups of SubWord would make the schedule's timing depend on the key.
    uint32_t (*const sub)(uint32_t) = m_accelerated ? RijndaelAesni::subWord : subWord;

    // m_expansion keeps the last nk words of the schedule: slot i % nk holds word i - nk until overwritten.
    const auto* k = reinterpret_cast<const unsigned char*>(key);
    for (int i = 0; i < nk; ++i)
        m_expansion[i] = load32(k + 4 * i);
    const int total = (m_rounds + 1) * nb;
    for (int i = 0; i < total; ++i) {
        if (i >= nk) {
            uint32_t temp = m_expansion[(i - 1) % nk];
            if (i % nk == 0)
                temp = sub((temp << 8) | (temp >> 24)) ^ tables.rcon[i / nk - 1];
            else if (nk > 6 && i % nk == 4)
                temp = sub(temp);
            m_expansion[i % nk] ^= temp;
        }
        m_encKey[i / nb][i % nb] = m_expansion[i % nk];
    }
    m_keyInitialized = true;

    if (m_accelerated) {
        for (int r = 0; r <= m_rounds; ++r)
            for (int c = 0; c < nb; ++c)
                store32(m_laneEncKey[r] + 4 * c, m_encKey[r][c]);
        RijndaelAesni::makeDecryptionKeys(m_laneEncKey, m_laneDecKey);
        return;
    }

    // Equivalent inverse cipher: reversed round order, InvMixColumns on the inner rounds.
    for (int r = 0; r <= m_rounds; ++r) {
        for (int c = 0; c < nb; ++c) {
            uint32_t w = m_encKey[r][c];
            if (r > 0 && r < m_rounds)
                w = tables.invMix[0][w >> 24] ^ tables.invMix[1][(w >> 16) & 0xff] ^ tables.invMix[2][(w >> 8) & 0xff] ^
                    tables.invMix[3][w & 0xff];
            m_decKey[m_rounds - r][c] = w;
        }
    }
}

void Rijndael::encryptBlock(const char* in, char* out) const
{
    assert(m_keyInitialized);
    switch (m_blockSize) {
    case 16:
        ecbEncrypt<4>(in, out, 1);
        break;
    case 24:
        ecbEncrypt<6>(in, out, 1);
        break;
    default:
        ecbEncrypt<8>(in, out, 1);
        break;
    }
}

void Rijndael::decryptBlock(const char* in, char* out) const
{
    assert(m_keyInitialized);
    switch (m_blockSize) {
    case 16:
        ecbDecrypt<4>(in, out, 1);
        break;
    case 24:
        ecbDecrypt<6>(in, out, 1);
        break;
    default:
        ecbDecrypt<8>(in, out, 1);
        break;
    }
}

template <int Nb> void Rijndael::ecbEncrypt(const char* in, char* out, unsigned blocks) const
{
    if (Nb == 8 && m_accelerated) {
        RijndaelAesni::encrypt(m_laneEncKey, in, out, blocks);
        return;
    }
    for (unsigned i = 0; i < blocks; ++i, in += 4 * Nb, out += 4 * Nb)
        Cipher<Nb, false>::block(m_encKey, m_rounds, in, out);
}

template <int Nb> void Rijndael::ecbDecrypt(const char* in, char* out, unsigned blocks) const
{
    if (Nb == 8 && m_accelerated) {
        RijndaelAesni::decrypt(m_laneDecKey, in, out, blocks);
        return;
    }
    for (unsigned i = 0; i < blocks; ++i, in += 4 * Nb, out += 4 * Nb)
        Cipher<Nb, true>::block(m_decKey, m_rounds, in, out);
}

template <int Nb> void Rijndael::encryptBlocks(const char* in, char* out, unsigned blocks, int mode)
{
    constexpr int size = 4 * Nb;
    switch (mode) {
    case CBC:
        for (unsigned i = 0; i < blocks; ++i, in += size, out += size) {
            xorInto(m_chain, in, size);
            ecbEncrypt<Nb>(m_chain, out, 1);
            std::memcpy(m_chain, out, size);
        }
        break;
    case CFB:
        for (unsigned i = 0; i < blocks; ++i, in += size, out += size) {
            ecbEncrypt<Nb>(m_chain, out, 1);
            xorInto(out, in, size);
            std::memcpy(m_chain, out, size);
        }
        break;
    default:
        ecbEncrypt<Nb>(in, out, blocks);
        break;
    }
}

template <int Nb> void Rijndael::decryptBlocks(const char* in, char* out, unsigned blocks, int mode)
{
    constexpr int size = 4 * Nb;
    switch (mode) {
    case CBC:
        for (unsigned i = 0; i < blocks; ++i, in += size, out += size) {
            ecbDecrypt<Nb>(in, out, 1);
            xorInto(out, m_chain, size);
            std::memcpy(m_chain, in, size);
        }
        break;
    case CFB:
        // CFB runs the forward cipher in both directions.
        for (unsigned i = 0; i < blocks; ++i, in += size, out += size) {
            ecbEncrypt<Nb>(m_chain, out, 1);
            xorInto(out, in, size);
            std::memcpy(m_chain, in, size);
        }
        break;
    default:
        ecbDecrypt<Nb>(in, out, blocks);
        break;
    }
}

void Rijndael::encrypt(const char* in, char* out, unsigned n, int mode)
{
    assert(m_keyInitialized);
    const unsigned blocks = n / unsigned(m_blockSize);
    switch (m_blockSize) {
    case 16:
        encryptBlocks<4>(in, out, blocks, mode);
        break;
    case 24:
        encryptBlocks<6>(in, out, blocks, mode);
        break;
    default:
        encryptBlocks<8>(in, out, blocks, mode);
        break;
    }
}

void Rijndael::decrypt(const char* in, char* out, unsigned n, int mode)
{
    assert(m_keyInitialized);
    const unsigned blocks = n / unsigned(m_blockSize);
    switch (m_blockSize) {
    case 16:
        decryptBlocks<4>(in, out, blocks, mode);
        break;
    case 24:
        decryptBlocks<6>(in, out, blocks, mode);
        break;
    default:
        decryptBlocks<8>(in, out, blocks, mode);
        break;
    }
}
