// Sealing throughput on one core and on two in the same run, and the raw cipher (tables and AES
// instructions) against libmcrypt's Rijndael and OpenSSL's AES-256 when present.
//
// Every array a benchmark makes gets fresh pages from the kernel, as the first seal or open of a
// large list in a running program does: main() stops malloc from keeping freed large blocks.
#include "store/rijndael.h"
#include "store/sealeddata.h"

#include "cores.h"

#include <QByteArray>
#include <QString>

#include <benchmark/benchmark.h>
#include <malloc.h>

#ifdef VAULTRY_HAVE_MCRYPT
#include <mcrypt.h>
#endif
#ifdef VAULTRY_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

constexpr int RawSize = 1 << 20;

QByteArray sample(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

const char benchKey[33] = "0123456789abcdefghijklmnopqrstuv";

// Args: size, cores (0: all). Above 1 MiB sealing shares the blocks among one thread per
// processor; on one core those threads take turns, so the two figures compare the sharing.
void BM_Seal(benchmark::State& state)
{
    const QByteArray plain = sample(state.range(0));
    const Cores cores(int(state.range(1)));
    for (auto _ : state) {
        QByteArray data = plain;
        encryptData(data, QStringLiteral("bench key"));
        benchmark::DoNotOptimize(data.constData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
// Wall-clock time, since the work is spread over threads.
BENCHMARK(BM_Seal)
    ->ArgNames({"size", "cores"})
    ->Args({1 << 20, 0})
    ->Args({32 << 20, 1})
    ->Args({32 << 20, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Args: size, cores (0: all). Opening 1 MiB already shares: its ciphertext is a block over.
void BM_Open(benchmark::State& state)
{
    QByteArray sealed = sample(state.range(0));
    encryptData(sealed, QStringLiteral("bench key"));
    const Cores cores(int(state.range(1)));
    for (auto _ : state) {
        QByteArray data = sealed;
        decryptData(data, QStringLiteral("bench key"));
        benchmark::DoNotOptimize(data.constData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Open)
    ->ArgNames({"size", "cores"})
    ->Args({1 << 20, 1})
    ->Args({1 << 20, 0})
    ->Args({32 << 20, 1})
    ->Args({32 << 20, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The cipher alone over 32 MiB into a fresh array on one thread: what sealing does without
// its framing and without sharing, for comparing with BM_Seal above.
void BM_RijndaelEcbFresh(benchmark::State& state)
{
    const QByteArray in = sample(state.range(0));
    Rijndael cipher;
    cipher.makeKey(benchKey, Rijndael::zeroChain, 32, 32);
    for (auto _ : state) {
        QByteArray out(in.size(), Qt::Uninitialized);
        cipher.encrypt(in.constData(), out.data(), unsigned(in.size()), Rijndael::ECB);
        benchmark::DoNotOptimize(out.constData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RijndaelEcbFresh)->ArgName("size")->Arg(32 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Args: key length, block size, 1 to decrypt, 1 for the AES instructions (32-byte blocks only).
// In the cache: 1 MiB in and out, the same arrays every time.
void BM_RijndaelEcb(benchmark::State& state)
{
    const QByteArray in = sample(RawSize);
    QByteArray out(RawSize, '\0');
    const bool aesni = state.range(3);
    if (aesni && !Rijndael::accelerationAvailable()) {
        state.SkipWithError("no AES instructions");
        return;
    }
    Rijndael::setAcceleration(aesni);
    Rijndael cipher;
    cipher.makeKey(benchKey, Rijndael::zeroChain, int(state.range(0)), int(state.range(1)));
    Rijndael::setAcceleration(true);
    for (auto _ : state) {
        if (state.range(2))
            cipher.decrypt(in.constData(), out.data(), RawSize, Rijndael::ECB);
        else
            cipher.encrypt(in.constData(), out.data(), RawSize, Rijndael::ECB);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * RawSize);
}
BENCHMARK(BM_RijndaelEcb)
    ->ArgNames({"key", "block", "dec", "aesni"})
    ->Args({32, 32, 0, 0})
    ->Args({32, 32, 1, 0})
    ->Args({32, 32, 0, 1})
    ->Args({32, 32, 1, 1})
    ->Args({32, 16, 0, 0}) // AES-256: 14 rounds, as Rijndael with 32-byte blocks has
    ->Args({32, 16, 1, 0})
    ->Args({24, 24, 0, 0});

#ifdef VAULTRY_HAVE_MCRYPT
// Arg: 1 to decrypt.
void BM_McryptRijndael256Ecb(benchmark::State& state)
{
    QByteArray buffer = sample(RawSize);
    MCRYPT td = mcrypt_module_open(const_cast<char*>("rijndael-256"), nullptr, const_cast<char*>("ecb"), nullptr);
    if (td == MCRYPT_FAILED) {
        state.SkipWithError("rijndael-256 not available");
        return;
    }
    mcrypt_generic_init(td, const_cast<char*>(benchKey), 32, nullptr);
    for (auto _ : state) {
        // libmcrypt works in place.
        if (state.range(0))
            mdecrypt_generic(td, buffer.data(), RawSize);
        else
            mcrypt_generic(td, buffer.data(), RawSize);
        benchmark::ClobberMemory();
    }
    mcrypt_generic_deinit(td);
    mcrypt_module_close(td);
    state.SetBytesProcessed(state.iterations() * RawSize);
}
BENCHMARK(BM_McryptRijndael256Ecb)->ArgName("dec")->Arg(0)->Arg(1);
#endif

#ifdef VAULTRY_HAVE_OPENSSL
// AES-256 (14 rounds, the same as Rijndael with 32-byte key and block) with OpenSSL's AES
// instructions: the fastest a 16-byte-block cipher of that strength runs here. Arg: 1 to decrypt.
void BM_OpenSslAes256Ecb(benchmark::State& state)
{
    const QByteArray in = sample(RawSize);
    QByteArray out(RawSize + 16, '\0');
    const bool decrypt = state.range(0);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char*>(benchKey), nullptr,
                      decrypt ? 0 : 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int written = 0;
        EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &written,
                         reinterpret_cast<const unsigned char*>(in.constData()), RawSize);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * RawSize);
}
BENCHMARK(BM_OpenSslAes256Ecb)->ArgName("dec")->Arg(0)->Arg(1);
#endif

} // namespace

int main(int argc, char** argv)
{
    // Large blocks are always mapped afresh and given back when freed (a fixed threshold also
    // stops malloc from raising it after the first free), so no benchmark reuses warm pages.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
