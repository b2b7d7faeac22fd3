// The pack patch list ("!PTI"), as the resume and the pack write thread load it, and a merge
// and a build from it over a small pack whose staged files are all there.
#include "engine/FileSystem/PackFormat.h"
#include "engine/FileSystem/PackOperations.h"
#include "engine/FileSystem/PackPatchList.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace lume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::enterScratch();
    fuzz::writeFile("list.ipatch", fuzz::asText(data, size));
    PackPatchList list;
    uint32_t id = 0;
    if (size >= 12) {
        id = static_cast<uint32_t>(data[8]) | static_cast<uint32_t>(data[9]) << 8 |
             static_cast<uint32_t>(data[10]) << 16 | static_cast<uint32_t>(data[11]) << 24;
    }
    if (list.load(u"list.ipatch", id) != PackPatchList::LoadError::kNone) {
        return 0;
    }
    // The build writes every block whole, so a list of large blocks costs time and finds
    // nothing new; one that would pass 4 GiB is still built, as it fails before writing.
    uint64_t blocks = kIndexRegionSize;
    for (const PackPatchItem& item : list.items) {
        blocks += item.blockSize;
    }
    if (blocks > kIndexRegionSize + (1u << 20) && blocks <= UINT32_MAX) {
        return 0;
    }
    // Staged files for at most a few items, of the sizes the list names (capped).
    for (size_t i = 0; i < list.items.size() && i < 8; ++i) {
        const PackPatchItem& item = list.items[i];
        char name[32];
        std::snprintf(name, sizeof name, "update/f/%x.gzf", item.nameKey);
        fuzz::writeFile(name, std::string(std::min<uint32_t>(item.zipSize, 1 << 16), 'x'));
    }
    static_cast<void>(buildPack(u"data\\f.pak", u"data\\f.new", u"list.ipatch", id));
    return 0;
}
