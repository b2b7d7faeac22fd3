#include "platform/Time.h"

#include <time.h>

#include <string>

namespace platform {

namespace {

std::string format(const char* pattern, const tm& local) {
    // strftime returns 0 both for "too small" and for an empty result, so grow a few times
    // and then give up: a pattern that only yields nothing is as good as a failure.
    std::string out(64, '\0');
    for (int attempt = 0; attempt < 6; ++attempt) {
        const size_t n = ::strftime(out.data(), out.size(), pattern, &local);
        if (n > 0) {
            out.resize(n);
            return out;
        }
        out.resize(out.size() * 4);
    }
    return {};
}

}  // namespace

std::string formatLocalTime(const char* pattern) {
    if (pattern == nullptr || *pattern == '\0') {
        return {};
    }
    const time_t now = ::time(nullptr);
    tm local{};
    if (::localtime_r(&now, &local) == nullptr) {
        return {};
    }
    return format(pattern, local);
}

std::string formatUtcTime(int64_t seconds, const char* pattern) {
    if (pattern == nullptr || *pattern == '\0') {
        return {};
    }
    const auto time = static_cast<time_t>(seconds);
    tm utc{};
    if (::gmtime_r(&time, &utc) == nullptr) {
        return {};
    }
    return format(pattern, utc);
}

uint64_t monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

int64_t unixTime() {
    return static_cast<int64_t>(::time(nullptr));
}

}  // namespace platform
