// SHA-256 over every downloaded byte of a signed release: the launcher's (OpenSSL's libcrypto,
// with the processor's SHA instructions) against libsodium's portable one, and both against
// the file checksum (zlib's crc32) that checks the bytes anyway: bytes per second over
// buffers of the sizes the checks hash at a time (a 32 KiB block, a 256 KiB read).
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdint>
#include <vector>

#include "engine/Kernel/Checksum.h"
#include "update/ReleaseSigning.h"

namespace {

std::vector<uint8_t> noise(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245 + 12345;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

void Sha256Update(benchmark::State& state) {
    const std::vector<uint8_t> bytes = noise(static_cast<size_t>(state.range(0)));
    lume::Sha256 hash;
    for (auto _ : state) {
        hash.update(bytes.data(), bytes.size());
    }
    benchmark::DoNotOptimize(hash.finish());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(Sha256Update)->Arg(32 << 10)->Arg(256 << 10);

void LibsodiumSha256Update(benchmark::State& state) {
    const std::vector<uint8_t> bytes = noise(static_cast<size_t>(state.range(0)));
    if (sodium_init() < 0) {
        state.SkipWithError("libsodium does not start");
        return;
    }
    crypto_hash_sha256_state hash;
    crypto_hash_sha256_init(&hash);
    for (auto _ : state) {
        crypto_hash_sha256_update(&hash, bytes.data(), bytes.size());
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&hash, digest);
    benchmark::DoNotOptimize(digest);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(LibsodiumSha256Update)->Arg(32 << 10)->Arg(256 << 10);

void FileChecksumUpdate(benchmark::State& state) {
    const std::vector<uint8_t> bytes = noise(static_cast<size_t>(state.range(0)));
    uint32_t reg = lume::kChecksumStart;
    for (auto _ : state) {
        reg = lume::checksumUpdate(reg, bytes.data(), bytes.size());
    }
    benchmark::DoNotOptimize(reg);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(FileChecksumUpdate)->Arg(32 << 10)->Arg(256 << 10);

}  // namespace

BENCHMARK_MAIN();
