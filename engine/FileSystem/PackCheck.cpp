#include "engine/FileSystem/PackCheck.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"

namespace lume {

namespace {

constexpr uint32_t kReadChunk = 0x100000;
constexpr uint32_t kWholeUnpack = 0x1000000;

// The checksum of a record's stored bytes, read in large chunks; false when unreadable.
bool storedChecksum(Stream& pack, const PackRecord& r, std::vector<uint8_t>& buffer, uint32_t& crc,
                    Stream* copy = nullptr) {
    crc = kChecksumStart;
    if (r.zipSize != 0 && !pack.seek(r.offset)) {
        return false;
    }
    for (uint32_t left = r.zipSize; left > 0;) {
        const uint32_t chunk = std::min<uint32_t>(left, kReadChunk);
        uint32_t got = 0;
        if (!pack.read(buffer.data(), chunk, &got) || got != chunk) {
            return false;
        }
        crc = checksumUpdate(crc, buffer.data(), chunk);
        if (copy != nullptr && !copy->write(buffer.data(), chunk)) {
            return false;
        }
        left -= chunk;
    }
    return true;
}

// Whether a member too large to unpack in one call (see unpacksWhole) is whole: its stored
// bytes have their data checksum and are a raw deflate stream of exactly size bytes. One
// pass reads them in chunks, each chunk checksummed and inflated into a window that is thrown
// away, so that a member of any size is read once and costs no more memory than the window.
bool storedAndUnpacked(Stream& pack, const PackRecord& r, std::vector<uint8_t>& buffer) {
    if (r.size > maxInflatedSize(r.zipSize) || (r.zipSize != 0 && !pack.seek(r.offset))) {
        return false;
    }
    uint32_t left = r.zipSize;
    uint32_t crc = kChecksumStart;
    const auto next = [&](std::span<const uint8_t>& data) {
        const uint32_t chunk = std::min<uint32_t>(left, kReadChunk);
        uint32_t got = 0;
        if (chunk != 0 && (!pack.read(buffer.data(), chunk, &got) || got != chunk)) {
            return false;
        }
        crc = checksumUpdate(crc, buffer.data(), chunk);
        data = std::span<const uint8_t>(buffer.data(), chunk);
        left -= chunk;
        return true;
    };
    std::vector<uint8_t> window(std::min<uint32_t>(std::max<uint32_t>(r.size, 1), kReadChunk) + 1);
    z_stream inflater;
    const InflateResult result =
        inflateRaw(inflater, next, window, [&](std::span<uint8_t>, std::span<uint8_t>& out) {
            out = window;  // counted, not kept
            return true;
        });
    if (result.status != InflateStatus::kDone || result.produced != r.size) {
        return false;  // rotten whatever its checksum: the rest need not be read
    }
    // Bytes after the end of the stream still count for the checksum.
    for (std::span<const uint8_t> rest; left > 0;) {
        if (!next(rest)) {
            return false;
        }
    }
    return crc == r.dataCrc;
}

// Whether stored bytes fit for unpacking in one call: whole in the read buffer, and a content
// of at most kWholeUnpack bytes.
bool unpacksWhole(const PackRecord& r, const std::vector<uint8_t>& buffer) {
    return r.zipSize != r.size && r.zipSize <= buffer.size() && r.size <= kWholeUnpack &&
           r.size <= maxInflatedSize(r.zipSize);
}

// Unpacks members on the other cores while the reader goes on reading: inflating is what
// the check costs (one core unpacks about 440 MB of content a second, reading from the page
// cache is ten times that). At most twice as many members as workers wait, each at most
// one read buffer; when that many wait, the reader unpacks the member itself.
class UnpackPool {
public:
    explicit UnpackPool(size_t workers) : limit_(2 * workers) {
        for (size_t i = 0; i < workers; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }
    ~UnpackPool() { finish(); }
    UnpackPool(const UnpackPool&) = delete;
    UnpackPool& operator=(const UnpackPool&) = delete;

    // Sets *verdict to 1 when stored does not unpack to size bytes (now or on a worker).
    void add(std::span<const uint8_t> stored, uint32_t size, uint8_t* verdict) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (jobs_.size() < limit_) {
                jobs_.push_back(
                    Job{std::vector<uint8_t>(stored.begin(), stored.end()), size, verdict});
                ready_.notify_one();
                return;
            }
        }
        content_.resize(size);
        *verdict = inflateWhole(stored, content_) ? 0 : 1;
    }
    // Waits for the members given so far; the workers end.
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) {
            t.join();
        }
        threads_.clear();
    }

private:
    struct Job {
        std::vector<uint8_t> stored;
        uint32_t size;
        uint8_t* verdict;
    };

    void work() {
        std::vector<uint8_t> content;
        while (true) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return done_ || !jobs_.empty(); });
                if (jobs_.empty()) {
                    return;  // done, and nothing left
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            content.resize(job.size);
            *job.verdict = inflateWhole(job.stored, content) ? 0 : 1;
        }
    }

    const size_t limit_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    bool done_ = false;
    std::vector<uint8_t> content_;  // the reader's own
    std::vector<std::thread> threads_;
};

}  // namespace

PackInspection inspectPack(std::u16string_view path) {
    PackInspection out;
    WinStream pack;
    if (!pack.open(path, 0)) {
        out.why = "cannot be opened";
        return out;
    }
    if (loadPackIndex(pack, out.index, &out.why) != IndexLoadError::kNone) {
        if (out.why.empty()) {
            out.why = "its index cannot be read";
        }
        return out;
    }
    out.readable = true;
    out.crcConsistent = indexCrc(out.index.records) == out.index.header.indexCrc;
    out.damage = checkPackStructure(out.index, &out.why);
    return out;
}

uint64_t storedBytes(const PackIndex& index) {
    uint64_t total = 0;
    for (const PackRecord& r : index.records) {
        if (r.parentIndex != kRootParent) {
            total += r.zipSize;
        }
    }
    return total;
}

bool findRottenMembers(Stream& pack, const PackIndex& index, std::vector<uint32_t>& rotten,
                       const PackCheckProgress& progress, bool unpack) {
    rotten.clear();
    // In the order of the blocks, so that the disk reads forward.
    std::vector<uint32_t> order;
    order.reserve(index.records.size());
    for (uint32_t i = 0; i < index.records.size(); ++i) {
        if (index.records[i].parentIndex != kRootParent) {
            order.push_back(i);
        }
    }
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return index.records[a].offset < index.records[b].offset;
    });
    std::vector<uint8_t> buffer(kReadChunk);
    // One verdict per record, 1 for rotten; a worker writes only the verdicts of its members.
    std::vector<uint8_t> bad(index.records.size(), 0);
    std::optional<UnpackPool> pool;
    if (unpack) {
        pool.emplace(std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4) - 1);
    }
    uint64_t done = 0;
    bool stopped = false;
    for (const uint32_t i : order) {
        const PackRecord& r = index.records[i];
        uint32_t crc = 0;
        const bool whole = unpack && unpacksWhole(r, buffer);
        if (unpack && r.zipSize != r.size && !whole) {
            bad[i] = storedAndUnpacked(pack, r, buffer) ? 0 : 1;
        } else if (!storedChecksum(pack, r, buffer, crc) || crc != r.dataCrc) {
            bad[i] = 1;
        } else if (whole) {
            pool->add(std::span<const uint8_t>(buffer.data(), r.zipSize), r.size, &bad[i]);
        }
        done += r.zipSize;
        if (progress && progress(done)) {
            stopped = true;
            break;
        }
    }
    if (pool) {
        pool->finish();
    }
    for (uint32_t i = 0; i < bad.size(); ++i) {
        if (bad[i] != 0) {
            rotten.push_back(i);
        }
    }
    return !stopped;
}

bool salvageMember(Stream& pack, const PackRecord& record, uint32_t expectedCrc,
                   std::u16string_view target) {
    const std::u16string temporary = std::u16string(target) + u".tmp";
    std::vector<uint8_t> buffer(
        std::min<uint32_t>(std::max<uint32_t>(record.zipSize, 1), kReadChunk));
    uint32_t crc = 0;
    bool ok = false;
    {
        WinStream out;
        ok = out.open(temporary, 1) && storedChecksum(pack, record, buffer, crc, &out) &&
             crc == expectedCrc && out.sync();
    }
    ok = ok && File::replaceDurably(temporary, target);
    if (!ok) {
        File::deleteFile(temporary);
    }
    return ok;
}

}  // namespace lume
