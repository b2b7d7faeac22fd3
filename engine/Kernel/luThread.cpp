#include "engine/Kernel/luThread.h"

#include "platform/DebugOutput.h"

namespace lume {

luThread::~luThread() {
    if (thread_) {
        // A derived destructor should have joined already; the derived part is gone, so
        // this only keeps the process from losing a running thread.
        platform::debugOutput(std::string("luThread destroyed with its thread running: ") + name() +
                              "\n");
        stop_.store(true, std::memory_order_release);
        wake_.wake();
        thread_->join();
        thread_.reset();
    }
}

bool luThread::requestStop() {
    if (!thread_) {
        return false;
    }
    stop_.store(true, std::memory_order_release);
    wake_.wake();
    return true;
}

void luThread::idleWait(uint64_t seen, std::chrono::milliseconds limit) {
    if (!isStopped()) {
        wake_.waitSince(seen, WakeSignal::Clock::now() + limit);
    }
}

bool luThread::waitForStop(std::chrono::milliseconds limit) {
    const auto deadline = WakeSignal::Clock::now() + limit;
    while (!isStopped()) {
        const uint64_t seen = wake_.count();
        if (isStopped() || WakeSignal::Clock::now() >= deadline) {
            break;
        }
        wake_.waitSince(seen, deadline);
    }
    return isStopped();
}

bool luThread::start(size_t stackSize) {
    if (thread_) {
        return false;
    }
    stop_.store(false, std::memory_order_release);
    thread_ = std::make_unique<platform::NativeThread>();
    if (!thread_->start(stackSize, &luThread::routine, this)) {
        thread_.reset();
        stop_.store(true, std::memory_order_release);
        return false;
    }
    threadId_.store(thread_->id(), std::memory_order_release);
    return true;
}

void luThread::setName(const std::string& name) {
    {
        std::lock_guard<std::mutex> guard(nameMutex_);
        name_ = name;
    }
    nameChanged_.store(true, std::memory_order_release);
}

std::string luThread::name() const {
    std::lock_guard<std::mutex> guard(nameMutex_);
    return name_;
}

void luThread::applyName() {
    if (nameChanged_.exchange(false, std::memory_order_acq_rel)) {
        platform::setCurrentThreadName(name());
    }
}

bool luThread::stopAndJoin() {
    if (!thread_) {
        return false;
    }
    stop_.store(true, std::memory_order_release);
    wake_.wake();
    thread_->join();
    thread_.reset();
    return true;
}

void luThread::routine(void* self) {
    auto* thread = static_cast<luThread*>(self);
    thread->nameChanged_.store(true, std::memory_order_release);
    while (!thread->isStopped()) {
        thread->applyName();
        thread->run();
    }
    thread->onExit();
}

}  // namespace lume
