// The file checksum over a large file (default 1 GiB, LUME_BENCH_CHECKSUM_MB to change),
// against its baseline: reading the same file into memory plus zlib's crc32 over it.
// The file is written once and read from the page cache, so the figures compare the
// code paths, not the disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/FileSystem/FileChecksum.h"
#include "engine/FileSystem/WinStream.h"
#include "platform/Text.h"

namespace {

size_t fileBytes() {
    const char* mb = std::getenv("LUME_BENCH_CHECKSUM_MB");
    return static_cast<size_t>(mb ? std::atoi(mb) : 1024) << 20;
}

const std::string& benchFile() {
    static const std::string path = [] {
        std::string p =
            (std::filesystem::temp_directory_path() / "lume-bench-checksum.bin").string();
        std::error_code ec;
        if (std::filesystem::file_size(p, ec) != fileBytes()) {
            std::vector<uint8_t> chunk(1 << 20);
            uint32_t x = 12345;
            for (auto& b : chunk) {
                x = x * 1103515245 + 12345;
                b = static_cast<uint8_t>(x >> 16);
            }
            int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            for (size_t done = 0; done < fileBytes(); done += chunk.size()) {
                if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
                    std::abort();
                }
            }
            close(fd);
        }
        return p;
    }();
    return path;
}

// The whole file into memory with large reads: the baseline's read half.
void readInto(std::vector<uint8_t>& buffer) {
    int fd = open(benchFile().c_str(), O_RDONLY);
    size_t done = 0;
    while (done < buffer.size()) {
        ssize_t n = read(fd, buffer.data() + done, buffer.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void BM_FileChecksum(benchmark::State& state) {
    const std::u16string path = platform::utf8ToWide(benchFile());
    for (auto _ : state) {
        lume::WinStream s;
        if (!s.open(path, 0)) {
            state.SkipWithError("open failed");
            return;
        }
        benchmark::DoNotOptimize(lume::fileChecksum(s));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileBytes()));
}

// The baseline, timed in its two halves: the read into memory, and crc32 over memory.
void BM_ReadIntoMemory(benchmark::State& state) {
    std::vector<uint8_t> buffer(fileBytes());
    for (auto _ : state) {
        readInto(buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileBytes()));
}

void BM_Crc32InMemory(benchmark::State& state) {
    std::vector<uint8_t> buffer(fileBytes());
    readInto(buffer);
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(0, buffer.data(), static_cast<uInt>(buffer.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileBytes()));
}

BENCHMARK(BM_FileChecksum)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_ReadIntoMemory)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_Crc32InMemory)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

}  // namespace

BENCHMARK_MAIN();
