// The packs of the data directory as one read-only file system: scans "..\data\*.pak" once,
// keeps every pack's index in memory and opens contained files by their relative path.
//
// The process has one manager, created on first use by instance(). The launcher hands over
// its arguments with setCommandLine() and calls installFallback() at start-up, before any
// worker runs; from then on File::openInData falls back to the packs, and the first such
// fallback (or an earlier instance() call) creates the manager and runs the scan. Tests and
// tools build their own managers with the constructor.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem/Attributes.h"
#include "engine/FileSystem/File.h"
#include "engine/FileSystem/PackEntry.h"
#include "engine/FileSystem/ZipStream.h"

namespace lume {

class PackManager {
public:
    struct Options {
        // The process's arguments after the program name.
        std::vector<std::u16string> commandLine;
        // Where the packs are, relative to the working directory.
        std::u16string dataDirectory = u"..\\data\\";
    };

    // Parses the command line, opens the pack log when "log" reads as true, and scans the
    // data directory unless "url" is given (then no pack is ever found).
    explicit PackManager(Options options);
    ~PackManager();
    PackManager(const PackManager&) = delete;
    PackManager& operator=(const PackManager&) = delete;

    // The process-wide manager, created on the first call even when several threads make it
    // at once. Lives until process exit.
    static PackManager* instance();
    // The arguments the process-wide manager will read; ignored (false) once it exists.
    static bool setCommandLine(std::vector<std::u16string> arguments);
    // Makes File::openInData ask the process-wide manager when a file is not on disk.
    static void installFallback();
    // Destroys the process-wide manager so the next instance() builds a new one. Only for
    // tests, with no other thread using the manager and no stream from it being read.
    static void resetInstanceForTests();

    // Loads every pack of the data directory, once; later calls return the first result.
    bool scan();
    // The file at path (relative to the data directory, any ASCII case, backslashes) from
    // the pack that supplies it, as a stream the caller owns; null when no pack has it.
    // Called on any thread.
    std::unique_ptr<ZipStream> openFile(std::u16string_view path, int mode = 0);

    const Attributes& attributes() const { return attributes_; }
    // The "url" and "backurl" settings; when url is given the packs are not used.
    const std::u16string& url() const { return url_; }
    const std::u16string& backUrl() const { return backUrl_; }

    size_t packCount() const { return packs_.size(); }
    const PackEntry* findPack(uint32_t packKey) const;
    // The root key of the pack that supplies a name key, or null.
    const uint32_t* supplierOf(uint32_t nameKey) const;

    // "[%H:%M:%S]:<text>\r\n" in the narrow code page, when the pack log is open.
    void writePackLog(std::u16string_view text);
    bool packLogOpen() const { return packLogOpen_; }
    const std::u16string& packLogPath() const { return packLogPath_; }

private:
    void openPackLog();
    void doScan();

    Options options_;
    Attributes attributes_;
    std::u16string url_;
    std::u16string backUrl_;
    std::once_flag scanOnce_;
    bool scanResult_ = false;
    std::map<uint32_t, std::unique_ptr<PackEntry>> packs_;
    PackNameMap names_;
    std::mutex packLogMutex_;
    File packLog_;
    bool packLogOpen_ = false;
    std::u16string packLogPath_;
};

}  // namespace lume
