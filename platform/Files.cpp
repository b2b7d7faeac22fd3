#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "platform/Error.h"
#include "platform/FaultInjection.h"
#include "platform/Internal.h"
#include "platform/Text.h"

namespace platform {

using detail::errnoFailure;
using detail::fail;
using detail::failCode;
using detail::failPath;
using detail::failure;
using detail::pathFailure;
using detail::UniqueDir;
using detail::UniqueFd;
using faults::Call;

namespace {

constexpr int kAccessRead = 1;
constexpr int kAccessWrite = 2;
constexpr int kShareRead = 1;
constexpr int kShareWrite = 2;

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

FileTime toFileTime(const timespec& ts) {
    const int64_t ticks =
        static_cast<int64_t>(ts.tv_sec) * kTicksPerSecond + ts.tv_nsec / 100 + kUnixEpochAsFileTime;
    return ticks < 0 ? 0 : static_cast<FileTime>(ticks);
}

timespec fromFileTime(FileTime time) {
    const int64_t ticks =
        time > static_cast<FileTime>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(time);
    const int64_t sinceEpoch = ticks - kUnixEpochAsFileTime;
    int64_t seconds = sinceEpoch / kTicksPerSecond;
    int64_t rest = sinceEpoch % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

// The handles of this process that are open on one file (device and inode), with the access
// they hold and the access they let others have, as Win32 records them per file object.
struct OpenHandle {
    const NativeFile* file;
    int access;
    int share;
};

struct ShareTable {
    std::mutex mutex;
    std::map<std::pair<uint64_t, uint64_t>, std::vector<OpenHandle>> files;
};

ShareTable& shareTable() {
    // Never destroyed: files closed by static destructors at exit still need it.
    static ShareTable* table = new ShareTable;
    return *table;
}

bool allows(int share, int access) {
    return ((access & kAccessRead) == 0 || (share & kShareRead) != 0) &&
           ((access & kAccessWrite) == 0 || (share & kShareWrite) != 0);
}

bool statPath(const std::string& native, struct stat& st) {
    return ::stat(native.c_str(), &st) == 0;
}

bool existsAsDirectory(const std::string& native) {
    struct stat st {};
    return statPath(native, st) && S_ISDIR(st.st_mode);
}

// ENOENT from a call with two paths: a missing source is "file not found", a missing
// destination folder "path not found".
bool failTwoPaths(int err, const std::string& from) {
    if (err == ENOENT) {
        struct stat st {};
        if (::lstat(from.c_str(), &st) != 0) {
            return failPath(errno, from);
        }
        return failCode(kErrPathNotFound);
    }
    return fail(err);
}

int openRetrying(const char* path, int flags, mode_t mode) {
    int fd = -1;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Copies a regular file to a new name (which must not exist), keeping its permissions and
// modification time, for moves between file systems that rename(2) cannot do.
bool copyToNewFile(const std::string& from, const std::string& to) {
    UniqueFd in(openRetrying(from.c_str(), O_RDONLY, 0));
    if (!in.valid()) {
        return failPath(errno, from);
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) {
        return fail(errno);
    }
    UniqueFd out(openRetrying(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 07777));
    if (!out.valid()) {
        return failPath(errno, to);
    }
    char buffer[65536];
    int err = 0;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            err = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        if (!writeAll(out.get(), buffer, static_cast<size_t>(n))) {
            err = errno;
            break;
        }
    }
    if (err == 0) {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out.get(), times);
        if (::fsync(out.get()) != 0 && errno != EINVAL) {
            err = errno;
        }
    }
    if (!out.close() && err == 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(to.c_str());
        return fail(err);
    }
    return true;
}

bool moveAcrossDevices(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) {
        return failPath(errno, from);
    }
    if (!S_ISREG(st.st_mode)) {
        return fail(EXDEV);
    }
    if (!copyToNewFile(from, to)) {
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

// For file systems without RENAME_NOREPLACE: link(2) refuses an existing name atomically.
bool moveWithoutReplacing(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) {
        return failPath(errno, from);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return true;
        }
        if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) {
            return failTwoPaths(errno, from);
        }
    }
    struct stat existing {};
    if (::lstat(to.c_str(), &existing) == 0) {
        return failCode(kErrAlreadyExists);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return failTwoPaths(errno, from);
    }
    return true;
}

char16_t foldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

bool wildcardMatch(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0;
    size_t n = 0;
    size_t starP = std::u16string_view::npos;
    size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == u'?' || foldAscii(pattern[p]) == foldAscii(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') {
        ++p;
    }
    return p == pattern.size();
}

// Win32 lets a trailing ".*" also match names without any dot, so "*.*" lists everything.
bool patternMatches(std::u16string_view pattern, std::u16string_view name) {
    if (wildcardMatch(pattern, name)) {
        return true;
    }
    return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
           wildcardMatch(pattern.substr(0, pattern.size() - 2), name);
}

}  // namespace

std::string nativePath(std::u16string_view path) {
    std::string native = wideToUtf8(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

NativeFile::~NativeFile() {
    if (fd_ >= 0) {
        // A caller whose data depends on the close closes the file itself and looks.
        static_cast<void>(close());
    }
}

namespace {

// What an open mode asks of the system and of the other handles on the file.
struct OpenMode {
    int access = kAccessRead;
    int share = 0;
    int flags = O_RDONLY;
    bool create = false;
    bool truncate = false;  // once the sharing check has let the open through
};

OpenMode openModeOf(int mode) {
    OpenMode m;
    switch (mode) {
        case 0:
            m.share = kShareRead | kShareWrite;
            break;
        case 1:
            m = OpenMode{kAccessWrite, kShareRead, O_WRONLY, true, true};
            break;
        case 2:
            m = OpenMode{kAccessRead | kAccessWrite, kShareRead, O_RDWR, true, false};
            break;
        case 3:
            m = OpenMode{kAccessWrite, kShareRead, O_WRONLY, true, false};
            break;
        default:
            break;
    }
    return m;
}

// Opens an existing file, or creates it in two steps so that the caller learns whether it
// was there, as Win32 reports it. The folders are made only when missing, which spares the
// common case their lookups.
UniqueFd openDescriptor(std::u16string_view path, const std::string& native, const OpenMode& m,
                        bool& existed) {
    existed = true;
    if (!m.create) {
        return UniqueFd(openRetrying(native.c_str(), m.flags, 0));
    }
    const auto openOrCreate = [&]() {
        for (;;) {
            UniqueFd created(openRetrying(native.c_str(), m.flags | O_CREAT | O_EXCL, 0666));
            if (created.valid() || errno != EEXIST) {
                existed = !created.valid();
                return created;
            }
            UniqueFd opened(openRetrying(native.c_str(), m.flags, 0));
            if (opened.valid() || errno != ENOENT) {
                return opened;
            }
        }
    };
    UniqueFd fd = openOrCreate();
    if (!fd.valid() && errno == ENOENT) {
        makeDirectories(path, false);
        fd = openOrCreate();
    }
    return fd;
}

// Enters a handle into the share table, unless the sharing of the handles already open on
// the file (or this open's own sharing) forbids it; a truncating open truncates only once
// it is let through. False with the error set.
Status admitHandle(const NativeFile* file, int fd, const struct stat& st, const OpenMode& m) {
    const std::pair<uint64_t, uint64_t> key{static_cast<uint64_t>(st.st_dev),
                                            static_cast<uint64_t>(st.st_ino)};
    ShareTable& table = shareTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.files.find(key);
    if (found != table.files.end()) {
        for (const OpenHandle& other : found->second) {
            if (!allows(other.share, m.access) || !allows(m.share, other.access)) {
                return failure(kErrSharingViolation);
            }
        }
    }
    if (m.truncate && st.st_size != 0) {
        int rc = 0;
        do {
            rc = ::ftruncate(fd, 0);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            return errnoFailure(errno);
        }
    }
    table.files[key].push_back(OpenHandle{file, m.access, m.share});
    return {};
}

}  // namespace

Status NativeFile::open(std::u16string_view path, int mode) {
    if (fd_ >= 0) {
        static_cast<void>(close());  // reopening drops the old handle
    }
    const OpenMode m = openModeOf(mode);
    const std::string native = nativePath(path);
    bool existed = true;
    UniqueFd fd = openDescriptor(path, native, m, existed);
    if (!fd.valid()) {
        return pathFailure(errno, native);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return errnoFailure(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return failure(kErrAccessDenied);
    }
    if (Status admitted = admitHandle(this, fd.get(), st, m); !admitted) {
        return admitted;
    }
    fd_ = fd.release();
    access_ = m.access;
    share_ = m.share;
    dev_ = static_cast<uint64_t>(st.st_dev);
    ino_ = static_cast<uint64_t>(st.st_ino);
    setLastError(m.create && existed ? kErrAlreadyExists : kErrSuccess);
    return {};
}

namespace {

// The handle may do what is asked (kAccessRead or kAccessWrite).
Status usable(int fd, int access, int needed) {
    if (fd < 0) {
        return failure(kErrInvalidHandle);
    }
    return (access & needed) == 0 ? failure(kErrAccessDenied) : Status{};
}

// Repeats io(done) (a read or write of the bytes from done on) until len bytes are done or
// io fails: again after a signal; at the end of the file a read ends short, a write fails.
template <typename Io>
Status repeatIo(uint32_t len, uint32_t& done, bool reading, Io io) {
    done = 0;
    while (done < len) {
        const ssize_t n = io(done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errnoFailure(errno);
        }
        if (n == 0) {
            return reading ? Status{} : failure(kErrDiskFull);
        }
        done += static_cast<uint32_t>(n);
    }
    return {};
}

}  // namespace

Status NativeFile::read(void* buffer, uint32_t len, uint32_t& got) {
    got = 0;
    if (Status s = usable(fd_, access_, kAccessRead); !s) {
        return s;
    }
    if (const int injected = faults::beforeRead()) {
        return errnoFailure(injected);
    }
    char* out = static_cast<char*>(buffer);
    return repeatIo(len, got, true, [&](uint32_t at) { return ::read(fd_, out + at, len - at); });
}

Status NativeFile::write(const void* buffer, uint32_t len, uint32_t& put) {
    put = 0;
    if (Status s = usable(fd_, access_, kAccessWrite); !s) {
        return s;
    }
    if (const int injected = faults::before(Call::kWrite, {}, fd_)) {
        return errnoFailure(injected);
    }
    const char* in = static_cast<const char*>(buffer);
    return repeatIo(len, put, false, [&](uint32_t at) { return ::write(fd_, in + at, len - at); });
}

Status NativeFile::readAt(uint64_t position, void* buffer, uint32_t len, uint32_t& got) {
    got = 0;
    if (Status s = usable(fd_, access_, kAccessRead); !s) {
        return s;
    }
    if (const int injected = faults::beforeRead()) {
        return errnoFailure(injected);
    }
    char* out = static_cast<char*>(buffer);
    return repeatIo(len, got, true, [&](uint32_t at) {
        return ::pread(fd_, out + at, len - at, static_cast<off_t>(position + at));
    });
}

Status NativeFile::writeAt(uint64_t position, const void* buffer, uint32_t len) {
    if (Status s = usable(fd_, access_, kAccessWrite); !s) {
        return s;
    }
    if (const int injected = faults::before(Call::kWrite, {}, fd_)) {
        return errnoFailure(injected);
    }
    const char* in = static_cast<const char*>(buffer);
    uint32_t put = 0;
    return repeatIo(len, put, false, [&](uint32_t at) {
        return ::pwrite(fd_, in + at, len - at, static_cast<off_t>(position + at));
    });
}

Status NativeFile::seek(uint64_t position) {
    if (fd_ < 0) {
        return failure(kErrInvalidHandle);
    }
    if (position > static_cast<uint64_t>(INT64_MAX)) {
        return failure(kErrInvalidParameter);
    }
    if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) {
        return errnoFailure(errno);
    }
    return {};
}

uint64_t NativeFile::tell() const {
    if (fd_ < 0) {
        setLastError(kErrInvalidHandle);
        return 0;
    }
    const off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position < 0) {
        static_cast<void>(errnoFailure(errno));
        return 0;
    }
    return static_cast<uint64_t>(position);
}

Status NativeFile::size(uint64_t& out) const {
    out = 0;
    if (fd_ < 0) {
        return failure(kErrInvalidHandle);
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        return errnoFailure(errno);
    }
    out = static_cast<uint64_t>(st.st_size);
    return {};
}

Status NativeFile::truncate(uint64_t length) {
    if (fd_ < 0) {
        return failure(kErrInvalidHandle);
    }
    if ((access_ & kAccessWrite) == 0) {
        return failure(kErrAccessDenied);
    }
    if (length > static_cast<uint64_t>(INT64_MAX)) {
        return failure(kErrInvalidParameter);
    }
    if (const int injected = faults::before(Call::kTruncate, {}, fd_)) {
        return errnoFailure(injected);
    }
    int rc = 0;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? Status() : errnoFailure(errno);
}

Status NativeFile::reserve(uint64_t length) {
    if (fd_ < 0) {
        return failure(kErrInvalidHandle);
    }
    if ((access_ & kAccessWrite) == 0) {
        return failure(kErrAccessDenied);
    }
    if (length > static_cast<uint64_t>(INT64_MAX)) {
        return failure(kErrInvalidParameter);
    }
    if (const int injected = faults::before(Call::kReserve, {}, fd_)) {
        return errnoFailure(injected);
    }
    uint64_t current = 0;
    if (Status sized = size(current); !sized) {
        return sized;
    }
    if (length == 0) {
        return {};
    }
    // posix_fallocate returns its error instead of setting errno. File systems without
    // fallocate get the emulation of the C library, which writes zeros into the holes: the
    // space is taken either way.
    int rc = 0;
    do {
        rc = ::posix_fallocate(fd_, 0, static_cast<off_t>(length));
    } while (rc == EINTR);
    if (rc != 0) {
        // The length may have grown before the space ran out: give it back.
        uint64_t now = 0;
        if (size(now) && now > current) {
            static_cast<void>(::ftruncate(fd_, static_cast<off_t>(current)));
        }
        return errnoFailure(rc);
    }
    return {};
}

Status NativeFile::flush() {
    if (fd_ < 0) {
        return failure(kErrInvalidHandle);
    }
    if ((access_ & kAccessWrite) == 0) {
        return {};
    }
    if (const int injected = faults::before(Call::kSync, {}, fd_)) {
        return errnoFailure(injected);
    }
    // Pipes and devices cannot be synced; there is nothing buffered to lose on them.
    if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
        return errnoFailure(errno);
    }
    return {};
}

Status NativeFile::close() {
    if (fd_ < 0) {
        return failure(kErrInvalidHandle);
    }
    ShareTable& table = shareTable();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        const auto it = table.files.find({dev_, ino_});
        if (it != table.files.end()) {
            std::vector<OpenHandle>& handles = it->second;
            handles.erase(std::remove_if(handles.begin(), handles.end(),
                                         [this](const OpenHandle& h) { return h.file == this; }),
                          handles.end());
            if (handles.empty()) {
                table.files.erase(it);
            }
        }
    }
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    const int rc = ::close(fd_);
    const int err = errno;
    fd_ = -1;
    access_ = 0;
    share_ = 0;
    dev_ = 0;
    ino_ = 0;
    if (rc != 0 && err != EINTR) {
        return errnoFailure(err);
    }
    return {};
}

Status readWholeFile(std::u16string_view path, std::string& bytes) {
    bytes.clear();
    NativeFile file;
    if (Status opened = file.open(path, 0); !opened) {
        return opened;
    }
    uint64_t size = 0;
    if (Status sized = file.size(size); !sized) {
        return sized;
    }
    if (size > UINT32_MAX) {
        return failure(kErrNotEnoughMemory);
    }
    bytes.assign(static_cast<size_t>(size), '\0');
    uint32_t got = 0;
    if (Status read = file.read(bytes.data(), static_cast<uint32_t>(bytes.size()), got); !read) {
        bytes.clear();
        return read;
    }
    bytes.resize(got);
    return {};
}

Status writeWholeFile(std::u16string_view path, std::string_view bytes) {
    if (bytes.size() > UINT32_MAX) {
        return failure(kErrInvalidParameter);
    }
    const std::u16string staging = std::u16string(path) + u".tmp";
    NativeFile file;
    uint32_t put = 0;
    Status status = file.open(staging, 1);
    if (status) {
        status = file.write(bytes.data(), static_cast<uint32_t>(bytes.size()), put);
    }
    if (status) {
        status = file.flush();
    }
    if (file.isOpen()) {
        // The first failure is the one to report; a failing close after it adds nothing.
        Status closed = file.close();
        if (status) {
            status = closed;
        }
    }
    if (status && !replaceFile(staging, path)) {
        status = Status::failed(lastError());
    }
    if (status) {
        // The new name is not durable until its folder is: after a power cut the old file
        // would be back. A failing sync is reported, though the new file is in place.
        return syncParentDirectory(path);
    }
    static_cast<void>(deleteFile(staging));
    setLastError(status.error());
    return status;
}

Status createPrivateFile(std::u16string_view path, std::string_view bytes) {
    const std::string native = nativePath(path);
    UniqueFd fd(::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        return pathFailure(errno, native);
    }
    size_t put = 0;
    int err = 0;
    while (put < bytes.size() && err == 0) {
        const ssize_t n = ::write(fd.get(), bytes.data() + put, bytes.size() - put);
        if (n > 0) {
            put += static_cast<size_t>(n);
        } else if (n == 0) {
            err = ENOSPC;
        } else if (errno != EINTR) {
            err = errno;
        }
    }
    if (err == 0 && ::fsync(fd.get()) != 0) {
        err = errno;
    }
    if (err == 0 && !fd.close()) {
        err = errno;
    }
    if (err != 0) {
        fd.reset();
        ::unlink(native.c_str());
        return errnoFailure(err);
    }
    return {};
}

namespace {

std::string parentOf(const std::string& native) {
    const size_t slash = native.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : native.substr(0, slash);
}

Status syncNativeDirectory(const std::string& native) {
    if (const int injected = faults::before(Call::kSyncDirectory, native)) {
        return errnoFailure(injected);
    }
    UniqueFd fd(openRetrying(native.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!fd.valid()) {
        return pathFailure(errno, native);
    }
    // Some file systems cannot sync a folder (EINVAL); their renames need no sync.
    if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) {
        return errnoFailure(errno);
    }
    return {};
}

}  // namespace

Status syncFile(std::u16string_view path) {
    const std::string native = nativePath(path);
    UniqueFd fd(openRetrying(native.c_str(), O_RDONLY, 0));
    if (!fd.valid()) {
        return pathFailure(errno, native);
    }
    if (const int injected = faults::before(Call::kSync, native)) {
        return errnoFailure(injected);
    }
    // fsync through a read-only descriptor syncs the file's data all the same on Linux.
    if (::fdatasync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) {
        return errnoFailure(errno);
    }
    return {};
}

Status syncDirectory(std::u16string_view path) {
    return syncNativeDirectory(path.empty() ? std::string(".") : nativePath(path));
}

Status syncParentDirectory(std::u16string_view path) {
    return syncNativeDirectory(parentOf(nativePath(path)));
}

Status syncFileSystem(std::u16string_view path) {
    const std::string native = path.empty() ? std::string(".") : nativePath(path);
    UniqueFd fd(openRetrying(native.c_str(), O_RDONLY, 0));
    if (!fd.valid()) {
        return pathFailure(errno, native);
    }
    if (const int injected = faults::before(Call::kSync, native)) {
        return errnoFailure(injected);
    }
    if (::syncfs(fd.get()) != 0) {
        return errnoFailure(errno);
    }
    return {};
}

Status replaceFileDurably(std::u16string_view from, std::u16string_view to) {
    if (Status synced = syncFile(from); !synced) {
        return synced;
    }
    if (!replaceFile(from, to)) {
        return Status::failed(lastError());
    }
    const std::string fromParent = parentOf(nativePath(from));
    const std::string toParent = parentOf(nativePath(to));
    if (Status synced = syncNativeDirectory(toParent); !synced) {
        return synced;
    }
    return fromParent == toParent ? Status() : syncNativeDirectory(fromParent);
}

Status freeDiskSpace(std::u16string_view path, uint64_t& bytes) {
    bytes = 0;
    const std::string native = path.empty() ? std::string(".") : nativePath(path);
    struct statvfs st {};
    if (::statvfs(native.c_str(), &st) != 0) {
        return pathFailure(errno, native);
    }
    bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return {};
}

bool getAttributes(std::u16string_view path, FileAttributes& out) {
    out = FileAttributes{};
    const std::string native = nativePath(path);
    struct stat st {};
    if (!statPath(native, st)) {
        return failPath(errno, native);
    }
    out.directory = S_ISDIR(st.st_mode);
    out.readOnly = (st.st_mode & S_IWUSR) == 0;
    out.size = out.directory ? 0 : static_cast<uint64_t>(st.st_size);
    out.lastWrite = toFileTime(st.st_mtim);
    return true;
}

bool isFile(std::u16string_view path) {
    FileAttributes attributes;
    return getAttributes(path, attributes) && !attributes.directory;
}

bool isDirectory(std::u16string_view path) {
    FileAttributes attributes;
    return getAttributes(path, attributes) && attributes.directory;
}

bool moveFile(std::u16string_view from, std::u16string_view to) {
    const std::string source = nativePath(from);
    const std::string target = nativePath(to);
    if (const int injected = faults::before(Call::kRename, target)) {
        return fail(injected);
    }
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    const int err = errno;
    if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
        return moveWithoutReplacing(source, target);
    }
    if (err == EXDEV) {
        return moveAcrossDevices(source, target);
    }
    return failTwoPaths(err, source);
}

bool replaceFile(std::u16string_view from, std::u16string_view to) {
    const std::string source = nativePath(from);
    const std::string target = nativePath(to);
    if (const int injected = faults::before(Call::kRename, target)) {
        return fail(injected);
    }
    if (::rename(source.c_str(), target.c_str()) == 0) {
        return true;
    }
    const int err = errno;
    if (err != EXDEV) {
        return failTwoPaths(err, source);
    }
    // Across file systems: copy beside the target first so the final step is still a rename.
    std::string staging = target + ".lume-replace-XXXXXX";
    if (!UniqueFd(::mkstemp(staging.data())).valid()) {
        return failPath(errno, target);
    }
    ::unlink(staging.c_str());
    if (!copyToNewFile(source, staging)) {
        return false;
    }
    if (::rename(staging.c_str(), target.c_str()) != 0) {
        const int renameErr = errno;
        ::unlink(staging.c_str());
        return fail(renameErr);
    }
    ::unlink(source.c_str());
    return true;
}

bool deleteFile(std::u16string_view path) {
    const std::string native = nativePath(path);
    if (::unlink(native.c_str()) != 0) {
        return failPath(errno, native);
    }
    return true;
}

bool createDirectory(std::u16string_view path) {
    const std::string native = nativePath(path);
    if (::mkdir(native.c_str(), 0755) != 0) {
        return failPath(errno, native);
    }
    return true;
}

bool removeDirectory(std::u16string_view path) {
    const std::string native = nativePath(path);
    if (::rmdir(native.c_str()) == 0) {
        return true;
    }
    const int err = errno;
    if (err == ENOTEMPTY || err == EEXIST) {
        return failCode(kErrDirNotEmpty);
    }
    if (err == ENOTDIR) {
        struct stat st {};
        if (statPath(native, st) && !S_ISDIR(st.st_mode)) {
            return failCode(kErrDirectory);
        }
    }
    return failPath(err, native);
}

bool makeDirectories(std::u16string_view path, bool includeLast) {
    const std::string native = nativePath(path);
    std::vector<std::string> parts = splitText(native, '/');
    // The last piece is the file name (or "" after a trailing separator) unless asked for.
    if (!includeLast) {
        parts.pop_back();
    }
    std::string current = !native.empty() && native[0] == '/' ? "/" : "";
    for (const std::string& part : parts) {
        if (part.empty()) {
            continue;
        }
        if (!current.empty() && current.back() != '/') {
            current += '/';
        }
        current += part;
        struct stat st {};
        if (statPath(current, st)) {
            if (!S_ISDIR(st.st_mode)) {
                return failCode(kErrAlreadyExists);
            }
            continue;
        }
        if (::mkdir(current.c_str(), 0755) != 0 &&
            !(errno == EEXIST && existsAsDirectory(current))) {
            return failPath(errno, current);
        }
    }
    return true;
}

bool findFiles(std::u16string_view pattern, std::vector<FindData>& out) {
    out.clear();
    const size_t separator = pattern.find_last_of(u"\\/");
    std::string directory = ".";
    std::u16string_view namePattern = pattern;
    if (separator != std::u16string_view::npos) {
        directory = separator == 0 ? "/" : nativePath(pattern.substr(0, separator));
        namePattern = pattern.substr(separator + 1);
    }

    const UniqueDir dir(::opendir(directory.c_str()));
    if (!dir) {
        const int err = errno;
        // The folder of a search pattern missing is "path not found" for Win32.
        return err == ENOENT ? failCode(kErrPathNotFound) : failPath(err, directory);
    }
    const int dirFd = ::dirfd(dir.get());
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                out.clear();
                return fail(errno);
            }
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::u16string wideName = utf8ToWide(name);
        if (!patternMatches(namePattern, wideName)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, 0) != 0 &&
            ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // vanished since it was listed
        }
        FindData data;
        data.name = std::move(wideName);
        data.directory = S_ISDIR(st.st_mode);
        data.size = data.directory ? 0 : static_cast<uint64_t>(st.st_size);
        data.lastWrite = toFileTime(st.st_mtim);
        out.push_back(std::move(data));
    }
    // readdir's order is arbitrary; a sorted listing keeps runs reproducible.
    std::sort(out.begin(), out.end(),
              [](const FindData& a, const FindData& b) { return a.name < b.name; });
    return true;
}

bool setLastWriteTime(std::u16string_view path, FileTime time) {
    const std::string native = nativePath(path);
    timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = fromFileTime(time);
    if (::utimensat(AT_FDCWD, native.c_str(), times, 0) != 0) {
        return failPath(errno, native);
    }
    return true;
}

FileTime currentFileTime() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return toFileTime(now);
}

std::u16string currentDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::char_traits<char>::length(buffer.c_str()));
            return utf8ToWide(buffer);
        }
        if (errno != ERANGE) {
            fail(errno);
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool setCurrentDirectory(std::u16string_view path) {
    const std::string native = nativePath(path);
    if (::chdir(native.c_str()) == 0) {
        return true;
    }
    const int err = errno;
    if (err == ENOTDIR) {
        struct stat st {};
        if (statPath(native, st) && !S_ISDIR(st.st_mode)) {
            return failCode(kErrDirectory);
        }
    }
    return failPath(err, native);
}

std::u16string tempDirectory() {
    const char* env = std::getenv("TMPDIR");
    std::string directory = env != nullptr && *env != '\0' ? env : "/tmp";
    // With the separator at the end, as GetTempPath gives it, so callers can append a name.
    if (directory.back() != '/') {
        directory += '/';
    }
    return utf8ToWide(directory);
}

std::u16string executablePath() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            fail(errno);
            return {};
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return utf8ToWide(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::u16string executableStem() {
    std::u16string path = executablePath();
    const size_t slash = path.find_last_of(u"\\/");
    if (slash != std::u16string::npos) {
        path.erase(0, slash + 1);
    }
    const size_t dot = path.rfind(u'.');
    if (dot != std::u16string::npos && dot > 0) {
        path.erase(dot);
    }
    return path;
}

}  // namespace platform
