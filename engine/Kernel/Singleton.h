// Registration of a process-wide object. There is no lazy creation: the owner creates the
// object with new and deletes it; constructing it publishes it, destroying it withdraws
// it, and users read the pointer and must accept null.
#pragma once

#include <atomic>

namespace lume {

template <class T>
class Singleton {
public:
    // The object, or null when none exists. Safe to call from any thread.
    static T* instance() {
        Singleton* p = current_.load(std::memory_order_acquire);
        return p ? static_cast<T*>(p) : nullptr;
    }

    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;

protected:
    Singleton() { current_.store(this, std::memory_order_release); }
    virtual ~Singleton() { withdrawInstance(); }

    // Withdraws the pointer before the derived part is torn down, so that no other thread
    // reaches a half-destroyed object. Only withdraws this object's own registration.
    void withdrawInstance() {
        Singleton* self = this;
        current_.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    }

private:
    static inline std::atomic<Singleton*> current_{nullptr};
};

}  // namespace lume
