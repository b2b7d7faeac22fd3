// The file checksum of the file lists and the pack index: the CRC-32 register (reflected
// polynomial 0xEDB88320) started at 0xFFFFFFFF with no final inversion, so the value is the
// bitwise complement of the usual CRC-32 of the same bytes. The checksum of a stream is
// engine/FileSystem/FileChecksum.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lume {

constexpr uint32_t kChecksumStart = 0xFFFFFFFFu;

// Advances the register over the bytes (libdeflate's crc32 does the work).
uint32_t checksumUpdate(uint32_t reg, const void* data, size_t length);
// The same register arithmetic, one table step per byte: the reference the fast path is
// held to.
uint32_t checksumUpdateTable(uint32_t reg, const void* data, size_t length);

}  // namespace lume
