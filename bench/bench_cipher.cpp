// Sealing throughput, and the raw cipher (tables and AES instructions) against libmcrypt's Rijndael
// and OpenSSL's AES when present.
#include "store/rijndael.h"
#include "store/sealeddata.h"

#include <QByteArray>
#include <QString>

#include <benchmark/benchmark.h>

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

void BM_Seal(benchmark::State& state)
{
    const QByteArray plain = sample(state.range(0));
    for (auto _ : state) {
        QByteArray data = plain;
        encryptData(data, QStringLiteral("bench key"));
        benchmark::DoNotOptimize(data.constData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
// Wall-clock time: sealing large arrays spreads over threads.
BENCHMARK(BM_Seal)->Arg(1 << 20)->Arg(32 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Open(benchmark::State& state)
{
    QByteArray sealed = sample(state.range(0));
    encryptData(sealed, QStringLiteral("bench key"));
    for (auto _ : state) {
        QByteArray data = sealed;
        decryptData(data, QStringLiteral("bench key"));
        benchmark::DoNotOptimize(data.constData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Open)->Arg(1 << 20)->Arg(32 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Args: key length, block size, 1 to decrypt, 1 for the AES instructions (32-byte blocks only).
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
    ->Args({16, 16, 0, 0})
    ->Args({16, 16, 1, 0})
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
void BM_OpenSslAes128Ecb(benchmark::State& state)
{
    const QByteArray in = sample(RawSize);
    QByteArray out(RawSize + 16, '\0');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char*>(benchKey), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int written = 0;
        EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &written,
                          reinterpret_cast<const unsigned char*>(in.constData()), RawSize);
        benchmark::DoNotOptimize(written);
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * RawSize);
}
BENCHMARK(BM_OpenSslAes128Ecb);
#endif

} // namespace

BENCHMARK_MAIN();
