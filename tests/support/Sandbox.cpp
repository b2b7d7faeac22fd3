#include "tests/support/Sandbox.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/TestBytes.h"

namespace fs = std::filesystem;

namespace lume::test {

Sandbox::Sandbox(const std::string& base) {
    previous_ = fs::current_path().string();
    std::string templ =
        ((base.empty() ? fs::temp_directory_path() : fs::path(base)) / "lume-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
    fs::current_path(path_);
}

std::string Sandbox::memoryBase() {
    std::error_code ec;
    return fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::current_path(previous_, ec);
    fs::remove_all(path_, ec);
}

void Sandbox::write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void Sandbox::writeFile(const std::string& relative, const std::string& bytes) const {
    write(fs::path(path_) / relative, bytes);
}

std::string Sandbox::readFile(const std::string& relative) const {
    return readBytes(fs::path(path_) / relative);
}

bool Sandbox::exists(const std::string& relative) const {
    return fs::exists(fs::path(path_) / relative);
}

}  // namespace lume::test
