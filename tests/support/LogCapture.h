// Installs itself as the process's Logger for its lifetime and keeps every line as UTF-8,
// prefixed with its level ("-1 下载[...").
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Kernel/Logger.h"
#include "platform/Text.h"

namespace lume::test {

class LogCapture : public Logger::Writter {
public:
    LogCapture() : logger_(this) {}

    void write(int level, std::u16string_view text) override {
        add(level, platform::wideToUtf8(text));
    }
    void write(int level, std::string_view text) override {
        add(level, platform::wideToUtf8(platform::narrowToWide(text)));
    }
    // Lines that contain every one of the parts.
    size_t count(std::initializer_list<std::string_view> parts) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const std::string& line : lines_) {
            bool all = true;
            for (std::string_view part : parts) {
                all = all && line.find(part) != std::string::npos;
            }
            n += all ? 1 : 0;
        }
        return n;
    }
    bool has(std::string_view part) const { return count({part}) != 0; }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        for (const std::string& line : lines_) {
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

}  // namespace lume::test
