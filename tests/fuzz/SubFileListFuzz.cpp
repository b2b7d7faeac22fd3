// A pack's sub file list (".fxml") parsed and compared with a record table, as a header task
// does; the records come from the input's first bytes.
#include <cstring>

#include "tests/fuzz/FuzzSupport.h"
#include "update/SubFileListDownloader.h"

using namespace lume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t count =
        size == 0 ? 0 : std::min<size_t>(data[0] % 8, (size - 1) / sizeof(PackRecord));
    std::vector<PackRecord> records(count);
    if (count != 0) {
        std::memcpy(records.data(), data + 1, count * sizeof(PackRecord));
    }
    const size_t used = size == 0 ? 0 : 1 + count * sizeof(PackRecord);
    std::vector<uint8_t> damaged(count, 0);
    for (size_t i = 0; i < count; ++i) {
        damaged[i] = records[i].flags & 1;
    }
    SubFileListDownloader list;
    if (list.parseBytes(fuzz::asText(data + used, size - used))) {
        std::vector<PackPatchItem> items;
        std::vector<PackRecord> removals;
        SubFileListDownloader::compareRecords(list.entries(), records, (size & 1) != 0, items,
                                              removals, damaged);
    }
    return 0;
}
