#include "platform/PeVersion.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/Files.h"

namespace platform {

namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectory = 2;  // index in the optional header's data directories
constexpr uint32_t kVersionType = 16;       // RT_VERSION
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr uint16_t kMaxSections = 96;  // the loader's own limit
constexpr size_t kEntrySize = 8;
// "VS_VERSION_INFO" with its terminator after the 6-byte header, padded to 4 bytes: 40.
constexpr uint32_t kFixedInfoOffset = 40;
constexpr uint32_t kFixedInfoSize = 52;
constexpr std::u16string_view kVersionKey = u"VS_VERSION_INFO";

uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Section {
    uint32_t address = 0;  // relative virtual address
    uint32_t rawSize = 0;
    uint32_t rawOffset = 0;
};

class PeReader {
public:
    explicit PeReader(NativeFile& file) : file_(file) {}

    std::optional<FileVersion> fileVersion() {
        uint64_t size = 0;
        if (!file_.size(size)) {
            return std::nullopt;
        }
        size_ = size;
        uint32_t resourceRva = 0;
        uint32_t resourceSize = 0;
        if (!readHeaders(resourceRva, resourceSize) || resourceSize == 0) {
            return std::nullopt;
        }
        uint64_t base = 0;
        if (!fileOffset(resourceRva, resourceSize, base)) {
            return std::nullopt;
        }
        resourceBase_ = base;
        resourceSize_ = resourceSize;
        // Three levels: type, name, language; the version type by its id, then the first
        // name and the first language, as the system's version query takes them.
        uint32_t at = 0;
        if (!findEntry(0, true, at) || (at & kSubdirectory) == 0 ||
            !findEntry(at & ~kSubdirectory, false, at) || (at & kSubdirectory) == 0 ||
            !findEntry(at & ~kSubdirectory, false, at) || (at & kSubdirectory) != 0) {
            return std::nullopt;
        }
        std::array<uint8_t, 8> dataEntry{};
        if (!readResource(at, dataEntry.data(), dataEntry.size())) {
            return std::nullopt;
        }
        return readVersionBlock(u32(&dataEntry[0]), u32(&dataEntry[4]));
    }

private:
    bool readAt(uint64_t offset, void* out, size_t length) {
        if (offset > size_ || length > size_ - offset) {
            return false;
        }
        uint32_t got = 0;
        return file_.seek(offset) && file_.read(out, static_cast<uint32_t>(length), got) &&
               got == length;
    }

    // Bytes at an offset inside the resource directory's own extent.
    bool readResource(uint32_t offset, void* out, size_t length) {
        return offset <= resourceSize_ && length <= resourceSize_ - offset &&
               readAt(resourceBase_ + offset, out, length);
    }

    bool readHeaders(uint32_t& resourceRva, uint32_t& resourceSize) {
        std::array<uint8_t, 64> dos{};
        if (!readAt(0, dos.data(), dos.size()) || dos[0] != 'M' || dos[1] != 'Z') {
            return false;
        }
        const uint32_t peOffset = u32(&dos[0x3C]);
        std::array<uint8_t, 24> coff{};  // signature and file header
        if (!readAt(peOffset, coff.data(), coff.size()) || u32(&coff[0]) != kPeSignature) {
            return false;
        }
        const uint16_t sectionCount = u16(&coff[6]);
        const uint16_t optionalSize = u16(&coff[20]);
        if (sectionCount == 0 || sectionCount > kMaxSections) {
            return false;
        }
        std::vector<uint8_t> optional(optionalSize);
        if (optionalSize < 2 || !readAt(peOffset + 24ull, optional.data(), optional.size())) {
            return false;
        }
        const uint16_t magic = u16(&optional[0]);
        if (magic != kPe32 && magic != kPe32Plus) {
            return false;
        }
        // NumberOfRvaAndSizes, then the data directories of 8 bytes each.
        const size_t countAt = magic == kPe32 ? 92 : 108;
        const size_t entryAt = countAt + 4 + kResourceDirectory * 8;
        if (optional.size() < entryAt + 8 || u32(&optional[countAt]) <= kResourceDirectory) {
            return false;
        }
        resourceRva = u32(&optional[entryAt]);
        resourceSize = u32(&optional[entryAt + 4]);

        std::vector<uint8_t> table(size_t{sectionCount} * 40);
        if (!readAt(peOffset + 24ull + optionalSize, table.data(), table.size())) {
            return false;
        }
        for (uint16_t i = 0; i < sectionCount; ++i) {
            const uint8_t* s = &table[size_t{i} * 40];
            sections_.push_back(Section{u32(s + 12), u32(s + 16), u32(s + 20)});
        }
        return true;
    }

    // The file offset of length bytes at a relative virtual address, all inside one section's
    // bytes in the file.
    bool fileOffset(uint32_t rva, uint32_t length, uint64_t& offset) const {
        for (const Section& s : sections_) {
            if (rva >= s.address && rva - s.address < s.rawSize &&
                length <= s.rawSize - (rva - s.address)) {
                offset = uint64_t{s.rawOffset} + (rva - s.address);
                return true;
            }
        }
        return false;
    }

    // In the directory at offset: the entry with id kVersionType (byId), or the first entry.
    // at receives its OffsetToData.
    bool findEntry(uint32_t offset, bool byId, uint32_t& at) {
        std::array<uint8_t, 16> header{};
        if (!readResource(offset, header.data(), header.size())) {
            return false;
        }
        const size_t named = u16(&header[12]);
        const size_t count = named + u16(&header[14]);
        // An entry array cannot reach past the directory's extent; checked before reading.
        if (count == 0 || count * kEntrySize > resourceSize_) {
            return false;
        }
        std::vector<uint8_t> entries(count * kEntrySize);
        if (!readResource(offset + 16, entries.data(), entries.size())) {
            return false;
        }
        for (size_t i = byId ? named : 0; i < count; ++i) {
            const uint8_t* e = &entries[i * kEntrySize];
            if (!byId || u32(e) == kVersionType) {
                at = u32(e + 4);
                return true;
            }
        }
        return false;
    }

    std::optional<FileVersion> readVersionBlock(uint32_t rva, uint32_t length) {
        constexpr uint32_t kNeeded = kFixedInfoOffset + kFixedInfoSize;
        uint64_t offset = 0;
        std::array<uint8_t, kNeeded> block{};
        if (length < kNeeded || !fileOffset(rva, kNeeded, offset) ||
            !readAt(offset, block.data(), block.size())) {
            return std::nullopt;
        }
        const uint16_t blockLength = u16(&block[0]);
        const uint16_t valueLength = u16(&block[2]);
        if (blockLength < kNeeded || valueLength < kFixedInfoSize) {
            return std::nullopt;
        }
        for (size_t i = 0; i <= kVersionKey.size(); ++i) {
            const char16_t want = i < kVersionKey.size() ? kVersionKey[i] : u'\0';
            if (u16(&block[6 + 2 * i]) != want) {
                return std::nullopt;
            }
        }
        const uint8_t* fixed = &block[kFixedInfoOffset];
        if (u32(fixed) != kFixedInfoSignature) {
            return std::nullopt;
        }
        return FileVersion{u32(fixed + 8), u32(fixed + 12)};
    }

    NativeFile& file_;
    uint64_t size_ = 0;
    std::vector<Section> sections_;
    uint64_t resourceBase_ = 0;
    uint32_t resourceSize_ = 0;
};

}  // namespace

std::optional<FileVersion> readFileVersion(std::u16string_view path) {
    NativeFile file;
    if (!file.open(path, 0)) {
        return std::nullopt;
    }
    return PeReader(file).fileVersion();
}

}  // namespace platform
