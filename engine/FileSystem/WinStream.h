// A stream over an operating-system file. Its state says what happened last: a short read
// moves it to end-of-file, where reads are refused until a seek (writes still work).
#pragma once

#include <string>
#include <string_view>

#include "engine/FileSystem/Stream.h"
#include "platform/Files.h"

namespace lume {

class WinStream : public Stream {
public:
    enum State : int {
        kGood = 0,
        kAccessFailed = 1,  // open or access failure (not found, denied, sharing, ...)
        kEndOfFile = 2,
        kClosed = 4,
        kFailed = 5,  // any other failure
    };

    WinStream() = default;
    ~WinStream() override;

    // Modes as platform::NativeFile; modes 1-3 create missing parent directories.
    bool open(std::u16string_view path, int mode);
    void close();

    bool read(void* buffer, uint32_t length, uint32_t* count = nullptr) override;
    [[nodiscard]] bool write(const void* buffer, uint32_t length) override;
    bool seek(uint32_t position) override;
    uint32_t tell() override;
    uint32_t size() override;
    int handle() override { return file_.fd(); }

    int state() const { return state_; }
    const std::u16string& path() const { return path_; }

    // Win32 error codes 2, 4, 6, 12, 32 and 39 are access failures; the rest are others.
    static int stateFromError(uint32_t code);

private:
    std::u16string path_;
    platform::NativeFile file_;
    int state_ = kClosed;
};

}  // namespace lume
