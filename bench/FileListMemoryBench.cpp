// The memory and the log of a very large flist.xml: a list of about 200 MB (2 million
// files in 1,000 folders, below the 256 MiB cap) parsed as the update parses a downloaded
// list. Reports the peak memory the parse adds to what was resident before it (Linux: the
// peak is reset first), what the lists still hold after it, the peak per entry, and the log
// lines it writes per entry.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
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

// A line of /proc/self/status in KiB: "VmRSS:" the resident memory now, "VmHWM:" its peak.
long statusKib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size(), field) == 0) {
            return std::stol(line.substr(field.size()));
        }
    }
    return -1;
}

// Lowers the peak to the memory resident now, so that the peak measured after the parse is
// the parse's own and not the one building the list left behind (a peak only ever grows).
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// Counts the log lines instead of writing them.
struct LineCounter : Logger::Writter {
    void write(int, std::u16string_view) override { ++lines; }
    void write(int, std::string_view) override { ++lines; }
    uint64_t lines = 0;
};

void BM_ParseA200MBFileList(benchmark::State& state) {
    const std::string doc = makeList();
    LineCounter counter;
    size_t entries = 0;
    double added = 0;
    double kept = 0;
    for (auto _ : state) {
        Logger logger(&counter);
        FileListDownloader list;
        if (!resetPeak()) {
            state.SkipWithError("cannot reset the peak resident memory");
            break;
        }
        const long before = statusKib("VmRSS:");
        if (!list.parseBytes(doc)) {
            state.SkipWithError("parse failed");
            break;
        }
        added = static_cast<double>(statusKib("VmHWM:") - before) * 1024.0;
        kept = static_cast<double>(statusKib("VmRSS:") - before) * 1024.0;
        entries = list.regularList().size() + list.mustList().size();
    }
    state.counters["list_MB"] = static_cast<double>(doc.size()) / 1e6;
    state.counters["entries"] = static_cast<double>(entries);
    // The peak, and what the lists hold once the parse is over.
    state.counters["peak_added_MB"] = added / 1e6;
    state.counters["kept_MB"] = kept / 1e6;
    state.counters["peak_bytes_per_entry"] = added / static_cast<double>(entries);
    state.counters["log_lines_per_entry"] =
        static_cast<double>(counter.lines) / static_cast<double>(entries * state.iterations());
}
BENCHMARK(BM_ParseA200MBFileList)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace lume

BENCHMARK_MAIN();
