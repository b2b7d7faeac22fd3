#include "tools/serve/StaticFiles.h"

#include <cctype>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <system_error>
#include <vector>

namespace lume::serve {
namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool readNumber(std::string_view text, uint64_t& out) {
    if (text.empty()) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

RangeKind parseRange(std::string_view header, uint64_t size, ByteRange& out) {
    header = trim(header);
    constexpr std::string_view kUnit = "bytes=";
    if (header.substr(0, kUnit.size()) != kUnit) {
        return RangeKind::None;
    }
    const std::string_view ranges = trim(header.substr(kUnit.size()));
    const size_t dash = ranges.find('-');
    if (ranges.find(',') != std::string_view::npos || dash == std::string_view::npos) {
        return RangeKind::None;
    }
    const std::string_view firstText = trim(ranges.substr(0, dash));
    const std::string_view lastText = trim(ranges.substr(dash + 1));
    uint64_t first = 0;
    uint64_t last = 0;
    if (firstText.empty()) {
        // The final n bytes.
        if (!readNumber(lastText, last)) {
            return RangeKind::None;
        }
        if (last == 0 || size == 0) {
            return RangeKind::Unsatisfiable;
        }
        out.first = size > last ? size - last : 0;
        out.last = size - 1;
        return RangeKind::Satisfiable;
    }
    if (!readNumber(firstText, first)) {
        return RangeKind::None;
    }
    if (lastText.empty()) {
        last = UINT64_MAX;
    } else if (!readNumber(lastText, last) || last < first) {
        return RangeKind::None;
    }
    if (first >= size) {
        return RangeKind::Unsatisfiable;
    }
    out.first = first;
    out.last = std::min(last, size - 1);
    return RangeKind::Satisfiable;
}

std::filesystem::path resolvePath(const std::filesystem::path& root, std::string_view target) {
    std::filesystem::path path = root;
    size_t start = 0;
    while (start <= target.size()) {
        size_t end = target.find('/', start);
        if (end == std::string_view::npos) {
            end = target.size();
        }
        const std::string_view segment = target.substr(start, end - start);
        start = end + 1;
        if (segment.empty() || segment == ".") {
            continue;
        }
        if (segment == ".." || segment.find('\0') != std::string_view::npos) {
            return {};
        }
        path /= std::string(segment);
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    return path;
}

FileReply planReply(const std::filesystem::path& root, std::string_view target,
                    std::string_view rangeHeader) {
    FileReply reply;
    reply.file = resolvePath(root, target);
    std::error_code error;
    const uint64_t size = reply.file.empty() ? 0 : std::filesystem::file_size(reply.file, error);
    if (reply.file.empty() || error) {
        reply.status = 404;
        reply.file.clear();
        return reply;
    }
    reply.fileSize = size;
    ByteRange range;
    switch (parseRange(rangeHeader, size, range)) {
        case RangeKind::None:
            reply.status = 200;
            reply.offset = 0;
            reply.length = size;
            break;
        case RangeKind::Satisfiable:
            reply.status = 206;
            reply.offset = range.first;
            reply.length = range.last - range.first + 1;
            reply.contentRange = "bytes " + std::to_string(range.first) + "-" +
                                 std::to_string(range.last) + "/" + std::to_string(size);
            break;
        case RangeKind::Unsatisfiable:
            reply.status = 416;
            reply.contentRange = "bytes */" + std::to_string(size);
            break;
    }
    return reply;
}

FileSource::FileSource(const std::filesystem::path& file) {
    fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
}

FileSource::~FileSource() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool FileSource::send(uint64_t position, uint64_t chunk, httplib::DataSink& sink) {
    if (fd_ < 0 || chunk == 0) {
        return false;
    }
    std::vector<char> buffer(static_cast<size_t>(std::min(chunk, kChunk)));
    ssize_t got;
    do {
        got = ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(position));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return false;
    }
    return sink.write(buffer.data(), static_cast<size_t>(got));
}

std::string_view contentType(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    for (char& c : ext) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    static const std::pair<std::string_view, std::string_view> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".htm", "text/html; charset=utf-8"},
        {".css", "text/css"},
        {".js", "text/javascript"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".svg", "image/svg+xml"},
        {".txt", "text/plain"},
    };
    for (const auto& [extension, type] : kTypes) {
        if (ext == extension) {
            return type;
        }
    }
    return "application/octet-stream";
}

void takeOverRange(const httplib::Request& req) {
    // The library would cut the range out of our body again; the request object is the
    // library's own non-const local, so clearing its parsed ranges is well defined.
    const_cast<httplib::Request&>(req).ranges.clear();
}

void sendReply(const httplib::Request& req, httplib::Response& res, const FileReply& reply) {
    takeOverRange(req);
    res.status = reply.status;
    if (reply.status == 404) {
        res.set_content("not found\n", "text/plain");
        return;
    }
    res.set_header("Accept-Ranges", "bytes");
    if (!reply.contentRange.empty()) {
        res.set_header("Content-Range", reply.contentRange);
    }
    if (reply.status == 416 || reply.length == 0) {
        res.set_content("", "application/octet-stream");
        return;
    }
    auto source = std::make_shared<FileSource>(reply.file);
    if (!source->isOpen()) {
        res.status = 404;
        res.set_content("not found\n", "text/plain");
        return;
    }
    const uint64_t start = reply.offset;
    res.set_content_provider(
        static_cast<size_t>(reply.length), std::string(contentType(reply.file)),
        [source, start](size_t offset, size_t length, httplib::DataSink& sink) {
            return source->send(start + offset, length, sink);
        });
}

}  // namespace lume::serve
