// Helpers shared by the transfer tests: a log that keeps its lines, files of known bytes,
// and bounded waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/Kernel/Logger.h"
#include "platform/Text.h"

namespace lume::test {

// Installs itself as the process's Logger for its lifetime and keeps every line as UTF-8,
// prefixed with its level ("-1 下载[...").
class LogCapture : public Logger::Writter {
public:
    LogCapture() : logger_(this) {}
    ~LogCapture() override = default;

    void write(int level, std::u16string_view text) override {
        add(level, platform::wideToUtf8(text));
    }
    void write(int level, std::string_view text) override {
        add(level, platform::wideToUtf8(platform::narrowToWide(text)));
    }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Lines containing every one of the parts.
    std::vector<std::string> matching(std::initializer_list<std::string_view> parts) const {
        std::vector<std::string> out;
        for (const std::string& line : lines()) {
            bool all = true;
            for (std::string_view part : parts) {
                all = all && line.find(part) != std::string::npos;
            }
            if (all) {
                out.push_back(line);
            }
        }
        return out;
    }
    std::string text() const {
        std::string out;
        for (const std::string& line : lines()) {
            out += line + "\n";
        }
        return out;
    }

private:
    void add(int level, std::string line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::to_string(level) + " " + line);
    }

    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    Logger logger_;
};

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

// Waits until done() holds, at most limit; true when it held.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace lume::test
