// A fresh temporary directory per test, made the process's working directory for the
// test's duration (the launcher works relative to its game directory), removed afterwards.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace lume::test {

class Sandbox {
public:
    // Under base when given (a directory that must exist), else the temporary directory.
    explicit Sandbox(const std::string& base = {});
    // /dev/shm when it is a writable directory (syncs there cost nothing, for tests that sync
    // thousands of times), else empty: the temporary directory.
    static std::string memoryBase();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The directory's absolute path in native form ("/tmp/lume-test-XXXXXX").
    const std::string& path() const { return path_; }
    // Writes bytes to a file under the sandbox (relative native path), creating folders.
    void writeFile(const std::string& relative, const std::string& bytes) const;
    std::string readFile(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    // Writes bytes to a file anywhere, creating its folders.
    static void write(const std::filesystem::path& path, const std::string& bytes);

private:
    std::string path_;
    std::string previous_;
};

// Waits until done() holds, at most limit (a safety net, never a measure); true when it held.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace lume::test
