// A named lock held for the life of the process, so that only one launcher runs at a time.
// Another process holding the same name makes acquire fail; the lock goes away with the
// process that held it, however it ended.
#pragma once

#include <string_view>

namespace platform {

class SingleInstance {
public:
    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another holder (another process, or another SingleInstance object of
    // this one) has the name.
    bool acquire(std::u16string_view name);
    // The same for a directory (one holder per game directory, whatever the name used to
    // reach it): the lock is taken on the directory itself, so no file is left in it.
    bool acquireDirectory(std::u16string_view path);
    void release();

private:
    int fd_ = -1;
};

}  // namespace platform
