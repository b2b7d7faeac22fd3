// The owning front end of every file access: opens the right kind of stream (a file, a
// memory buffer, or a file inside a pack through the pack fallback) and forwards to it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "engine/FileSystem/Stream.h"

namespace lume {

class File : public Stream {
public:
    // Opens a read-only stream on a file inside the packs, or returns null. The pack store
    // installs it; until then nothing is found in packs. Called on any thread.
    using PackFallback = std::unique_ptr<Stream> (*)(std::u16string_view path, int mode);
    static void setPackFallback(PackFallback fallback);

    File() = default;
    ~File() override;

    bool open(std::u16string_view path, int mode);
    // A path with ':' is opened unchanged; otherwise with useDataDirectory "..\data\" is put
    // in front. If that fails and mode is 0, the packs are asked for the path as given.
    bool openInData(std::u16string_view path, int mode, bool useDataDirectory = true);
    bool openMemory(uint32_t capacity);
    // Opens as open() and writes length zero bytes, then seeks back to 0.
    [[nodiscard]] bool create(std::u16string_view path, int mode, uint32_t length);
    // Takes ownership of an already opened stream.
    void adopt(std::unique_ptr<Stream> stream);
    void close();
    bool isOpen() const { return stream_ != nullptr; }
    Stream* stream() const { return stream_.get(); }

    // Refuses a null buffer or a zero length at once. Without a stream every operation
    // fails (or reports 0 / null).
    bool read(void* buffer, uint32_t length, uint32_t* count = nullptr) override;
    [[nodiscard]] bool write(const void* buffer, uint32_t length) override;
    bool seek(uint32_t position) override;
    uint32_t tell() override;
    uint32_t size() override;
    uint8_t* data() override;
    int handle() override;
    [[nodiscard]] bool sync() override;
    [[nodiscard]] bool copyFrom(Stream& source, uint32_t length) override;
    [[nodiscard]] bool writeZeros(uint32_t length) override;
    bool readAll(std::string& out) override;

    // File-system helpers.
    static bool isFile(std::u16string_view path);
    static bool isDirectory(std::u16string_view path);
    // Creates an empty file when none exists.
    static bool touch(std::u16string_view path);
    // Moves a file; fails when the destination exists.
    [[nodiscard]] static bool rename(std::u16string_view from, std::u16string_view to);
    // Moves a file over its destination in one atomic step.
    [[nodiscard]] static bool replace(std::u16string_view from, std::u16string_view to);
    // The same, surviving a power cut: from's data synced first, the folders after.
    [[nodiscard]] static bool replaceDurably(std::u16string_view from, std::u16string_view to);
    static bool deleteFile(std::u16string_view path);
    // Deletes every file in the tree; subdirectories are emptied but kept; finally tries
    // to remove the top directory (which fails while subdirectories remain).
    static bool deleteTree(std::u16string_view path);
    static bool makeDirectories(std::u16string_view path, bool includeLast = false);

private:
    std::unique_ptr<Stream> stream_;
};

}  // namespace lume
