#include "update/Updater.h"

namespace lume {

Updater::~Updater() {
    pool_.clear();
    servers_.clear();
}

bool Updater::postInterned(const std::u16string& text) {
    const uint32_t index = pool_.intern(nameKey(text, false), text);
    return postMessage(kMsgText, index, 0);
}

const ServerRecord* Updater::serverAt(size_t index) const {
    return index < servers_.size() ? &servers_[index] : nullptr;
}

const ServerRecord* Updater::serverByName(const std::u16string& name) const {
    for (const auto& s : servers_) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

}  // namespace lume
