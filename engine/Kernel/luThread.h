// The base of every worker thread: the thread calls run() again and again until a stop is
// requested, then onExit() once. Derived classes return from run() regularly (after one
// pass, or after a short sleep when idle) so that a stop is seen promptly, and stop and
// join their own thread in their destructors.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Thread.h"

namespace lume {

class luThread {
public:
    luThread() = default;
    // Stops and joins a thread that a derived destructor left running (it should not).
    virtual ~luThread();
    luThread(const luThread&) = delete;
    luThread& operator=(const luThread&) = delete;

    // False when there is no thread; otherwise asks it to stop and returns at once.
    // Called on any thread, the worker itself included.
    virtual bool requestStop();
    virtual bool isStopped() { return stop_.load(std::memory_order_acquire); }
    // The thread, or null while there is none.
    virtual const platform::NativeThread* threadHandle() { return thread_.get(); }
    // One pass of the thread's work; called on the worker thread.
    virtual void run() = 0;
    // Called once on the worker thread when the loop ends.
    virtual void onExit() {}

    // stackSize 0 = the default. False when no thread could be created.
    bool start(size_t stackSize = 0);
    // Names the thread (before or after start); the worker applies it to itself.
    void setName(const std::string& name);
    std::string name() const;
    // Sets stop and waits for the thread without a time limit. False when there is none.
    // Called on the owner's thread.
    bool stopAndJoin();
    // The worker's id (0 before start).
    uint32_t threadId() const { return threadId_.load(std::memory_order_acquire); }

private:
    static void routine(void* self);
    void applyName();

    mutable std::mutex nameMutex_;
    std::string name_ = "thread";
    std::atomic<bool> nameChanged_{false};
    std::unique_ptr<platform::NativeThread> thread_;
    std::atomic<uint32_t> threadId_{0};
    std::atomic<bool> stop_{true};
};

}  // namespace lume
