#include "launcher/cli/TerminalView.h"

#include <algorithm>
#include <cmath>

#include "platform/Text.h"
#include "platform/Time.h"

namespace lume {

namespace {
constexpr double kBlockBytes = 32768.0;

std::string humanRate(double bytesPerSecond) {
    char buffer[32];
    if (bytesPerSecond >= 1024.0 * 1024.0) {
        std::snprintf(buffer, sizeof buffer, "%.1f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
    } else {
        std::snprintf(buffer, sizeof buffer, "%.0f KiB/s", bytesPerSecond / 1024.0);
    }
    return buffer;
}
}  // namespace

TerminalView::TerminalView(std::FILE* out, bool interactive, std::function<uint64_t()> clock)
    : out_(out), interactive_(interactive), clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = [] { return platform::monotonicMs(); };
    }
}

void TerminalView::line(const std::string& utf8) {
    finish();
    std::fprintf(out_, "%s\n", utf8.c_str());
    std::fflush(out_);
}

void TerminalView::finish() {
    if (lineOpen_) {
        std::fputc('\n', out_);
        lineOpen_ = false;
        std::fflush(out_);
    }
}

void TerminalView::showTip(const std::u16string& text) {
    currentFile_ = platform::wideToUtf8(text);
    if (total_ > 0) {
        draw(false);  // during the block phase the tip is the progress line's file text
    } else {
        line(currentFile_);
    }
}

void TerminalView::showProgressText(const std::u16string& text) {
    progressText_ = platform::wideToUtf8(text);
    // The elapsed time at the end of an update is a result, not a progress figure.
    if (text.rfind(u"更新耗时", 0) == 0) {
        if (total_ > 0) {
            percent_ = 100;
            done_ = total_;
            draw(true);
        }
        line(progressText_);
    }
}

void TerminalView::setProgressBar(int position) {
    bar_ = position;
}

void TerminalView::showServerName(const std::u16string& name) {
    if (!name.empty()) {
        line("server: " + platform::wideToUtf8(name));
    }
}

void TerminalView::messageBox(const std::u16string& text, const std::u16string& caption) {
    line((caption.empty() ? std::string() : platform::wideToUtf8(caption) + ": ") +
         platform::wideToUtf8(text));
}

void TerminalView::onUpdateProgress(int32_t total, uint32_t lParam) {
    const double counters =
        static_cast<double>(lParam & 0xFFFF) + static_cast<double>(lParam >> 16);
    if (total <= 0) {
        return;
    }
    if (started_ == 0) {
        started_ = clock_();
    }
    unit_ = kBlockBytes;
    total_ = total;
    done_ = counters / 2.0;
    percent_ = std::clamp(static_cast<int>(counters * 100.0 / (2.0 * total)), 0, 100);
    draw(false);
}

void TerminalView::onBytesProgress(uint64_t done, uint64_t total, const std::u16string& current) {
    if (total == 0) {
        return;
    }
    if (started_ == 0) {
        started_ = clock_();
    }
    unit_ = 1.0;
    total_ = static_cast<double>(total);
    done_ = static_cast<double>(std::min(done, total));
    percent_ = static_cast<int>(std::min(done, total) * 100 / total);
    currentFile_ = platform::wideToUtf8(current);
    draw(false);
}

void TerminalView::onPatchProgress(uint32_t done, uint32_t total) {
    if (total == 0) {
        return;
    }
    patch_ = true;
    total_ = total;
    done_ = done;
    percent_ = static_cast<int>(std::min<uint64_t>(100, uint64_t{done} * 100 / total));
    currentFile_ = "packs " + std::to_string(done) + "/" + std::to_string(total);
    draw(done >= total);
}

std::string TerminalView::progressLine(int percent, double bytesPerSecond, int64_t etaSeconds,
                                       const std::string& current, size_t width) {
    constexpr int kBar = 24;
    const int filled = std::clamp(percent, 0, 100) * kBar / 100;
    std::string s = "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(kBar - filled), '.') + "] ";
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", std::clamp(percent, 0, 100));
    s += pct;
    if (bytesPerSecond >= 0) {
        s += " " + humanRate(bytesPerSecond);
    }
    if (etaSeconds >= 0) {
        char eta[32];
        std::snprintf(eta, sizeof eta, " ETA %lld:%02lld", static_cast<long long>(etaSeconds / 60),
                      static_cast<long long>(etaSeconds % 60));
        s += eta;
    }
    if (!current.empty()) {
        s += "  " + current;
    }
    // Cut on a UTF-8 boundary so the line fits the terminal and stays valid text.
    if (s.size() > width) {
        size_t cut = width;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        s.resize(cut);
    }
    return s;
}

void TerminalView::draw(bool force) {
    const uint64_t now = clock_();
    const uint64_t interval = interactive_ ? 100 : 1000;
    if (!force && lastDraw_ != 0 && now - lastDraw_ < interval) {
        return;
    }
    lastDraw_ = now;
    const double seconds =
        started_ != 0 && now > started_ ? static_cast<double>(now - started_) / 1000.0 : 0.0;
    // The updater's own figure when it gives one; the average of the blocks so far otherwise
    // (a patch has no speed).
    const double rate = patch_        ? -1.0
                        : rate_ != 0  ? static_cast<double>(rate_)
                        : seconds > 0 ? done_ * unit_ / seconds
                                      : 0.0;
    const int64_t eta =
        rate > 0 ? static_cast<int64_t>(std::ceil((total_ - done_) * unit_ / rate)) : -1;
    const std::string text =
        progressLine(percent_, rate, eta, currentFile_, interactive_ ? 100 : 400);
    if (interactive_) {
        std::fprintf(out_, "\r\033[K%s", text.c_str());
        lineOpen_ = true;
    } else {
        std::fprintf(out_, "%s\n", text.c_str());
    }
    std::fflush(out_);
}

}  // namespace lume
