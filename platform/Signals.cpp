#include "platform/Signals.h"

#include <signal.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<int> gCaught{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

void onStopSignal(int signal) {
    gCaught.store(signal, std::memory_order_relaxed);
}

}  // namespace

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Back to the default after the first: a second Ctrl-C ends the program. SA_RESTART keeps
    // the program's blocking calls from failing with EINTR.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int stopSignal() {
    return gCaught.load(std::memory_order_relaxed);
}

}  // namespace platform
