// SHA-1 throughput on 1 MiB buffers: our dispatched digest, each compression
// path on its own, and OpenSSL as the yardstick.

#include "metainfo/MessageDigests.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

constexpr size_t BufferBytes = size_t{1} << 20;

const std::string& buffer()
{
    static const std::string data = [] {
        std::mt19937 rng(42);
        std::string bytes(BufferBytes, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng() & 0xFF);
        return bytes;
    }();
    return data;
}

void setBytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(BufferBytes));
}

void BM_TSHA1(benchmark::State& state)
{
    const std::string& data = buffer();
    state.SetLabel(sorvena::TSHA1::ImplementationName());
    for (auto _ : state) {
        sorvena::TSHA1 sha;
        sha.TransformText(data);
        sha.Complete();
        benchmark::DoNotOptimize(sha.DigestBytes());
    }
    setBytes(state);
}

void compressLoop(benchmark::State& state, void (*compress)(uint32_t*, const uint8_t*, size_t))
{
    const auto* blocks = reinterpret_cast<const uint8_t*>(buffer().data());
    for (auto _ : state) {
        uint32_t chaining[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
        compress(chaining, blocks, BufferBytes / 64);
        benchmark::DoNotOptimize(chaining);
    }
    setBytes(state);
}

void BM_CompressPortable(benchmark::State& state)
{
    compressLoop(state, sorvena::detail::Sha1CompressPortable);
}

void BM_CompressShaNi(benchmark::State& state)
{
    if (!sorvena::detail::Sha1NiAvailable()) {
        state.SkipWithError("SHA instructions not supported by this processor");
        return;
    }
    compressLoop(state, sorvena::detail::Sha1CompressNi);
}

void BM_OpenSslSHA1(benchmark::State& state)
{
    const std::string& data = buffer();
    unsigned char out[SHA_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
        benchmark::DoNotOptimize(out);
    }
    setBytes(state);
}

void BM_OpenSslEvp(benchmark::State& state)
{
    const std::string& data = buffer();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLength = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, out, &outLength);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    setBytes(state);
}

}  // namespace

BENCHMARK(BM_TSHA1);
BENCHMARK(BM_CompressPortable);
BENCHMARK(BM_CompressShaNi);
BENCHMARK(BM_OpenSslSHA1);
BENCHMARK(BM_OpenSslEvp);

BENCHMARK_MAIN();
