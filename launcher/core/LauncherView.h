// What the launcher's flow needs of a front end: the window's statics, progress bar, zone
// buttons, start button and message boxes. The desktop window and the terminal launcher
// each implement it; every call comes on the front end's own thread.
#pragma once

#include <cstdint>
#include <string>

namespace lume {

class LauncherView {
public:
    virtual ~LauncherView() = default;

    // The status line (every tip text goes here).
    virtual void showTip(const std::u16string& text) = 0;
    // The progress text and elapsed-time text.
    virtual void showProgressText(const std::u16string& text) = 0;
    // The download speed, with every progress report of an update (speedText gives the
    // window's form of it). A front end that shows no speed keeps this one.
    virtual void showSpeed(uint64_t bytesPerSecond) { static_cast<void>(bytesPerSecond); }
    virtual void setProgressBar(int position) = 0;
    virtual int progressBar() const = 0;
    // The name of the current server.
    virtual void showServerName(const std::u16string& name) = 0;
    // Zone button 0 or 1 shows a server's name, or is hidden (null).
    virtual void showZoneButton(int index, const std::u16string* name) = 0;
    // The start button: enabled exactly while the launcher is idle.
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void messageBox(const std::u16string& text, const std::u16string& caption) = 0;
    // OK / Cancel question; true for OK.
    virtual bool confirm(const std::u16string& text, const std::u16string& caption) = 0;
};

}  // namespace lume
