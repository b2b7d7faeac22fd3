// Shared pieces of the fuzz targets: a scratch directory of the process (in memory when the
// machine has /dev/shm) made the working directory, and input written to a file in it for
// the parsers that read files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace lume::fuzz {

// Called once per input; the first call makes the directory and moves into it.
inline void enterScratch() {
    [[maybe_unused]] static const bool entered = [] {
        namespace fs = std::filesystem;
        const fs::path base =
            fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        const fs::path dir = base / ("lume-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        fs::current_path(dir);
        std::atexit([] {
            std::error_code ec;
            const fs::path here = fs::current_path(ec);
            fs::current_path("/", ec);
            fs::remove_all(here, ec);
        });
        return true;
    }();
}

inline void writeFile(const std::string& path, std::string_view bytes) {
    std::filesystem::create_directories(std::filesystem::absolute(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string_view asText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace lume::fuzz
