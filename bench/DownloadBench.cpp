// Six download threads fetching one large file in 32 KiB ranges through the file writer into
// a temporary data file, as an update does. Needs an HTTP server holding the file;
// bench/download-bench.sh starts nginx, runs this and the aria2c and curl baselines.
//   LUME_BENCH_HOST  host:port of the server
//   LUME_BENCH_SIZE  length of the file in bytes
//   LUME_BENCH_OUT   folder for the temporary files (the process works there)
// The server must hold the file at /base/bench/big.dat.gzf.1 (the URL form of a loose file
// "bench\big.dat" with version key 1).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/FileSystem/File.h"
#include "platform/Text.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/BlockSink.h"
#include "transfer/DownloadPool.h"
#include "transfer/FileCompletion.h"
#include "transfer/FileWritter.h"

namespace {

using namespace lume;

constexpr uint32_t kBlock = 32768;

class BenchRun : public BlockSink, public FileCompletion {
public:
    BenchRun() : writer(this), pool(this) {}
    ~BenchRun() override {
        pool.finishAll();
        writer.requestStop();
    }
    void onBlockDownloaded(BlockTask& task) override {
        writer.addTask(platform::narrowToWide(task.name), task.localPath, task.offset,
                       task.localPosition, std::move(task.buffer), task.type, task.blockIndex,
                       task.blockCount, task.passThrough1, task.passThrough2, task.versionKey);
    }
    bool onFileComplete(const std::u16string&, const std::u16string&, const std::u16string&,
                        const std::u16string&, int32_t, uint32_t, uint32_t, uint32_t) override {
        completed.fetch_add(1);
        return true;
    }

    std::atomic<int> completed{0};
    FileWritter writer;
    DownloadPool pool;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_SixThreadsThroughTheWriter(benchmark::State& state) {
    const char* host = std::getenv("LUME_BENCH_HOST");
    const char* sizeText = std::getenv("LUME_BENCH_SIZE");
    const char* out = std::getenv("LUME_BENCH_OUT");
    if (host == nullptr || sizeText == nullptr || out == nullptr) {
        state.SkipWithError(
            "set LUME_BENCH_HOST, LUME_BENCH_SIZE and LUME_BENCH_OUT "
            "(bench/download-bench.sh does)");
        return;
    }
    std::filesystem::current_path(out);
    const uint32_t length = static_cast<uint32_t>(std::strtoul(sizeText, nullptr, 10));
    const std::u16string localPath = u"bench\\big.dat";
    double cpuTotal = 0;
    uint64_t blocksTotal = 0;
    for (auto _ : state) {
        // The update run's planning, not timed: the data file at its length, the index.
        std::vector<BlockIndexEntry> plan;
        for (uint32_t at = 0, i = 0; at < length; at += kBlock, ++i) {
            plan.push_back({at, i, at, std::min(kBlock, length - at), 0});
        }
        {
            File data;
            File index;
            if (!data.create(localPath + u".gzf", 1, length) ||
                !index.open(localPath + u".igzf", 1) || !BlockIndexFile::write(index, 1, plan)) {
                state.SkipWithError("cannot create the temporary files");
                return;
            }
        }
        const auto blocks = static_cast<uint32_t>(plan.size());
        BenchRun run;
        run.writer.start();
        run.pool.setAddresses(host, "", "/base");

        const double cpuBefore = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        for (const BlockIndexEntry& e : plan) {
            HttpDownloader* thread = run.pool.getDownloadThread(30000, 5);
            thread->addTask(u"", localPath, e.offset, e.localPosition, e.size, 1, e.blockIndex,
                            blocks, length, length, 1);
        }
        while (run.completed.load() == 0 &&
               run.pool.failureTotal() + run.writer.failed() + run.writer.unfinished() == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpuTotal += cpuSeconds() - cpuBefore;
        blocksTotal += blocks;
        state.SetIterationTime(seconds);
        if (run.completed.load() != 1 || run.writer.written() != blocks) {
            state.SkipWithError("the download failed");
            return;
        }
    }
    const double gib = static_cast<double>(length) * static_cast<double>(state.iterations()) /
                       (1024.0 * 1024.0 * 1024.0);
    state.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(blocksTotal), benchmark::Counter::kIsRate);
    state.counters["cpu_s_per_GiB"] = cpuTotal / gib;
    state.SetBytesProcessed(static_cast<int64_t>(length) * state.iterations());
}

BENCHMARK(BM_SixThreadsThroughTheWriter)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
