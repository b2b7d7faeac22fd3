// A minimal Windows program image written by the tests: DOS header, PE header, one ".rsrc"
// section holding the resource tree type 16 (version) -> name 1 -> language 0x409 -> the
// VS_VERSIONINFO block with its fixed file information. The offsets name what tests damage.
#pragma once

#include <cstdint>
#include <string>

namespace lume::test {

struct PeImage {
    static constexpr uint32_t kRaw = 0x200;  // file offset of the resource section
    // Inside the section: the root's one entry, the name directory, the data entry, the block.
    static constexpr uint32_t kTypeEntry = 0x10;
    static constexpr uint32_t kNameDir = 0x18;
    static constexpr uint32_t kDataEntry = 0x48;
    static constexpr uint32_t kVersionBlock = 0x58;

    static void put16(std::string& b, size_t at, uint32_t v) {
        b[at] = static_cast<char>(v & 0xFF);
        b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    static void put32(std::string& b, size_t at, uint32_t v) {
        put16(b, at, v & 0xFFFF);
        put16(b, at + 2, v >> 16);
    }

    // The image of a program with file version ms.ls; plus: PE32+ instead of PE32.
    static std::string build(uint32_t ms, uint32_t ls, bool plus = false) {
        constexpr uint32_t rva = 0x1000, size = kVersionBlock + 92, pe = 0x40, optional = 0x58;
        const uint32_t sections = optional + (plus ? 240 : 224);
        const uint32_t directories = optional + (plus ? 108 : 92);  // their count, then them
        std::string b(kRaw + size, '\0');
        b.replace(0, 2, "MZ");
        const uint32_t fields[][3] = {
            // offset, width, value
            {0x3C, 4, pe},
            {pe, 4, 0x4550},
            {pe + 6, 2, 1},
            {pe + 20, 2, sections - optional},
            {optional, 2, plus ? 0x20Bu : 0x10Bu},
            {directories, 4, 16},
            {directories + 20, 4, rva},
            {directories + 24, 4, size},  // the resource directory
            {sections + 8, 4, size},
            {sections + 12, 4, rva},
            {sections + 16, 4, size},
            {sections + 20, 4, kRaw},
            // Three directories of one id entry each, the data entry, the block's header.
            {kRaw + 14, 2, 1},
            {kRaw + 16, 4, 16},
            {kRaw + 20, 4, 0x80000000u | kNameDir},
            {kRaw + kNameDir + 14, 2, 1},
            {kRaw + kNameDir + 16, 4, 1},
            {kRaw + kNameDir + 20, 4, 0x80000030u},
            {kRaw + 0x30 + 14, 2, 1},
            {kRaw + 0x30 + 16, 4, 0x409},
            {kRaw + 0x30 + 20, 4, kDataEntry},
            {kRaw + kDataEntry, 4, rva + kVersionBlock},
            {kRaw + kDataEntry + 4, 4, 92},
            {kRaw + kVersionBlock, 2, 92},
            {kRaw + kVersionBlock + 2, 2, 52},
            // VS_FIXEDFILEINFO: signature, structure version, file version.
            {kRaw + kVersionBlock + 40, 4, 0xFEEF04BDu},
            {kRaw + kVersionBlock + 44, 4, 0x10000},
            {kRaw + kVersionBlock + 48, 4, ms},
            {kRaw + kVersionBlock + 52, 4, ls}};
        for (const auto& [at, width, value] : fields) {
            width == 2 ? put16(b, at, value) : put32(b, at, value);
        }
        const std::u16string key = u"VS_VERSION_INFO";
        for (size_t i = 0; i < key.size(); ++i) {
            put16(b, kRaw + kVersionBlock + 6 + 2 * i, key[i]);
        }
        return b;
    }
};

}  // namespace lume::test
