// What the server list reports to, for the server list tests: the servers the list fills in
// and a record of what is posted to the window.
#pragma once

#include <vector>

#include "engine/Kernel/MessageTarget.h"
#include "serverlist/ServerRecord.h"

namespace lume::test {

struct ListOwner : MessageTarget {
    bool post(uint32_t m, uint32_t w, uint32_t l) override {
        posted.push_back({m, w, l});
        return true;
    }
    std::vector<ServerRecord>& servers() { return list; }
    std::vector<PostedMessage> posted;
    std::vector<ServerRecord> list;
};

}  // namespace lume::test
