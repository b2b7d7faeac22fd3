#include "update/Updater.h"

namespace lume {

Updater::~Updater() {
    clearTexts();
    servers_.clear();
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
