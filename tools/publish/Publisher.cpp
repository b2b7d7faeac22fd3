#include "tools/publish/Publisher.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Xml/XMLHandler.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "update/ReleaseManifest.h"
#include "update/ReleaseSigning.h"

namespace fs = std::filesystem;

namespace lume {

namespace {

constexpr uint32_t kWithdrawn = 0xFFFFFFFFu;

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

std::string signedDecimal(uint32_t v) {
    return std::to_string(static_cast<int32_t>(v));
}

std::string toSlashes(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

// A pack's path without its extension: in a patch, the folder of its members' data and,
// with ".fxml", its sub file list.
std::string stemPath(const std::string& packRelative) {
    return packRelative.substr(0, packRelative.rfind('.'));
}

// The sub file list's path as the launcher derives it from the pack's local path: every
// ".pak" becomes ".fxml".
std::string fxmlPath(const std::string& packRelative) {
    std::string s = packRelative;
    for (size_t at = s.find(".pak"); at != std::string::npos; at = s.find(".pak", at + 5)) {
        s.replace(at, 4, ".fxml");
    }
    return s;
}

std::string xmlEscape(const std::string& narrow) {
    std::string out;
    for (char c : narrow) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

bool readWhole(const fs::path& p, std::string& bytes) {
    return static_cast<bool>(platform::readWholeFile(platform::utf8ToWide(p.string()), bytes));
}

bool writeWhole(const fs::path& p, const std::string& bytes) {
    return static_cast<bool>(platform::writeWholeFile(platform::utf8ToWide(p.string()), bytes));
}

// The packs of the previously published flist.xml: relative path -> listed crc.
class PublishedPacks : public XMLHandler<PublishedPacks> {
public:
    PublishedPacks() {
        onStart(u"folder", &PublishedPacks::onFolderStart);
        onEnd(u"folder", &PublishedPacks::onFolderEnd);
        onStart(u"file", &PublishedPacks::onFile);
    }
    std::map<std::string, uint32_t> packs;

private:
    void onFolderStart(const XMLAttributes& a) {
        folders_.push_back(platform::wideToUtf8(a.readString(u"name")));
    }
    void onFolderEnd() {
        if (!folders_.empty()) {
            folders_.pop_back();
        }
    }
    void onFile(const XMLAttributes& a) {
        const std::string name = platform::wideToUtf8(a.readString(u"name"));
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".pak") != 0) {
            return;
        }
        std::string rel;
        for (const auto& f : folders_) {
            rel += f + "/";
        }
        packs[rel + name] = static_cast<uint32_t>(a.readInt(u"crc", 0));
    }
    std::vector<std::string> folders_;
};

// Reads data_crc from a published sub file list.
class SubListMark : public XMLHandler<SubListMark> {
public:
    SubListMark() { onStart(u"pak", &SubListMark::onPak); }
    uint32_t dataCrc = 0;

private:
    void onPak(const XMLAttributes& a) { dataCrc = a.readUInt(u"data_crc", 0); }
};

bool isPackName(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".pak") == 0;
}

std::string subListHead(const std::string& narrowName, uint32_t dataCrc) {
    return "<?xml version=\"1.0\" encoding=\"" + platform::codePage() + "\"?>\n<pak name=\"" +
           xmlEscape(narrowName) + "\" data_crc=\"" + std::to_string(dataCrc) + "\"";
}

// A pack's index, checked as the launcher will check it.
bool loadCheckedIndex(const fs::path& path, const std::string& rel, WinStream& pack,
                      PackIndex& index, std::string& error) {
    if (!pack.open(platform::utf8ToWide(path.string()), 0)) {
        error = "cannot open the pack " + path.string();
        return false;
    }
    std::string why;
    if (loadPackIndex(pack, index, &why) != IndexLoadError::kNone) {
        error = "the pack " + rel + " is damaged (" + why + "); check it with lume-pak verify";
        return false;
    }
    if (indexCrc(index.records) != index.header.indexCrc) {
        error = "the pack " + rel + " has a wrong index checksum; check it with lume-pak verify";
        return false;
    }
    return true;
}

struct Entry {
    std::string folder;      // "a/b" (UTF-8), empty at the top
    std::string name;        // UTF-8
    std::string attributes;  // the file element's attributes after its name
};

class Publisher {
public:
    Publisher(const PublishOptions& o, PublishReport& r, std::string& e, std::FILE* log)
        : options_(o),
          report_(r),
          error_(e),
          log_(log),
          game_(o.gameDirectory),
          out_(o.outDirectory),
          old_(o.oldDirectory) {}

    bool run() {
        std::error_code ec;
        if (!fs::is_directory(game_, ec)) {
            return fail("the game directory " + game_.string() + " does not exist");
        }
        if (patch()) {
            if (!fs::is_directory(old_, ec)) {
                return fail("the old version's directory " + old_.string() + " does not exist");
            }
            if (fs::exists(out_, ec) && !fs::is_empty(out_, ec)) {
                return fail("the patch directory " + out_.string() + " is not empty");
            }
        }
        fs::create_directories(out_, ec);
        if (ec) {
            return fail("cannot create the release directory " + out_.string() + ": " +
                        ec.message());
        }
        // A patch travels outside the release tree; it has no manifest of its own.
        if (!patch() && !prepareManifest()) {
            return false;
        }
        for (const auto& m : options_.must) {
            must_.insert(toSlashes(m));
        }
        must_.insert("lume.exe");

        std::vector<fs::path> files;
        if (!listGame(game_, files)) {
            return false;
        }
        for (const auto& f : files) {
            if (!publishFile(f)) {
                return false;
            }
        }
        if (!(patch() ? withdrawOldPacks() : withdrawDroppedPacks())) {
            return false;
        }
        return writeFileList();
    }

    // Before anything is written: the key that signs (a bad key file fails the publish at
    // once), and the version, above the one already in the tree.
    bool prepareManifest() {
        for (const std::string& file : options_.signKeyFiles) {
            std::string text;
            if (!platform::readWholeFile(platform::utf8ToWide(file), text)) {
                return fail("cannot read the key file " + file);
            }
            keys_.push_back(std::make_unique<SecretKey>());
            if (!parseSecretKey(text, *keys_.back())) {
                return fail("the key file " + file +
                            " holds no secret key (make one with lume-publish keygen)");
            }
        }
        if (options_.expiresDays < 0) {
            return fail("--expires needs a number of days of 0 or more");
        }
        uint64_t previous = 0;
        const fs::path old = out_ / ReleaseManifest::kFileName;
        std::error_code ec;
        if (fs::exists(old, ec)) {
            std::string text;
            std::string why;
            ReleaseManifest published;
            if (!readWhole(old, text) || !ReleaseManifest::parse(text, published, why)) {
                return fail("the published " + old.string() + " does not parse (" + why +
                            "); move it away and give --version");
            }
            previous = published.version;
        }
        manifest_.version = options_.version.value_or(previous + 1);
        if (manifest_.version <= previous) {
            return fail("version " + std::to_string(manifest_.version) +
                        " is not above the published version " + std::to_string(previous) +
                        ": launchers that accepted that version would refuse it");
        }
        const int64_t now = options_.now.value_or(platform::unixTime());
        manifest_.expires = now + int64_t{options_.expiresDays} * 86400;
        return true;
    }

    // flist.xml, the manifest that names it and everything else, and the manifest's
    // signature (or no signature: a stale one would sign another manifest).
    bool writeRelease(const std::string& fileList) {
        manifest_.files["flist.xml"] =
            ManifestFile{static_cast<uint32_t>(fileList.size()), Sha256::of(fileList)};
        const std::string text = manifest_.text();
        const fs::path listPath = out_ / "flist.xml";
        const fs::path manifestPath = out_ / ReleaseManifest::kFileName;
        const fs::path signaturePath = out_ / ReleaseManifest::kSignatureName;
        if (!writeWhole(listPath, fileList)) {
            return fail("cannot write " + listPath.string());
        }
        if (!writeWhole(manifestPath, text)) {
            return fail("cannot write " + manifestPath.string());
        }
        report_.version = manifest_.version;
        report_.expires = manifest_.expires;
        if (keys_.empty()) {
            std::error_code ec;
            fs::remove(signaturePath, ec);
            return true;
        }
        std::string signatures;
        for (const auto& key : keys_) {
            signatures += signatureText(sign(text, *key));
        }
        if (!writeWhole(signaturePath, signatures)) {
            return fail("cannot write " + signaturePath.string());
        }
        report_.signatures = static_cast<int>(keys_.size());
        return true;
    }

private:
    bool patch() const { return !old_.empty(); }

    // The files of a game directory that belong to the game, sorted.
    bool listGame(const fs::path& root, std::vector<fs::path>& files) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            const std::string rel = toSlashes(fs::relative(it->path(), root).generic_string());
            if (excluded(rel)) {
                if (it->is_directory()) {
                    it.disable_recursion_pending();
                }
                continue;
            }
            if (it->is_regular_file()) {
                files.push_back(it->path());
            }
        }
        if (ec) {
            return fail("cannot read the game directory " + root.string() + ": " + ec.message());
        }
        std::sort(files.begin(), files.end());
        return true;
    }

    bool fail(const std::string& why) {
        error_ = why;
        return false;
    }

    bool excluded(const std::string& rel) const {
        static const char* const kOwnState[] = {"log", "update", "bin/config.ini"};
        for (const char* s : kOwnState) {
            if (rel == s || rel.rfind(std::string(s) + "/", 0) == 0) {
                return true;
            }
        }
        for (const auto& e : options_.exclude) {
            const std::string x = toSlashes(e);
            if (rel == x || rel.rfind(x + "/", 0) == 0) {
                return true;
            }
        }
        // Temporary files of an interrupted update are not part of the game.
        for (const char* ext : {".gzf", ".igzf", ".patch", ".ipatch", ".back"}) {
            const std::string e(ext);
            if (rel.size() > e.size() && rel.compare(rel.size() - e.size(), e.size(), e) == 0) {
                return true;
            }
        }
        return false;
    }

    // The name in the list's code page; refused when the code page cannot hold it.
    bool listName(const std::string& utf8, std::string& narrow) {
        const std::u16string wide = platform::utf8ToWide(utf8);
        narrow = platform::wideToNarrow(wide);
        if (platform::narrowToWide(narrow) != wide || utf8.find('\\') != std::string::npos) {
            return fail("the name " + utf8 +
                        " cannot be published: it has characters the code page " +
                        platform::codePage() + " cannot hold, or a backslash");
        }
        return true;
    }

    // The list entry of a file at rel ("a/b/c.dat"): its folder and name, refused when the
    // list's code page cannot hold the path.
    bool entryOf(const std::string& rel, Entry& e) {
        const size_t slash = rel.rfind('/');
        e.folder = slash == std::string::npos ? std::string() : rel.substr(0, slash);
        e.name = slash == std::string::npos ? rel : rel.substr(slash + 1);
        std::string narrow;
        return listName(rel, narrow);
    }

    bool putData(const std::string& relative, const std::string& bytes) {
        const fs::path p = out_ / relative;
        manifest_.files[relative] =
            ManifestFile{static_cast<uint32_t>(bytes.size()), Sha256::of(bytes)};
        std::error_code ec;
        if (patch() && fs::exists(p, ec)) {
            // Names in a patch are not checksums: a second file of this name is another one.
            return fail("the patch would hold two files named " + relative);
        }
        std::string published;
        // Named by its checksum, the file is usually there already; but the manifest names
        // these bytes, so other bytes under the name (a checksum collision, a damaged copy)
        // are replaced.
        if (fs::is_regular_file(p, ec) && fs::file_size(p, ec) == bytes.size() &&
            readWhole(p, published) && published == bytes) {
            return true;
        }
        if (!writeWhole(p, bytes)) {
            return fail("cannot write " + p.string());
        }
        ++report_.dataFilesWritten;
        if (log_) {
            std::fprintf(log_, "  %s\n", relative.c_str());
        }
        return true;
    }

    bool publishFile(const fs::path& path) {
        const std::string rel = toSlashes(fs::relative(path, game_).generic_string());
        Entry e;
        if (!entryOf(rel, e)) {
            return false;
        }
        if (isPackName(e.name)) {
            return publishPack(path, rel, e);
        }
        std::string content;
        if (!readWhole(path, content)) {
            return fail("cannot read " + path.string());
        }
        if (content.size() > 0xFFFFFFFFull) {
            return fail(rel + " is larger than 4 GiB");
        }
        if (patch()) {
            std::string old;
            std::error_code ec;
            if (fs::is_regular_file(old_ / rel, ec) && readWhole(old_ / rel, old) &&
                old == content) {
                return true;  // the patch leaves it as it is
            }
        }
        const uint32_t crc = checksumUpdate(kChecksumStart, content.data(), content.size());
        std::string data;
        if (!compressData(content, data) || data.size() >= content.size()) {
            data = content;  // stored: the launcher moves it into place without inflating
        }
        const uint32_t zipcrc = checksumUpdate(kChecksumStart, data.data(), data.size());
        if (!putData(patch() ? rel + ".gzf" : rel + ".gzf." + hex(zipcrc), data)) {
            return false;
        }
        e.attributes = " crc=\"" + signedDecimal(crc) + "\" size=\"" +
                       std::to_string(content.size()) + "\" zip=\"" + std::to_string(data.size()) +
                       "\" zipcrc=\"" + signedDecimal(zipcrc) + "\"";
        if (must_.count(rel) != 0) {
            e.attributes += " must=\"1\"";
        }
        entries_.push_back(std::move(e));
        ++report_.looseFiles;
        return true;
    }

    bool publishPack(const fs::path& path, const std::string& rel, Entry& e) {
        WinStream pack;
        PackIndex index;
        if (!loadCheckedIndex(path, rel, pack, index, error_)) {
            return false;
        }
        const uint32_t crc = index.header.indexCrc;
        packs_.insert(rel);
        // In a patch: the members the old version's pack holds with the same bytes.
        std::set<std::pair<uint32_t, uint32_t>> kept;
        std::error_code ec;
        if (patch() && fs::is_regular_file(old_ / rel, ec)) {
            WinStream oldPack;
            PackIndex oldIndex;
            if (!loadCheckedIndex(old_ / rel, rel + " of the old version", oldPack, oldIndex,
                                  error_)) {
                return false;
            }
            if (oldIndex.header.indexCrc == crc) {
                return true;  // the patch leaves it as it is
            }
            for (const PackRecord& r : oldIndex.records) {
                kept.emplace(r.nameKey, r.dataCrc);
            }
        }
        const std::string folder = e.folder.empty() ? std::string() : e.folder + "/";
        if (patch()) {
            // The folder names the pack's data in the patch even when no member has any.
            fs::create_directories(out_ / stemPath(rel), ec);
        }
        std::string narrowName;
        listName(e.name, narrowName);
        std::string list = subListHead(narrowName, crc) + ">\n";
        std::string stored;
        for (const PackRecord& r : index.records) {
            if (r.parentIndex == kRootParent) {
                continue;
            }
            stored.resize(r.zipSize);
            uint32_t got = 0;
            if (r.zipSize != 0 &&
                (!pack.seek(r.offset) || !pack.read(stored.data(), r.zipSize, &got) ||
                 got != r.zipSize)) {
                return fail("cannot read member " + hex(r.nameKey) + " of the pack " + rel);
            }
            if (checksumUpdate(kChecksumStart, stored.data(), stored.size()) != r.dataCrc) {
                return fail("member " + hex(r.nameKey) + " of the pack " + rel +
                            " does not match its data checksum; check it with lume-pak verify");
            }
            // A patch carries the new and changed members that have stored bytes.
            const bool ship =
                !patch() || (r.zipSize != 0 && kept.count({r.nameKey, r.dataCrc}) == 0);
            const std::string name = patch() ? stemPath(rel) + "/" + hex(r.nameKey) + ".gzf"
                                             : folder + hex(r.nameKey) + ".gzf." + hex(r.dataCrc);
            if (ship && !putData(name, stored)) {
                return false;
            }
            list += "  <subfile namekey=\"" + hex(r.nameKey) + "\" size=\"" + hex(r.size) +
                    "\" crc=\"" + hex(r.extra1) + "\" zipSize=\"" + hex(r.zipSize) +
                    "\" zipcrc=\"" + hex(r.dataCrc) + "\" blocksize=\"" + hex(r.blockSize) +
                    "\" version=\"1\" operate=\"A\" bzip=\"" + std::to_string(r.flags) + "\"/>\n";
            report_.packMembers += ship ? 1 : 0;
        }
        list += "</pak>\n";
        if (!putData(patch() ? stemPath(rel) + ".fxml" : fxmlPath(rel) + "." + hex(crc), list)) {
            return false;
        }
        e.attributes = " crc=\"" + signedDecimal(crc) + "\"";
        if (must_.count(rel) != 0) {
            e.attributes += " must=\"1\"";
        }
        entries_.push_back(e);
        ++report_.packs;
        return true;
    }

    // A pack listed by the previous version but gone from this one stays listed, with a
    // sub file list that withdraws it, so that players who have it delete it.
    bool withdrawDroppedPacks() {
        PublishedPacks previous;
        const fs::path old = out_ / "flist.xml";
        std::error_code ec;
        if (!fs::exists(old, ec)) {
            return true;
        }
        if (!previous.parseFile(platform::utf8ToWide(old.string()), false)) {
            return fail("the published " + old.string() +
                        " does not parse; move it away to publish anew");
        }
        for (const auto& [rel, oldCrc] : previous.packs) {
            if (packs_.count(rel) != 0) {
                continue;
            }
            SubListMark mark;
            const std::string oldList = fxmlPath(rel) + "." + hex(oldCrc);
            const bool alreadyWithdrawn =
                mark.parseFile(platform::utf8ToWide((out_ / oldList).string()), false) &&
                mark.dataCrc == kWithdrawn;
            // A crc that no pack a player holds will have: the header check then fetches the
            // withdrawing list.
            const uint32_t crc = alreadyWithdrawn ? oldCrc : ~oldCrc;
            if (!withdraw(rel, crc, fxmlPath(rel) + "." + hex(crc))) {
                return false;
            }
        }
        return true;
    }

    // In a patch: a pack of the old version that the new one has not is withdrawn, under a
    // crc its installed copy cannot have.
    bool withdrawOldPacks() {
        std::vector<fs::path> files;
        if (!listGame(old_, files)) {
            return false;
        }
        for (const auto& f : files) {
            const std::string rel = toSlashes(fs::relative(f, old_).generic_string());
            if (!isPackName(f.filename().string()) || packs_.count(rel) != 0) {
                continue;
            }
            WinStream pack;
            PackIndex index;
            if (!loadCheckedIndex(f, rel + " of the old version", pack, index, error_)) {
                return false;
            }
            std::error_code ec;
            fs::create_directories(out_ / stemPath(rel), ec);
            if (!withdraw(rel, ~index.header.indexCrc, stemPath(rel) + ".fxml")) {
                return false;
            }
        }
        return true;
    }

    // Lists the pack rel under crc, with a sub file list at listPath that withdraws it.
    bool withdraw(const std::string& rel, uint32_t crc, const std::string& listPath) {
        Entry e;
        if (!entryOf(rel, e)) {
            return false;
        }
        std::string narrowName;
        listName(e.name, narrowName);
        if (!putData(listPath, subListHead(narrowName, kWithdrawn) + "/>\n")) {
            return false;
        }
        e.attributes = " crc=\"" + signedDecimal(crc) + "\"";
        entries_.push_back(e);
        ++report_.withdrawnPacks;
        return true;
    }

    bool writeFileList() {
        std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
            return a.folder != b.folder ? a.folder < b.folder : a.name < b.name;
        });
        std::string xml =
            "<?xml version=\"1.0\" encoding=\"" + platform::codePage() + "\"?>\n<flist>\n";
        std::vector<std::string> open;  // the folder elements currently open
        for (const Entry& e : entries_) {
            std::vector<std::string> parts;
            std::stringstream s(e.folder);
            for (std::string part; std::getline(s, part, '/');) {
                parts.push_back(part);
            }
            size_t common = 0;
            while (common < open.size() && common < parts.size() && open[common] == parts[common]) {
                ++common;
            }
            while (open.size() > common) {
                open.pop_back();
                xml += std::string(2 * (open.size() + 1), ' ') + "</folder>\n";
            }
            for (size_t i = common; i < parts.size(); ++i) {
                std::string narrow;
                listName(parts[i], narrow);
                xml += std::string(2 * (open.size() + 1), ' ') + "<folder name=\"" +
                       xmlEscape(narrow) + "\">\n";
                open.push_back(parts[i]);
            }
            std::string narrow;
            listName(e.name, narrow);
            xml += std::string(2 * (open.size() + 1), ' ') + "<file name=\"" + xmlEscape(narrow) +
                   "\"" + e.attributes + "/>\n";
        }
        while (!open.empty()) {
            open.pop_back();
            xml += std::string(2 * (open.size() + 1), ' ') + "</folder>\n";
        }
        xml += "</flist>\n";
        if (patch()) {
            return writeWhole(out_ / "flist.xml", xml) ||
                   fail("cannot write " + (out_ / "flist.xml").string());
        }
        return writeRelease(xml);
    }

    const PublishOptions& options_;
    PublishReport& report_;
    std::string& error_;
    std::FILE* log_;
    fs::path game_;
    fs::path out_;
    fs::path old_;
    std::set<std::string> must_;
    std::set<std::string> packs_;
    std::vector<Entry> entries_;
    ReleaseManifest manifest_;
    std::vector<std::unique_ptr<SecretKey>> keys_;
};

const char* kUsage =
    "usage: lume-publish GAME_DIR OUT_DIR [--must PATH]... [--exclude PATH]...\n"
    "                    [--sign KEYFILE] [--expires DAYS] [--version N]\n"
    "       lume-publish --patch OLD_DIR NEW_DIR OUT_DIR [--must PATH]... [--exclude PATH]...\n"
    "       lume-publish keygen KEYFILE\n"
    "\n"
    "Publishes the game installed in GAME_DIR as a release in OUT_DIR, ready for any HTTP\n"
    "server: flist.xml, each loose file's data (<folder>/<name>.gzf.<zipcrc>), and per pack\n"
    "its sub file list (<folder>/<stem>.fxml.<indexcrc>) and its members' stored bytes\n"
    "(<folder>/<key>.gzf.<datacrc>). Publishing a newer version into the same OUT_DIR keeps\n"
    "the older versions' files; a pack that the newer version drops is published as withdrawn.\n"
    "Beside flist.xml goes release.manifest (the path, size and SHA-256 of every file of this\n"
    "version, the release's version number and its expiry) and, with --sign, its Ed25519\n"
    "signature release.manifest.sig, which launchers with bin/release.pub require.\n"
    "\n"
    "With --patch, writes to OUT_DIR (new or empty) a patch directory that takes an\n"
    "installation of OLD_DIR to NEW_DIR, for `lume-cli patch`: flist.xml of what changed,\n"
    "each changed loose file's data (<folder>/<name>.gzf), and per changed pack its sub file\n"
    "list (<folder>/<stem>.fxml) and its new members' stored bytes (<folder>/<stem>/<key>.gzf);\n"
    "a pack that NEW_DIR drops is withdrawn.\n"
    "\n"
    "  --must PATH      a must-update file (relative, e.g. bin/lume.dat); lume.exe always is\n"
    "  --exclude PATH   leave a file or folder out (log/, update/ and bin/config.ini always are)\n"
    "  --sign KEYFILE   sign the manifest with the secret key in KEYFILE (given twice while\n"
    "                   keys change hands: the old key and the new)\n"
    "  --expires DAYS   launchers refuse the release DAYS days from now (default 30)\n"
    "  --version N      the release's version (default: one above the manifest in OUT_DIR)\n"
    "  -h, --help       show this text\n"
    "\n"
    "keygen KEYFILE writes a new secret key to KEYFILE (readable by its owner only; keep it\n"
    "offline) and the public key to KEYFILE.pub, one line as it goes into bin/release.pub.\n"
    "\n"
    "exit status: 0 published, 1 failure, 2 bad usage\n";

bool parseCount(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 19) {
        return false;
    }
    value = std::stoull(text);
    return value <= limit;
}

}  // namespace

bool publishRelease(const PublishOptions& options, PublishReport& report, std::string& error,
                    std::FILE* log) {
    PublishOptions release = options;
    release.oldDirectory.clear();
    Publisher p(release, report, error, log);
    return p.run();
}

bool publishPatch(const PublishOptions& options, PublishReport& report, std::string& error,
                  std::FILE* log) {
    if (options.oldDirectory.empty()) {
        error = "a patch needs the old version's directory";
        return false;
    }
    Publisher p(options, report, error, log);
    return p.run();
}

bool generateSigningKey(const std::string& keyFile, std::string& error) {
    const std::u16string secretPath = platform::utf8ToWide(keyFile);
    const std::u16string publicPath = platform::utf8ToWide(keyFile + ".pub");
    if (platform::isFile(publicPath)) {
        error = keyFile + ".pub already exists; a key is never replaced";
        return false;
    }
    platform::makeDirectories(secretPath, false);
    PublicKey publicKey;
    SecretKey secretKey;
    if (!generateKeyPair(publicKey, secretKey)) {
        error = "no source of random numbers for a key";
        return false;
    }
    const platform::Status created =
        platform::createPrivateFile(secretPath, secretKeyText(secretKey));
    if (!created) {
        error = created.error() == platform::kErrFileExists ||
                        created.error() == platform::kErrAlreadyExists
                    ? keyFile + " already exists; a key is never replaced"
                    : "cannot create " + keyFile;
        return false;
    }
    if (!platform::writeWholeFile(publicPath, publicKeyLine(publicKey))) {
        static_cast<void>(platform::deleteFile(secretPath));
        error = "cannot write " + keyFile + ".pub";
        return false;
    }
    return true;
}

int publishMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (!args.empty() && args[0] == "keygen") {
        if (args.size() != 2 || (!args[1].empty() && args[1][0] == '-')) {
            std::fprintf(err, "lume-publish: keygen needs one KEYFILE\n\n%s", kUsage);
            return 2;
        }
        std::string error;
        if (!generateSigningKey(args[1], error)) {
            std::fprintf(err, "lume-publish: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(out,
                     "secret key: %s (keep it offline, readable by you only)\n"
                     "public key: %s.pub (its line goes into bin/release.pub)\n",
                     args[1].c_str(), args[1].c_str());
        return 0;
    }
    PublishOptions options;
    std::vector<std::string> positional;
    bool patch = false;
    bool releaseOnly = false;  // options that only a release takes
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, out);
            return 0;
        }
        const bool takesValue = a == "--must" || a == "--exclude" || a == "--sign" ||
                                a == "--expires" || a == "--version";
        if (takesValue && i + 1 >= args.size()) {
            std::fprintf(err, "lume-publish: %s needs a value\n\n%s", a.c_str(), kUsage);
            return 2;
        }
        uint64_t number = 0;
        releaseOnly = releaseOnly || a == "--sign" || a == "--expires" || a == "--version";
        if (a == "--patch") {
            patch = true;
        } else if (a == "--must" || a == "--exclude") {
            (a == "--must" ? options.must : options.exclude).push_back(args[++i]);
        } else if (a == "--sign") {
            options.signKeyFiles.push_back(args[++i]);
        } else if (a == "--expires" || a == "--version") {
            const std::string& value = args[++i];
            const bool days = a == "--expires";
            if (!parseCount(value, days ? 36500 : UINT64_MAX, number) || (!days && number == 0)) {
                std::fprintf(err, "lume-publish: %s takes %s, not %s\n\n%s", a.c_str(),
                             days ? "a number of days up to 36500" : "a number from 1",
                             value.c_str(), kUsage);
                return 2;
            }
            if (days) {
                options.expiresDays = static_cast<int>(number);
            } else {
                options.version = number;
            }
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(err, "lume-publish: unknown option %s\n\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != (patch ? 3u : 2u) || (patch && releaseOnly)) {
        std::fprintf(err, "lume-publish: expected %s\n\n%s",
                     patch ? "OLD_DIR, NEW_DIR and OUT_DIR, without the options of a release"
                           : "GAME_DIR and OUT_DIR",
                     kUsage);
        return 2;
    }
    if (patch) {
        options.oldDirectory = positional[0];
        positional.erase(positional.begin());
    }
    options.gameDirectory = positional[0];
    options.outDirectory = positional[1];
    PublishReport report;
    std::string error;
    if (!(patch ? publishPatch(options, report, error, out)
                : publishRelease(options, report, error, out))) {
        std::fprintf(err, "lume-publish: %s\n", error.c_str());
        return 1;
    }
    if (patch) {
        std::fprintf(out,
                     "patch of %d loose files, %d packs (%d members with data), %d withdrawn "
                     "packs in %s\n",
                     report.looseFiles, report.packs, report.packMembers, report.withdrawnPacks,
                     options.outDirectory.c_str());
        return 0;
    }
    std::fprintf(
        out,
        "published %d loose files, %d packs (%d members), %d withdrawn packs; %d new files in %s\n",
        report.looseFiles, report.packs, report.packMembers, report.withdrawnPacks,
        report.dataFilesWritten, options.outDirectory.c_str());
    std::fprintf(
        out, "release version %llu, %s, expires %s\n",
        static_cast<unsigned long long>(report.version),
        report.signatures > 0 ? "signed" : "NOT signed (launchers with bin/release.pub refuse it)",
        platform::formatUtcTime(report.expires, "%Y-%m-%d %H:%M:%S UTC").c_str());
    return 0;
}

}  // namespace lume
