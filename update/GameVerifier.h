// "Verify the game files": every loose file of the file list read back against its size and
// checksum, and every pack's index judged and its members' stored bytes read back against
// their data checksums. It only looks; a repair is an update that distrusts every pack.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/FileListDownloader.h"

namespace lume {

struct VerifyFinding {
    enum class Kind {
        kUnsafeName,    // the list names a path outside the game directory
        kMissing,       // no file (or a folder) where the list has one
        kWrongSize,     // a loose file of another length
        kWrongContent,  // a loose file with other bytes
        kUnreadable,    // a pack whose index cannot be read
        kDamaged,       // a pack whose index is damaged, or whose change cannot be undone
        kOutOfDate,     // a whole pack of another version
        kRottenMember,  // a pack member whose stored bytes are wrong
    };
    Kind kind;
    std::u16string path;
    uint32_t member = 0;  // kRottenMember: the member's name key
    std::string detail;   // UTF-8
};

// A finding as a line for the player ("bin\lume.dat: wrong content").
std::string describe(const VerifyFinding& finding);

class GameVerifier {
public:
    // Called now and then with the bytes read so far, the bytes to read in all, and the file
    // being read; true stops the check. Called on the verifying thread.
    using Progress = std::function<bool(uint64_t done, uint64_t total, const std::u16string& file)>;

    // Checks the entries (the file list's must list and regular list) against the game
    // directory, which is the working directory. False when stopped.
    bool run(const std::vector<FileListEntry>& entries, const Progress& progress);

    const std::vector<VerifyFinding>& findings() const { return findings_; }
    uint64_t bytesChecked() const { return done_; }
    uint32_t filesChecked() const { return files_; }

private:
    bool checkLoose(const FileListEntry& entry, const std::u16string& path);
    bool checkPack(const FileListEntry& entry, const std::u16string& path);
    bool tick(const std::u16string& file);

    const Progress* progress_ = nullptr;
    std::vector<VerifyFinding> findings_;
    uint64_t done_ = 0;
    uint64_t total_ = 0;
    uint32_t files_ = 0;
};

}  // namespace lume
