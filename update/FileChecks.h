// The per-file decisions of an update run: for every entry of flist.xml, whether the local
// copy is current, whether an interrupted download resumes from its temporary files, or what
// must be fetched (blocks of at most 32768 bytes); for packs whose index does not match the
// list, the pack's sub file list and the plan of its files. When the file writer has stored
// every block of a file, the completion verifies it and installs it, or counts it towards
// its pack's merge by the pack write thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/Kernel/Checksum.h"
#include "transfer/Block.h"
#include "transfer/FileCompletion.h"
#include "transfer/FileType.h"
#include "update/FileListDownloader.h"
#include "update/ReleaseSigning.h"
#include "update/SubFileListDownloader.h"

namespace lume {

class MakeFileWritter;
class Reporter;
struct ManifestFile;
struct ReleaseManifest;

// A pack whose header does not match the file list: its sub file list is fetched.
struct HeaderTask {
    std::u16string path;  // the pack's local path
    uint32_t zip = 0;     // carried from the list, unused
    uint32_t crc = 0;     // the pack's expected IndexCrc, also the id of its lists
    // The index may not tell the truth about the stored bytes (its checksum disagrees with
    // its records, a change was rolled back, work of another version was left behind, or
    // the run is forced): every member's bytes are checked, and the wrong ones fetched.
    bool verify = false;
};

// The length, file checksum and (under a release manifest) SHA-256 of a downloaded file.
struct DataDigest {
    uint64_t length = 0;
    uint32_t crc = kChecksumStart;
    Sha256Digest sha256{};
};

// The servers of one update. Without a mirror host the lists are fetched twice from the
// primary host.
struct UpdateAddresses {
    std::string host;
    std::string path;
    std::string backHost;
    std::string backPath;
    bool force = false;  // every pack gets a header task, even when its index matches
};

class FileChecks : public FileListChecks, public FileCompletion {
public:
    static constexpr uint32_t kBlockSize = lume::kBlockSize;
    // An inflated file is written here beside its target, then renamed over it.
    static constexpr char16_t kInflateSuffix[] = u".gzf.tmp";

    // packWriter receives the packs whose files are all staged; reporter receives the texts
    // of the checks ("检查:%s") and the sub file lists' 6037. Both outlive the checks.
    FileChecks(MakeFileWritter& packWriter, Reporter& reporter);
    ~FileChecks() override;
    // Asked while a sub file list downloads: true cuts it short (see fetchList).
    void setStopping(std::function<bool()> stopping) { subList_.setStopping(std::move(stopping)); }
    // The update's proxy, bandwidth limit and HTTP/2 without TLS, for the sub file lists and
    // the data files fetched again. Update thread only, before an update.
    void setTransferSettings(const TransferSettings& settings) {
        settings_ = settings;
        subList_.setTransferSettings(settings);
    }

    // Starts the checks of one update: forgets what an earlier update left. With a manifest
    // (the release's, accepted by the release gate; it must outlive the update) every sub
    // file list and every downloaded data file must have the size and SHA-256 it names
    // before it is used, installed or staged. Called on the update thread while the file
    // writer has no file of an earlier update.
    void begin(const UpdateAddresses& addresses, const ReleaseManifest* manifest = nullptr);
    // Cuts short a data file being fetched again (see onFileComplete) and refuses further
    // ones until the next begin. Called on any thread.
    void cancel() { cancelled_.store(true, std::memory_order_release); }
    // Empties the header tasks, block requests, sub file list and pending packs. Called on
    // the update thread at the end of a run.
    void reset();
    // Asked during long checks (a pack's members read back); true ends them early, and the
    // remaining entries are left for the next update. Update thread only.
    void setStopCheck(std::function<bool()> stop) { stop_ = std::move(stop); }

    // The checks of the file list passes; true when the entry needs work. Called on the
    // update thread.
    bool checkPack(const FileListEntry& entry) override;
    bool checkFile(const FileListEntry& entry) override;
    bool checkMustFile(const FileListEntry& entry) override;

    // Fetches the sub file list of a pack whose header did not match and plans its files.
    // True when the pack was handled. Called on the update thread.
    bool processHeaderTask(const HeaderTask& task);

    // Verifies a file whose blocks are all stored and prepares it: a loose file inflated (or
    // written, when it came in memory) beside its target, a file inside a pack written as its
    // staged file's data; the step returned renames it into place (and counts a pack member
    // towards its pack) once those bytes are on the disk. Under a manifest a file that fails
    // its check is fetched again, whole, from the mirror and then the primary host, until a
    // copy has the manifest's size and SHA-256 (and the list's checksum); when none has,
    // nothing is installed or staged. Called on the file writer's install threads, several
    // files at once.
    Prepared prepareFile(const DownloadFile& file, platform::NativeFile* data,
                         std::vector<uint8_t> bytes) override;
    // The same at once, data synced file by file: for a download that a resume finds
    // complete, on the update thread. False when the file was not installed or staged.
    bool completeNow(const DownloadFile& file);
    // Under a manifest, digests each file as its blocks are stored, so that its completion
    // need not read it back. Called on the file writer's thread.
    void onBlockStored(const std::u16string& localPath, int32_t type, uint32_t localPosition,
                       const uint8_t* data, uint32_t length) override;

    // Filled by the checks and header tasks, consumed by the run. Update thread only.
    std::vector<HeaderTask>& headerTasks() { return headerTasks_; }
    std::vector<Block>& blockRequests() { return blockRequests_; }
    // The packs in progress (the size of the pending pack map). Called on any thread.
    size_t pendingPacks() const;
    // Entries that failed outright during the checks: names that would leave the game
    // directory, repeated paths, inconsistent entries, files that could not be read, missing
    // packs whose sub file list could not be had. Update thread only.
    uint32_t failures() const { return failures_; }
    // Sub file lists that no address delivered as the manifest names them; and whether the
    // last header task failed for that reason. Update thread only.
    uint32_t verifyFailures() const { return verifyFailures_; }
    bool lastHeaderUnverified() const { return lastHeaderUnverified_; }
    // Files whose temporary files could not be written, or that could not be put in place
    // (a full disk, a folder where the file belongs). Called on any thread.
    uint32_t writeFailures() const { return writeFailures_.load(std::memory_order_acquire); }
    // The bytes the planned work will write: downloads, inflated files, pack growth and
    // rollback journals (old files freed on the way are not counted). Update thread only.
    uint64_t bytesToWrite() const { return bytesToWrite_; }

    // folder "\" name, or the name alone for an entry outside any folder.
    static std::u16string localPathOf(const FileListEntry& entry);
    // releaseUrl(host, path, subFileListPath): "http://" + host + path + "/" + the list's
    // path, unless the host says "https://".
    static std::u16string subFileListUrl(std::string_view host, std::string_view path,
                                         std::u16string_view pack, uint32_t crc);
    // The pack's path with ".pak" -> ".fxml" and "\" -> "/", then "." + crc in lower-case
    // hex: where the release serves the pack's sub file list.
    static std::u16string subFileListPath(std::u16string_view pack, uint32_t crc);

private:
    enum class PackResult { kFailed, kUnverified, kPlanned, kNothingToDo };

    // The entry's local path when it stays inside the game directory and was not seen
    // before in this update (a failure otherwise); then posts "检查:%s" with it.
    bool admit(const FileListEntry& entry, std::u16string& path);
    bool checkLoose(const FileListEntry& entry);
    bool fetchLoose(const FileListEntry& entry, const std::u16string& path);
    bool installEmpty(const FileListEntry& entry, const std::u16string& path);
    bool resumeLoose(const FileListEntry& entry, const std::u16string& path);
    enum class Resume { kNone, kPlanned, kComplete };
    // The download of a file that an earlier update began: its block index must be whole
    // and of this version (versionKey), its data file as long as the index says. The blocks
    // still missing are planned (kPlanned); kComplete when none is. kNone (nothing planned)
    // when the files cannot be resumed.
    Resume resumeBlocks(const std::u16string& firstName, const std::u16string& localPath,
                        int32_t type, uint32_t versionKey, uint32_t zipSize, uint32_t size);
    bool resumePack(const std::u16string& listPath, const std::u16string& pack, uint32_t id,
                    uint32_t mode);
    // salvage: the damaged pack being rebuilt, whose intact members are reused.
    PackResult requestPack(const std::u16string& pack, uint32_t mode, uint32_t crc,
                           const PackIndex* salvage = nullptr, std::vector<uint8_t> damaged = {});
    PackResult repair(const std::u16string& pack, uint32_t crc);
    void planPackFiles(const std::u16string& pack, uint32_t& stagedAtOnce,
                       const PackIndex* salvage);
    bool writePackList(const std::u16string& pack, uint32_t mode, uint32_t crc,
                       uint32_t stagedAtOnce);
    // The lists, outputs and staged files of a pack: work of another version, or finished.
    void dropPackWork(const std::u16string& pack);
    // A header task's end: true when the pack was planned or needed nothing; a list the
    // manifest refused is remembered (lastHeaderUnverified).
    bool settled(PackResult result);
    // Appends the blocks of the whole file; the file writer makes its temporary files when
    // the first block arrives.
    void planFile(const std::u16string& firstName, const std::u16string& localPath,
                  uint32_t versionKey, int32_t type, uint32_t zipSize, uint32_t size);
    Prepared prepareLoose(const DownloadFile& file, const std::u16string& dataPath,
                          const std::u16string& indexPath, platform::NativeFile* data,
                          std::vector<uint8_t> bytes);
    void packItemDone(const std::u16string& pack, bool force);
    void enqueuePack(const std::u16string& pack, const PackPatchListHeader& header);
    // The data file has zipSize bytes and the checksum versionKey, and under a manifest the
    // size and SHA-256 it names (expected; null: the manifest does not name the file).
    // A data file being digested as its blocks are stored: the bytes before `next` are
    // hashed in order; a block stored beyond it waits, by position and length, until the
    // gap before it is filled and is then read back from the data file.
    struct StreamDigest {
        Sha256 sha256;
        uint32_t crc = kChecksumStart;
        uint64_t next = 0;
        std::map<uint32_t, uint32_t> ahead;
        bool broken = false;  // a block stored twice, or one that could not be read back
    };
    // The data file has zipSize bytes and the checksum versionKey, and under a manifest the
    // size and SHA-256 it names (expected; null: the manifest does not name the file).
    // report: log why it fails (a staged file looked for at resume is often missing).
    bool matches(const std::u16string& dataPath, const DataDigest& digest, uint32_t zipSize,
                 uint32_t versionKey, const ManifestFile* expected, bool report) const;
    // The same, reading the file (streamed: the digest of its blocks, when it covers it; data:
    // the file already open).
    bool verifyData(const std::u16string& dataPath, uint32_t zipSize, uint32_t versionKey,
                    const ManifestFile* expected, bool report,
                    std::unique_ptr<StreamDigest> streamed = nullptr,
                    platform::NativeFile* data = nullptr) const;
    // Fetches the data file again, whole, into dataPath; true when a copy passed the checks.
    bool refetch(const std::u16string& dataPath, const std::string& remotePath, uint32_t zipSize,
                 uint32_t versionKey, const ManifestFile& expected);
    void expectContent(const std::u16string& path, uint32_t crc);
    bool expectedContent(const std::u16string& path, uint32_t& crc);

    MakeFileWritter& packWriter_;
    Reporter& reporter_;
    UpdateAddresses addresses_;
    TransferSettings settings_;
    const ReleaseManifest* manifest_ = nullptr;  // set by begin, read on both threads
    std::atomic<bool> cancelled_{false};
    SubFileListDownloader subList_;
    std::vector<HeaderTask> headerTasks_;
    std::vector<Block> blockRequests_;
    std::unordered_set<std::u16string> seen_;
    uint32_t failures_ = 0;
    uint32_t verifyFailures_ = 0;
    bool lastHeaderUnverified_ = false;
    uint64_t bytesToWrite_ = 0;
    std::function<bool()> stop_;
    std::atomic<uint32_t> writeFailures_{0};

    // Shared with the file writer's thread.
    mutable std::mutex mutex_;
    // The pending pack map: pack path -> its patch list header, whose done count counts the
    // files of the pack already staged.
    std::unordered_map<std::u16string, PackPatchListHeader> packs_;
    // The content checksum each loose file being downloaded must end up with.
    std::unordered_map<std::u16string, uint32_t> contentCrc_;
    // The files being digested as they stream in, by local path.
    std::unordered_map<std::u16string, std::unique_ptr<StreamDigest>> streams_;
};

}  // namespace lume
