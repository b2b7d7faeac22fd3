// Where the updater's reports go: (message, wParam, lParam) triples posted to the window
// that drives it. The desktop window turns them into queued Qt events, the terminal
// launcher drains a queue, tests record them. Posting never blocks the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace lume {

struct PostedMessage {
    uint32_t message = 0;
    uint32_t wParam = 0;
    uint32_t lParam = 0;
};

class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    // Called on any thread; must return without waiting for the receiver.
    virtual bool post(uint32_t message, uint32_t wParam, uint32_t lParam) = 0;
};

// A thread-safe first-in first-out queue of posted messages.
class MessageQueue : public MessageTarget {
public:
    bool post(uint32_t message, uint32_t wParam, uint32_t lParam) override;
    // The oldest message, waiting at most timeout for one to arrive.
    std::optional<PostedMessage> waitPop(std::chrono::milliseconds timeout);
    std::optional<PostedMessage> tryPop();
    // Everything posted so far and not yet taken, oldest first (for tests).
    std::vector<PostedMessage> drain();

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<PostedMessage> queue_;
};

}  // namespace lume
