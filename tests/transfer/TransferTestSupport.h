// Helpers shared by the transfer tests: bytes that show a misplaced block.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Text.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"

namespace lume::test {

// Bytes that differ at every offset of a 32 KiB block, so a block in the wrong place shows.
inline std::string patternBytes(size_t size, uint32_t seed = 1) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>((x >> 16) ^ (i >> 8));
    }
    return out;
}

}  // namespace lume::test
