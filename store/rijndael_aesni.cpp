#include "rijndael_aesni.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

// Only the functions marked so may use these instructions; the rest of the build stays generic.
#define VAULTRY_AESNI __attribute__((target("aes,sse4.1,ssse3")))

namespace RijndaelAesni {

namespace {

// The 32-byte state is two 16-byte lanes, columns 0-3 and 4-7. Rijndael-256 shifts rows 1-3 by
// 1, 3 and 4 columns across both lanes, AES's own ShiftRows by 1, 2 and 3 within a lane. Before
// each AESENC the blend swaps between the lanes the bytes that must cross over, and the shuffle
// turns rows 2 and 3 one column further, so that AES's ShiftRows puts every byte in place. Both
// lanes take the same blend and shuffle, as each needs the bytes the other gives up. Decryption
// is the mirror image around AESDEC's inverse ShiftRows.
VAULTRY_AESNI inline __m128i crossingBytes(bool inverse)
{
    return inverse ? _mm_setr_epi8(0, 0, 0, -128, 0, 0, -128, -128, 0, 0, -128, -128, 0, -128, -128, -128)
                   : _mm_setr_epi8(0, -128, -128, -128, 0, 0, -128, -128, 0, 0, -128, -128, 0, 0, 0, -128);
}

VAULTRY_AESNI inline __m128i rowRotation(bool inverse)
{
    return inverse ? _mm_setr_epi8(0, 1, 14, 15, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13, 10, 11)
                   : _mm_setr_epi8(0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3);
}

VAULTRY_AESNI inline __m128i load(const void* p)
{
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

VAULTRY_AESNI inline void store(void* p, __m128i x)
{
    _mm_storeu_si128(static_cast<__m128i*>(p), x);
}

// Rijndael-256's ShiftRows, less what AESENC or AESDEC will do.
VAULTRY_AESNI inline void shiftRows(__m128i& a, __m128i& b, __m128i crossing, __m128i rotation)
{
    const __m128i x = _mm_blendv_epi8(a, b, crossing);
    const __m128i y = _mm_blendv_epi8(b, a, crossing);
    a = _mm_shuffle_epi8(x, rotation);
    b = _mm_shuffle_epi8(y, rotation);
}

// N blocks side by side keep 2N independent AES instructions in flight.
template <bool Inverse, int N>
VAULTRY_AESNI inline void run(const __m128i (&k)[Rounds + 1][2], const char* in, char* out)
{
    const __m128i crossing = crossingBytes(Inverse);
    const __m128i rotation = rowRotation(Inverse);
    __m128i a[N];
    __m128i b[N];
    for (int j = 0; j < N; ++j) {
        a[j] = _mm_xor_si128(load(in + 32 * j), k[0][0]);
        b[j] = _mm_xor_si128(load(in + 32 * j + 16), k[0][1]);
    }
    for (int r = 1; r < Rounds; ++r) {
        for (int j = 0; j < N; ++j) {
            shiftRows(a[j], b[j], crossing, rotation);
            a[j] = Inverse ? _mm_aesdec_si128(a[j], k[r][0]) : _mm_aesenc_si128(a[j], k[r][0]);
            b[j] = Inverse ? _mm_aesdec_si128(b[j], k[r][1]) : _mm_aesenc_si128(b[j], k[r][1]);
        }
    }
    for (int j = 0; j < N; ++j) {
        shiftRows(a[j], b[j], crossing, rotation);
        a[j] = Inverse ? _mm_aesdeclast_si128(a[j], k[Rounds][0]) : _mm_aesenclast_si128(a[j], k[Rounds][0]);
        b[j] = Inverse ? _mm_aesdeclast_si128(b[j], k[Rounds][1]) : _mm_aesenclast_si128(b[j], k[Rounds][1]);
        store(out + 32 * j, a[j]);
        store(out + 32 * j + 16, b[j]);
    }
}

template <bool Inverse> VAULTRY_AESNI void blocks(const RoundKeys& keys, const char* in, char* out, std::size_t count)
{
    __m128i k[Rounds + 1][2];
    for (int r = 0; r <= Rounds; ++r) {
        k[r][0] = load(keys[r]);
        k[r][1] = load(keys[r] + 16);
    }
    for (; count >= 4; count -= 4, in += 4 * 32, out += 4 * 32)
        run<Inverse, 4>(k, in, out);
    for (; count > 0; --count, in += 32, out += 32)
        run<Inverse, 1>(k, in, out);
}

} // namespace

bool available()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
}

VAULTRY_AESNI uint32_t subWord(uint32_t w)
{
    // A broadcast word gives ShiftRows nothing to move, and a zero key leaves SubBytes alone.
    const __m128i s = _mm_aesenclast_si128(_mm_set1_epi32(int(w)), _mm_setzero_si128());
    return uint32_t(_mm_cvtsi128_si32(s));
}

VAULTRY_AESNI void makeDecryptionKeys(const RoundKeys& enc, RoundKeys& dec)
{
    for (int r = 0; r <= Rounds; ++r) {
        for (int half = 0; half < 32; half += 16) {
            __m128i k = load(enc[r] + half);
            if (r > 0 && r < Rounds)
                k = _mm_aesimc_si128(k);
            store(dec[Rounds - r] + half, k);
        }
    }
}

void encrypt(const RoundKeys& enc, const char* in, char* out, std::size_t count)
{
    blocks<false>(enc, in, out, count);
}

void decrypt(const RoundKeys& dec, const char* in, char* out, std::size_t count)
{
    blocks<true>(dec, in, out, count);
}

} // namespace RijndaelAesni

#else

// Other processors keep to the tables.
namespace RijndaelAesni {

bool available()
{
    return false;
}

uint32_t subWord(uint32_t w)
{
    return w;
}

void makeDecryptionKeys(const RoundKeys&, RoundKeys&) {}

void encrypt(const RoundKeys&, const char*, char*, std::size_t) {}

void decrypt(const RoundKeys&, const char*, char*, std::size_t) {}

} // namespace RijndaelAesni

#endif
