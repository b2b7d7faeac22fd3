#include "platform/Thread.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/Error.h"
#include "platform/Internal.h"

namespace platform {

static_assert(std::is_same_v<pthread_t, unsigned long>,
              "NativeThread keeps the pthread_t in an unsigned long");

namespace {

// Lives on start()'s stack: start() does not return before the new thread has recorded its
// id, so callers can read id() right away.
struct Startup {
    NativeThread* thread;
    std::mutex mutex;
    std::condition_variable ready;
    bool running = false;
};

size_t roundStackSize(size_t requested) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const size_t pageSize = page > 0 ? static_cast<size_t>(page) : 4096;
    size_t size = (requested + pageSize - 1) / pageSize * pageSize;
    const size_t minimum = PTHREAD_STACK_MIN;
    if (size < minimum) {
        size = minimum;
    }
    return size;
}

}  // namespace

void* NativeThread::trampoline(void* self) {
    auto* startup = static_cast<Startup*>(self);
    NativeThread* thread = startup->thread;
    const Routine routine = thread->routine_;
    void* const argument = thread->argument_;
    {
        std::lock_guard<std::mutex> lock(startup->mutex);
        thread->id_ = currentThreadId();
        startup->running = true;
        // Notified under the lock: start() may destroy the Startup as soon as it wakes.
        startup->ready.notify_one();
    }
    routine(argument);
    return nullptr;
}

NativeThread::~NativeThread() {
    // A thread destroying its own handle cannot join itself; it is left to finish detached.
    if (started_ && !join()) {
        ::pthread_detach(static_cast<pthread_t>(handle_));
    }
}

bool NativeThread::start(size_t stackSize, Routine routine, void* argument) {
    if (started_ || routine == nullptr) {
        return detail::failCode(kErrInvalidParameter);
    }
    pthread_attr_t attr;
    int rc = ::pthread_attr_init(&attr);
    if (rc != 0) {
        return detail::fail(rc);
    }
    if (stackSize != 0) {
        rc = ::pthread_attr_setstacksize(&attr, roundStackSize(stackSize));
        if (rc != 0) {
            ::pthread_attr_destroy(&attr);
            return detail::fail(rc);
        }
    }
    size_t actual = 0;
    ::pthread_attr_getstacksize(&attr, &actual);

    routine_ = routine;
    argument_ = argument;
    id_ = 0;
    Startup startup{this, {}, {}, false};
    pthread_t handle{};
    rc = ::pthread_create(&handle, &attr, &NativeThread::trampoline, &startup);
    ::pthread_attr_destroy(&attr);
    if (rc != 0) {
        routine_ = nullptr;
        argument_ = nullptr;
        // pthread_create reports EAGAIN when memory or thread slots run out.
        return detail::failCode(rc == EAGAIN ? kErrNotEnoughMemory : errorFromErrno(rc));
    }
    {
        std::unique_lock<std::mutex> lock(startup.mutex);
        startup.ready.wait(lock, [&startup] { return startup.running; });
    }
    handle_ = handle;
    started_ = true;
    stackSize_ = actual;
    return true;
}

bool NativeThread::join() {
    if (!started_) {
        return detail::failCode(kErrInvalidHandle);
    }
    const int rc = ::pthread_join(static_cast<pthread_t>(handle_), nullptr);
    if (rc != 0) {
        return detail::fail(rc);
    }
    started_ = false;
    handle_ = 0;
    return true;
}

uint32_t currentThreadId() {
    return static_cast<uint32_t>(::gettid());
}

void setCurrentThreadName(std::string_view name) {
    // The kernel keeps 15 bytes; cut before a UTF-8 continuation byte so no half character shows.
    size_t length = name.size() < 15 ? name.size() : 15;
    if (length < name.size()) {
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    const std::string shortName(name.substr(0, length));
    ::pthread_setname_np(::pthread_self(), shortName.c_str());
}

void sleepMs(uint32_t ms) {
    if (ms == 0) {
        // Sleep(0) gives up the rest of the time slice.
        ::sched_yield();
        return;
    }
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(ms / 1000);
    remaining.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
