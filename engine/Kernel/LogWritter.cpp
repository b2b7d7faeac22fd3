#include "engine/Kernel/LogWritter.h"

#include <cstdio>
#include <vector>

#include "platform/Text.h"
#include "platform/Time.h"

namespace lume {

LogWritter::LogWritter(int threshold) : threshold_(threshold) {
    platform::createDirectory(u"log");
    path_ = u"log\\" + platform::executableStem() +
            platform::narrowToWide(platform::formatLocalTime("%H-%M-%S")) + u".log";
    cleanUp(u"log", platform::currentFileTime());
    // Mode 1 truncates: a file left by an earlier run at the same time of day must not keep
    // its tail after this run's lines.
    open_ = static_cast<bool>(file_.open(path_, 1));
}

LogWritter::~LogWritter() {
    withdrawInstance();
    std::lock_guard<std::mutex> guard(mutex_);
    static_cast<void>(file_.close());  // nowhere left to report a lost line
    open_ = false;
}

void LogWritter::cleanUp(std::u16string_view directory, platform::FileTime now) {
    std::vector<platform::FindData> files;
    std::u16string pattern(directory);
    pattern += u"\\*.log";
    if (!platform::findFiles(pattern, files)) {
        return;
    }
    const uint64_t nowMs = now / 10000;
    for (const auto& f : files) {
        if (f.directory) {
            continue;
        }
        const uint64_t writtenMs = f.lastWrite / 10000;
        if (nowMs > writtenMs && nowMs - writtenMs > kMaxAgeMs) {
            std::u16string path(directory);
            path += u"\\";
            path += f.name;
            platform::deleteFile(path);
        }
    }
}

void LogWritter::setEcho(bool echo) {
    std::lock_guard<std::mutex> guard(mutex_);
    echo_ = echo;
}

void LogWritter::write(int level, std::u16string_view text) {
    if (!open_ || level > threshold_) {
        return;
    }
    writeLine(platform::wideToNarrow(text));
}

void LogWritter::write(int level, std::string_view text) {
    if (!open_ || level > threshold_) {
        return;
    }
    writeLine(std::string(text));
}

void LogWritter::writeLine(const std::string& narrowText) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!open_) {
        return;
    }
    std::string line = platform::formatLocalTime("[%H:%M:%S]");
    line += ":";
    line += narrowText;
    line += "\r\n";
    uint32_t put = 0;
    // A line the disk refuses cannot be logged either; the run goes on without it.
    static_cast<void>(file_.write(line.data(), static_cast<uint32_t>(line.size()), put));
    if (echo_) {
        // The terminal reads UTF-8; the file keeps the code page's bytes.
        std::string echo = platform::wideToUtf8(
            platform::narrowToWide(std::string_view(line).substr(0, line.size() - 2)));
        echo += "\n";
        std::fwrite(echo.data(), 1, echo.size(), stdout);
        std::fflush(stdout);
    }
}

}  // namespace lume
