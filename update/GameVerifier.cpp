#include "update/GameVerifier.h"

#include <algorithm>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/PackCheck.h"
#include "engine/FileSystem/PackJournal.h"
#include "engine/FileSystem/SafePath.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/Format.h"
#include "engine/Kernel/Logger.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace lume {

namespace {

constexpr uint32_t kChunk = 0x100000;

std::u16string localPathOf(const FileListEntry& entry) {
    return entry.folder.empty() ? entry.name : entry.folder + u"\\" + entry.name;
}

}  // namespace

std::string describe(const VerifyFinding& f) {
    std::string text = platform::wideToUtf8(f.path) + ": ";
    switch (f.kind) {
        case VerifyFinding::Kind::kUnsafeName:
            text += "named outside the game directory";
            break;
        case VerifyFinding::Kind::kMissing:
            text += "missing";
            break;
        case VerifyFinding::Kind::kWrongSize:
            text += "wrong size";
            break;
        case VerifyFinding::Kind::kWrongContent:
            text += "wrong content";
            break;
        case VerifyFinding::Kind::kUnreadable:
            text += "pack index unreadable";
            break;
        case VerifyFinding::Kind::kDamaged:
            text += "pack index damaged";
            break;
        case VerifyFinding::Kind::kOutOfDate:
            text += "pack of another version";
            break;
        case VerifyFinding::Kind::kRottenMember:
            text += formatA("member %08x has wrong bytes", f.member);
            break;
    }
    if (!f.detail.empty()) {
        text += " (" + f.detail + ")";
    }
    return text;
}

bool GameVerifier::tick(const std::u16string& file) {
    return progress_ != nullptr && *progress_ && (*progress_)(done_, total_, file);
}

bool GameVerifier::run(const std::vector<FileListEntry>& entries, const Progress& progress) {
    progress_ = &progress;
    findings_.clear();
    done_ = 0;
    total_ = 0;
    files_ = 0;
    // The bytes to read, for the progress: the files as they are on disk.
    for (const FileListEntry& entry : entries) {
        const std::u16string path = localPathOf(entry);
        platform::FileAttributes attributes;
        if (!isSafeRelativePath(path) || !platform::getAttributes(path, attributes) ||
            attributes.directory) {
            continue;
        }
        if (!entry.isPack()) {
            total_ += attributes.size == entry.size ? attributes.size : 0;
            continue;
        }
        const PackInspection state = inspectPack(path);
        if (state.readable) {
            total_ += storedBytes(state.index);
        }
    }
    for (const FileListEntry& entry : entries) {
        const std::u16string path = localPathOf(entry);
        if (!isSafeRelativePath(path)) {
            findings_.push_back({VerifyFinding::Kind::kUnsafeName, path, 0, {}});
            continue;
        }
        ++files_;
        if (!(entry.isPack() ? checkPack(entry, path) : checkLoose(entry, path))) {
            progress_ = nullptr;
            return false;
        }
    }
    progress_ = nullptr;
    return true;
}

bool GameVerifier::checkLoose(const FileListEntry& entry, const std::u16string& path) {
    if (!File::isFile(path)) {
        findings_.push_back({VerifyFinding::Kind::kMissing, path, 0, {}});
        return !tick(path);
    }
    WinStream file;
    if (!file.open(path, 0)) {
        findings_.push_back({VerifyFinding::Kind::kMissing, path, 0, "cannot be read"});
        return !tick(path);
    }
    const uint32_t length = file.size();
    if (length != entry.size) {
        findings_.push_back({VerifyFinding::Kind::kWrongSize, path, 0,
                             formatA("%u bytes, the list says %u", length, entry.size)});
        return !tick(path);
    }
    std::vector<uint8_t> buffer(std::min<uint32_t>(std::max<uint32_t>(length, 1), kChunk));
    uint32_t crc = kChecksumStart;
    for (uint32_t left = length; left > 0;) {
        const uint32_t chunk = std::min<uint32_t>(left, kChunk);
        uint32_t got = 0;
        if (!file.read(buffer.data(), chunk, &got) || got != chunk) {
            findings_.push_back({VerifyFinding::Kind::kWrongSize, path, 0, "cannot be read whole"});
            return !tick(path);
        }
        crc = checksumUpdate(crc, buffer.data(), chunk);
        left -= chunk;
        done_ += chunk;
        if (tick(path)) {
            return false;
        }
    }
    if (crc != entry.crc) {
        findings_.push_back({VerifyFinding::Kind::kWrongContent, path, 0, {}});
    }
    return !tick(path);
}

bool GameVerifier::checkPack(const FileListEntry& entry, const std::u16string& path) {
    if (!File::isFile(path)) {
        findings_.push_back({VerifyFinding::Kind::kMissing, path, 0, {}});
        return !tick(path);
    }
    // A change a crash cut short is undone first, as any open of the pack would.
    if (recoverPack(path) == PackRecovery::kFailed) {
        findings_.push_back(
            {VerifyFinding::Kind::kDamaged, path, 0, "an interrupted change cannot be undone"});
        return !tick(path);
    }
    const PackInspection state = inspectPack(path);
    if (!state.readable) {
        findings_.push_back({VerifyFinding::Kind::kUnreadable, path, 0, state.why});
        return !tick(path);
    }
    if (state.damage != PackDamage::kNone) {
        findings_.push_back({VerifyFinding::Kind::kDamaged, path, 0, state.why});
    } else if (!state.crcConsistent) {
        findings_.push_back({VerifyFinding::Kind::kDamaged, path, 0,
                             "the index checksum does not match its records"});
    } else if (state.index.header.indexCrc != entry.crc) {
        findings_.push_back(
            {VerifyFinding::Kind::kOutOfDate, path, 0,
             formatA("index %08x, the list says %08x", state.index.header.indexCrc, entry.crc)});
    }
    WinStream pack;
    if (!pack.open(path, 0)) {
        findings_.push_back({VerifyFinding::Kind::kUnreadable, path, 0, "cannot be opened"});
        return !tick(path);
    }
    std::vector<uint32_t> rotten;
    const uint64_t start = done_;
    const bool whole = findRottenMembers(
        pack, state.index, rotten,
        [&](uint64_t bytes) {
            done_ = start + bytes;
            return tick(path);
        },
        true);
    for (const uint32_t i : rotten) {
        findings_.push_back(
            {VerifyFinding::Kind::kRottenMember, path, state.index.records[i].nameKey, {}});
    }
    return whole;
}

}  // namespace lume
