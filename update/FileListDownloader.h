// The file list flist.xml: every loose file and resource pack of the game that the launcher
// keeps current, with the checksums and sizes the local copy must have. Parsed into a regular
// list and a must-update list, then handed entry by entry to the file checks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Xml/XMLHandler.h"
#include "transfer/TransferSettings.h"
#include "update/ListFetch.h"

namespace lume {

class MessageTarget;

// One `file` element. Numbers are published as signed decimal and kept as the unsigned value
// with the same bits. Folder and name are kept exactly as published; they are not checked
// here for ".." or absolute forms, that is the business of whoever turns them into paths.
struct FileListEntry {
    std::u16string pakName;  // the name when its extension is exactly "pak": a resource pack
    std::u16string folder;   // enclosing folder names, outermost first, joined with '\'
    std::u16string name;
    uint32_t crc = 0;  // pack: expected IndexCrc; loose file: checksum of the content
    uint32_t zipcrc = 0;
    uint32_t size = 0;
    uint32_t zip = 0;

    bool isPack() const { return !pakName.empty(); }
};

// The local path of an entry (folder "\" name, or the name alone outside any folder), when it
// stays inside the game directory and survives a trip through the narrow code page (URLs and
// logs carry it in that code page); a pack's stem must name a folder, its staging folder.
// False for any other entry, whose path must not be written.
bool containedLocalPath(const FileListEntry& entry, std::u16string& path);

// The file checks the list passes drive; the update run implements them. Called on the
// thread that called FileListDownloader::download, in list order, one entry at a time.
class FileListChecks {
public:
    virtual ~FileListChecks() = default;
    // Entries with a pak name, in both passes. True when the pack needs work.
    virtual bool checkPack(const FileListEntry& entry) = 0;
    // Entries of the regular list without a pak name. True when the file needs a download.
    virtual bool checkFile(const FileListEntry& entry) = 0;
    // Entries of the must list without a pak name. True when the file needs a download.
    virtual bool checkMustFile(const FileListEntry& entry) = 0;
};

class FileListDownloader : public XMLHandler<FileListDownloader> {
public:
    // The launcher's own executable always belongs to the must-update pass.
    static constexpr char16_t kLauncherName[] = u"lume.exe";
    // Entries of one document logged one by one ("parse '...' crc: ..."); a longer list adds
    // one line with its count, so that a list of millions of files does not fill the log.
    static constexpr uint32_t kLoggedEntries = 1000;

    // target receives 6028 when a downloaded list has arrived; null for a list that is only
    // parsed. It must outlive the downloader.
    explicit FileListDownloader(MessageTarget* target = nullptr);

    // Fetches the list (backUrl only after url fails, or after check refuses what url
    // delivered), posts message 6028 (0) when it has arrived, parses it into fresh lists and
    // runs the checks (runChecks). False when neither address delivered the list (unverified()
    // tells whether check refused it), or when the document does not parse (both lists are
    // then empty and no check runs). Called on the update run's thread.
    bool download(std::u16string_view url, std::u16string_view backUrl, FileListChecks& checks,
                  const ListCheck& check = {});
    // The last download failed because check refused every copy of the list.
    bool unverified() const { return unverified_; }
    // Asked during the download: true cuts it short (see fetchList).
    void setStopping(std::function<bool()> stopping) { stopping_ = std::move(stopping); }
    // The update's proxy, bandwidth limit and HTTP/2 without TLS, for the downloads of the
    // list. Set before a download, on the update run's thread.
    void setTransferSettings(const TransferSettings& settings) { settings_ = settings; }

    // The must pass over the must list (checkPack or checkMustFile); then, only when none of
    // those checks returned true, the regular pass (checkPack or checkFile). Returns the
    // must-count: the number of must entries whose check returned true.
    uint32_t runChecks(FileListChecks& checks);

    // Empties the folder stack and both lists and clears the must-count.
    void reset();
    // A document that does not parse leaves both lists empty (reset); one that parses logs
    // the count of entries beyond kLoggedEntries.
    void endDocument(bool parsed) override;

    const std::vector<FileListEntry>& regularList() const { return regular_; }
    const std::vector<FileListEntry>& mustList() const { return must_; }
    uint32_t mustCount() const { return mustCount_; }

private:
    void startFolder(const XMLAttributes& attributes);
    void endFolder();
    void startFile(const XMLAttributes& attributes);

    MessageTarget* target_;
    std::function<bool()> stopping_;
    TransferSettings settings_;
    std::vector<std::u16string> folders_;
    std::vector<FileListEntry> regular_;
    std::vector<FileListEntry> must_;
    uint32_t mustCount_ = 0;
    uint32_t documentEntries_ = 0;
    bool unverified_ = false;
};

}  // namespace lume
