#include "launcher/core/ProgressDisplay.h"

#include "engine/Kernel/Format.h"

namespace lume {

ProgressDisplay::Shown ProgressDisplay::onProgress(int32_t total, uint32_t lParam, int currentBar) {
    const int64_t done = static_cast<int64_t>(lParam & 0xFFFF) + (lParam >> 16);
    const int64_t whole = 2 * static_cast<int64_t>(total);
    Shown shown;
    if (total <= 0) {
        shown.text = formatW(u"更新进度:%d/%d", done, whole);
        shown.bar = barBase_;
        return shown;
    }
    const int step = static_cast<int>(static_cast<float>(done) * 50.0f / static_cast<float>(total));
    const int percent = done == whole ? 100 : static_cast<int>(done * 100 / whole);
    if (percent == 0) {
        ++zeroStreak_;
    } else {
        zeroStreak_ = 0;
    }
    if (zeroStreak_ == 1) {
        capture_ = true;
    }
    if (capture_) {
        textBase_ = currentBar;
        barBase_ = currentBar;
        capture_ = false;
    }
    shown.text = formatW(u"更新进度:%d%%", textBase_ + percent);
    shown.bar = barBase_ + step;
    return shown;
}

std::u16string speedText(uint64_t bytesPerSecond) {
    const double rate = static_cast<double>(bytesPerSecond);
    if (rate >= 1024.0 * 1024.0) {
        return formatW(u"%.1f MB/s", rate / (1024.0 * 1024.0));
    }
    return formatW(u"%d KB/s", static_cast<int64_t>(rate / 1024.0));
}

std::u16string elapsedText(int64_t seconds) {
    if (seconds < 0) {
        seconds = 0;
    }
    return formatW(u"更新耗时:%d分%d秒", seconds / 60, seconds % 60);
}

}  // namespace lume
