// The downloaded server list, parsed into servers and sorted as the window shows them.
#include "engine/Kernel/MessageTarget.h"
#include "serverlist/ServerListDownloader.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace lume;

namespace {
struct Nowhere : MessageTarget {
    bool post(uint32_t, uint32_t, uint32_t) override { return true; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::enterScratch();
    Nowhere window;
    std::vector<ServerRecord> servers;
    ServerListDownloader list(window, servers);
    list.parseList(fuzz::asText(data, size));
    return 0;
}
