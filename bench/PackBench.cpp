// The pack store at the scale of a real game: loading a 100,000-record index, merging
// 10,000 changed files into such a pack (bench/run-pack-merge-baseline.sh sets it against
// dd writing the same bytes), and reading a contained file through ZipStream against
// zlib's inflate alone on the same data.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/PackEntry.h"
#include "engine/FileSystem/PackIndex.h"
#if __has_include("engine/FileSystem/PackJournal.h")
#include "engine/FileSystem/PackJournal.h"
#endif
#include "engine/FileSystem/PackOperations.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kRecords = 100000;
constexpr uint32_t kBlock = 1024;
constexpr uint32_t kChanged = 10000;
constexpr uint32_t kGrown = 2000;  // of the changed files, these grow and move
constexpr uint32_t kGrownBlock = 1536;
constexpr uint32_t kListId = 42;

std::string bytesOf(uint32_t length, uint32_t seed) {
    std::string s(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

std::string rawDeflate(const std::string& input) {
    std::string out;
    lume::compressData(input, out, 6);
    return out;
}

// A working directory of its own, with the pack in data\ and the staged files in update\.
class Workspace {
public:
    Workspace() {
        std::string templ = (fs::temp_directory_path() / "lume-pack-bench-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) {
            std::abort();
        }
        dir_ = templ;
        fs::current_path(dir_);
        fs::create_directories("data");
    }
    ~Workspace() {
        std::error_code ec;
        fs::current_path(fs::temp_directory_path(), ec);
        fs::remove_all(dir_, ec);
    }

private:
    std::string dir_;
};

// Writes a pack of count records, each a block of kBlock stored bytes, and returns the
// records.
std::vector<lume::PackRecord> writePack(const std::u16string& path, uint32_t count) {
    lume::WinStream out;
    if (!out.open(path, 1) || !out.seek(lume::kIndexRegionSize)) {
        std::abort();
    }
    std::vector<lume::PackRecord> records(1);
    records[0].nameKey = 1;
    records[0].offset = lume::kIndexRegionSize;
    records[0].parentIndex = lume::kRootParent;
    const std::string block = bytesOf(kBlock, 7);
    uint32_t end = lume::kIndexRegionSize;
    for (uint32_t i = 0; i < count; ++i) {
        lume::PackRecord r;
        r.nameKey = 0x10000000u + i * 7919u;
        r.zipSize = r.size = r.blockSize = kBlock;
        r.offset = end;
        r.dataCrc = i;
        if (!out.write(block.data(), kBlock)) {
            std::abort();
        }
        end += kBlock;
        records.push_back(r);
    }
    const lume::BlankBlockPool noHoles;
    if (!lume::writePackIndex(out, records, noHoles, end)) {
        std::abort();
    }
    return records;
}

void BM_LoadIndex100k(benchmark::State& state) {
    Workspace workspace;
    writePack(u"data\\big.pak", kRecords);
    for (auto _ : state) {
        lume::PackEntry entry(1);
        lume::PackNameMap names;
        if (entry.open(u"data\\big.pak", names) == nullptr) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(names.size());
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_LoadIndex100k)->Unit(benchmark::kMillisecond);

// The writers' index load (table checks included) of the same pack.
void BM_LoadIndexForChange100k(benchmark::State& state) {
    Workspace workspace;
    writePack(u"data\\big.pak", kRecords);
    lume::WinStream pack;
    pack.open(u"data\\big.pak", 0);
    for (auto _ : state) {
        lume::PackIndex index;
        if (lume::loadPackIndex(pack, index) != lume::IndexLoadError::kNone) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(index.records.size());
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_LoadIndexForChange100k)->Unit(benchmark::kMillisecond);

// The pack's own sync after a merge, which the update makes once for all its packs after
// the other files' sync (MakeFileWritter::settle): the merge is durable without it, through
// its journal. Builds without the journal have nothing to settle.
void settlePack(const char16_t* path) {
#if __has_include("engine/FileSystem/PackJournal.h")
    if (lume::recoverPack(path) == lume::PackRecovery::kFailed) {
        std::abort();
    }
#else
    (void)path;
#endif
}

// 10,000 of 100,000 files change: 8,000 are rewritten in their blocks, 2,000 grow, move
// to the end of the pack and leave zeroed holes. The pack is restored between iterations.
// Argument 1: the pack is settled (synced) inside the timing too.
void BM_Merge10kInto100k(benchmark::State& state) {
    const bool settled = state.range(0) != 0;
    Workspace workspace;
    const std::vector<lume::PackRecord> records = writePack(u"data\\big.pak", kRecords);
    fs::copy_file("data/big.pak", "data/pristine.pak");
    lume::PackPatchList list;
    list.header.listId = kListId;
    list.header.mode = lume::kPackModeMerge;
    uint64_t written = lume::kIndexRegionSize;
    for (uint32_t i = 0; i < kChanged; ++i) {
        const lume::PackRecord& r = records[1 + i * (kRecords / kChanged)];
        const uint32_t block = i < kGrown ? kGrownBlock : kBlock;
        const std::string stored = bytesOf(block, i);
        lume::WinStream staged;
        if (!staged.open(lume::stagedFilePath(u"data\\big.pak", r.nameKey), 1) ||
            !staged.write(stored.data(), block)) {
            std::abort();
        }
        lume::PackPatchItem item;
        item.nameKey = r.nameKey;
        item.zipSize = item.size = item.blockSize = block;
        item.dataCrc = lume::checksumUpdate(lume::kChecksumStart, stored.data(), stored.size());
        list.items.push_back(item);
        written += block + (i < kGrown ? kBlock : 0);  // a moved block zeroes its old place
    }
    if (!list.save(u"list.ipatch")) {
        std::abort();
    }
    for (auto _ : state) {
        state.PauseTiming();
        fs::copy_file("data/pristine.pak", "data/big.pak", fs::copy_options::overwrite_existing);
        // A pack at rest on disk, as a player's is: the copy's dirty pages are written out
        // before the timing, so that a merge that syncs the pack pays for its own writes
        // only.
        ::sync();
        state.ResumeTiming();
        if (!lume::mergePatchToPack(u"data\\big.pak", u"list.ipatch", kListId)) {
            state.SkipWithError("merge failed");
            break;
        }
        if (!settled) {
            state.PauseTiming();
        }
        settlePack(u"data\\big.pak");
        if (!settled) {
            state.ResumeTiming();
        }
    }
    state.counters["bytes_written"] = static_cast<double>(written);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(written));
}
BENCHMARK(BM_Merge10kInto100k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One 4 MiB text-like file, raw-deflated, read whole through a pack's ZipStream (file
// read + inflate) against inflating the same stored bytes from memory with zlib alone.
struct InflateCase {
    std::string content;
    std::string stored;
};

const InflateCase& inflateCase() {
    static const InflateCase c = [] {
        InflateCase made;
        uint32_t x = 99;
        while (made.content.size() < 4u << 20) {
            x = x * 1103515245u + 12345u;
            made.content += "resource line " + std::to_string(x >> 20) + " of the game data\n";
        }
        made.stored = rawDeflate(made.content);
        return made;
    }();
    return c;
}

void BM_ReadThroughZipStream(benchmark::State& state) {
    const InflateCase& c = inflateCase();
    Workspace workspace;
    {
        lume::WinStream out;
        out.open(u"data\\z.pak", 1);
        out.seek(lume::kIndexRegionSize);
        if (!out.write(c.stored.data(), static_cast<uint32_t>(c.stored.size()))) {
            state.SkipWithError("cannot write the pack");
            return;
        }
        std::vector<lume::PackRecord> records(2);
        records[0].parentIndex = lume::kRootParent;
        records[0].nameKey = 5;
        records[1].nameKey = 6;
        records[1].zipSize = records[1].blockSize = static_cast<uint32_t>(c.stored.size());
        records[1].size = static_cast<uint32_t>(c.content.size());
        records[1].offset = lume::kIndexRegionSize;
        if (!lume::writePackIndex(out, records, lume::BlankBlockPool(),
                                  lume::kIndexRegionSize + records[1].zipSize)) {
            state.SkipWithError("cannot write the pack index");
            return;
        }
    }
    lume::PackEntry entry(5);
    lume::PackNameMap names;
    entry.open(u"data\\z.pak", names);
    const uint32_t key = 6;
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::string out(c.content.size(), '\0');
    for (auto _ : state) {
        std::unique_ptr<lume::ZipStream> s = entry.openFile(&key, 1, 0);
        uint32_t at = 0;
        uint32_t got = 0;
        while (at < out.size() &&
               s->read(out.data() + at, std::min<uint32_t>(chunk, out.size() - at), &got)) {
            at += got;
        }
        if (at != out.size()) {
            state.SkipWithError("short read");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(c.content.size()));
}
// Whole file in one read (inflates straight into the caller's buffer), and 64 KiB reads
// (inflates into the stream's own buffer, then copies).
BENCHMARK(BM_ReadThroughZipStream)->Arg(4 << 20)->Arg(64 << 10)->Unit(benchmark::kMillisecond);

void BM_ZlibInflateAlone(benchmark::State& state) {
    const InflateCase& c = inflateCase();
    std::string out(c.content.size(), '\0');
    for (auto _ : state) {
        z_stream z{};
        inflateInit2(&z, -MAX_WBITS);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(c.stored.data()));
        z.avail_in = static_cast<uInt>(c.stored.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        const int code = inflate(&z, Z_FINISH);
        inflateEnd(&z);
        if (code != Z_STREAM_END) {
            state.SkipWithError("inflate failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(c.content.size()));
}
BENCHMARK(BM_ZlibInflateAlone)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
