// The file version of a Windows program, read portably from the fixed part of the
// VS_VERSIONINFO resource in its resource directory. The reader follows a fixed path
// (version type, first name, first language) with every offset checked against the file and
// the resource section, so a damaged or hostile file costs a handful of small reads.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// dwFileVersionMS and dwFileVersionLS of VS_FIXEDFILEINFO. Ordered as versions are compared:
// the most significant 32 bits first, then the least significant.
struct FileVersion {
    uint32_t ms = 0;
    uint32_t ls = 0;
    auto operator<=>(const FileVersion&) const = default;
};

// Nothing when the file does not open, is not a PE file (PE32 or PE32+), or has no
// readable version resource with the fixed file information's signature.
std::optional<FileVersion> readFileVersion(std::u16string_view path);

}  // namespace platform
