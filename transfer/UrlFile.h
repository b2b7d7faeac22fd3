// The only path to HTTP: one libcurl easy handle per owner, used from one thread, reused
// for every transfer of that owner. Four plain GET transfers: whole resource into a file,
// whole resource into a stream, one byte range into a stream, and a timed probe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lume {

class Stream;

class UrlFile {
public:
    UrlFile();
    ~UrlFile();
    UrlFile(const UrlFile&) = delete;
    UrlFile& operator=(const UrlFile&) = delete;

    // Releases the handle; later transfers fail.
    void cleanup();

    // connectTimeoutMs 0 leaves libcurl's default connect time-out.
    bool downloadToFile(std::u16string_view url, std::u16string_view path,
                        int32_t connectTimeoutMs);
    // On success the stream is positioned at 0.
    bool downloadToStream(std::u16string_view url, Stream& stream, int32_t connectTimeoutMs);
    // Fetches bytes offset .. offset + size - 1. On success the stream is positioned at 0.
    bool downloadRange(std::u16string_view url, Stream& stream, uint32_t offset, uint32_t size,
                       int32_t connectTimeoutMs);
    // Downloads the resource into 1 MiB of memory and reports the transfer time; a failed
    // download reports 555555.0 seconds.
    bool probe(std::u16string_view url, int32_t connectTimeoutMs, double& seconds);

private:
    void* handle_ = nullptr;  // CURL*
};

}  // namespace lume
