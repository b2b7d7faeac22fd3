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
    // The file itself, for positioned reads and writes that leave the stream's position.
    platform::NativeFile& file() { return file_; }
    [[nodiscard]] bool sync() override;
    // Gives the file its disk space up to length (see platform::NativeFile::reserve).
    [[nodiscard]] bool reserve(uint32_t length);
    // Truncates or extends the file to length.
    [[nodiscard]] bool resize(uint32_t length);

    int state() const { return state_; }
    // The Win32-style code of the last failure (kErrSuccess when none failed yet).
    uint32_t error() const { return error_; }
    const std::u16string& path() const { return path_; }

    // Win32 error codes 2, 4, 6, 12, 32 and 39 are access failures; the rest are others.
    static int stateFromError(uint32_t code);

private:
    std::u16string path_;
    bool failed(const platform::Status& status);

    platform::NativeFile file_;
    int state_ = kClosed;
    uint32_t error_ = 0;
};

}  // namespace lume
