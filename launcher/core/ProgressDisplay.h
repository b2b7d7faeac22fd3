// Turns the update run's progress reports into the progress text and bar position. A
// second phase of reports that starts again from zero continues from where the bar stood:
// the first zero report after progress captures the bar as the new base.
#pragma once

#include <cstdint>
#include <string>

namespace lume {

class ProgressDisplay {
public:
    struct Shown {
        std::u16string text;
        int bar = 0;
    };

    // A progress report (message 6027): total T = wParam, D = low + high 16 bits of lParam.
    // currentBar is the bar's position before this report.
    Shown onProgress(int32_t total, uint32_t lParam, int currentBar);

private:
    int zeroStreak_ = 0;
    bool capture_ = false;
    int textBase_ = 0;
    int barBase_ = 0;
};

// A download speed as the window shows it: "850 KB/s", "12.5 MB/s" (powers of 1024).
std::u16string speedText(uint64_t bytesPerSecond);

// "更新耗时:%d分%d秒" for the seconds an update took.
std::u16string elapsedText(int64_t seconds);

}  // namespace lume
