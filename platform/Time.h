// Wall-clock texts and the monotonic clock.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The local time formatted with strftime's pattern; empty if it cannot be formatted.
std::string formatLocalTime(const char* pattern);
// A time in seconds since the Unix epoch, as UTC, formatted the same way.
std::string formatUtcTime(int64_t seconds, const char* pattern);
// Milliseconds of a steady clock, for measuring durations.
uint64_t monotonicMs();
// Seconds since the Unix epoch.
int64_t unixTime();

}  // namespace platform
