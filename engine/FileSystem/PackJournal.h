// The rollback journal that makes every change of a pack in place (merge, removal, index
// repair) all or nothing across a crash or a power cut, without changing the pack format
// that other programs read.
//
// Why a rollback journal: the index lives at a fixed place (the first 8 MiB) and is rewritten
// in place, so no "write elsewhere, then switch" scheme can make its rewrite atomic, and a
// merge also writes blocks over members in place (a file that shrinks keeps its block). So
// before the first byte of the pack changes, the bytes about to be overwritten (the index
// region, every live block a write will cover) and the pack's length are saved beside the
// pack in "<pack>.journal", checksummed and synced together with its folder. The change then
// goes ahead; when the pack is synced the journal is deleted, which is the commit. A journal
// found when the pack is next opened means the change never completed: a whole journal is
// played back (the pack returns byte for byte to what it was before, in its used parts) and
// an incomplete one is dropped (the pack was never touched, as it is written only after
// the journal is synced).
#pragma once

#include <cstdint>
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
    // A journal neither committed nor rolled back stays on disk for the next open.
    ~PackJournal() = default;
    PackJournal(const PackJournal&) = delete;
    PackJournal& operator=(const PackJournal&) = delete;

    // "<pack>.journal".
    static std::u16string pathOf(std::u16string_view packPath);

    // Saves the regions of the pack as they are now (the parts beyond its end need no
    // saving: the length is restored) and the pack's length, synced with the folder. Only
    // after true may the pack be written; on false no journal is left.
    [[nodiscard]] bool begin(Stream& pack, std::vector<PackRegion> regions);
    // Puts the saved bytes and length back, syncs the pack and removes the journal. False
    // when the pack could not be restored: the journal then stays for the next open.
    [[nodiscard]] bool rollBack(WinStream& pack);
    // After the change's last write: syncs the pack, then removes the journal (the commit)
    // and syncs the folder. False when the pack could not be synced: the caller rolls back.
    [[nodiscard]] bool commit(WinStream& pack);

    // The bytes begin saved (for the disk-space estimate of a change: about that much more).
    uint64_t savedBytes() const { return saved_; }

private:
    std::u16string packPath_;
    std::u16string path_;
    uint64_t saved_ = 0;
};

enum class PackRecovery {
    kClean,      // no journal
    kDiscarded,  // an incomplete journal was deleted: the pack was never touched
    kReplayed,   // an interrupted change was undone
    kFailed,     // a journal is there but the pack cannot be restored now (open for writing
                 // elsewhere in this process, or the disk fails): the pack must not be used
};

// Run before a pack is opened: undoes the change a crash interrupted, so that the pack is
// whole again. Called on any thread that is about to use the pack.
PackRecovery recoverPack(std::u16string_view packPath);

// Deletes a pack and any journal of it (a journal must never be played over a pack that
// replaced the one it was made for). False when the pack existed and stays.
bool deletePack(std::u16string_view packPath);

}  // namespace lume
