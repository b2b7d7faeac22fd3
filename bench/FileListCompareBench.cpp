// Comparing a sub file list with the record table of its local pack: 100,000 entries against
// 100,000 records. The list's order has nothing to do with the table's, so a literal "scan
// from the start for every entry" would cost entries x records; the comparison must stay near
// linear. Also measured: the whole local `load` (parse the .fxml from disk, read the pack's
// record table, compare), and the literal scan on smaller sizes for contrast.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "platform/Text.h"
#include "update/SubFileListDownloader.h"

namespace lume {
namespace {

namespace fs = std::filesystem;

struct Workload {
    std::vector<PackRecord> records;  // root first, as a pack holds them
    std::vector<SubFileEntry> entries;
};

// records records (one root); the list names 95% of the files in random order, a tenth of
// them changed, 2% as removals, plus 5% new files; 5% of the pack is not named at all.
Workload makeWorkload(size_t records) {
    std::mt19937 rng(7);
    Workload w;
    w.records.resize(records);
    w.records[0].nameKey = 0x12345678;
    w.records[0].parentIndex = kRootParent;
    for (size_t i = 1; i < records; ++i) {
        PackRecord& r = w.records[i];
        r.nameKey = static_cast<uint32_t>(rng());
        r.dataCrc = static_cast<uint32_t>(rng());
        r.blockSize = 0x1000;
        r.parentIndex = 0;
    }
    for (size_t i = 1; i < records; ++i) {
        if (i % 20 == 0) {
            continue;  // not named by the list: a leftover
        }
        SubFileEntry e;
        e.nameKey = w.records[i].nameKey;
        e.zipcrc = i % 10 == 0 ? w.records[i].dataCrc + 1 : w.records[i].dataCrc;
        e.blockSize = 0x1000;
        e.version = 1;
        e.operate = i % 50 == 0 ? 'D' : 'A';
        w.entries.push_back(e);
    }
    for (size_t i = 0; i < records / 20; ++i) {
        SubFileEntry e;
        e.nameKey = static_cast<uint32_t>(rng());
        e.blockSize = 0x800;
        w.entries.push_back(e);
    }
    std::shuffle(w.entries.begin(), w.entries.end(), rng);
    return w;
}

void BM_Compare(benchmark::State& state) {
    const Workload w = makeWorkload(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<PackPatchItem> items;
        std::vector<PackRecord> removals;
        SubFileListDownloader::compareRecords(w.entries, w.records, false, items, removals);
        benchmark::DoNotOptimize(items.data());
        benchmark::DoNotOptimize(removals.data());
    }
    state.counters["entries"] = static_cast<double>(w.entries.size());
    state.counters["records"] = static_cast<double>(w.records.size());
}
BENCHMARK(BM_Compare)->Arg(10000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The comparison exactly as it reads, for contrast: one scan from the start per entry.
void BM_LiteralScan(benchmark::State& state) {
    const Workload w = makeWorkload(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::list<PackRecord> table(w.records.begin(), w.records.end());
        size_t found = 0;
        for (const SubFileEntry& e : w.entries) {
            auto it = table.begin();
            while (it != table.end()) {
                if (it->parentIndex == kRootParent) {
                    it = table.erase(it);
                } else if (it->nameKey == e.nameKey) {
                    break;
                } else {
                    ++it;
                }
            }
            if (it != table.end()) {
                table.erase(it);
                ++found;
            }
        }
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_LiteralScan)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

std::string fxmlText(const Workload& w) {
    std::string s =
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<pak name=\"bench.pak\" "
        "data_crc=\"305419896\">\n";
    char line[256];
    for (const SubFileEntry& e : w.entries) {
        std::snprintf(line, sizeof line,
                      "  <subfile namekey=\"%x\" size=\"%x\" crc=\"%x\" zipSize=\"%x\" "
                      "zipcrc=\"%x\" blocksize=\"%x\" version=\"%x\" operate=\"%c\" bzip=\"1\"/>\n",
                      e.nameKey, e.blockSize, e.nameKey ^ 0x5A5A5A5A, e.blockSize / 2, e.zipcrc,
                      e.blockSize, e.version, e.operate);
        s += line;
    }
    return s + "</pak>\n";
}

std::string packText(const Workload& w) {
    PackHeader h;
    const auto n = static_cast<uint32_t>(w.records.size());
    h.recordCount = n;
    h.keyTableSize = 4 * n;
    h.freeTableOffset = 48 + 4 * n;
    h.recordTableOffset = h.freeTableOffset;
    h.recordTableSize = 36 * n;
    std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
    for (const PackRecord& r : w.records) {
        bytes.append(reinterpret_cast<const char*>(&r.nameKey), 4);
    }
    bytes.append(reinterpret_cast<const char*>(w.records.data()), sizeof(PackRecord) * n);
    bytes.resize(kIndexRegionSize, '\0');  // the index region of a real pack
    return bytes;
}

void BM_LoadFromDisk(benchmark::State& state) {
    const Workload w = makeWorkload(static_cast<size_t>(state.range(0)));
    const fs::path dir = fs::temp_directory_path() / "lume-bench-fxml";
    fs::create_directories(dir);
    const std::string list = fxmlText(w);
    std::ofstream(dir / "bench.fxml", std::ios::binary) << list;
    std::ofstream(dir / "bench.pak", std::ios::binary) << packText(w);
    const std::u16string listPath = platform::utf8ToWide((dir / "bench.fxml").string());
    const std::u16string packPath = platform::utf8ToWide((dir / "bench.pak").string());

    SubFileListDownloader sub;
    for (auto _ : state) {
        if (sub.load(listPath, packPath, false) != SubFileListDownloader::kCompared) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(sub.downloadItems().data());
    }
    state.counters["fxml_MiB"] = static_cast<double>(list.size()) / (1 << 20);
    state.counters["items"] = static_cast<double>(sub.downloadItems().size());
    state.counters["removals"] = static_cast<double>(sub.removals().size());
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(BM_LoadFromDisk)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lume

BENCHMARK_MAIN();
