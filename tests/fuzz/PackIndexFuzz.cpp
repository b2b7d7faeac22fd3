// The index of a pack as every reader and writer loads it: the input is the start of a pack
// (header and tables), the rest of an 8 MiB index region and some data region are zeros (a
// sparse file). Loaded by the pack store and the read side, judged, its members checked and
// read; then a journal made of the input's tail is played over it, and the pack merged.
#include <unistd.h>

#include "engine/FileSystem/PackCheck.h"
#include "engine/FileSystem/PackEntry.h"
#include "engine/FileSystem/PackJournal.h"
#include "engine/FileSystem/PackOperations.h"
#include "engine/FileSystem/WinStream.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace lume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::enterScratch();
    const std::string_view input = fuzz::asText(data, size);
    // Two bytes give the length of the pack's head; the rest is a journal beside it.
    const size_t cut = size < 2 ? size : 2 + (size_t{data[0]} | size_t{data[1]} << 8) % (size - 1);
    const std::string_view head =
        input.substr(std::min<size_t>(2, size), cut - std::min<size_t>(2, size));
    const std::string_view journal = input.substr(cut);
    fuzz::writeFile("data/f.pak", head);
    ::truncate("data/f.pak", kIndexRegionSize + 0x10000);
    fuzz::writeFile("data/f.pak.journal", journal);

    if (recoverPack(u"data\\f.pak") == PackRecovery::kFailed) {
        return 0;
    }
    const PackInspection state = inspectPack(u"data\\f.pak");
    if (state.readable) {
        WinStream pack;
        std::vector<uint32_t> rotten;
        if (pack.open(u"data\\f.pak", 0)) {
            findRottenMembers(pack, state.index, rotten);
        }
    }
    {
        PackNameMap names;
        PackEntry entry(1);
        std::string problem;
        if (entry.open(u"data\\f.pak", names, &problem) != nullptr) {
            for (const auto& [key, owner] : names) {
                if (auto stream = entry.openFile(&key, 1, 0)) {
                    uint8_t buffer[4096];
                    stream->read(buffer, sizeof buffer);
                }
            }
        }
    }
    static_cast<void>(repairLocalFileCrc(u"data\\f.pak"));
    return 0;
}
