// Serving a directory over HTTP with single byte ranges, for lume-serve and the loopback
// servers of the tests. The range arithmetic is ours rather than the HTTP library's, so that
// a range past the end answers 416 and the body is always exactly what the headers announce.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace lume::serve {

// Both ends inclusive.
struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;
};

enum class RangeKind {
    None,           // no usable range: the whole resource is sent (a server may ignore one)
    Satisfiable,    // the range, clipped to the resource
    Unsatisfiable,  // starts at or past the end: 416
};

// Reads a Range header value ("bytes=0-15", "bytes=100-", "bytes=-500") against a resource
// of size bytes. Several ranges or another unit count as no range.
RangeKind parseRange(std::string_view header, uint64_t size, ByteRange& out);

// The regular file that a request path names under root, or an empty path when the request
// leaves root (".." segments) or names no regular file.
std::filesystem::path resolvePath(const std::filesystem::path& root, std::string_view target);

// What a GET of a file answers.
struct FileReply {
    int status = 404;  // 200, 206, 404 or 416
    std::filesystem::path file;
    uint64_t fileSize = 0;
    uint64_t offset = 0;  // first byte of the body in the file
    uint64_t length = 0;  // bytes of the body
    std::string contentRange;
};

FileReply planReply(const std::filesystem::path& root, std::string_view target,
                    std::string_view rangeHeader);

// The Content-Type of a file by its extension, so that a browser shows the pages it is
// served (the launcher's news pages); application/octet-stream for anything else.
std::string_view contentType(const std::filesystem::path& file);

// A file opened once for the whole body of a reply.
class FileSource {
public:
    static constexpr uint64_t kChunk = 64 * 1024;

    explicit FileSource(const std::filesystem::path& file);
    ~FileSource();
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Writes up to chunk bytes from position to the sink. False when the file cannot be
    // read there or the sink refuses the bytes.
    bool send(uint64_t position, uint64_t chunk, httplib::DataSink& sink);

private:
    int fd_ = -1;
};

// Answers req with the planned reply: status, Content-Range, Accept-Ranges and a body
// streamed from the file. Keeps the HTTP library from applying the request's range a second
// time.
void sendReply(const httplib::Request& req, httplib::Response& res, const FileReply& reply);

// Makes the library leave the body alone: the handler has applied the range already.
void takeOverRange(const httplib::Request& req);

}  // namespace lume::serve
