#include "engine/FileSystem/File.h"

#include <atomic>
#include <vector>

#include "engine/FileSystem/MemoryStream.h"
#include "engine/FileSystem/WinStream.h"
#include "platform/Files.h"

namespace lume {

namespace {

std::atomic<File::PackFallback> g_packFallback{nullptr};

bool endsWithSeparator(std::u16string_view path) {
    return !path.empty() && (path.back() == u'\\' || path.back() == u'/');
}

// Deletes every file below dir; the folders themselves stay.
void emptyDirectory(const std::u16string& dir) {
    std::u16string prefix = dir;
    if (!endsWithSeparator(prefix)) {
        prefix += u'\\';
    }
    std::vector<platform::FindData> entries;
    if (!platform::findFiles(prefix + u"*.*", entries)) {
        return;
    }
    for (const platform::FindData& entry : entries) {
        if (entry.name == u"." || entry.name == u"..") {
            continue;
        }
        const std::u16string full = prefix + entry.name;
        if (entry.directory) {
            emptyDirectory(full);
        } else {
            platform::deleteFile(full);
        }
    }
}

}  // namespace

void File::setPackFallback(PackFallback fallback) {
    g_packFallback.store(fallback, std::memory_order_release);
}

File::~File() = default;

bool File::open(std::u16string_view path, int mode) {
    close();
    auto stream = std::make_unique<WinStream>();
    if (!stream->open(path, mode)) {
        return false;
    }
    stream_ = std::move(stream);
    return true;
}

bool File::openInData(std::u16string_view path, int mode, bool useDataDirectory) {
    std::u16string full;
    if (path.find(u':') == std::u16string_view::npos && useDataDirectory) {
        full = u"..\\data\\";
    }
    full += path;
    if (open(full, mode)) {
        return true;
    }
    // Only reading can be served from the packs; they are never written through a File.
    if (mode != 0) {
        return false;
    }
    const PackFallback fallback = g_packFallback.load(std::memory_order_acquire);
    if (fallback == nullptr) {
        return false;
    }
    std::unique_ptr<Stream> packed = fallback(path, mode);
    if (!packed) {
        return false;
    }
    stream_ = std::move(packed);
    return true;
}

bool File::openMemory(uint32_t capacity) {
    close();
    auto stream = std::make_unique<MemoryStream>(capacity);
    if (stream->capacity() != capacity) {
        return false;
    }
    stream_ = std::move(stream);
    return true;
}

bool File::create(std::u16string_view path, int mode, uint32_t length) {
    if (!open(path, mode)) {
        return false;
    }
    if (!stream_->writeZeros(length) || !stream_->seek(0)) {
        close();
        return false;
    }
    return true;
}

void File::adopt(std::unique_ptr<Stream> stream) {
    stream_ = std::move(stream);
}

void File::close() {
    stream_.reset();
}

bool File::read(void* buffer, uint32_t length, uint32_t* count) {
    if (buffer == nullptr || length == 0 || !stream_) {
        return false;
    }
    return stream_->read(buffer, length, count);
}

bool File::write(const void* buffer, uint32_t length) {
    return stream_ && stream_->write(buffer, length);
}

bool File::seek(uint32_t position) {
    return stream_ && stream_->seek(position);
}

uint32_t File::tell() {
    return stream_ ? stream_->tell() : 0;
}

uint32_t File::size() {
    return stream_ ? stream_->size() : 0;
}

uint8_t* File::data() {
    return stream_ ? stream_->data() : nullptr;
}

int File::handle() {
    return stream_ ? stream_->handle() : -1;
}

bool File::sync() {
    return stream_ && stream_->sync();
}

bool File::copyFrom(Stream& source, uint32_t length) {
    return stream_ && stream_->copyFrom(source, length);
}

bool File::writeZeros(uint32_t length) {
    return stream_ && stream_->writeZeros(length);
}

bool File::readAll(std::string& out) {
    if (!stream_) {
        out.clear();
        return false;
    }
    return stream_->readAll(out);
}

bool File::isFile(std::u16string_view path) {
    platform::FileAttributes attributes;
    return platform::getAttributes(path, attributes) && !attributes.directory;
}

bool File::isDirectory(std::u16string_view path) {
    return platform::isDirectory(path);
}

bool File::touch(std::u16string_view path) {
    if (isFile(path)) {
        return true;
    }
    WinStream stream;
    return stream.open(path, 1);
}

bool File::rename(std::u16string_view from, std::u16string_view to) {
    return platform::moveFile(from, to);
}

bool File::replace(std::u16string_view from, std::u16string_view to) {
    return platform::replaceFile(from, to);
}

bool File::replaceDurably(std::u16string_view from, std::u16string_view to) {
    return static_cast<bool>(platform::replaceFileDurably(from, to));
}

bool File::deleteFile(std::u16string_view path) {
    return platform::deleteFile(path);
}

bool File::deleteTree(std::u16string_view path) {
    const std::u16string top(path);
    emptyDirectory(top);
    return platform::removeDirectory(top);
}

bool File::makeDirectories(std::u16string_view path, bool includeLast) {
    return platform::makeDirectories(path, includeLast);
}

}  // namespace lume
