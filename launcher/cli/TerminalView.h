// The terminal face of the launcher: tips and results as lines, and the update's progress
// as one redrawn line with percent, the current file, speed and time left (on a terminal),
// or a plain line per second (when the output is a file or a pipe).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "launcher/core/LauncherView.h"

namespace lume {

class TerminalView : public LauncherView {
public:
    // clock: milliseconds of a steady clock (injectable for tests).
    TerminalView(std::FILE* out, bool interactive, std::function<uint64_t()> clock = {});

    void showTip(const std::u16string& text) override;
    void showProgressText(const std::u16string& text) override;
    void showSpeed(uint64_t bytesPerSecond) override { rate_ = bytesPerSecond; }
    void setProgressBar(int position) override;
    int progressBar() const override { return bar_; }
    void showServerName(const std::u16string& name) override;
    void showZoneButton(int, const std::u16string*) override {}
    void setStartEnabled(bool) override {}
    void messageBox(const std::u16string& text, const std::u16string& caption) override;
    // A terminal launcher never waits for an answer: closing is always confirmed.
    bool confirm(const std::u16string&, const std::u16string&) override { return true; }

    // A progress report of the update run (message 6027): total T and the two counters,
    // each block counting once downloaded and once written.
    void onUpdateProgress(int32_t total, uint32_t lParam);
    // A progress report of the patch processor (message 6038): packs done of total.
    void onPatchProgress(uint32_t done, uint32_t total);
    // Progress of work measured in bytes (a verification): done of total, on the file named.
    void onBytesProgress(uint64_t done, uint64_t total, const std::u16string& current);
    // Prints a line of its own (ends the progress line first).
    void line(const std::string& utf8);
    // Ends the progress line, if one is being drawn.
    void finish();

    // "[#####.....]  42% 1.5 MiB/s ETA 0:12 current file" as drawn for these values; a
    // negative rate is left out.
    static std::string progressLine(int percent, double bytesPerSecond, int64_t etaSeconds,
                                    const std::string& current, size_t width);

private:
    void draw(bool force);

    std::FILE* out_;
    bool interactive_;
    std::function<uint64_t()> clock_;
    int bar_ = 0;
    std::string currentFile_;
    std::string progressText_;
    int percent_ = 0;
    double done_ = 0;        // units done: blocks downloaded (half of the counters), or bytes
    double total_ = 0;       // units in all
    double unit_ = 32768.0;  // bytes per unit
    uint64_t started_ = 0;
    uint64_t rate_ = 0;  // as the updater measures it; 0 until it says
    uint64_t lastDraw_ = 0;
    bool lineOpen_ = false;
    bool patch_ = false;  // the figures are packs, not blocks: no rate
};

}  // namespace lume
