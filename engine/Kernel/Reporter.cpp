#include "engine/Kernel/Reporter.h"

#include "engine/Kernel/NameKey.h"

namespace lume {

bool Reporter::postInterned(const std::u16string& text) {
    const uint32_t index = pool_.intern(nameKey(text, false), text);
    return post(kMsgText, index, 0);
}

}  // namespace lume
