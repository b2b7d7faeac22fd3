#include "engine/Kernel/Checksum.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>

namespace lume {

uint32_t checksumUpdate(uint32_t reg, const void* data, size_t length) {
    // libdeflate (carry-less multiplication where the processor has it: several times zlib's
    // speed, the same values) keeps the complement of the register between calls and
    // inverts on the way in and out, so complementing around it yields the raw register.
    return ~libdeflate_crc32(~reg, data, length);
}

uint32_t checksumUpdateTable(uint32_t reg, const void* data, size_t length) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    auto p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) {
        reg = table[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
    }
    return reg;
}

}  // namespace lume
