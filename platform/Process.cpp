#include "platform/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>

#include "platform/Error.h"
#include "platform/Files.h"
#include "platform/Internal.h"
#include "platform/Text.h"

namespace platform {

namespace {

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// Children are never waited for by the caller; they are reaped here so none stays a zombie.
struct Children {
    std::mutex mutex;
    std::vector<pid_t> pids;
};

Children& children() {
    static Children* list = new Children;
    return *list;
}

void reapChildren() {
    Children& list = children();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.pids.erase(std::remove_if(list.pids.begin(), list.pids.end(),
                                   [](pid_t pid) {
                                       int status = 0;
                                       const pid_t r = ::waitpid(pid, &status, WNOHANG);
                                       return r == pid || (r < 0 && errno == ECHILD);
                                   }),
                    list.pids.end());
}

void rememberChild(pid_t pid) {
    Children& list = children();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.pids.push_back(pid);
}

enum class Found { No, NotExecutable, Yes };

Found probeProgram(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return Found::No;
    }
    return ::access(path.c_str(), X_OK) == 0 ? Found::Yes : Found::NotExecutable;
}

std::string currentDirectoryNative() {
    return nativePath(currentDirectory());
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory.back() == '/') {
        return directory + name;
    }
    return directory + "/" + name;
}

// The program file for the first argument. A name without a separator is searched for in
// the current directory and then along PATH; the first executable file wins, and a file
// that exists but may not be executed is used only when nothing better turns up (so that
// starting it reports "access denied" rather than "not found").
bool resolveProgram(const std::u16string& name, std::string& program) {
    if (name.empty()) {
        return detail::failCode(kErrFileNotFound);
    }
    const std::string cwd = currentDirectoryNative();
    if (name.find_first_of(u"\\/") != std::u16string::npos) {
        std::string path = nativePath(name);
        if (path[0] != '/') {
            path = joinPath(cwd, path);
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return detail::failCode(kErrFileNotFound);
        }
        if (S_ISDIR(st.st_mode)) {
            return detail::failCode(kErrAccessDenied);
        }
        program = path;
        return true;
    }

    const std::string file = wideToUtf8(name);
    std::vector<std::string> directories{cwd};
    const char* pathEnv = std::getenv("PATH");
    const std::string searchPath = pathEnv != nullptr ? pathEnv : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t colon = searchPath.find(':', start);
        const std::string entry = searchPath.substr(
            start, colon == std::string::npos ? std::string::npos : colon - start);
        directories.push_back(entry.empty() ? cwd : entry);
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }

    std::string fallback;
    for (const std::string& directory : directories) {
        std::string candidate = joinPath(directory, file);
        if (candidate[0] != '/') {
            candidate = joinPath(cwd, candidate);
        }
        const Found found = probeProgram(candidate);
        if (found == Found::Yes) {
            program = candidate;
            return true;
        }
        if (found == Found::NotExecutable && fallback.empty()) {
            fallback = candidate;
        }
    }
    if (!fallback.empty()) {
        program = fallback;
        return true;
    }
    return detail::failCode(kErrFileNotFound);
}

uint32_t spawnError(int err, const std::string& workingDirectory) {
    switch (err) {
        case ENOEXEC:
            return kErrBadExeFormat;
        case EACCES:
        case EPERM:
            return kErrAccessDenied;
        case ENOENT:
        case ENOTDIR: {
            // The working directory may have vanished between the check and the start.
            struct stat st {};
            if (!workingDirectory.empty() &&
                (::stat(workingDirectory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
                return kErrDirectory;
            }
            return kErrFileNotFound;
        }
        default:
            return errorFromErrno(err);
    }
}

}  // namespace

std::vector<std::u16string> splitCommandLine(std::u16string_view line) {
    std::vector<std::u16string> args;
    const size_t n = line.size();
    size_t i = 0;
    while (i < n && isBlank(line[i])) {
        ++i;
    }
    if (i == n) {
        return args;
    }

    // The program name follows simpler rules: quotes only delimit it, backslashes are
    // literal (they are the path separators), and it ends at the closing quote.
    std::u16string program;
    if (line[i] == u'"') {
        ++i;
        while (i < n && line[i] != u'"') {
            program.push_back(line[i++]);
        }
        if (i < n) {
            ++i;
        }
    } else {
        while (i < n && !isBlank(line[i])) {
            program.push_back(line[i++]);
        }
    }
    args.push_back(std::move(program));

    for (;;) {
        while (i < n && isBlank(line[i])) {
            ++i;
        }
        if (i == n) {
            break;
        }
        std::u16string arg;
        bool quoted = false;
        while (i < n) {
            const char16_t c = line[i];
            if (c == u'\\') {
                size_t backslashes = 0;
                while (i < n && line[i] == u'\\') {
                    ++backslashes;
                    ++i;
                }
                if (i < n && line[i] == u'"') {
                    arg.append(backslashes / 2, u'\\');
                    if (backslashes % 2 == 1) {
                        arg.push_back(u'"');
                        ++i;
                    }
                } else {
                    arg.append(backslashes, u'\\');
                }
                continue;
            }
            if (c == u'"') {
                if (quoted && i + 1 < n && line[i + 1] == u'"') {
                    arg.push_back(u'"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            if (!quoted && isBlank(c)) {
                break;
            }
            arg.push_back(c);
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

// An executable of this machine's format (the upgrade program an update installs, say).
bool isNativeExecutable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    return in.read(magic, sizeof magic) && std::string_view(magic, 4) ==
                                               "\x7f"
                                               "ELF";
}

// "#!/bin/sh -e" -> {"/bin/sh", "-e"}; empty when the file is not a script.
std::vector<std::string> scriptInterpreter(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line) || line.size() < 3 || line.compare(0, 2, "#!") != 0) {
        return {};
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::vector<std::string> words;
    std::istringstream split(line.substr(2));
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    // Like the kernel, everything after the interpreter is one argument.
    if (words.size() > 2) {
        for (size_t i = 2; i < words.size(); ++i) {
            words[1] += " " + words[i];
        }
        words.resize(2);
    }
    if (words.empty() || words[0][0] != '/') {
        return {};
    }
    return words;
}

}  // namespace

bool startProcess(std::u16string_view commandLine, std::u16string_view workingDirectory, int* pid) {
    reapChildren();
    const std::vector<std::u16string> args = splitCommandLine(commandLine);
    if (args.empty()) {
        return detail::failCode(kErrFileNotFound);
    }
    std::string program;
    if (!resolveProgram(args[0], program)) {
        return false;
    }
    std::string directory;
    if (!workingDirectory.empty()) {
        directory = nativePath(workingDirectory);
        struct stat st {};
        if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return detail::failCode(kErrDirectory);
        }
    }

    std::vector<std::string> utf8Args;
    utf8Args.reserve(args.size() + 2);
    // Windows starts any program file whatever its permissions, and files that an update
    // installs carry no execute bit; a script without one is started through the
    // interpreter its first line names.
    // A program file of this machine's own format gets its owner's execute bit, which is
    // what Windows assumes of every program file.
    if (::access(program.c_str(), X_OK) != 0) {
        std::vector<std::string> interpreter = scriptInterpreter(program);
        struct stat st {};
        if (!interpreter.empty()) {
            utf8Args = std::move(interpreter);
            utf8Args.push_back(program);
            program = utf8Args[0];
        } else if (isNativeExecutable(program) && ::stat(program.c_str(), &st) == 0) {
            ::chmod(program.c_str(), (st.st_mode & 07777) | S_IXUSR);
        }
    }
    if (utf8Args.empty()) {
        utf8Args.push_back(wideToUtf8(args[0]));
    }
    for (size_t i = 1; i < args.size(); ++i) {
        utf8Args.push_back(wideToUtf8(args[i]));
    }
    std::vector<char*> argv;
    for (std::string& arg : utf8Args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    if (!directory.empty()) {
        ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    // Descriptors other libraries opened without close-on-exec must not leak into the game.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A started program begins with the signal state a fresh process has, whatever this
    // one blocks or ignores (SIGPIPE is commonly ignored by network code).
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigmask(&attributes, &noSignals);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = 0;
    const int rc =
        ::posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return detail::failCode(spawnError(rc, directory));
    }
    rememberChild(child);
    if (pid != nullptr) {
        *pid = static_cast<int>(child);
    }
    return true;
}

}  // namespace platform
