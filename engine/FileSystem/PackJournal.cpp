#include "engine/FileSystem/PackJournal.h"

#include <algorithm>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/Logger.h"
#include "platform/Files.h"

namespace lume {

namespace {

constexpr uint32_t kJournalMagic = 0x4E4A5021u;  // "!PJN"
constexpr uint32_t kJournalVersion = 1;
constexpr uint32_t kCopyChunk = 0x40000;

#pragma pack(push, 1)
// Followed by regionCount (offset, length) pairs, then the saved bytes of every region in
// order. checksum covers the pairs, the bytes and then the header's first five fields.
struct JournalHeader {
    uint32_t magic = kJournalMagic;
    uint32_t version = kJournalVersion;
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

// Sorted, overlaps and neighbours joined, clipped to the pack's length, empty ones gone.
std::vector<PackRegion> normalise(std::vector<PackRegion> regions, uint32_t packLength) {
    std::vector<PackRegion> out;
    std::sort(regions.begin(), regions.end(),
              [](const PackRegion& a, const PackRegion& b) { return a.offset < b.offset; });
    for (const PackRegion& r : regions) {
        if (r.offset >= packLength || r.length == 0) {
            continue;
        }
        const uint32_t end =
            static_cast<uint32_t>(std::min<uint64_t>(uint64_t{r.offset} + r.length, packLength));
        if (!out.empty() && r.offset <= uint64_t{out.back().offset} + out.back().length) {
            const uint64_t last = uint64_t{out.back().offset} + out.back().length;
            out.back().length =
                static_cast<uint32_t>(std::max<uint64_t>(last, end) - out.back().offset);
        } else {
            out.push_back(PackRegion{r.offset, end - r.offset});
        }
    }
    return out;
}

// A journal read back whole: false unless it is complete and its checksum holds.
bool readJournal(WinStream& journal, JournalHeader& header, std::vector<PackRegion>& regions) {
    uint32_t got = 0;
    if (!journal.seek(0) || !journal.read(&header, sizeof header, &got) || got != sizeof header ||
        header.magic != kJournalMagic || header.version != kJournalVersion) {
        return false;
    }
    const uint64_t expected =
        sizeof header + uint64_t{header.regionCount} * sizeof(PackRegion) + header.savedBytes;
    if (journal.size() != expected) {
        return false;
    }
    regions.resize(header.regionCount);
    const uint32_t tableBytes = header.regionCount * static_cast<uint32_t>(sizeof(PackRegion));
    if (tableBytes != 0 && (!journal.read(regions.data(), tableBytes, &got) || got != tableBytes)) {
        return false;
    }
    uint64_t sum = 0;
    for (const PackRegion& r : regions) {
        sum += r.length;
    }
    if (sum != header.savedBytes) {
        return false;
    }
    uint32_t crc = checksumUpdate(kChecksumStart, regions.data(), tableBytes);
    std::vector<uint8_t> buffer(kCopyChunk);
    for (uint64_t left = header.savedBytes; left > 0;) {
        const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(left, buffer.size()));
        if (!journal.read(buffer.data(), chunk, &got) || got != chunk) {
            return false;
        }
        crc = checksumUpdate(crc, buffer.data(), chunk);
        left -= chunk;
    }
    return headerChecksum(crc, header) == header.checksum;
}

// Writes the saved bytes back over the pack, restores its length and syncs it.
bool playBack(WinStream& journal, const JournalHeader& header,
              const std::vector<PackRegion>& regions, WinStream& pack) {
    const uint32_t dataStart =
        sizeof header + header.regionCount * static_cast<uint32_t>(sizeof(PackRegion));
    if (!journal.seek(dataStart)) {
        return false;
    }
    std::vector<uint8_t> buffer(kCopyChunk);
    for (const PackRegion& r : regions) {
        if (!pack.seek(r.offset)) {
            return false;
        }
        for (uint32_t left = r.length; left > 0;) {
            const uint32_t chunk = std::min<uint32_t>(left, kCopyChunk);
            uint32_t got = 0;
            if (!journal.read(buffer.data(), chunk, &got) || got != chunk ||
                !pack.write(buffer.data(), chunk)) {
                return false;
            }
            left -= chunk;
        }
    }
    return pack.resize(header.packLength) && pack.sync();
}

bool removeJournal(const std::u16string& path) {
    if (!File::deleteFile(path) && File::isFile(path)) {
        return false;
    }
    return static_cast<bool>(platform::syncParentDirectory(path));
}

// Plays the journal at path back over the open pack; false (journal kept) on any failure.
bool restore(const std::u16string& path, WinStream& pack) {
    WinStream journal;
    JournalHeader header;
    std::vector<PackRegion> regions;
    if (!journal.open(path, 0) || !readJournal(journal, header, regions) ||
        !playBack(journal, header, regions, pack)) {
        return false;
    }
    journal.close();
    return removeJournal(path);
}

}  // namespace

PackJournal::PackJournal(std::u16string_view packPath)
    : packPath_(packPath), path_(pathOf(packPath)) {}

std::u16string PackJournal::pathOf(std::u16string_view packPath) {
    return std::u16string(packPath) + u".journal";
}

bool PackJournal::begin(Stream& pack, std::vector<PackRegion> regions) {
    JournalHeader header;
    header.packLength = pack.size();
    regions = normalise(std::move(regions), header.packLength);
    header.regionCount = static_cast<uint32_t>(regions.size());
    uint64_t total = 0;
    for (const PackRegion& r : regions) {
        total += r.length;
    }
    header.savedBytes = static_cast<uint32_t>(total);  // regions lie inside a 4 GiB pack
    saved_ = total;

    WinStream journal;
    const uint32_t tableBytes = header.regionCount * static_cast<uint32_t>(sizeof(PackRegion));
    bool ok = journal.open(path_, 1) && journal.seek(sizeof header) &&
              (tableBytes == 0 || journal.write(regions.data(), tableBytes));
    uint32_t crc = checksumUpdate(kChecksumStart, regions.data(), tableBytes);
    std::vector<uint8_t> buffer(kCopyChunk);
    for (size_t i = 0; ok && i < regions.size(); ++i) {
        ok = pack.seek(regions[i].offset);
        for (uint32_t left = regions[i].length; ok && left > 0;) {
            const uint32_t chunk = std::min<uint32_t>(left, kCopyChunk);
            uint32_t got = 0;
            ok = pack.read(buffer.data(), chunk, &got) && got == chunk &&
                 journal.write(buffer.data(), chunk);
            crc = checksumUpdate(crc, buffer.data(), chunk);
            left -= chunk;
        }
    }
    // The header goes last, so that a journal cut short never reads as whole.
    header.checksum = headerChecksum(crc, header);
    ok = ok && journal.seek(0) && journal.write(&header, sizeof header) && journal.sync();
    journal.close();
    ok = ok && journal.state() != WinStream::kFailed &&
         static_cast<bool>(platform::syncParentDirectory(path_));
    if (!ok) {
        logW_m1(u"%s的回滚日志写入失败\r\n", packPath_);
        File::deleteFile(path_);
    }
    return ok;
}

bool PackJournal::rollBack(WinStream& pack) {
    if (!restore(path_, pack)) {
        logW_m1(u"%s回滚失败,下次打开时再回滚\r\n", packPath_);
        return false;
    }
    logW_m1(u"%s已回滚到修改前\r\n", packPath_);
    return true;
}

bool PackJournal::commit(WinStream& pack) {
    if (!pack.sync()) {
        return false;
    }
    // Once the journal is gone the change stands, even when the folder sync fails: the
    // journal would at worst come back and undo a complete change, which leaves the pack
    // whole all the same.
    if (!File::deleteFile(path_)) {
        return false;
    }
    static_cast<void>(platform::syncParentDirectory(path_));
    return true;
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
        if (journal.open(path, 0) && !readJournal(journal, header, regions)) {
            journal.close();
            // Never whole, so never synced, so the pack was never written.
            return removeJournal(path) ? PackRecovery::kDiscarded : PackRecovery::kFailed;
        }
    }
    if (!File::isFile(packPath)) {
        return removeJournal(path) ? PackRecovery::kDiscarded : PackRecovery::kFailed;
    }
    WinStream pack;
    // Opening for writing fails while this process writes the pack (the change is then
    // still running, not interrupted).
    if (!pack.open(packPath, 2) || !restore(path, pack)) {
        logW_m1(u"%s的回滚日志无法回放\r\n", packPath);
        return PackRecovery::kFailed;
    }
    logW_m1(u"%s上次修改未完成,已回滚\r\n", packPath);
    return PackRecovery::kReplayed;
}

bool deletePack(std::u16string_view packPath) {
    File::deleteFile(PackJournal::pathOf(packPath));
    return File::deleteFile(packPath) || !File::isFile(packPath);
}

}  // namespace lume
