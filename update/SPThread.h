// The patch processor ("SPThread thread"): applies a patch directory already on disk exactly
// as an online update would. One pass per start: the patch's file list is parsed locally,
// its loose and must-update files are installed, and every pack it changes becomes a pack
// patch list and a task for the processor's own pack write thread; then it reports the
// pack writer's progress (6038) until the packs are done, and the end (6034, 6039).
//
// The patch directory is only read, so a patch on read-only media, or one applied twice,
// works: files are unpacked beside their targets and checked before they replace them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/FileSystem/PackFormat.h"
#include "engine/Kernel/Lock.h"
#include "engine/Kernel/Singleton.h"
#include "engine/Kernel/luThread.h"
#include "update/FileListDownloader.h"
#include "update/SubFileListDownloader.h"

namespace lume {

class MakeFileWritter;
class Reporter;

class SPThread : public luThread, public ObjectLevelLockable<SPThread>, public Singleton<SPThread> {
public:
    static constexpr uint32_t kWaitStepMs = 50;

    // Every message and text of a pass goes to reporter (the updater), which must outlive
    // the processor.
    explicit SPThread(Reporter& reporter);
    // Cuts a running pass short (a pass that has begun still posts its end messages, with
    // what it did not do counted as failures), then stops and joins the thread and the pack
    // write thread.
    ~SPThread() override;

    // Starts one pass over the list listName inside patchDir (a folder; a backslash is put
    // at its end when missing), installing into gameDir (empty: the working directory).
    // False while a pass runs or when a thread could not be started. Called on the caller's
    // thread.
    bool start(const std::u16string& listName, const std::u16string& patchDir,
               const std::u16string& gameDir);
    // True from start until the pass has counted its failures.
    bool patching() const { return busy_.load(std::memory_order_acquire); }

    // One whole pass, then the thread's own stop request. On the processor's thread.
    void run() override;

private:
    // The entry's local path when it stays inside the game directory and was not handled
    // before in this pass; a failure otherwise.
    bool admit(const FileListEntry& entry, std::u16string& path);
    std::u16string inGame(const std::u16string& path) const;
    void fail(const std::u16string& what);
    void installFile(const FileListEntry& entry, bool must);
    void applyPack(const FileListEntry& entry);
    bool stageMembers(const std::u16string& pack, const std::u16string& source);
    void queuePack(const std::u16string& pack, uint32_t mode, uint32_t id);
    // Progress (6038) every 50 ms until the pack writer has handled every queued task or a
    // stop is requested; the tasks handled.
    uint32_t waitForPacks();

    Reporter& reporter_;
    std::atomic<bool> busy_{false};
    // Written by start before the thread runs, read by the pass.
    std::u16string listName_;
    std::u16string patchDir_;
    std::u16string gameDir_;

    // The processor's thread's own.
    FileListDownloader list_;
    SubFileListDownloader subList_;
    // Pack path -> the header of the patch list queued for it in this pass.
    std::unordered_map<std::u16string, PackPatchListHeader> packs_;
    std::unordered_set<std::u16string> staging_;  // staging folders of the queued packs
    std::unordered_set<std::u16string> seen_;
    uint32_t failures_ = 0;

    std::unique_ptr<MakeFileWritter> packWriter_;
};

}  // namespace lume
