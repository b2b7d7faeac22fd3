#include "engine/FileSystem/PackJournal.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/Logger.h"
#include "platform/Files.h"

namespace lume {

namespace {

constexpr uint32_t kJournalMagic = 0x4E4A5021u;  // "!PJN"
// 1: the old bytes, for a rollback (table, then bytes). 2: the new bytes (bytes, then table).
constexpr uint32_t kRollbackVersion = 1;
constexpr uint32_t kRedoVersion = 2;
constexpr uint32_t kCopyChunk = 0x100000;
// In a version 2 table, a region whose length carries this bit is zeros, with no bytes in
// the journal (an index rewrite is mostly the zeros after its tables).
constexpr uint32_t kZeroRun = 0x80000000u;
constexpr uint32_t kMaxRegion = 0x40000000u;
// Zeros at the end of a write from this many on are recorded as a zero region.
constexpr uint32_t kMinZeroRun = 4096;

uint32_t lengthOf(const PackRegion& r) {
    return r.length & ~kZeroRun;
}
bool zeros(const PackRegion& r) {
    return (r.length & kZeroRun) != 0;
}

#pragma pack(push, 1)
// Followed by the regionCount (offset, length) pairs and the bytes of every region in order
// (version 1), or by the bytes and then the pairs (version 2, where a zero region has no
// bytes). Regions are played in order, a later one over an earlier. checksum covers the part
// written first, then the other, then the header's first five fields.
struct JournalHeader {
    uint32_t magic = kJournalMagic;
    uint32_t version = kRedoVersion;
    uint32_t packLength = 0;
    uint32_t regionCount = 0;
    uint32_t savedBytes = 0;
    uint32_t checksum = 0;
};
#pragma pack(pop)
static_assert(sizeof(JournalHeader) == 24);
static_assert(sizeof(PackRegion) == 8);

uint32_t headerChecksum(uint32_t body, const JournalHeader& h) {
    return checksumUpdate(body, &h, offsetof(JournalHeader, checksum));
}

// Checksums length bytes of the journal from its position; false when they cannot be read.
bool checksumBytes(WinStream& journal, uint64_t length, uint32_t& crc) {
    std::vector<uint8_t> buffer(kCopyChunk);
    for (uint64_t left = length; left > 0;) {
        const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(left, buffer.size()));
        uint32_t got = 0;
        if (!journal.read(buffer.data(), chunk, &got) || got != chunk) {
            return false;
        }
        crc = checksumUpdate(crc, buffer.data(), chunk);
        left -= chunk;
    }
    return true;
}

// A journal read back whole: false unless it is complete and its checksum holds. dataStart
// receives where the region bytes begin.
bool readJournal(WinStream& journal, JournalHeader& header, std::vector<PackRegion>& regions,
                 uint32_t& dataStart) {
    uint32_t got = 0;
    if (!journal.seek(0) || !journal.read(&header, sizeof header, &got) || got != sizeof header ||
        header.magic != kJournalMagic ||
        (header.version != kRollbackVersion && header.version != kRedoVersion)) {
        return false;
    }
    const uint64_t tableBytes = uint64_t{header.regionCount} * sizeof(PackRegion);
    if (journal.size() != sizeof header + tableBytes + header.savedBytes) {
        return false;
    }
    const bool tableFirst = header.version == kRollbackVersion;
    const uint32_t tableStart =
        static_cast<uint32_t>(sizeof header + (tableFirst ? 0 : header.savedBytes));
    dataStart = static_cast<uint32_t>(sizeof header + (tableFirst ? tableBytes : 0));
    regions.resize(header.regionCount);
    if (tableBytes != 0 &&
        (!journal.seek(tableStart) ||
         !journal.read(regions.data(), static_cast<uint32_t>(tableBytes), &got) ||
         got != tableBytes)) {
        return false;
    }
    uint64_t sum = 0;
    for (PackRegion& r : regions) {
        if (tableFirst && zeros(r)) {
            return false;  // version 1 has no zero regions
        }
        sum += zeros(r) ? 0 : r.length;
    }
    if (sum != header.savedBytes) {
        return false;
    }
    uint32_t crc = kChecksumStart;
    if (tableFirst) {
        crc = checksumUpdate(crc, regions.data(), tableBytes);
    }
    if (!journal.seek(dataStart) || !checksumBytes(journal, header.savedBytes, crc)) {
        return false;
    }
    if (!tableFirst) {
        crc = checksumUpdate(crc, regions.data(), tableBytes);
    }
    return headerChecksum(crc, header) == header.checksum;
}

// A part of a region that no later region writes over: what the region leaves in the pack.
struct FinalPart {
    uint32_t offset;  // in the pack
    uint32_t length;
    uint64_t data;  // where its bytes are in the journal's data (zero parts: unused)
    bool zero;
};

// The parts of the regions, in order, that survive the regions after them: playing only
// these gives the same pack, writes every byte once, and tells exactly whether the pack
// already held the change.
std::vector<FinalPart> finalParts(const std::vector<PackRegion>& regions) {
    std::vector<uint64_t> dataAt(regions.size());
    uint64_t data = 0;
    for (size_t i = 0; i < regions.size(); ++i) {
        dataAt[i] = data;
        data += zeros(regions[i]) ? 0 : lengthOf(regions[i]);
    }
    std::map<uint64_t, uint64_t> later;  // begin -> end, disjoint
    std::vector<FinalPart> parts;
    for (size_t i = regions.size(); i-- > 0;) {
        const uint64_t begin = regions[i].offset;
        const uint64_t end = begin + lengthOf(regions[i]);
        // The gaps of [begin, end) between the later regions, from the last back.
        auto it = later.upper_bound(begin);
        if (it != later.begin() && std::prev(it)->second > begin) {
            --it;
        }
        uint64_t at = begin;
        std::vector<FinalPart> gaps;
        for (; it != later.end() && it->first < end; ++it) {
            if (it->first > at) {
                gaps.push_back(FinalPart{static_cast<uint32_t>(at),
                                         static_cast<uint32_t>(it->first - at),
                                         dataAt[i] + (at - begin), zeros(regions[i])});
            }
            at = std::max(at, it->second);
        }
        if (at < end) {
            gaps.push_back(FinalPart{static_cast<uint32_t>(at), static_cast<uint32_t>(end - at),
                                     dataAt[i] + (at - begin), zeros(regions[i])});
        }
        parts.insert(parts.end(), gaps.rbegin(), gaps.rend());
        // Joins [begin, end) with the later regions it meets.
        uint64_t from = begin;
        uint64_t to = end;
        auto first = later.lower_bound(begin);
        if (first != later.begin() && std::prev(first)->second >= begin) {
            --first;
        }
        auto last = first;
        for (; last != later.end() && last->first <= end; ++last) {
            from = std::min(from, last->first);
            to = std::max(to, last->second);
        }
        later.erase(first, last);
        later.emplace(from, to);
    }
    std::reverse(parts.begin(), parts.end());
    return parts;
}

// Writes the journal's regions into the pack (its data starting at dataStart). With compare
// only where they differ from what the pack holds (changed tells whether anything was
// written); zero regions are always compared, as their place is mostly zero already. The
// journal is read in large steps: a merge of many small members makes many small parts.
bool writeRegions(platform::NativeFile& journal, uint32_t dataStart,
                  const std::vector<PackRegion>& regions, platform::NativeFile& pack, bool compare,
                  bool& changed) {
    const std::vector<FinalPart> parts = finalParts(regions);
    // Buffers no larger than the parts need: most changes are small.
    uint64_t data = 0;
    uint32_t largest = 0;
    uint32_t largestZero = 0;
    for (const FinalPart& part : parts) {
        data += part.zero ? 0 : part.length;
        uint32_t& most = part.zero ? largestZero : largest;
        most = std::max(most, part.length);
    }
    std::vector<uint8_t> window(std::min<uint64_t>(data, kCopyChunk));
    uint64_t windowAt = 0;
    uint64_t windowEnd = 0;
    const std::vector<uint8_t> zeroChunk(std::min(largestZero, kCopyChunk), 0);
    std::vector<uint8_t> held(std::min(std::max(largest, largestZero), kCopyChunk));
    for (const FinalPart& part : parts) {
        for (uint32_t done = 0; done < part.length;) {
            const uint32_t chunk = std::min<uint32_t>(part.length - done, kCopyChunk);
            const uint8_t* wanted = zeroChunk.data();
            if (!part.zero) {
                const uint64_t at = part.data + done;
                if (at < windowAt || at + chunk > windowEnd) {
                    uint32_t got = 0;
                    if (!journal.readAt(dataStart + at, window.data(),
                                        static_cast<uint32_t>(window.size()), got) ||
                        got < chunk) {
                        return false;
                    }
                    windowAt = at;
                    windowEnd = at + got;
                }
                wanted = window.data() + (at - windowAt);
            }
            const uint64_t to = uint64_t{part.offset} + done;
            uint32_t have = 0;
            const bool same = (compare || part.zero) && pack.readAt(to, held.data(), chunk, have) &&
                              have == chunk && std::memcmp(held.data(), wanted, chunk) == 0;
            if (!same) {
                if (!pack.writeAt(to, wanted, chunk)) {
                    return false;
                }
                changed = true;
            }
            done += chunk;
        }
    }
    return true;
}

// Plays the journal into the pack (where it differs), gives the pack the journal's length
// and syncs it. changed tells whether anything had to be written.
bool playBack(WinStream& journal, const JournalHeader& header,
              const std::vector<PackRegion>& regions, uint32_t dataStart, WinStream& pack,
              bool& changed) {
    changed = false;
    if (!writeRegions(journal.file(), dataStart, regions, pack.file(), true, changed)) {
        return false;
    }
    if (pack.size() != header.packLength) {
        changed = true;
        if (!pack.resize(header.packLength)) {
            return false;
        }
    }
    return pack.sync();
}

bool removeJournal(const std::u16string& path) {
    if (!File::deleteFile(path) && File::isFile(path)) {
        return false;
    }
    return static_cast<bool>(platform::syncParentDirectory(path));
}

// Plays the journal at path over the open pack and removes it; false (journal kept) on any
// failure.
bool restore(const std::u16string& path, WinStream& pack, bool& changed) {
    WinStream journal;
    JournalHeader header;
    std::vector<PackRegion> regions;
    uint32_t dataStart = 0;
    if (!journal.open(path, 0) || !readJournal(journal, header, regions, dataStart) ||
        !playBack(journal, header, regions, dataStart, pack, changed)) {
        return false;
    }
    journal.close();
    return removeJournal(path);
}

}  // namespace

// The stream a change writes through: each write goes to the end of the journal file and
// extends the last region when it continues it, so a block written in pieces is one region.
class PackJournal::Recorder : public Stream {
public:
    explicit Recorder(uint32_t packLength) : size_(packLength) {}

    bool open(const std::u16string& path) {
        // The header's place, written for real when the journal is sealed.
        const JournalHeader blank{};
        return journal_.open(path, 1) && journal_.write(&blank, sizeof blank);
    }

    bool read(void*, uint32_t, uint32_t* count) override {
        if (count != nullptr) {
            *count = 0;
        }
        return false;
    }
    bool write(const void* buffer, uint32_t length) override {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        uint32_t data = length;
        static constexpr uint8_t kZeros[256] = {};
        while (data >= sizeof kZeros &&
               std::memcmp(bytes + data - sizeof kZeros, kZeros, sizeof kZeros) == 0) {
            data -= sizeof kZeros;
        }
        while (data > 0 && bytes[data - 1] == 0) {
            --data;
        }
        if (length - data < kMinZeroRun) {
            data = length;
        }
        return (data == 0 || record(bytes, data, false)) &&
               (data == length || record(nullptr, length - data, true));
    }
    bool seek(uint32_t position) override {
        position_ = position;
        return true;
    }
    uint32_t tell() override { return position_; }

    // Adds length bytes (or zeros) at the position: to the last region when they continue
    // it, else as a new one.
    bool record(const uint8_t* bytes, uint32_t length, bool zero) {
        if (uint64_t{position_} + length > UINT32_MAX ||
            (!zero && (bytes_ + length > UINT32_MAX - sizeof(JournalHeader) ||
                       !journal_.write(bytes, length)))) {
            return false;
        }
        PackRegion* last = regions_.empty() ? nullptr : &regions_.back();
        if (last != nullptr && zeros(*last) == zero &&
            uint64_t{last->offset} + lengthOf(*last) == position_ &&
            uint64_t{lengthOf(*last)} + length <= kMaxRegion) {
            last->length += length;
        } else {
            // A single write beyond kMaxRegion is split.
            for (uint32_t left = length, at = position_; left > 0;) {
                const uint32_t part = std::min(left, kMaxRegion);
                regions_.push_back(PackRegion{at, part | (zero ? kZeroRun : 0)});
                at += part;
                left -= part;
            }
        }
        if (!zero) {
            crc_ = checksumUpdate(crc_, bytes, length);
            bytes_ += length;
        }
        position_ += length;
        size_ = std::max(size_, position_);
        return true;
    }
    uint32_t size() override { return size_; }

    // Appends the table and the header and syncs: afterwards the journal reads as whole.
    bool seal(uint32_t packLength) {
        JournalHeader header;
        header.packLength = std::max(packLength, size_);
        header.regionCount = static_cast<uint32_t>(regions_.size());
        header.savedBytes = static_cast<uint32_t>(bytes_);
        const uint64_t tableBytes = regions_.size() * sizeof(PackRegion);
        if (tableBytes > UINT32_MAX - sizeof header - bytes_) {
            return false;
        }
        const uint32_t crc = checksumUpdate(crc_, regions_.data(), tableBytes);
        header.checksum = headerChecksum(crc, header);
        const bool ok = (tableBytes == 0 ||
                         journal_.write(regions_.data(), static_cast<uint32_t>(tableBytes))) &&
                        journal_.seek(0) && journal_.write(&header, sizeof header) &&
                        journal_.sync();
        journal_.close();
        return ok && journal_.state() != WinStream::kFailed;
    }
    void close() { journal_.close(); }

    // The journal's bytes read back and written into the pack, region by region.
    bool apply(const std::u16string& path, WinStream& pack) {
        WinStream journal;
        bool changed = false;
        return journal.open(path, 0) && writeRegions(journal.file(), sizeof(JournalHeader),
                                                     regions_, pack.file(), false, changed);
    }

private:
    WinStream journal_;
    std::vector<PackRegion> regions_;
    uint32_t position_ = 0;
    uint32_t size_ = 0;
    uint64_t bytes_ = 0;
    uint32_t crc_ = kChecksumStart;
};

PackJournal::PackJournal(std::u16string_view packPath)
    : packPath_(packPath), path_(pathOf(packPath)) {}

PackJournal::~PackJournal() {
    abandon();
}

std::u16string PackJournal::pathOf(std::u16string_view packPath) {
    return std::u16string(packPath) + u".journal";
}

bool PackJournal::begin(uint32_t packLength) {
    abandon();
    recorder_ = std::make_unique<Recorder>(packLength);
    if (!recorder_->open(path_)) {
        logW_m1(u"%s的修改日志写入失败\r\n", packPath_);
        abandon();
        return false;
    }
    return true;
}

Stream& PackJournal::writes() {
    return *recorder_;
}

void PackJournal::abandon() {
    if (recorder_) {
        recorder_->close();
        recorder_.reset();
        File::deleteFile(path_);
    }
}

bool PackJournal::commit(WinStream& pack, uint32_t finalLength) {
    if (!recorder_) {
        return false;
    }
    const uint32_t oldLength = pack.size();
    if (!recorder_->seal(finalLength) || !platform::syncParentDirectory(path_)) {
        logW_m1(u"%s的修改日志写入失败\r\n", packPath_);
        abandon();
        return false;
    }
    // The change stands from here. Its space is taken before the pack's first write, so that
    // a full disk fails it with the pack as it was.
    if (finalLength > oldLength && !pack.reserve(finalLength)) {
        if (pack.error() == platform::kErrDiskFull ||
            pack.error() == platform::kErrHandleDiskFull) {
            logW_m1(u"%s所在磁盘空间不足\r\n", packPath_);
        }
        static_cast<void>(pack.resize(oldLength));
        abandon();
        return false;
    }
    std::unique_ptr<Recorder> recorder = std::move(recorder_);
    if (!recorder->apply(path_, pack)) {
        logW_m1(u"%s写入失败,下次打开时完成这次修改\r\n", packPath_);
        return false;
    }
    return true;
}

bool PackJournal::settle(WinStream& pack) {
    return pack.sync() && removeJournal(path_);
}

PackRecovery recoverPack(std::u16string_view packPath) {
    const std::u16string path = PackJournal::pathOf(packPath);
    if (!File::isFile(path)) {
        return PackRecovery::kClean;
    }
    {
        WinStream journal;
        JournalHeader header;
        std::vector<PackRegion> regions;
        uint32_t dataStart = 0;
        if (journal.open(path, 0) && !readJournal(journal, header, regions, dataStart)) {
            if (journal.error() != 0) {
                // A read that failed says nothing of whether the journal is whole: a whole
                // one may have been half played into the pack, so it is kept for a later
                // open and the pack is not trusted meanwhile.
                logW_m1(u"%s的修改日志无法回放\r\n", packPath);
                return PackRecovery::kFailed;
            }
            journal.close();
            // Never whole, so never synced, so the pack was never written.
            return removeJournal(path) ? PackRecovery::kDiscarded : PackRecovery::kFailed;
        }
    }
    if (!File::isFile(packPath)) {
        return removeJournal(path) ? PackRecovery::kDiscarded : PackRecovery::kFailed;
    }
    WinStream pack;
    bool changed = false;
    // Opening for writing fails while this process writes the pack (the change is then
    // still running, not interrupted).
    if (!pack.open(packPath, 2) || !restore(path, pack, changed)) {
        logW_m1(u"%s的修改日志无法回放\r\n", packPath);
        return PackRecovery::kFailed;
    }
    if (!changed) {
        return PackRecovery::kClean;
    }
    logW_m1(u"%s上次修改未完成,已按日志恢复\r\n", packPath);
    return PackRecovery::kReplayed;
}

bool deletePack(std::u16string_view packPath) {
    File::deleteFile(PackJournal::pathOf(packPath));
    return File::deleteFile(packPath) || !File::isFile(packPath);
}

}  // namespace lume
