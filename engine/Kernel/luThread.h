// The base of every worker thread: the thread calls run() again and again until a stop is
// requested, then onExit() once. Derived classes return from run() regularly (after one
// pass, or after an idle wait that new work or a stop request ends at once), and stop and
// join their own thread in their destructors.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/Kernel/WakeSignal.h"
#include "platform/Thread.h"

namespace lume {

class luThread {
public:
    // The longest idle wait: wakes and stop requests end it sooner; this only bounds what a
    // lost wake-up could cost.
    static constexpr std::chrono::milliseconds kIdleWaitLimit{1000};

    luThread() = default;
    // Stops and joins a thread that a derived destructor left running (it should not).
    virtual ~luThread();
    luThread(const luThread&) = delete;
    luThread& operator=(const luThread&) = delete;

    // False when there is no thread; otherwise asks it to stop, ends an idle wait, and
    // returns at once. Called on any thread, the worker itself included.
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

    // Ends an idle wait of the worker: new work has arrived. Called on any thread.
    void wake() { wake_.wake(); }

protected:
    // The worker's idle wait: note wakeCount() before looking for work and, when there is
    // none, call idleWait with it. It returns at the first wake or stop request after the
    // count was noted, or after limit at the latest. Called on the worker thread.
    uint64_t wakeCount() const { return wake_.count(); }
    void idleWait(uint64_t seen, std::chrono::milliseconds limit);
    // Waits for a stop request for at most limit; true when one came. On the worker thread.
    bool waitForStop(std::chrono::milliseconds limit);

private:
    static void routine(void* self);
    void applyName();

    mutable std::mutex nameMutex_;
    std::string name_ = "thread";
    std::atomic<bool> nameChanged_{false};
    std::unique_ptr<platform::NativeThread> thread_;
    std::atomic<uint32_t> threadId_{0};
    std::atomic<bool> stop_{true};
    WakeSignal wake_;
};

}  // namespace lume
