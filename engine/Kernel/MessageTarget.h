// Where the workers' reports go: (message, wParam, lParam) triples posted to the window that
// drives the updater, numbered as the table below says. The desktop window turns them into
// queued Qt events, the terminal launcher drains a queue, tests record them. Posting never
// blocks the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace lume {

// The window messages of the update engine.
enum UpdaterMessage : uint32_t {
    kMsgServerList = 6025,       // wParam 1 success, 0 failure
    kMsgProgress = 6027,         // wParam total T; lParam low 16 bits L, high 16 bits H
    kMsgFileList = 6028,         // wParam 1: downloading flist.xml, 0: received
    kMsgUpdateResult = 6029,     // summary, see decodeUpdateResult (update/Messages.h)
    kMsgText = 6030,             // wParam: string pool index (Reporter)
    kMsgWriteFailed = 6034,      // wParam: files that could not be written
    kMsgPhaseProgress = 6035,    // wParam: item count, lParam: current index
    kMsgBlocksHandedOut = 6036,  // wParam = lParam = block count
    kMsgSubFileList = 6037,      // no reaction in the window
    kMsgPatchProgress = 6038,    // patch processor: (done, total)
    kMsgPatchDone = 6039,        // patch processor: (failures, failures)
};

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
