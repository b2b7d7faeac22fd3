#include "engine/FileSystem/PackCheck.h"

#include <algorithm>

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

// Whether stored bytes whose checksum is right also give what the record says they hold:
// kept raw when the zip size is the size, otherwise a raw deflate stream of exactly size
// bytes. A member whose stored bytes fit the read buffer (they are still there from the
// checksum) and whose content fits kWholeUnpack is inflated in one call; a larger one is read
// again in chunks and inflated into a window that is thrown away, so that a member of any
// size costs no more memory than the window.
bool unpacksToSize(Stream& pack, const PackRecord& r, std::vector<uint8_t>& buffer,
                   std::vector<uint8_t>& content) {
    if (r.zipSize == r.size) {
        return true;
    }
    if (r.size > maxInflatedSize(r.zipSize)) {
        return false;
    }
    if (r.zipSize <= buffer.size() && r.size <= kWholeUnpack) {
        content.resize(r.size);
        return inflateWhole(std::span<const uint8_t>(buffer.data(), r.zipSize), content);
    }
    if (r.zipSize != 0 && !pack.seek(r.offset)) {
        return false;
    }
    uint32_t left = r.zipSize;
    std::vector<uint8_t> window(std::min<uint32_t>(std::max<uint32_t>(r.size, 1), kReadChunk) + 1);
    z_stream inflater;
    const InflateResult result = inflateRaw(
        inflater,
        [&](std::span<const uint8_t>& data) {
            const uint32_t chunk = std::min<uint32_t>(left, kReadChunk);
            uint32_t got = 0;
            if (chunk != 0 && (!pack.read(buffer.data(), chunk, &got) || got != chunk)) {
                return false;
            }
            data = std::span<const uint8_t>(buffer.data(), chunk);
            left -= chunk;
            return true;
        },
        window,
        [&](std::span<uint8_t>, std::span<uint8_t>& next) {
            next = window;  // counted, not kept
            return true;
        });
    return result.status == InflateStatus::kDone && result.produced == r.size;
}

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
    std::vector<uint8_t> content;
    uint64_t done = 0;
    for (const uint32_t i : order) {
        const PackRecord& r = index.records[i];
        uint32_t crc = 0;
        if (!storedChecksum(pack, r, buffer, crc) || crc != r.dataCrc ||
            (unpack && !unpacksToSize(pack, r, buffer, content))) {
            rotten.push_back(i);
        }
        done += r.zipSize;
        if (progress && progress(done)) {
            return false;
        }
    }
    std::sort(rotten.begin(), rotten.end());
    return true;
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
