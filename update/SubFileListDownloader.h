// The sub file list (".fxml") of one resource pack: every file inside the pack, by name key.
// Compared with the local pack's record table it yields the work for that pack: the files to
// fetch (as pack patch list items, numbered by their place in the download file) and the
// records to remove from the pack.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "engine/Xml/XMLHandler.h"
#include "transfer/TransferSettings.h"
#include "update/ListFetch.h"

namespace lume {

class MessageTarget;

// One `subfile` element.
struct SubFileEntry {
    uint32_t nameKey = 0;
    std::u16string text1;  // never filled from the list
    std::u16string text2;  // never filled from the list
    uint32_t size = 0;
    uint32_t crc = 0;  // of the uncompressed file; becomes the record's extra 1
    uint32_t zipSize = 0;
    uint32_t zipcrc = 0;  // of the stored bytes; becomes the record's data crc
    uint32_t blockSize = 0;
    uint32_t version = 1;   // an absent `version` reads as 0, like every hexadecimal field
    uint8_t operate = 'A';  // 'D' removes; an absent or empty `operate` keeps 'A' (add/replace)
    uint16_t bzip = 0;      // becomes the record's flags
};

class SubFileListDownloader : public XMLHandler<SubFileListDownloader> {
public:
    enum Result : int {
        kFailed = 0,      // not fetched (download) or not parsed (download and load)
        kCompared = 1,    // compared with the local pack; see downloadItems and removals
        kWithdrawn = 2,   // the list's data_crc withdraws the pack
        kUnverified = 3,  // fetched, but the check refused every copy (download only)
    };
    static constexpr uint32_t kWithdrawnCrc = 0xFFFFFFFFu;
    static constexpr uint8_t kOperateDelete = 'D';

    // target receives 6037 when a downloaded list has arrived; null for lists loaded from
    // disk only. It must outlive the downloader.
    explicit SubFileListDownloader(MessageTarget* target = nullptr);

    // Resets, fetches the list (url2 only after url fails or check refuses what it
    // delivered), posts message 6037 when it has arrived, parses it, and compares it with
    // the pack at packPath (an empty path: with no pack, so every file is fetched). A
    // document that does not parse gives kFailed like an unreachable one: compared as an
    // empty list it would remove every file of the pack. damaged flags, by record position,
    // the records whose stored bytes are known to be wrong: they are fetched again even when
    // their data crc matches. Called on the update run's thread.
    int download(std::u16string_view url, std::u16string_view url2, std::u16string_view packPath,
                 const ListCheck& check = {}, std::vector<uint8_t> damaged = {});
    // Asked during the download: true cuts it short (see fetchList).
    void setStopping(std::function<bool()> stopping) { stopping_ = std::move(stopping); }
    // The update's proxy, bandwidth limit and HTTP/2 without TLS, for the downloads of the
    // list. Set before a download, on the update run's thread.
    void setTransferSettings(const TransferSettings& settings) { settings_ = settings; }
    // The same from a list on disk (opened as XMLHandlerBase::parseFile does), with one
    // difference in the comparison: a file the pack already holds is fetched only when the
    // record's extra 2 is below the list's version, besides its data crc differing. Called on
    // the patch processor's thread.
    int load(std::u16string_view listPath, std::u16string_view packPath, bool lookInData = true);

    // Clears the pack name, data crc, totals, entries, download items and removals.
    void reset();
    // A document that does not parse leaves nothing of what it delivered (reset).
    void endDocument(bool parsed) override;

    const std::u16string& packName() const { return packName_; }
    uint32_t dataCrc() const { return dataCrc_; }
    const std::u16string& packPath() const { return packPath_; }
    const std::vector<SubFileEntry>& entries() const { return entries_; }
    // Valid after a result of kCompared.
    const std::vector<PackPatchItem>& downloadItems() const { return items_; }
    const std::vector<PackRecord>& removals() const { return removals_; }
    // Kept in 64 bits, so that a list whose sizes pass 4 GiB never totals a wrapped 0.
    uint64_t blockSizeTotal() const { return blockSizeTotal_; }
    uint64_t zipSizeTotal() const { return zipSizeTotal_; }

    // The record table of a readable local pack: false when the file does not open, the
    // header is short or not "!PAK" version 8, or the record table does not lie completely
    // inside both the file and the 8 MiB index region.
    static bool readPackRecords(std::u16string_view packPath, std::vector<PackRecord>& records);

    // The comparison of entries with a record table, in list order. For each entry the table
    // is scanned from its start to the first remaining record with the same name key; root
    // records passed on the way leave the table (never reported), and the record found
    // leaves it too: an entry with operate 'D' reports it as a removal, any other entry
    // yields a download item when the data crc differs (and, with checkVersion, the record's
    // extra 2 is below the entry's version). An entry without a record yields a download
    // item with parent index 0 unless it is a 'D'. Records still in the table at the end are
    // removals. Runs in O((entries + records) log records).
    // A record flagged in damaged (by position) yields a download item even when its data crc
    // matches, and so does a record whose data crc matches but whose other fields do not
    // describe those bytes as the entry does (zip size, size, flags, content checksum): the
    // index checksum covers keys and data crcs only, so a damaged field elsewhere in a record
    // would otherwise be kept and leave a member that cannot be read.
    static void compareRecords(std::span<const SubFileEntry> entries,
                               std::span<const PackRecord> records, bool checkVersion,
                               std::vector<PackPatchItem>& items, std::vector<PackRecord>& removals,
                               std::span<const uint8_t> damaged = {});
    // A download item for an entry; start offset 0 until numbered.
    static PackPatchItem makeItem(const SubFileEntry& entry, uint16_t parentIndex);

private:
    void startPak(const XMLAttributes& attributes);
    void startSubfile(const XMLAttributes& attributes);
    int finish(bool parsed, bool checkVersion);
    void compareWithPack(bool checkVersion);

    MessageTarget* target_;
    std::function<bool()> stopping_;
    TransferSettings settings_;
    std::u16string packName_;
    uint32_t dataCrc_ = 0;
    std::u16string packPath_;
    std::vector<SubFileEntry> entries_;
    std::vector<PackPatchItem> items_;
    std::vector<PackRecord> removals_;
    std::vector<uint8_t> damaged_;
    uint64_t blockSizeTotal_ = 0;
    uint64_t zipSizeTotal_ = 0;
};

}  // namespace lume
