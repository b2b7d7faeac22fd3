// An updater without workers for the server list tests: it holds the servers the list fills
// in and records what is posted to the window.
#pragma once

#include <string>
#include <vector>

#include "update/MessageTarget.h"
#include "update/Updater.h"

namespace lume::test {

struct ListOwner : Updater {
    bool startPatch(const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    int downloadServerList(int) override { return 0; }
    bool beginUpdate(const std::string&, const std::string&, const std::string&, const std::string&,
                     uint8_t) override {
        return false;
    }
    std::u16string getDefaultServer() override { return {}; }
    bool postMessage(uint32_t m, uint32_t w, uint32_t l) override {
        posted.push_back({m, w, l});
        return true;
    }
    std::vector<PostedMessage> posted;
};

}  // namespace lume::test
