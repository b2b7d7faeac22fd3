// The memory and the log of a very large flist.xml: a list of about 200 MB (2 million
// files in 1,000 folders, below the 256 MiB cap) parsed as the update parses a downloaded
// list. Reports the peak memory the parse adds (ru_maxrss before and after) per byte of the
// list and per entry, and the log lines it writes per entry.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "engine/Kernel/Logger.h"
#include "update/FileListDownloader.h"

namespace lume {
namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 2000;

std::string makeList() {
    std::string doc = "<flist>";
    char line[256];
    for (int f = 0; f < kFolders; ++f) {
        doc += "<folder name=\"content" + std::to_string(f) + "\">";
        for (int i = 0; i < kFilesPerFolder; ++i) {
            std::snprintf(line, sizeof line,
                          "<file name=\"texture_%05d_%04d.dds\" crc=\"%d\" size=\"%d\" "
                          "zip=\"%d\" zipcrc=\"%d\"/>\n",
                          f, i, -1234567 - i, 123456 + i, 65432 + i, 987654321 - i);
            doc += line;
        }
        doc += "</folder>";
    }
    return doc + "</flist>";
}

long peakKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Counts the log lines instead of writing them.
struct LineCounter : Logger::Writter {
    void write(int, std::u16string_view) override { ++lines; }
    void write(int, std::string_view) override { ++lines; }
    uint64_t lines = 0;
};

void BM_ParseA200MBFileList(benchmark::State& state) {
    const std::string doc = makeList();
    const long before = peakKib();
    LineCounter counter;
    size_t entries = 0;
    for (auto _ : state) {
        Logger logger(&counter);
        FileListDownloader list;
        if (!list.parseBytes(doc)) {
            state.SkipWithError("parse failed");
            break;
        }
        entries = list.regularList().size() + list.mustList().size();
    }
    const double added = static_cast<double>(peakKib() - before) * 1024.0;
    state.counters["list_MB"] = static_cast<double>(doc.size()) / 1e6;
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["peak_added_MB"] = added / 1e6;
    state.counters["peak_bytes_per_entry"] = added / static_cast<double>(entries);
    state.counters["log_lines_per_entry"] =
        static_cast<double>(counter.lines) / static_cast<double>(entries * state.iterations());
}
BENCHMARK(BM_ParseA200MBFileList)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace lume

BENCHMARK_MAIN();
