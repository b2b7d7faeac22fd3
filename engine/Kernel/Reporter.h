// What a worker reports through: window messages (MessageTarget), and texts for the window,
// which are interned in a string pool and posted by index (message 6030) so that no pointer
// crosses a thread. The updater is the reporter of its workers; a worker built on its own
// (in a test, say) is handed any other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/Kernel/Format.h"
#include "engine/Kernel/MessageTarget.h"
#include "engine/Kernel/StringPool.h"

namespace lume {

class Reporter : public MessageTarget {
public:
    // Interns a formatted text and posts its index. Called on any thread.
    template <class... A>
    bool postText(std::u16string_view pattern, const A&... args) {
        return postInterned(formatW(pattern, args...));
    }
    // Interns the text under its name key (not lower-cased): equal texts get equal indices,
    // and a text whose key equals an earlier one's gets the earlier index.
    bool postInterned(const std::u16string& text);
    // The text of a posted index; empty for an unknown index. Called on any thread.
    std::u16string text(uint32_t index) { return pool_.text(index); }

protected:
    // Empties the pool (the updater does so when it goes).
    void clearTexts() { pool_.clear(); }

private:
    StringPool pool_;
};

}  // namespace lume
