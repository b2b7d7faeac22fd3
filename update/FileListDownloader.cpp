#include "update/FileListDownloader.h"

#include "engine/FileSystem/GrowingMemoryStream.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/FileSystem/SafePath.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/MessageTarget.h"
#include "platform/Text.h"
#include "update/ListFetch.h"

namespace lume {

namespace {

std::u16string_view extensionOf(std::u16string_view name) {
    const size_t dot = name.rfind(u'.');
    return dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot + 1);
}

bool isLauncher(std::u16string_view name) {
    constexpr std::u16string_view launcher = FileListDownloader::kLauncherName;
    if (name.size() != launcher.size()) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
        if (c != launcher[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool containedLocalPath(const FileListEntry& entry, std::u16string& path) {
    path = entry.folder.empty() ? entry.name : entry.folder + u"\\" + entry.name;
    return isSafeRelativePath(path) &&
           platform::narrowToWide(platform::wideToNarrow(path)) == path &&
           (!entry.isPack() || !onlyDotsAndSpaces(packStem(path)));
}

FileListDownloader::FileListDownloader(MessageTarget* target) : target_(target) {
    onStart(u"folder", &FileListDownloader::startFolder);
    onEnd(u"folder", &FileListDownloader::endFolder);
    onStart(u"file", &FileListDownloader::startFile);
}

bool FileListDownloader::download(std::u16string_view url, std::u16string_view backUrl,
                                  FileListChecks& checks, const ListCheck& check) {
    GrowingMemoryStream list(kListReserve);
    const ListFetch fetched = fetchList(url, backUrl, list, check, stopping_, settings_);
    unverified_ = fetched == ListFetch::kUnverified;
    if (fetched != ListFetch::kFetched) {
        return false;
    }
    if (target_ != nullptr) {
        target_->post(kMsgFileList, 0, 0);
    }
    // Only this document's entries count. One that does not parse leaves both lists empty
    // (endDocument), even when it failed after many entries; it fails the download, since as
    // an empty list it would say that nothing is out of date.
    reset();
    if (!parse(list)) {
        logA_m1("解析flist.xml失败");
        return false;
    }
    runChecks(checks);
    return true;
}

uint32_t FileListDownloader::runChecks(FileListChecks& checks) {
    mustCount_ = 0;
    for (const FileListEntry& entry : must_) {
        if (entry.isPack() ? checks.checkPack(entry) : checks.checkMustFile(entry)) {
            ++mustCount_;
        }
    }
    if (mustCount_ == 0) {
        for (const FileListEntry& entry : regular_) {
            if (entry.isPack()) {
                checks.checkPack(entry);
            } else {
                checks.checkFile(entry);
            }
        }
    }
    return mustCount_;
}

void FileListDownloader::reset() {
    folders_.clear();
    regular_.clear();
    must_.clear();
    mustCount_ = 0;
    documentEntries_ = 0;
}

void FileListDownloader::endDocument(bool parsed) {
    if (!parsed) {
        reset();
        return;
    }
    if (documentEntries_ > kLoggedEntries) {
        logW_m1(u"parse: %u entries, the first %u logged", documentEntries_, kLoggedEntries);
    }
    documentEntries_ = 0;
}

void FileListDownloader::startFolder(const XMLAttributes& attributes) {
    folders_.push_back(attributes.readString(u"name"));
}

void FileListDownloader::endFolder() {
    if (!folders_.empty()) {
        folders_.pop_back();
    }
}

void FileListDownloader::startFile(const XMLAttributes& attributes) {
    FileListEntry entry;
    entry.name = attributes.readString(u"name");
    for (size_t i = 0; i < folders_.size(); ++i) {
        if (i != 0) {
            entry.folder += u'\\';
        }
        entry.folder += folders_[i];
    }
    // Checksums of 0x80000000 and above are published as negative numbers.
    entry.crc = static_cast<uint32_t>(attributes.readInt(u"crc"));
    entry.zip = static_cast<uint32_t>(attributes.readInt(u"zip"));
    entry.size = static_cast<uint32_t>(attributes.readInt(u"size"));
    entry.zipcrc = static_cast<uint32_t>(attributes.readInt(u"zipcrc"));
    if (extensionOf(entry.name) == u"pak") {
        entry.pakName = entry.name;
    }
    // One line per entry, up to kLoggedEntries: a newline inside the text would make the
    // writer's line two.
    if (++documentEntries_ <= kLoggedEntries) {
        logW_m1(u"parse '%s' crc: %lu", entry.name, entry.crc);
    }
    if (!attributes.readBool(u"must") && !isLauncher(entry.name)) {
        regular_.push_back(std::move(entry));
    } else {
        must_.push_back(std::move(entry));
    }
}

}  // namespace lume
