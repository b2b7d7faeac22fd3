// The update run: one update of the game directory per beginUpdate, on its own thread
// ("download flist.xml thread"). It fetches flist.xml (the file checks decide what is out of
// date), processes the pack headers that need work, hands every data block to the download
// threads, waits while the file writer and the pack write thread store and merge the
// results, reports progress, and ends with one summary message (6029).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/Singleton.h"
#include "engine/Kernel/luThread.h"
#include "transfer/TransferSettings.h"
#include "update/FileChecks.h"

namespace lume {

class FileListDownloader;
class FileWritter;
class HttpDownloader;
class MakeFileWritter;
class ReleaseGate;
class Reporter;

class UpdateThread : public luThread,
                     public ObjectLevelLockable<UpdateThread>,
                     public Singleton<UpdateThread> {
public:
    static constexpr int kListAttempts = 3;
    static constexpr int kHeaderAttempts = 3;
    static constexpr uint32_t kWaitStepMs = 50;

    // Every message and text of the run goes to reporter (the updater, for the window), which
    // must outlive the run; settings give every download thread its connect time-out and
    // retries.
    UpdateThread(Reporter& reporter, TransferSettings settings);
    // Ends a running update (its summary is still posted), then stops and joins the download
    // threads, the file writer and the pack write thread.
    ~UpdateThread() override;

    // Starts one update from the primary address (host and path) with the mirror as the
    // second address of every list and block; force rechecks packs whose index matches.
    // False when an update is still running or a thread could not be started. Called on the
    // window's thread.
    bool beginUpdate(const std::string& host, const std::string& path, const std::string& backHost,
                     const std::string& backPath, uint8_t force);
    // True from beginUpdate until the run has reported its summary's counters.
    bool updating() const { return busy_.load(std::memory_order_acquire); }
    // Asks a running update to stop at its next safe point (transfers cut short, a merge
    // rolled back) and return at once; the run still posts its summary, which then never
    // reads as success. What was stored stays for the next update to resume. Called on the
    // window's thread.
    void stopUpdate();
    // Bytes per second received over the last two seconds of the block phase; 0 outside it.
    // Called on any thread.
    uint64_t downloadRate() const { return rate_.load(std::memory_order_acquire); }

    // One whole update, then the thread's own stop request. On the update thread.
    void run() override;

    // For tests: the parts of the run.
    FileListDownloader& fileList() { return *fileList_; }
    FileChecks& checks() { return *checks_; }

private:
    // The phases of run, in order. Each returns the failures it adds to the summary; lists
    // that no address delivered as the release manifest names them are added to
    // verifyFailures instead.
    // The release manifest, when the installation trusts release keys; false when the
    // update must not go on.
    bool passReleaseGate(uint32_t& failures, uint32_t& verifyFailures);
    // flist.xml, up to three times; the checks run while it is parsed.
    uint32_t fetchFileList(uint32_t& verifyFailures);
    // The sub file lists of packs whose index did not match, each up to three times.
    uint32_t runHeaderTasks(uint32_t& verifyFailures);
    // Every block to the download thread; the block count (failures: blocks no thread took).
    uint32_t handOutBlocks(uint32_t& failures);
    // Progress every 50 ms until the blocks are stored and the packs merged, a failure is
    // seen, or a stop is requested; failures plus the blocks given up.
    uint32_t waitForDownloads(uint32_t blockCount, uint32_t failures);
    // The blocks not yet stored and the packs not yet merged.
    uint32_t workLeft(uint32_t blockCount) const;
    // The disk can take what the planned work writes; otherwise the shortfall is reported.
    bool enoughDiskSpace();
    // Ends the downloads and the writers, resets for the next update, posts the summary.
    void endRun(uint32_t failures, uint32_t verifyFailures, uint32_t writeFailures);

    void post(uint32_t message, uint32_t wParam, uint32_t lParam);
    void abandonStart();

    Reporter& reporter_;
    const TransferSettings settings_;
    std::atomic<bool> busy_{false};
    std::atomic<uint64_t> rate_{0};
    UpdateAddresses addresses_;  // written before the thread starts
    std::u16string listUrl_;
    std::u16string backListUrl_;
    std::u16string releaseBase_;
    std::u16string backReleaseBase_;

    // Destroyed in the order the destructor gives, not the declaration order.
    std::unique_ptr<ReleaseGate> gate_;
    std::unique_ptr<FileListDownloader> fileList_;
    std::unique_ptr<MakeFileWritter> packWriter_;
    std::unique_ptr<FileChecks> checks_;
    std::unique_ptr<FileWritter> fileWriter_;
    std::unique_ptr<HttpDownloader> downloader_;
};

}  // namespace lume
