#include "engine/FileSystem/PackManager.h"

#include "engine/FileSystem/File.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/NameKey.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Time.h"

namespace lume {

namespace {

struct GlobalManager {
    std::mutex mutex;  // guards arguments, started and the manager pointer's changes
    std::vector<std::u16string> arguments;
    bool started = false;
    // A fresh flag after each reset for tests; call_once makes the first use single.
    std::unique_ptr<std::once_flag> once = std::make_unique<std::once_flag>();
    std::unique_ptr<PackManager> manager;
};

GlobalManager& global() {
    static GlobalManager g;
    return g;
}

std::unique_ptr<Stream> openFromPacks(std::u16string_view path, int mode) {
    return PackManager::instance()->openFile(path, mode);
}

}  // namespace

PackManager::PackManager(Options options) : options_(std::move(options)) {
    attributes_.parseCommandLine(options_.commandLine);
    if (attributes_.has(u"log") && readBoolText(attributes_.value(u"log"))) {
        openPackLog();
    }
    if (attributes_.has(u"url")) {
        url_ = attributes_.value(u"url");
        backUrl_ = attributes_.value(u"backurl");
        return;
    }
    scan();
    writePackLog(u"init pack version");
}

PackManager::~PackManager() = default;

PackManager* PackManager::instance() {
    GlobalManager& g = global();
    std::call_once(*g.once, [&g] {
        Options options;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            options.commandLine = g.arguments;
            g.started = true;
        }
        auto manager = std::make_unique<PackManager>(std::move(options));
        std::lock_guard<std::mutex> lock(g.mutex);
        g.manager = std::move(manager);
    });
    return g.manager.get();
}

bool PackManager::setCommandLine(std::vector<std::u16string> arguments) {
    GlobalManager& g = global();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.started) {
        return false;
    }
    g.arguments = std::move(arguments);
    return true;
}

void PackManager::installFallback() {
    File::setPackFallback(&openFromPacks);
}

void PackManager::resetInstanceForTests() {
    GlobalManager& g = global();
    std::lock_guard<std::mutex> lock(g.mutex);
    g.manager.reset();
    g.arguments.clear();
    g.started = false;
    g.once = std::make_unique<std::once_flag>();
}

bool PackManager::scan() {
    std::call_once(scanOnce_, [this] { doScan(); });
    return scanResult_;
}

void PackManager::doScan() {
    std::u16string directory = platform::currentDirectory();
    directory += u'\\';
    directory += options_.dataDirectory;
    if (!directory.empty() && directory.back() != u'\\' && directory.back() != u'/') {
        directory += u'\\';
    }
    std::vector<platform::FindData> found;
    platform::findFiles(directory + u"*.pak", found);
    for (const platform::FindData& file : found) {
        if (file.directory) {
            continue;
        }
        std::u16string lower = file.name;
        for (char16_t& c : lower) {
            if (c >= u'A' && c <= u'Z') {
                c = static_cast<char16_t>(c - u'A' + u'a');
            }
        }
        const size_t dot = lower.find_last_of(u'.');
        if (dot == std::u16string::npos || lower.substr(dot + 1) != u"pak") {
            continue;
        }
        const uint32_t packKey = nameKey(std::u16string_view(lower).substr(0, dot));
        auto entry = std::make_unique<PackEntry>(packKey);
        const std::u16string path = directory + file.name;
        std::string problem;
        if (entry->open(path, names_, &problem) == nullptr) {
            logW_m1(u"资源包%s不可用: %s\r\n", path, platform::utf8ToWide(problem));
            writePackLog(formatW(u"skip %s: %s", path, platform::utf8ToWide(problem)));
            continue;
        }
        if (!problem.empty()) {
            logW_m1(u"资源包%s: %s\r\n", path, platform::utf8ToWide(problem));
            writePackLog(formatW(u"%s: %s", path, platform::utf8ToWide(problem)));
        }
        packs_[packKey] = std::move(entry);
    }
    scanResult_ = true;
}

std::unique_ptr<ZipStream> PackManager::openFile(std::u16string_view path, int mode) {
    if (packs_.empty() || path.empty()) {
        return nullptr;
    }
    const uint32_t key = nameKey(path, true);
    const auto name = names_.find(key);
    if (name == names_.end()) {
        return nullptr;
    }
    const auto pack = packs_.find(name->second.second);
    if (pack == packs_.end()) {
        return nullptr;
    }
    return pack->second->openFile(&key, 1, mode);
}

const PackEntry* PackManager::findPack(uint32_t packKey) const {
    const auto it = packs_.find(packKey);
    return it == packs_.end() ? nullptr : it->second.get();
}

const uint32_t* PackManager::supplierOf(uint32_t nameKeyValue) const {
    const auto it = names_.find(nameKeyValue);
    return it == names_.end() ? nullptr : &it->second.second;
}

void PackManager::openPackLog() {
    platform::makeDirectories(u"log", true);
    packLogPath_ = u"log\\" + platform::executableStem() +
                   platform::narrowToWide(platform::formatLocalTime("%H-%M-%S")) + u"_file.log";
    packLogOpen_ = packLog_.open(packLogPath_, 2);
    // A log left by an earlier run at the same time of day keeps its lines whole: this
    // run's lines follow them instead of overwriting their start.
    if (packLogOpen_) {
        packLog_.seek(packLog_.size());
    }
}

void PackManager::writePackLog(std::u16string_view text) {
    if (!packLogOpen_) {
        return;
    }
    std::string line = platform::formatLocalTime("[%H:%M:%S]");
    line += ':';
    line += platform::wideToNarrow(text);
    line += "\r\n";
    std::lock_guard<std::mutex> lock(packLogMutex_);
    // A line the disk refuses cannot be logged either.
    static_cast<void>(packLog_.write(line.data(), static_cast<uint32_t>(line.size())));
}

}  // namespace lume
