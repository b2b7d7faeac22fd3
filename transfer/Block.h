// The one block type of a download, from the planning to the disk: the update run plans a
// file's blocks (at most 32768 bytes each), the download thread fetches runs of consecutive
// blocks with one range request each and hands every block over as soon as its bytes are
// in, and the file writer stores it at its place in the temporary data file and records it
// in the block index file. Every block refers to the file it belongs to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lume {

// A file being downloaded, as the planner saw it; shared, unchanged, by its blocks.
struct DownloadFile {
    std::u16string firstName;  // the pack path of a file inside a pack; empty for a loose file
    std::u16string localPath;  // names the temporary files (FileWritter::dataFileName)
    int32_t type = 0;          // FileType
    uint32_t zipSize = 0;      // bytes of the download data (the temporary data file)
    uint32_t size = 0;         // bytes of the file once installed
    uint32_t versionKey = 0;   // the checksum of the download data: URL suffix, index id
    uint32_t blockCount = 0;   // entries of the block index file
    uint32_t pending = 0;      // blocks to fetch in this update (fewer on a resume)
    // The temporary files are made anew when the first block arrives; a resumed download
    // keeps them and only fills in its missing blocks.
    bool fresh = true;
};

struct Block {
    std::shared_ptr<const DownloadFile> file;
    uint32_t offset = 0;         // of the block in the remote file
    uint32_t localPosition = 0;  // of the block in the temporary data file
    uint32_t size = 0;
    uint32_t blockIndex = 0;

    // The next block of the same file, right after this one in both files.
    bool followedBy(const Block& next) const {
        return next.file == file && next.offset == offset + size &&
               next.localPosition == localPosition + size;
    }
};

// The blocks of a file of zipSize bytes: 32768 bytes each, the last one shorter; none for
// an empty file.
constexpr uint32_t kBlockSize = 0x8000;
std::vector<Block> planBlocks(const std::shared_ptr<const DownloadFile>& file);

// Where the release serves a file's download data, below the server's path, as the
// download thread fetches it and a release manifest names it: its folder (the pack's folder
// for a file inside a pack) with "/" for "\", its name, ".gzf" unless it is a file inside a
// pack, and "." with the version key in lower-case hex: "maps/a.map.gzf.1a2b". UTF-8.
// Empty when the local path names no file.
std::string remotePath(int32_t type, std::u16string_view firstName, std::u16string_view localPath,
                       uint32_t versionKey);
inline std::string remotePath(const DownloadFile& file) {
    return remotePath(file.type, file.firstName, file.localPath, file.versionKey);
}

}  // namespace lume
