// lume-serve: the range arithmetic, the paths it will serve, its options, and the program
// itself serving ranges on loopback and ending cleanly on SIGINT and SIGTERM.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "engine/FileSystem/MemoryStream.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tools/serve/Serve.h"
#include "tools/serve/StaticFiles.h"
#include "transfer/UrlFile.h"

extern char** environ;

namespace lume::serve {
namespace {

TEST(ServeRange, HeaderValuesAgainstTheResourceSize) {
    struct Case {
        const char* header;
        uint64_t size;
        RangeKind kind;
        uint64_t first, last;
    };
    const Case cases[] = {
        {"bytes=0-15", 100, RangeKind::Satisfiable, 0, 15},
        {"bytes=90-200", 100, RangeKind::Satisfiable, 90, 99},  // clipped at the end
        {"bytes=99-99", 100, RangeKind::Satisfiable, 99, 99},
        {"bytes=40-", 100, RangeKind::Satisfiable, 40, 99},
        {"bytes=-10", 100, RangeKind::Satisfiable, 90, 99},
        {"bytes=-200", 100, RangeKind::Satisfiable, 0, 99},
        {" bytes= 2 - 4 ", 100, RangeKind::Satisfiable, 2, 4},
        {"bytes=4294967280-4294967295", 5000000000ull, RangeKind::Satisfiable, 4294967280ull,
         4294967295ull},
        {"bytes=100-", 100, RangeKind::Unsatisfiable, 0, 0},
        {"bytes=100-150", 100, RangeKind::Unsatisfiable, 0, 0},
        {"bytes=-0", 100, RangeKind::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, RangeKind::Unsatisfiable, 0, 0},
        {"", 100, RangeKind::None, 0, 0},
        {"bytes=5-3", 100, RangeKind::None, 0, 0},
        {"bytes=0-1,5-6", 100, RangeKind::None, 0, 0},
        {"items=0-1", 100, RangeKind::None, 0, 0},
        {"bytes=a-b", 100, RangeKind::None, 0, 0},
        {"bytes=99999999999999999999-", 100, RangeKind::None, 0, 0},
        {"bytes=-", 100, RangeKind::None, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        ByteRange range;
        ASSERT_EQ(parseRange(c.header, c.size, range), c.kind);
        if (c.kind == RangeKind::Satisfiable) {
            EXPECT_EQ(range.first, c.first);
            EXPECT_EQ(range.last, c.last);
        }
    }
}

TEST(ServeRange, OnlyRegularFilesUnderTheRootAreServed) {
    test::Sandbox box;
    box.writeFile("root/a/b.txt", "b");
    box.writeFile("secret.txt", "s");
    const std::filesystem::path root = box.path() + "/root";
    EXPECT_EQ(resolvePath(root, "/a/b.txt"), root / "a" / "b.txt");
    EXPECT_EQ(resolvePath(root, "//a//./b.txt"), root / "a" / "b.txt");
    EXPECT_TRUE(resolvePath(root, "/../secret.txt").empty());
    EXPECT_TRUE(resolvePath(root, "/a/../../secret.txt").empty());
    EXPECT_TRUE(resolvePath(root, "/a/../a/b.txt").empty());
    EXPECT_TRUE(resolvePath(root, "/a").empty());  // a folder
    EXPECT_TRUE(resolvePath(root, "/").empty());
    EXPECT_TRUE(resolvePath(root, "/missing").empty());

    EXPECT_EQ(planReply(root, "/a/b.txt", "").status, 200);
    const FileReply part = planReply(root, "/a/b.txt", "bytes=0-0");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.contentRange, "bytes 0-0/1");
    const FileReply past = planReply(root, "/a/b.txt", "bytes=1-");
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(past.contentRange, "bytes */1");
    EXPECT_EQ(planReply(root, "/nothing", "bytes=0-1").status, 404);
    // Pages are served as pages (a browser shows them), everything else as bytes.
    EXPECT_EQ(contentType("news/Index.HTML"), "text/html; charset=utf-8");
    EXPECT_EQ(contentType("art.png"), "image/png");
    EXPECT_EQ(contentType("data/ui.pak"), "application/octet-stream");
    EXPECT_EQ(contentType("flist.xml.3f"), "application/octet-stream");
}

TEST(ServeOptions, DefaultsAndErrors) {
    ServeOptions options;
    std::string error;
    ASSERT_TRUE(parseServeOptions({"www"}, options, error));
    EXPECT_EQ(options.directory, "www");
    EXPECT_EQ(options.bind, "127.0.0.1");
    EXPECT_EQ(options.port, 8080);
    EXPECT_FALSE(options.quiet);

    ServeOptions custom;
    ASSERT_TRUE(
        parseServeOptions({"--port", "0", "dir", "--bind", "0.0.0.0", "--quiet"}, custom, error));
    EXPECT_EQ(custom.port, 0);
    EXPECT_EQ(custom.bind, "0.0.0.0");
    EXPECT_TRUE(custom.quiet);

    ServeOptions help;
    EXPECT_TRUE(parseServeOptions({"--help"}, help, error));
    EXPECT_TRUE(help.help);

    for (const std::vector<std::string>& bad : {std::vector<std::string>{},
                                                {"a", "b"},
                                                {"a", "--port"},
                                                {"a", "--port", "70000"},
                                                {"a", "--port", "8o"},
                                                {"a", "--port", "-1"},
                                                {"a", "--fast"}}) {
        ServeOptions o;
        error.clear();
        EXPECT_FALSE(parseServeOptions(bad, o, error));
        EXPECT_FALSE(error.empty());
    }
}

// The program itself, started as a separate process.
class ServeProgram {
public:
    explicit ServeProgram(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), LUME_SERVE_EXE);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, LUME_SERVE_EXE, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~ServeProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }

    // Output up to the first line end (or all of it once the program has ended), waiting
    // at most limit.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (text_.find('\n') == std::string::npos && read(end)) {
        }
        const size_t at = text_.find('\n');
        std::string line = text_.substr(0, at);
        text_.erase(0, at == std::string::npos ? text_.size() : at + 1);
        return line;
    }
    std::string readAll(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (read(end)) {
        }
        std::string all;
        all.swap(text_);
        return all;
    }
    // The exit status, or -1 when the program did not end within limit.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    void signal(int number) { ::kill(pid_, number); }

private:
    bool read(std::chrono::steady_clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t got = ::read(out_, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        text_.append(buffer, static_cast<size_t>(got));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string text_;
};

TEST(ServeProgram, ServesUntilSignalledAndExitsCleanly) {
    test::Sandbox box;
    box.writeFile("www/f.bin", "0123456789abcdef");
    for (int number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(number);
        ServeProgram program({box.path() + "/www", "--port", "0"});
        const std::string first = program.readLine();
        std::smatch match;
        const std::regex pattern("serving (.*) at http://127\\.0\\.0\\.1:([0-9]+)/");
        ASSERT_TRUE(std::regex_match(first, match, pattern)) << first;
        EXPECT_EQ(match[1].str(), box.path() + "/www");
        {
            UrlFile transfer;
            MemoryStream sink(4);
            ASSERT_TRUE(transfer.downloadRange(
                platform::utf8ToWide("http://127.0.0.1:" + match[2].str() + "/f.bin"), sink, 10, 4,
                1000));
            EXPECT_EQ(std::string(reinterpret_cast<char*>(sink.data()), 4), "abcd");
            EXPECT_FALSE(transfer.downloadRange(  // past the end: 416
                platform::utf8ToWide("http://127.0.0.1:" + match[2].str() + "/f.bin"), sink, 16, 4,
                1000));
        }
        EXPECT_EQ(program.readLine(), "127.0.0.1 GET /f.bin 206 bytes=10-13");
        EXPECT_EQ(program.readLine(), "127.0.0.1 GET /f.bin 416 bytes=16-19");
        program.signal(number);
        EXPECT_EQ(program.wait(), 0);
        EXPECT_NE(
            program.readAll().find(number == SIGINT ? "stopped (SIGINT)" : "stopped (SIGTERM)"),
            std::string::npos);
    }
}

TEST(ServeProgram, UsageAndBadDirectory) {
    test::Sandbox box;
    {
        ServeProgram program({"--help"});
        EXPECT_EQ(program.wait(), 0);
        EXPECT_NE(program.readAll().find("usage: lume-serve DIR"), std::string::npos);
    }
    {
        ServeProgram program({});
        EXPECT_EQ(program.wait(), 2);
        EXPECT_NE(program.readAll().find("no directory given"), std::string::npos);
    }
    {
        ServeProgram program({box.path() + "/missing", "--port", "0"});
        EXPECT_EQ(program.wait(), 1);
        EXPECT_NE(program.readAll().find("not a directory"), std::string::npos);
    }
}

}  // namespace
}  // namespace lume::serve
