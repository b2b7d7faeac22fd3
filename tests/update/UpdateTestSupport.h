// Makings of the update run tests: checksums and raw deflate as the lists carry them, game
// directories with packs built by lume-pak, releases published by lume-publish, and trees and
// pack contents read back for comparison.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "platform/Text.h"
#include "tools/pak/PakTool.h"
#include "tools/publish/Publisher.h"

namespace lume::test {

namespace fs = std::filesystem;

inline uint32_t checksumOf(const std::string& bytes) {
    return checksumUpdate(kChecksumStart, bytes.data(), bytes.size());
}

inline std::string hexOf(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

inline std::string deflateRaw(const std::string& data) {
    std::string out;
    compressData(data, out);
    return out;
}

inline std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeBytes(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Text that deflates well, different per seed.
inline std::string textBytes(size_t size, int seed) {
    std::string out;
    for (int line = 0; out.size() < size; ++line) {
        out += "line " + std::to_string(line) + " of version " + std::to_string(seed) + "\n";
    }
    out.resize(size);
    return out;
}

// Bytes that do not deflate.
inline std::string noiseBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

using Tree = std::map<std::string, std::string>;  // relative path ('/') -> bytes

inline void writeTree(const fs::path& root, const Tree& tree) {
    for (const auto& [rel, bytes] : tree) {
        writeBytes(root / rel, bytes);
    }
}

// Every regular file under root.
inline Tree readTree(const fs::path& root) {
    Tree out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) {
            out[fs::relative(it->path(), root).generic_string()] = readBytes(it->path());
        }
    }
    return out;
}

// Builds pack from the files of tree with lume-pak.
inline void buildPack(const fs::path& scratch, const fs::path& pack, const Tree& files) {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    writeTree(scratch, files);
    fs::create_directories(pack.parent_path());
    std::ostringstream out, err;
    ASSERT_EQ(pak::run({u"create", platform::utf8ToWide(scratch.string()),
                        platform::utf8ToWide(pack.string())},
                       out, err),
              0)
        << err.str();
}

inline void publish(const fs::path& game, const fs::path& www, std::vector<std::string> must = {}) {
    PublishOptions o;
    o.gameDirectory = game.string();
    o.outDirectory = www.string();
    o.must = std::move(must);
    PublishReport report;
    std::string error;
    ASSERT_TRUE(publishRelease(o, report, error)) << error;
}

struct Member {
    std::string stored;
    uint32_t size = 0;
    uint32_t dataCrc = 0;
    uint32_t extra1 = 0;
    bool operator==(const Member&) const = default;
};

// A pack as the launcher reads it: every member's stored bytes and record fields by key, and
// the header's IndexCrc (0 when the pack does not load).
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
        if (r.parentIndex == kRootParent) {
            continue;
        }
        Member m;
        m.stored.resize(r.zipSize);
        uint32_t got = 0;
        if (r.zipSize != 0) {
            stream.seek(r.offset);
            stream.read(m.stored.data(), r.zipSize, &got);
        }
        m.size = r.size;
        m.dataCrc = r.dataCrc;
        m.extra1 = r.extra1;
        view.members[r.nameKey] = m;
    }
    return view;
}

}  // namespace lume::test
