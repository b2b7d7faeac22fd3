// The journal that makes every change of a pack in place (merge, removal, index repair) all
// or nothing across a crash or a power cut, without changing the pack format that other
// programs read.
//
// Why a journal of the new bytes (redo) that is written before the pack: the index lives at
// a fixed place (the first 8 MiB) and is rewritten in place, so no "write elsewhere, then
// switch" scheme can make its rewrite atomic, and a merge also writes blocks over members in
// place (a file that shrinks keeps its block). So a change is first written, whole, into
// "<pack>.journal" beside the pack: every byte range it writes and the pack's new length,
// checksummed, the header last, then synced with its folder. That sync is the commit; only
// then are the same bytes written into the pack. A crash before it leaves a journal that
// never reads as whole, which is dropped (the pack was never touched); a crash after it
// leaves a whole journal, which is written into the pack again when the pack is next opened.
//
// The pack itself is not synced when a change ends: the journal keeps the change durable
// until the pack's next open (recoverPack) syncs the pack and deletes it. The bytes a change
// writes reach the disk once in sequence (the journal) instead of as thousands of scattered
// blocks that a sync of the pack would wait for, and the system writes the pack out at its
// own pace meanwhile.
//
// Journals of the earlier rollback kind (the old bytes, version 1) are still played back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lume {

class Stream;
class WinStream;

// A byte range of a pack.
struct PackRegion {
    uint32_t offset = 0;
    uint32_t length = 0;
};

class PackJournal {
public:
    explicit PackJournal(std::u16string_view packPath);
    // A journal begun and not committed is deleted: the pack was never touched.
    ~PackJournal();
    PackJournal(const PackJournal&) = delete;
    PackJournal& operator=(const PackJournal&) = delete;

    // "<pack>.journal".
    static std::u16string pathOf(std::u16string_view packPath);

    // Starts a change of a pack that is packLength bytes long. False when the journal cannot
    // be created.
    [[nodiscard]] bool begin(uint32_t packLength);
    // What the change writes through (positions are the pack's; it cannot be read): the
    // bytes go into the journal only.
    Stream& writes();
    // Seals the journal (synced with its folder: the commit), gives the pack its disk space up
    // to finalLength (a full disk fails here, with the pack untouched and the journal
    // deleted), then writes the change into the pack. False when the change does not stand;
    // when only the writes into the pack failed, the journal stays and the next open of the
    // pack finishes them.
    [[nodiscard]] bool commit(WinStream& pack, uint32_t finalLength);
    // After a commit, at once: syncs the pack and deletes the journal (with its folder). For
    // small changes (an index rewrite) whose sync costs little. False when the pack could
    // not be synced: the journal then stays for the next open.
    [[nodiscard]] bool settle(WinStream& pack);

private:
    class Recorder;
    void abandon();

    std::u16string packPath_;
    std::u16string path_;
    std::unique_ptr<Recorder> recorder_;
};

enum class PackRecovery {
    kClean,      // no journal, or one whose bytes the pack already held (a finished change)
    kDiscarded,  // an incomplete journal was deleted: the pack was never touched
    kReplayed,   // an interrupted change was finished (or an old rollback played back)
    kFailed,     // a journal is there but cannot be played now (the pack is open for writing
                 // elsewhere in this process, or the disk fails): the pack must not be used
};

// Run before a pack is opened: finishes the change a crash interrupted and makes a finished
// one durable (the pack synced, the journal deleted), so that the pack is whole and current
// on disk. Called on any thread that is about to use the pack.
PackRecovery recoverPack(std::u16string_view packPath);

// Deletes a pack and any journal of it (a journal must never be played over a pack that
// replaced the one it was made for). False when the pack existed and stays.
bool deletePack(std::u16string_view packPath);

}  // namespace lume
