// Locks shared by the engine: the polymorphic iLock / CLock pair for shared tables, and
// ObjectLevelLockable, the per-object critical section every thread class mixes in for its
// own queue. All of them are recursive: the owning thread may lock again and must unlock
// as often.
#pragma once

#include <mutex>

namespace lume {

class iLock {
public:
    virtual ~iLock() = default;
    // The caller's source position is for diagnostics only.
    virtual void lock(const char* /*file*/, int /*line*/) {}
    virtual void lock() {}
    virtual void unlock() {}
};

class CLock : public iLock {
public:
    void lock(const char*, int) override { mutex_.lock(); }
    void lock() override { mutex_.lock(); }
    void unlock() override { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds an iLock for a scope.
class LockGuard {
public:
    explicit LockGuard(iLock& lock) : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    iLock& lock_;
};

template <class T>
class ObjectLevelLockable {
public:
    // Enters the object's critical section for its scope; a null object locks nothing.
    class Lock {
    public:
        explicit Lock(const T* object)
            : mutex_(object ? &static_cast<const ObjectLevelLockable<T>*>(object)->mutex_
                            : nullptr) {
            if (mutex_) {
                mutex_->lock();
            }
        }
        ~Lock() {
            if (mutex_) {
                mutex_->unlock();
            }
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        std::recursive_mutex* mutex_;
    };

protected:
    ObjectLevelLockable() = default;
    ~ObjectLevelLockable() = default;

private:
    mutable std::recursive_mutex mutex_;
};

}  // namespace lume
