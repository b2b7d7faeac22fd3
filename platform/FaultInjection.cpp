#include "platform/FaultInjection.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace platform::faults {

namespace {

const char* callName(Call call) {
    switch (call) {
        case Call::kWrite:
            return "write";
        case Call::kTruncate:
            return "truncate";
        case Call::kReserve:
            return "reserve";
        case Call::kSync:
            return "sync";
        case Call::kSyncDirectory:
            return "syncdir";
        case Call::kRename:
            return "rename";
    }
    return "?";
}

struct State {
    std::mutex mutex;
    uint64_t calls = 0;
    uint64_t failAt = 0;  // 0: none
    bool failOn = false;  // every call from failAt on
    int err = 0;
    bool injected = false;
    uint64_t killAt = 0;
    uint64_t interruptAt = 0;
    int traceFd = -1;
};

// Armed when anything is to be counted; read without the lock on every call.
std::atomic<bool> gArmed{false};
// The errno value every read fails with, 0 for none.
std::atomic<int> gReadError{0};

State& state() {
    // Never destroyed: files are still written by static destructors at exit.
    static State* s = new State;
    return *s;
}

// The environment's settings, taken once when the program starts.
[[maybe_unused]] const bool gFromEnvironment = [] {
    const char* kill = std::getenv("LUME_FAULT_KILL_AT");
    const char* interrupt = std::getenv("LUME_FAULT_INTERRUPT_AT");
    const char* trace = std::getenv("LUME_FAULT_TRACE");
    const auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
    const bool any = set(kill) || set(interrupt) || set(trace);
    if (any) {
        State& s = state();
        if (set(kill)) {
            s.killAt = std::strtoull(kill, nullptr, 10);
        }
        if (set(interrupt)) {
            s.interruptAt = std::strtoull(interrupt, nullptr, 10);
        }
        if (trace != nullptr && *trace != '\0') {
            s.traceFd = ::open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        gArmed.store(true, std::memory_order_release);
    }
    return any;
}();

void arm(uint64_t nth, bool from, int err) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls = 0;
    s.failAt = nth;
    s.failOn = from;
    s.err = err;
    s.injected = false;
    gArmed.store(true, std::memory_order_release);
}

}  // namespace

void failAt(uint64_t nth, int err) {
    arm(nth, false, err);
}

void failFrom(uint64_t nth, int err) {
    arm(nth, true, err);
}

void count() {
    arm(0, false, 0);
}

void killAt(uint64_t nth) {
    arm(0, false, 0);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.killAt = nth;
}

void failReads(int err) {
    gReadError.store(err, std::memory_order_release);
}

int beforeRead() {
    return gReadError.load(std::memory_order_acquire);
}

void disarm() {
    gReadError.store(0, std::memory_order_release);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failAt = 0;
    s.failOn = false;
    s.killAt = 0;
    s.interruptAt = 0;
    gArmed.store(s.traceFd >= 0, std::memory_order_release);
}

uint64_t calls() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.calls;
}

bool injected() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.injected;
}

int before(Call call, std::string_view path, int fd) {
    if (!gArmed.load(std::memory_order_acquire)) {
        return 0;
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const uint64_t n = ++s.calls;
    if (s.traceFd >= 0) {
        std::string line = std::to_string(n) + " " + callName(call) + " ";
        if (path.empty() && fd >= 0) {
            char target[4096];
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
            if (length > 0) {
                line.append(target, static_cast<size_t>(length));
            }
        }
        line.append(path);
        line += '\n';
        static_cast<void>(::write(s.traceFd, line.data(), line.size()));
    }
    if (s.killAt != 0 && n == s.killAt) {
        ::kill(::getpid(), SIGKILL);
    }
    if (s.interruptAt != 0 && n == s.interruptAt) {
        ::kill(::getpid(), SIGINT);  // as from Ctrl-C: the call itself goes on
    }
    if (s.failAt != 0 && (n == s.failAt || (s.failOn && n > s.failAt))) {
        s.injected = true;
        return s.err;
    }
    return 0;
}

}  // namespace platform::faults
