#include "tools/pak/PakTool.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <optional>
#include <unordered_map>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/FileSystem/SafePath.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/NameKey.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace lume::pak {

namespace {

constexpr char kUsage[] =
    "usage: lume-pak COMMAND ARGS\n"
    "\n"
    "  create DIR OUT.pak                  pack every file under DIR into OUT.pak\n"
    "  list PAK [--names DIR]              one line per record; --names shows the paths\n"
    "                                      under DIR whose keys the records carry\n"
    "  extract PAK PATH|0xKEY [-o FILE]    one file, to FILE or to standard output\n"
    "  extract PAK --all OUTDIR [--names DIR]\n"
    "                                      every file into OUTDIR, named by its path under\n"
    "                                      DIR (with --names) or by its key (0x1234abcd)\n"
    "  verify PAK                          check header, tables, index checksum, every\n"
    "                                      block's bytes and sizes, overlaps and holes\n"
    "  info PAK                            header, counts, free blocks and wasted bytes\n"
    "  --help                              this text\n"
    "\n"
    "Files are keyed by the name hash of their lower-cased relative path with backslashes\n"
    "(ui\\main.png). Exit status: 0 success, 1 damage found or the command failed, 2 bad\n"
    "usage.\n";

std::string u8(std::u16string_view text) {
    return platform::wideToUtf8(text);
}

std::string printf(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string printf(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) {
        std::vsnprintf(out.data(), out.size() + 1, pattern, args);
    }
    va_end(args);
    return out;
}

std::string hex(uint32_t value) {
    return printf("0x%08x", value);
}

// ---- folders ----

struct TreeFile {
    std::u16string relative;  // backslashes, as the key is made from it
    std::u16string full;
};

bool walk(const std::u16string& dir, const std::u16string& prefix, std::vector<TreeFile>& out) {
    std::vector<platform::FindData> entries;
    if (!platform::findFiles(dir + u"\\*", entries)) {
        return false;
    }
    for (const platform::FindData& e : entries) {
        const std::u16string relative = prefix.empty() ? e.name : prefix + u"\\" + e.name;
        const std::u16string full = dir + u"\\" + e.name;
        if (e.directory) {
            if (!walk(full, relative, out)) {
                return false;
            }
        } else {
            out.push_back(TreeFile{relative, full});
        }
    }
    return true;
}

// Key -> relative path of every file under a reference folder (the first path of a key).
bool namesOf(const std::u16string& dir, std::unordered_map<uint32_t, std::u16string>& names,
             std::ostream& err) {
    std::vector<TreeFile> files;
    if (!platform::isDirectory(dir) || !walk(dir, u"", files)) {
        err << "lume-pak: cannot read the folder " << u8(dir) << "\n";
        return false;
    }
    for (const TreeFile& f : files) {
        names.try_emplace(keyOfPath(f.relative), f.relative);
    }
    return true;
}

uint32_t checksumOf(std::string_view bytes) {
    return checksumUpdate(kChecksumStart, bytes.data(), bytes.size());
}

// ---- deflate ----

// Inflates raw deflate data that must come to exactly size bytes.
bool rawInflate(std::string_view stored, uint32_t size, std::string& out, std::string& why) {
    // One byte more than expected shows a stream that inflates to too much.
    out.assign(static_cast<size_t>(size) + 1, '\0');
    bool given = false;
    z_stream z;
    const InflateResult result = inflateRaw(
        z,
        [&](std::span<const uint8_t>& data) {
            data = given
                       ? std::span<const uint8_t>()
                       : std::span(reinterpret_cast<const uint8_t*>(stored.data()), stored.size());
            given = true;
            return true;
        },
        std::span(reinterpret_cast<uint8_t*>(out.data()), out.size()),
        [](std::span<uint8_t>, std::span<uint8_t>& window) {
            window = {};
            return true;
        });
    const unsigned long produced = static_cast<unsigned long>(result.produced);
    if (result.status == InflateStatus::kDone && produced == size) {
        out.resize(size);
        return true;
    }
    if (result.status == InflateStatus::kNoZlib) {
        why = "zlib cannot start";
    } else if (result.status == InflateStatus::kDone) {
        why = printf("inflates to %lu bytes, the record says %u", produced, size);
    } else if (produced > size) {
        why = printf("inflates to more than the %u bytes the record says", size);
    } else {
        why = printf("deflate data is damaged or cut short (%lu of %u bytes inflated)", produced,
                     size);
    }
    return false;
}

// ---- packs ----

struct Pack {
    WinStream file;
    uint32_t length = 0;
    PackHeader header;
    std::vector<uint32_t> keys;
    std::vector<FreeBlock> holes;
    std::vector<PackRecord> records;
};

bool readAt(WinStream& file, uint32_t offset, void* buffer, uint32_t length) {
    uint32_t got = 0;
    return length == 0 || (file.seek(offset) && file.read(buffer, length, &got) && got == length);
}

bool loadPack(const std::u16string& path, Pack& pack, std::string& why) {
    if (!pack.file.open(path, 0)) {
        why = "cannot be opened";
        return false;
    }
    pack.length = pack.file.size();
    PackHeader& h = pack.header;
    if (!readAt(pack.file, 0, &h, sizeof h)) {
        why = printf("%u bytes, shorter than the 48-byte header", pack.length);
        return false;
    }
    if (h.magic != kPackMagic) {
        why = printf("bad magic %s, not \"!PAK\"", hex(h.magic).c_str());
        return false;
    }
    if (h.version != kPackVersion) {
        why = printf("version %u, only version 8 is known", h.version);
        return false;
    }
    if (!checkIndexLayout(h, &why)) {
        return false;
    }
    if (uint64_t{h.recordTableOffset} + h.recordTableSize > pack.length) {
        why = printf("the index tables end at %u, past the end of the %u-byte file",
                     h.recordTableOffset + h.recordTableSize, pack.length);
        return false;
    }
    pack.keys.resize(h.recordCount);
    pack.holes.resize(h.freeTableSize / sizeof(FreeBlock));
    pack.records.resize(h.recordCount);
    if (!readAt(pack.file, h.keyTableOffset, pack.keys.data(), h.keyTableSize) ||
        !readAt(pack.file, h.freeTableOffset, pack.holes.data(), h.freeTableSize) ||
        !readAt(pack.file, h.recordTableOffset, pack.records.data(), h.recordTableSize)) {
        why = "the index tables cannot be read";
        return false;
    }
    return true;
}

bool openPack(const std::u16string& path, Pack& pack, std::ostream& err) {
    std::string why;
    if (loadPack(path, pack, why)) {
        return true;
    }
    err << "lume-pak: " << u8(path) << ": " << why << "\n";
    return false;
}

// Reads a record's stored bytes and its content, checking both against the record.
bool readRecord(Pack& pack, const PackRecord& r, std::string& stored, std::string& content,
                std::string& why) {
    if (!regionInData(r.offset, r.zipSize, pack.length)) {
        why = printf("stored bytes at %u, %u bytes, lie outside the data region", r.offset,
                     r.zipSize);
        return false;
    }
    stored.assign(r.zipSize, '\0');
    if (!readAt(pack.file, r.offset, stored.data(), r.zipSize)) {
        why = "stored bytes cannot be read";
        return false;
    }
    if (checksumOf(stored) != r.dataCrc) {
        why = printf("stored bytes have checksum %s, the record says %s",
                     hex(checksumOf(stored)).c_str(), hex(r.dataCrc).c_str());
        return false;
    }
    if (r.zipSize == r.size) {
        content = stored;
        return true;
    }
    if (r.size > maxInflatedSize(r.zipSize)) {
        why = printf("%u stored bytes cannot inflate to the %u bytes the record says", r.zipSize,
                     r.size);
        return false;
    }
    return rawInflate(stored, r.size, content, why);
}

const PackRecord* findRecord(const Pack& pack, uint32_t key) {
    for (const PackRecord& r : pack.records) {
        if (r.parentIndex != kRootParent && r.nameKey == key) {
            return &r;
        }
    }
    return nullptr;
}

// ---- arguments ----

struct Arguments {
    std::vector<std::u16string> positional;
    std::map<std::u16string, std::u16string> options;
};

// Options that take a value; anything else starting with '-' is a usage error.
bool parseArguments(const std::vector<std::u16string>& args, size_t first,
                    std::initializer_list<std::u16string_view> known, Arguments& out,
                    std::ostream& err) {
    for (size_t i = first; i < args.size(); ++i) {
        const std::u16string& a = args[i];
        if (a.size() > 1 && a.front() == u'-') {
            if (std::find(known.begin(), known.end(), a) == known.end()) {
                err << "lume-pak: unknown option " << u8(a) << "\n";
                return false;
            }
            if (i + 1 >= args.size()) {
                err << "lume-pak: " << u8(a) << " needs a value\n";
                return false;
            }
            out.options[a] = args[++i];
        } else {
            out.positional.push_back(a);
        }
    }
    return true;
}

int usageError(std::ostream& err, const char* what) {
    err << "lume-pak: " << what << "\n\n" << kUsage;
    return kExitUsage;
}

// ---- commands ----

// The files under dir in key order, refused when two share a key or they would not fit the
// index. Warns about a pack name the launcher would not find.
bool collectFiles(const std::u16string& dir, const std::u16string& target,
                  std::vector<TreeFile>& files, std::ostream& err) {
    if (!platform::isDirectory(dir) || !walk(dir, u"", files)) {
        err << "lume-pak: cannot read the folder " << u8(dir) << "\n";
        return false;
    }
    std::sort(files.begin(), files.end(),
              [](const TreeFile& x, const TreeFile& y) { return x.relative < y.relative; });
    std::unordered_map<uint32_t, const TreeFile*> byKey;
    for (const TreeFile& f : files) {
        const auto [it, added] = byKey.try_emplace(keyOfPath(f.relative), &f);
        if (!added) {
            err << "lume-pak: " << u8(it->second->relative) << " and " << u8(f.relative)
                << " have the same key " << hex(it->first)
                << "; only one of them could be found in the pack\n";
            return false;
        }
    }
    if (!indexFits(files.size() + 1, 0)) {
        err << "lume-pak: " << files.size() << " files do not fit the 8 MiB index\n";
        return false;
    }
    const std::u16string stem = packStem(target);
    if (std::any_of(stem.begin(), stem.end(), [](char16_t c) { return c >= u'A' && c <= u'Z'; })) {
        err << "lume-pak: warning: the launcher looks packs up by their lower-cased name, so a "
               "pack named "
            << u8(stem) << " supplies no files; name it in lower case\n";
    }
    return true;
}

// The data region of the pack being written to temporary: each file deflated when that makes
// it smaller, stored as is otherwise, back to back after the index region; the root record
// (rootKey) first. False with a reason.
bool writeBlocks(WinStream& pack, const std::u16string& temporary, uint32_t rootKey,
                 const std::vector<TreeFile>& files, std::vector<PackRecord>& records,
                 uint64_t& end, uint64_t& compressed, std::string& why) {
    PackRecord root;
    root.nameKey = rootKey;
    root.offset = kIndexRegionSize;
    root.parentIndex = kRootParent;
    records.push_back(root);
    end = kIndexRegionSize;
    compressed = 0;
    for (const TreeFile& f : files) {
        std::string content;
        std::string deflated;
        if (!platform::readWholeFile(f.full, content)) {
            why = "cannot read " + u8(f.full) + " (or it is 4 GiB or more)";
            return false;
        }
        const bool useDeflate = compressData(content, deflated) && deflated.size() < content.size();
        const std::string& stored = useDeflate ? deflated : content;
        if (end + stored.size() > 0xFFFFFFFFu) {
            why = "the pack would pass 4 GiB at " + u8(f.relative);
            return false;
        }
        PackRecord r;
        r.nameKey = keyOfPath(f.relative);
        r.zipSize = static_cast<uint32_t>(stored.size());
        r.offset = static_cast<uint32_t>(end);
        r.size = static_cast<uint32_t>(content.size());
        r.blockSize = r.zipSize;
        r.dataCrc = checksumOf(stored);
        r.parentIndex = 0;
        r.flags = useDeflate ? 1 : 0;
        r.extra1 = checksumOf(content);
        if (!stored.empty() && !pack.write(stored.data(), r.zipSize)) {
            why = "cannot write " + u8(temporary);
            return false;
        }
        compressed += useDeflate ? 1 : 0;
        end += stored.size();
        records.push_back(r);
    }
    return true;
}

int create(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.positional.size() != 2) {
        return usageError(err, "create needs DIR and OUT.pak");
    }
    const std::u16string& target = a.positional[1];
    std::vector<TreeFile> files;
    if (!collectFiles(a.positional[0], target, files, err)) {
        return kExitDamaged;
    }
    // Built under a temporary name and moved into place in one step.
    const std::u16string temporary = target + u".tmp";
    WinStream pack;
    if (!pack.open(temporary, 1) || !pack.seek(kIndexRegionSize)) {
        err << "lume-pak: cannot create " << u8(temporary) << "\n";
        return kExitDamaged;
    }
    std::vector<PackRecord> records;
    uint64_t end = 0;
    uint64_t compressed = 0;
    std::string why;
    const BlankBlockPool noHoles;
    if (!writeBlocks(pack, temporary, nameKey(packStem(target)), files, records, end, compressed,
                     why) ||
        !writePackIndex(pack, records, noHoles, static_cast<uint32_t>(end))) {
        pack.close();
        File::deleteFile(temporary);
        err << "lume-pak: " << (why.empty() ? "cannot write the index of " + u8(temporary) : why)
            << "\n";
        return kExitDamaged;
    }
    pack.close();
    if (!File::replace(temporary, target)) {
        File::deleteFile(temporary);
        err << "lume-pak: cannot move " << u8(temporary) << " to " << u8(target) << "\n";
        return kExitDamaged;
    }
    out << u8(target) << ": " << files.size() << " files (" << compressed << " deflated), " << end
        << " bytes, index checksum " << hex(indexCrc(records)) << "\n";
    return kExitOk;
}

// The pack named first, and the key-to-path map of --names when it is given.
bool openWithNames(const Arguments& a, std::unordered_map<uint32_t, std::u16string>& names,
                   Pack& pack, std::ostream& err) {
    const auto dir = a.options.find(u"--names");
    if (dir != a.options.end() && !namesOf(dir->second, names, err)) {
        return false;
    }
    return openPack(a.positional[0], pack, err);
}

int list(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.positional.size() != 1) {
        return usageError(err, "list needs PAK");
    }
    std::unordered_map<uint32_t, std::u16string> names;
    Pack pack;
    if (!openWithNames(a, names, pack, err)) {
        return kExitDamaged;
    }
    out << "index  key         zipsize     size        offset      blocksize   flags  datacrc     "
           "extra1      parent";
    out << (names.empty() ? "\n" : "  name\n");
    for (size_t i = 0; i < pack.records.size(); ++i) {
        const PackRecord& r = pack.records[i];
        out << printf("%-6zu %s  %-10u  %-10u  %-10u  %-10u  %-5u  %s  %s  ", i,
                      hex(r.nameKey).c_str(), r.zipSize, r.size, r.offset, r.blockSize, r.flags,
                      hex(r.dataCrc).c_str(), hex(r.extra1).c_str());
        out << (r.parentIndex == kRootParent ? std::string("root  ")
                                             : printf("%-6u", r.parentIndex));
        if (!names.empty()) {
            const auto name = names.find(r.nameKey);
            out << "  "
                << (r.parentIndex == kRootParent ? std::string("(root)")
                    : name == names.end()        ? std::string("-")
                                                 : u8(name->second));
        }
        out << "\n";
    }
    return kExitOk;
}

int extract(const Arguments& a, std::ostream& out, std::ostream& err) {
    const auto all = a.options.find(u"--all");
    const auto output = a.options.find(u"-o");
    const bool extractAll = all != a.options.end();
    if (a.positional.size() != (extractAll ? 1u : 2u) ||
        (extractAll && output != a.options.end())) {
        return usageError(err, "extract needs PAK and one of PATH, 0xKEY or --all OUTDIR");
    }
    std::unordered_map<uint32_t, std::u16string> names;
    Pack pack;
    if (!openWithNames(a, names, pack, err)) {
        return kExitDamaged;
    }

    std::string stored;
    std::string content;
    std::string why;
    if (!extractAll) {
        const std::u16string& what = a.positional[1];
        uint32_t key = 0;
        if (what.size() > 2 && what[0] == u'0' && (what[1] == u'x' || what[1] == u'X')) {
            const std::string digits = u8(what.substr(2));
            char* rest = nullptr;
            const unsigned long value = std::strtoul(digits.c_str(), &rest, 16);
            if (digits.size() > 8 || *rest != '\0') {
                return usageError(err, "a key is 0x followed by up to eight hex digits");
            }
            key = static_cast<uint32_t>(value);
        } else {
            key = keyOfPath(what);
        }
        const PackRecord* r = findRecord(pack, key);
        if (r == nullptr) {
            err << "lume-pak: " << u8(what) << " (key " << hex(key) << ") is not in the pack\n";
            return kExitDamaged;
        }
        if (!readRecord(pack, *r, stored, content, why)) {
            err << "lume-pak: " << u8(what) << ": " << why << "\n";
            return kExitDamaged;
        }
        if (output == a.options.end()) {
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
            return out ? kExitOk : kExitDamaged;
        }
        if (!platform::writeWholeFile(output->second, content)) {
            err << "lume-pak: cannot write " << u8(output->second) << "\n";
            return kExitDamaged;
        }
        return kExitOk;
    }

    const std::u16string& outDir = all->second;
    int status = kExitOk;
    size_t written = 0;
    std::unordered_map<uint32_t, size_t> seen;
    for (size_t i = 0; i < pack.records.size(); ++i) {
        const PackRecord& r = pack.records[i];
        if (r.parentIndex == kRootParent) {
            continue;
        }
        if (!seen.try_emplace(r.nameKey, i).second) {
            err << "lume-pak: warning: record " << i << " repeats the key " << hex(r.nameKey)
                << " of record " << seen[r.nameKey] << "; only the first is extracted\n";
            continue;
        }
        const auto name = names.find(r.nameKey);
        const std::u16string relative =
            name == names.end() ? platform::utf8ToWide(hex(r.nameKey)) : name->second;
        if (!isSafeRelativePath(relative)) {
            err << "lume-pak: refusing to write " << u8(relative) << " outside " << u8(outDir)
                << "\n";
            status = kExitDamaged;
            continue;
        }
        if (!readRecord(pack, r, stored, content, why)) {
            err << "lume-pak: " << u8(relative) << ": " << why << "\n";
            status = kExitDamaged;
            continue;
        }
        const std::u16string path = outDir + u"\\" + relative;
        if (!platform::writeWholeFile(path, content)) {
            err << "lume-pak: cannot write " << u8(path) << "\n";
            status = kExitDamaged;
            continue;
        }
        ++written;
    }
    out << written << " files written to " << u8(outDir) << "\n";
    return status;
}

struct Span {
    uint64_t start;
    uint64_t end;
    std::string what;
};

// What verify finds: damage makes the pack fail, warnings do not.
struct Findings {
    std::vector<std::string> damage;
    std::vector<std::string> warnings;
    std::vector<Span> spans;  // every reserved block and free block, for the overlap check
};

std::string recordName(const Pack& pack, size_t i) {
    return printf("record %zu (key %s)", i, hex(pack.records[i].nameKey).c_str());
}

// The index as a whole: its region, the key table, the parents and roots, the index
// checksum and the data size.
void checkIndex(const Pack& pack, Findings& f) {
    const PackHeader& h = pack.header;
    if (pack.length < kIndexRegionSize) {
        f.damage.push_back(
            printf("the file has %u bytes, less than its 8 MiB index region", pack.length));
    }
    size_t keyMismatches = 0;
    for (size_t i = 0; i < pack.records.size(); ++i) {
        keyMismatches += pack.keys[i] != pack.records[i].nameKey ? 1 : 0;
    }
    if (keyMismatches != 0) {
        f.damage.push_back(printf("the key table differs from the record keys at %zu of %zu places",
                                  keyMismatches, pack.records.size()));
    }
    // Parents are positions among the records the launcher has taken so far.
    size_t roots = 0;
    size_t taken = 0;
    for (size_t i = 0; i < pack.records.size(); ++i) {
        const PackRecord& r = pack.records[i];
        if (r.parentIndex == kRootParent) {
            ++roots;
            ++taken;
        } else if (roots == 0 || r.parentIndex >= taken) {
            f.damage.push_back(recordName(pack, i) +
                               printf(": parent index %u is out of range, so the "
                                      "launcher skips it",
                                      r.parentIndex));
        } else {
            ++taken;
        }
    }
    if (roots == 0) {
        f.damage.push_back("there is no root record");
    } else if (roots > 1) {
        f.warnings.push_back(
            printf("%zu root records; the launcher looks files up under the last", roots));
    }
    const uint32_t crc = indexCrc(pack.records);
    if (crc != h.indexCrc) {
        f.damage.push_back(printf("the index checksum is %s, the header says %s", hex(crc).c_str(),
                                  hex(h.indexCrc).c_str()));
    }
    if (pack.length >= kIndexRegionSize && h.dataSize != pack.length - kIndexRegionSize) {
        if (uint64_t{kIndexRegionSize} + h.dataSize > pack.length) {
            f.damage.push_back(
                printf("the header's data size %u runs past the end of the file", h.dataSize));
        } else {
            f.warnings.push_back(printf("%u bytes follow the data size the header recorded",
                                        pack.length - kIndexRegionSize - h.dataSize));
        }
    }
}

// Every record but the roots: its key, its block's place, its stored bytes and content.
void checkRecords(Pack& pack, Findings& f) {
    std::unordered_map<uint32_t, size_t> firstOfKey;
    std::string stored;
    std::string content;
    std::string why;
    for (size_t i = 0; i < pack.records.size(); ++i) {
        const PackRecord& r = pack.records[i];
        if (r.parentIndex == kRootParent) {
            continue;
        }
        if (!firstOfKey.try_emplace(r.nameKey, i).second) {
            f.warnings.push_back(recordName(pack, i) +
                                 printf(": repeats the key of record %zu; only "
                                        "the first is found",
                                        firstOfKey[r.nameKey]));
        }
        if (r.zipSize > r.blockSize) {
            f.damage.push_back(
                recordName(pack, i) +
                printf(": zip size %u exceeds its block size %u", r.zipSize, r.blockSize));
        }
        const uint32_t extent = std::max(r.zipSize, r.blockSize);
        if (!regionInData(r.offset, extent, pack.length)) {
            f.damage.push_back(recordName(pack, i) +
                               printf(": its block at %u, %u bytes, lies outside "
                                      "the data region of the %u-byte file",
                                      r.offset, extent, pack.length));
            continue;
        }
        if (r.blockSize != 0) {
            f.spans.push_back(
                Span{r.offset, uint64_t{r.offset} + r.blockSize, recordName(pack, i)});
        }
        if (!readRecord(pack, r, stored, content, why)) {
            f.damage.push_back(recordName(pack, i) + ": " + why);
        } else if (checksumOf(content) != r.extra1) {
            f.warnings.push_back(recordName(pack, i) +
                                 printf(": its content has checksum %s, extra 1 "
                                        "says %s",
                                        hex(checksumOf(content)).c_str(), hex(r.extra1).c_str()));
        }
    }
}

// The free blocks lie in the data region, and no two blocks share a byte.
void checkPlacement(const Pack& pack, Findings& f) {
    for (const FreeBlock& b : pack.holes) {
        const std::string name = printf("free block at %u (%u bytes)", b.offset, b.size);
        if (!regionInData(b.offset, b.size, pack.length)) {
            f.damage.push_back(name + " lies outside the data region");
        } else if (b.size != 0) {
            f.spans.push_back(Span{b.offset, uint64_t{b.offset} + b.size, name});
        }
    }
    std::sort(f.spans.begin(), f.spans.end(),
              [](const Span& x, const Span& y) { return x.start < y.start; });
    const Span* reach = nullptr;  // the span seen so far that ends last
    for (const Span& s : f.spans) {
        if (reach != nullptr && s.start < reach->end) {
            f.damage.push_back(s.what + " overlaps " + reach->what);
        }
        if (reach == nullptr || s.end > reach->end) {
            reach = &s;
        }
    }
}

int verify(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.positional.size() != 1) {
        return usageError(err, "verify needs PAK");
    }
    const std::u16string& path = a.positional[0];
    Pack pack;
    if (!openPack(path, pack, err)) {
        return kExitDamaged;
    }
    Findings f;
    checkIndex(pack, f);
    checkRecords(pack, f);
    checkPlacement(pack, f);
    for (const std::string& d : f.damage) {
        out << "damage: " << d << "\n";
    }
    for (const std::string& w : f.warnings) {
        out << "warning: " << w << "\n";
    }
    out << u8(path) << ": " << pack.records.size() << " records, " << pack.holes.size()
        << " free blocks: "
        << (f.damage.empty() ? std::string("OK") : printf("%zu problems", f.damage.size())) << "\n";
    return f.damage.empty() ? kExitOk : kExitDamaged;
}

int info(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.positional.size() != 1) {
        return usageError(err, "info needs PAK");
    }
    Pack pack;
    if (!openPack(a.positional[0], pack, err)) {
        return kExitDamaged;
    }
    const PackHeader& h = pack.header;
    uint64_t stored = 0;
    uint64_t inflated = 0;
    uint64_t slack = 0;
    size_t roots = 0;
    for (const PackRecord& r : pack.records) {
        if (r.parentIndex == kRootParent) {
            ++roots;
            continue;
        }
        stored += r.zipSize;
        inflated += r.size;
        slack += r.blockSize > r.zipSize ? r.blockSize - r.zipSize : 0;
    }
    uint64_t holeBytes = 0;
    uint32_t largest = 0;
    for (const FreeBlock& b : pack.holes) {
        holeBytes += b.size;
        largest = std::max(largest, b.size);
    }
    out << "file:              " << u8(a.positional[0]) << ", " << pack.length << " bytes\n";
    out << "version:           " << h.version << "\n";
    out << "records:           " << h.recordCount << " (" << roots << " root, "
        << pack.records.size() - roots << " files)\n";
    out << printf("key table:         offset %u, %u bytes\n", h.keyTableOffset, h.keyTableSize);
    out << printf("free-block table:  offset %u, %u bytes\n", h.freeTableOffset, h.freeTableSize);
    out << printf("record table:      offset %u, %u bytes\n", h.recordTableOffset,
                  h.recordTableSize);
    out << "index checksum:    " << hex(h.indexCrc) << " (computed " << hex(indexCrc(pack.records))
        << ")\n";
    out << printf("data:              offset %u, size %u\n", h.dataOffset, h.dataSize);
    out << "stored bytes:      " << stored << " (inflating to " << inflated << ")\n";
    out << "free blocks:       " << pack.holes.size() << ", " << holeBytes << " bytes (largest "
        << largest << ")\n";
    for (const FreeBlock& b : pack.holes) {
        out << printf("  free block:      offset %u, %u bytes\n", b.offset, b.size);
    }
    out << "block slack:       " << slack << " bytes reserved after stored data\n";
    out << "wasted bytes:      " << holeBytes + slack << "\n";
    return kExitOk;
}

}  // namespace

uint32_t keyOfPath(std::u16string_view relativePath) {
    std::u16string path(relativePath);
    std::replace(path.begin(), path.end(), u'/', u'\\');
    return nameKey(path, true);
}

int run(const std::vector<std::u16string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        return usageError(err, "no command given");
    }
    const std::u16string& command = args[0];
    if (command == u"--help" || command == u"-h" || command == u"help") {
        out << kUsage;
        return kExitOk;
    }
    Arguments a;
    if (command == u"create") {
        return parseArguments(args, 1, {}, a, err) ? create(a, out, err) : kExitUsage;
    }
    if (command == u"list") {
        return parseArguments(args, 1, {u"--names"}, a, err) ? list(a, out, err) : kExitUsage;
    }
    if (command == u"extract") {
        return parseArguments(args, 1, {u"--names", u"--all", u"-o"}, a, err) ? extract(a, out, err)
                                                                              : kExitUsage;
    }
    if (command == u"verify") {
        return parseArguments(args, 1, {}, a, err) ? verify(a, out, err) : kExitUsage;
    }
    if (command == u"info") {
        return parseArguments(args, 1, {}, a, err) ? info(a, out, err) : kExitUsage;
    }
    return usageError(err, ("unknown command " + u8(command)).c_str());
}

}  // namespace lume::pak
