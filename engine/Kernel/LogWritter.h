// The run's log file "log\<program><HH-MM-SS>.log": one line per message at or below the
// threshold, "[HH:MM:SS]:" + text + CRLF in the narrow code page, echoed to standard output.
// Starting a writer deletes logs older than one hour. When the file cannot be created,
// every message is dropped silently.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Singleton.h"
#include "platform/Files.h"

namespace lume {

class LogWritter : public Logger::Writter, public Singleton<LogWritter> {
public:
    static constexpr uint64_t kMaxAgeMs = 3600000;

    // Creates "log" in the working directory, cleans it up, and opens this run's file.
    explicit LogWritter(int threshold);
    ~LogWritter() override;

    // Called on any thread; lines of one writer never interleave.
    void write(int level, std::u16string_view text) override;
    void write(int level, std::string_view text) override;

    bool isOpen() const { return open_.load(); }
    int threshold() const { return threshold_; }
    const std::u16string& path() const { return path_; }
    // The echo of every line to standard output (on by default). The terminal launcher
    // turns it off while it draws its progress line.
    void setEcho(bool echo);

    // Deletes the "*.log" files in directory whose last write is more than an hour before
    // now. Times are compared in full, so the result does not depend on where the
    // millisecond count happens to wrap.
    static void cleanUp(std::u16string_view directory, platform::FileTime now);

private:
    void writeLine(const std::string& narrowText);

    std::mutex mutex_;
    std::atomic<bool> open_{false};
    platform::NativeFile file_;
    int threshold_;
    std::u16string path_;
    bool echo_ = true;
};

}  // namespace lume
