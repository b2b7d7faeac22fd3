// What a worker reports through: window messages (MessageTarget), and texts for the window,
// which are interned in a string pool and posted by index (message 6030) so that no pointer
// crosses a thread. The updater is the reporter of its workers; a worker built on its own
// (in a test, say) is handed any other.
#pragma once

#include <atomic>
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

    // The disk ran out of space (or would have): bytes the work needed and bytes free then.
    // Noted by a worker before its summary, read by the window after it; zero when none.
    struct DiskShortfall {
        uint64_t needed = 0;
        uint64_t available = 0;
    };
    void noteDiskShortfall(uint64_t needed, uint64_t available) {
        available_.store(available, std::memory_order_relaxed);
        needed_.store(needed, std::memory_order_release);
    }
    DiskShortfall diskShortfall() const {
        DiskShortfall s;
        s.needed = needed_.load(std::memory_order_acquire);
        s.available = available_.load(std::memory_order_relaxed);
        return s;
    }

protected:
    // Empties the pool (the updater does so when it goes).
    void clearTexts() { pool_.clear(); }

private:
    StringPool pool_;
    std::atomic<uint64_t> needed_{0};
    std::atomic<uint64_t> available_{0};
};

}  // namespace lume
