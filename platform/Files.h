// Files and directories as the engine knows them from Win32: four open modes with
// access, sharing and disposition, attributes, move/replace/delete, directory walks with
// file times. Paths above this layer use backslashes; they become native paths only here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"

namespace platform {

// 100-nanosecond intervals since 1601-01-01 UTC, as Win32 file times count.
using FileTime = uint64_t;

// Open modes. Access / sharing / disposition:
//   0 read / read+write / open existing
//   1 write / read / create always (truncate)
//   2 read+write / read / open always
//   3 write / read / open always
//   other: read / none / open existing
// Modes 1-3 create missing parent directories first. Sharing is enforced between the
// handles of this process: an open that the sharing of an existing handle does not allow
// (or whose own sharing does not allow an existing handle) fails with
// kErrSharingViolation, before anything is truncated. After a successful open in modes 1-3,
// lastError is kErrAlreadyExists when the file was already there and kErrSuccess otherwise.
class NativeFile {
public:
    NativeFile() = default;
    ~NativeFile();
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;

    Status open(std::u16string_view path, int mode);
    bool isOpen() const { return fd_ >= 0; }
    // Reads up to len bytes (fewer only at the end of the file); got receives the count.
    Status read(void* buffer, uint32_t len, uint32_t& got);
    Status write(const void* buffer, uint32_t len, uint32_t& put);
    // The same at a position, leaving the file's own position alone, so that one thread may
    // write while another syncs the same handle.
    Status readAt(uint64_t position, void* buffer, uint32_t len, uint32_t& got);
    Status writeAt(uint64_t position, const void* buffer, uint32_t len);
    Status seek(uint64_t position);
    uint64_t tell() const;
    Status size(uint64_t& out) const;
    Status truncate(uint64_t length);
    // Gives the file its disk blocks up to length (growing it to length when shorter), so that
    // no later write inside that length can fail for want of space: a file system that cannot
    // reserve space fails here, at once, rather than half way through the writes.
    Status reserve(uint64_t length);
    // Syncs the data written (and the length) to the disk.
    Status flush();
    // A failing close may have lost data written before it.
    Status close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    int access_ = 0;
    int share_ = 0;
    uint64_t dev_ = 0;
    uint64_t ino_ = 0;
};

// The whole file (up to 4 GiB).
Status readWholeFile(std::u16string_view path, std::string& bytes);
// Writes bytes as the whole file: to path + ".tmp" first, synced, then moved over path in
// one step and the folder synced, so that a reader never sees half a file, a failure leaves
// the old one (and no temporary file), and after success the new one survives a power cut.
// Missing folders are created.
Status writeWholeFile(std::u16string_view path, std::string_view bytes);
// Creates a new file that only its owner may read or write (mode 0600) and writes bytes
// into it, synced: for secrets such as a signing key. Fails with kErrFileExists when
// something is already at the path, which is never overwritten; a failure leaves no file.
Status createPrivateFile(std::u16string_view path, std::string_view bytes);

// Durability. A rename or a new name reaches the disk only with its folder; a file's data
// only with a sync. What must survive a power cut is synced before anything points at it.
//
// Syncs the data of an existing file to the disk.
Status syncFile(std::u16string_view path);
// Syncs a folder's entries: names created, renamed or deleted in it.
Status syncDirectory(std::u16string_view path);
// Syncs the folder that holds path ("." for a bare name).
Status syncParentDirectory(std::u16string_view path);
// Syncs everything written to the file system that holds path (a file or folder; "." when
// empty), file data and folder entries alike: one call for many files, far cheaper than
// syncing each of them.
Status syncFileSystem(std::u16string_view path);
// Moves from over to so that the result survives a power cut: from's data is synced first,
// then it replaces to in one step, then to's folder is synced (and from's, when another).
[[nodiscard]] Status replaceFileDurably(std::u16string_view from, std::u16string_view to);
// The bytes this user may still write on the file system that holds path.
Status freeDiskSpace(std::u16string_view path, uint64_t& bytes);

struct FileAttributes {
    bool directory = false;
    bool readOnly = false;
    uint64_t size = 0;
    FileTime lastWrite = 0;
};

// False (kErrFileNotFound / kErrPathNotFound) when nothing exists at the path.
bool getAttributes(std::u16string_view path, FileAttributes& out);
bool isFile(std::u16string_view path);
bool isDirectory(std::u16string_view path);

// Moves a file or directory; fails with kErrAlreadyExists when the destination exists.
[[nodiscard]] bool moveFile(std::u16string_view from, std::u16string_view to);
// Moves a file over an existing one in one atomic step (the destination is never missing).
[[nodiscard]] bool replaceFile(std::u16string_view from, std::u16string_view to);
bool deleteFile(std::u16string_view path);
// Creates one directory; fails with kErrAlreadyExists when it exists.
bool createDirectory(std::u16string_view path);
bool removeDirectory(std::u16string_view path);
// Creates every missing directory along a path split at "\" (and "/"), excluding the
// last component unless includeLast is set. True when the directories exist afterwards.
bool makeDirectories(std::u16string_view path, bool includeLast);

struct FindData {
    std::u16string name;
    bool directory = false;
    uint64_t size = 0;
    FileTime lastWrite = 0;
};
// Lists the entries of a directory whose names match the pattern's last component
// ("log\*.log", "dir\*.*"); '*' and '?' wildcards, ASCII case-insensitive. "." and ".."
// are not listed. False when the directory cannot be read.
bool findFiles(std::u16string_view pattern, std::vector<FindData>& out);

bool setLastWriteTime(std::u16string_view path, FileTime time);
FileTime currentFileTime();

std::u16string currentDirectory();
bool setCurrentDirectory(std::u16string_view path);
// The folder for temporary files, ending with a separator as GetTempPath gives it.
std::u16string tempDirectory();
// The running program's full path, and its file name without directory and extension.
std::u16string executablePath();
std::u16string executableStem();

// "a\b\c.txt" -> "a/b/c.txt" in UTF-8, the form handed to the system.
std::string nativePath(std::u16string_view path);

}  // namespace platform
