// Makings of the update tests: sample files under tests/data/, packs built by lume-pak or
// laid out record by record, and wide text made printable.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "engine/FileSystem/PackFormat.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/WinStream.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestBytes.h"
#include "tools/pak/PakTool.h"
#include "tools/publish/Publisher.h"

namespace lume::test {

namespace fs = std::filesystem;

inline std::string utf8(std::u16string_view s) {
    return platform::wideToUtf8(s);
}

inline std::string sample(const std::string& relative) {
    return readBytes(fs::path(LUME_TEST_DATA_DIR) / relative);
}

// Text that deflates very well, different per seed.
inline std::string textBytes(size_t size, int seed) {
    std::string out;
    for (int line = 0; out.size() < size; ++line) {
        out += "line " + std::to_string(line) + " of version " + std::to_string(seed) + "\n";
    }
    return out.substr(0, size);
}

using Tree = std::map<std::string, std::string>;  // relative path ('/') -> bytes

inline void writeBytes(const fs::path& p, const std::string& bytes) {
    Sandbox::write(p, bytes);
}
inline void writeTree(const fs::path& root, const Tree& tree) {
    for (const auto& [rel, bytes] : tree) {
        Sandbox::write(root / rel, bytes);
    }
}
// Every regular file under root.
inline Tree readTree(const fs::path& root) {
    Tree out;
    for (const auto& f : fs::recursive_directory_iterator(root)) {
        if (f.is_regular_file()) {
            out[fs::relative(f.path(), root).generic_string()] = readBytes(f.path());
        }
    }
    return out;
}

inline size_t fileCount(const fs::path& root) {
    size_t n = 0;
    for (const auto& f : fs::recursive_directory_iterator(root)) {
        n += f.is_regular_file() ? 1 : 0;
    }
    return n;
}

// Builds pack from files with lume-pak.
inline void buildPack(const fs::path& pack, const Tree& files) {
    const fs::path scratch = pack.string() + ".src";
    writeTree(scratch, files);
    std::ostringstream out, err;
    ASSERT_EQ(pak::run({u"create", platform::utf8ToWide(scratch.string()),
                        platform::utf8ToWide(pack.string())},
                       out, err),
              0)
        << err.str();
    fs::remove_all(scratch);
}

// Publishes the game directory into out with lume-publish; whether it succeeded.
inline bool publish(const fs::path& game, const fs::path& out, PublishOptions o = {}) {
    o.gameDirectory = game.string();
    o.outDirectory = out.string();
    PublishReport report;
    std::string error;
    const bool ok = publishRelease(o, report, error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

// A version of the game in dir: loose files, and data\<name>.pak built from each pack's members.
inline void makeVersion(const fs::path& dir, const Tree& loose,
                        const std::map<std::string, Tree>& packs = {}) {
    writeTree(dir, loose);
    fs::create_directories(dir);
    for (const auto& [name, members] : packs) {
        buildPack(dir / "data" / (name + ".pak"), members);
    }
}

// A version of the sample game (resources/sample-game/v1 or v2: files/ and packs/<name>/) in dir.
inline void makeSampleVersion(const fs::path& dir, const fs::path& sample) {
    std::map<std::string, Tree> packs;
    for (const auto& pack : fs::directory_iterator(sample / "packs")) {
        packs[pack.path().filename().string()] = readTree(pack.path());
    }
    makeVersion(dir, readTree(sample / "files"), packs);
}

// A pack as the launcher reads it: every member's stored bytes and record fields by key, and
// the header's IndexCrc (0 when the pack does not load).
struct Member {
    std::string stored;
    uint32_t size = 0, dataCrc = 0, extra1 = 0, parent = 0, flags = 0;
    bool operator==(const Member&) const = default;
};
struct PackView {
    uint32_t indexCrc = 0;
    std::map<uint32_t, Member> members;
    bool operator==(const PackView&) const = default;
};
inline PackView viewPack(const fs::path& pack) {
    PackView view;
    WinStream stream;
    PackIndex index;
    if (!stream.open(platform::utf8ToWide(pack.string()), 0) ||
        loadPackIndex(stream, index) != IndexLoadError::kNone) {
        return view;
    }
    view.indexCrc = index.header.indexCrc;
    for (const PackRecord& r : index.records) {
        if (r.parentIndex != kRootParent) {
            Member& m = view.members[r.nameKey];
            m.stored.resize(r.zipSize);
            uint32_t got = 0;
            EXPECT_TRUE(r.zipSize == 0 ||
                        (stream.seek(r.offset) && stream.read(m.stored.data(), r.zipSize, &got)));
            m.size = r.size;
            m.dataCrc = r.dataCrc;
            m.extra1 = r.extra1;
            m.parent = r.parentIndex;
            m.flags = r.flags;
        }
    }
    return view;
}
// Its IndexCrc and member count.
inline std::pair<uint32_t, size_t> packIndex(const fs::path& pack) {
    const PackView view = viewPack(pack);
    return {view.indexCrc, view.members.size()};
}

// A record whose other fields derive from its key, so copies are recognisable.
inline PackRecord packRecord(uint32_t key, uint32_t dataCrc, uint16_t parent = 0,
                             uint32_t extra2 = 0) {
    PackRecord r;
    r.nameKey = key;
    r.zipSize = key & 0xFFF;
    r.offset = kIndexRegionSize + key;
    r.size = key & 0xFFFF;
    r.blockSize = 0x1000;
    r.dataCrc = dataCrc;
    r.parentIndex = parent;
    r.flags = 3;
    r.extra1 = ~key;
    r.extra2 = extra2;
    return r;
}
inline PackRecord rootRecord(uint32_t key) {
    return packRecord(key, 0, kRootParent);
}

// Header, key table, freeBlocks zeroed free blocks and the record table as the pack store
// lays them out, without the data region, which the comparison never reads.
inline std::string packBytes(const std::vector<PackRecord>& records, uint32_t freeBlocks = 1) {
    PackHeader h;
    const auto n = static_cast<uint32_t>(records.size());
    h.recordCount = n;
    h.keyTableSize = 4 * n;
    h.freeTableOffset = 48 + h.keyTableSize;
    h.freeTableSize = 12 * freeBlocks;
    h.recordTableOffset = h.freeTableOffset + h.freeTableSize;
    h.recordTableSize = 36 * n;
    std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
    for (const PackRecord& r : records) {
        bytes.append(reinterpret_cast<const char*>(&r.nameKey), 4);
    }
    bytes.append(h.freeTableSize, '\0');
    return bytes.append(reinterpret_cast<const char*>(records.data()), sizeof(PackRecord) * n);
}

}  // namespace lume::test
