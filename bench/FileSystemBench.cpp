// Throughput of the chunked zero fill and stream copy between real files, and proof that
// neither allocates: the pack store zero-fills 8 MiB blocks and copies whole packs with them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <string>

#include "engine/FileSystem/MemoryStream.h"
#include "engine/FileSystem/WinStream.h"

// Every allocation of this program is counted, so a measured call can be checked for none.
namespace {
std::atomic<uint64_t> g_allocations{0};

void* countedAlloc(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
// Out of line so the compiler does not pair free() with the operator new it sees inlined.
[[gnu::noinline]] void countedFree(void* p) {
    std::free(p);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = countedAlloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAlloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAlloc(size);
}
void operator delete(void* p) noexcept {
    countedFree(p);
}
void operator delete[](void* p) noexcept {
    countedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
    countedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    countedFree(p);
}

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kZeroFill = 8u << 20;
constexpr uint32_t kCopy = 64u << 20;

// A scratch folder for the whole run, removed at exit.
class ScratchDir {
public:
    ScratchDir() {
        std::random_device random;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path() /
                ("lume-bench-" + std::to_string(stamp) + "-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    // Engine paths use backslashes; the platform turns them into native ones.
    std::u16string file(const std::string& name) const {
        const std::string native = (path_ / name).string();
        std::u16string wide(native.begin(), native.end());  // the temp path is ASCII
        return wide;
    }

private:
    fs::path path_;
};

ScratchDir& scratch() {
    static ScratchDir dir;
    return dir;
}

void reportAllocations(benchmark::State& state, uint64_t allocations) {
    state.counters["allocations"] = static_cast<double>(allocations);
    if (allocations != 0) {
        state.SkipWithError("the measured call allocated memory");
    }
}

void BM_WriteZerosFile(benchmark::State& state) {
    const std::u16string path = scratch().file("zeros.bin");
    uint64_t allocations = 0;
    // Opening (and truncating the last round's file) is not what is measured; dd does not
    // count it either.
    lume::WinStream out;
    for (auto _ : state) {
        state.PauseTiming();
        const bool opened = out.open(path, 1);
        state.ResumeTiming();
        if (!opened) {
            state.SkipWithError("cannot create the output file");
            return;
        }
        const uint64_t before = g_allocations.load();
        const bool ok = out.writeZeros(kZeroFill);
        allocations += g_allocations.load() - before;
        if (!ok) {
            state.SkipWithError("writeZeros failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kZeroFill);
    reportAllocations(state, allocations);
}
BENCHMARK(BM_WriteZerosFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CopyFromFile(benchmark::State& state) {
    const std::u16string from = scratch().file("source.bin");
    const std::u16string to = scratch().file("copy.bin");
    {
        lume::WinStream source;
        std::string block(1u << 20, '\0');
        std::mt19937 random(42);
        for (char& c : block) {
            c = static_cast<char>(random());
        }
        if (!source.open(from, 1)) {
            state.SkipWithError("cannot create the source file");
            return;
        }
        for (uint32_t done = 0; done < kCopy; done += static_cast<uint32_t>(block.size())) {
            if (!source.write(block.data(), static_cast<uint32_t>(block.size()))) {
                state.SkipWithError("cannot write the source file");
                return;
            }
        }
    }
    uint64_t allocations = 0;
    lume::WinStream source;
    lume::WinStream out;
    for (auto _ : state) {
        state.PauseTiming();
        const bool opened = source.open(from, 0) && out.open(to, 1);
        state.ResumeTiming();
        if (!opened) {
            state.SkipWithError("cannot open the files");
            return;
        }
        const uint64_t before = g_allocations.load();
        const bool ok = out.copyFrom(source, kCopy);
        allocations += g_allocations.load() - before;
        if (!ok) {
            state.SkipWithError("copyFrom failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kCopy);
    reportAllocations(state, allocations);
}
BENCHMARK(BM_CopyFromFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same zero fill into memory: the cost of the chunk loop without the file system.
void BM_WriteZerosMemory(benchmark::State& state) {
    lume::MemoryStream memory(kZeroFill);
    uint64_t allocations = 0;
    for (auto _ : state) {
        memory.seek(0);
        const uint64_t before = g_allocations.load();
        const bool ok = memory.writeZeros(kZeroFill);
        allocations += g_allocations.load() - before;
        benchmark::DoNotOptimize(memory.data());
        if (!ok) {
            state.SkipWithError("writeZeros failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kZeroFill);
    reportAllocations(state, allocations);
}
BENCHMARK(BM_WriteZerosMemory)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // A zero count means nothing if the replaced operator new is not the one in use.
    const uint64_t before = g_allocations.load();
    delete new int(1);
    if (g_allocations.load() == before) {
        std::fprintf(stderr, "allocation counting is not active\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
