// flist.xml as the update run parses it, with checks that look at every entry the way the
// real ones turn it into a path.
#include "engine/FileSystem/SafePath.h"
#include "tests/fuzz/FuzzSupport.h"
#include "update/FileListDownloader.h"

using namespace lume;

namespace {
struct Checks : FileListChecks {
    bool look(const FileListEntry& e) {
        const std::u16string path = e.folder.empty() ? e.name : e.folder + u"\\" + e.name;
        return isSafeRelativePath(path) && e.size > e.zip;
    }
    bool checkPack(const FileListEntry& e) override { return look(e); }
    bool checkFile(const FileListEntry& e) override { return look(e); }
    bool checkMustFile(const FileListEntry& e) override { return look(e); }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FileListDownloader list;
    Checks checks;
    if (list.parseBytes(fuzz::asText(data, size))) {
        list.runChecks(checks);
    } else if (!list.regularList().empty() || !list.mustList().empty()) {
        __builtin_trap();  // a list that does not parse must leave nothing behind
    }
    return 0;
}
