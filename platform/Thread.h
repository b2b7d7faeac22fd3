// OS threads with a chosen stack size, thread names and sleep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

class NativeThread {
public:
    using Routine = void (*)(void*);

    NativeThread() = default;
    ~NativeThread();  // joins a thread that is still joinable
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;

    // stackSize 0 = the system default. False (with lastError) if no thread was created.
    bool start(size_t stackSize, Routine routine, void* argument);
    bool joinable() const { return started_; }
    // Waits without a time limit. False when there is no thread.
    bool join();
    // The kernel's id of the thread, once it runs (0 before start).
    uint32_t id() const { return id_; }
    // The stack size the thread was actually given (for tests).
    size_t stackSize() const { return stackSize_; }

private:
    static void* trampoline(void* self);

    unsigned long handle_ = 0;
    bool started_ = false;
    uint32_t id_ = 0;
    size_t stackSize_ = 0;
    Routine routine_ = nullptr;
    void* argument_ = nullptr;
};

uint32_t currentThreadId();
// Names the calling thread for debuggers and `ps` (cut to the system's limit).
void setCurrentThreadName(std::string_view name);
void sleepMs(uint32_t ms);

}  // namespace platform
