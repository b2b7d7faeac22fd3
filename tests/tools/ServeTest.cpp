// lume-serve: the range arithmetic, the paths it will serve, its options, and the program
// itself serving ranges on loopback and ending cleanly on SIGINT and SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "engine/FileSystem/MemoryStream.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tools/serve/Serve.h"
#include "tools/serve/ServerThread.h"
#include "tools/serve/StaticFiles.h"
#include "transfer/UrlFile.h"

namespace lume::serve {
namespace {

TEST(ServeRange, HeaderValuesAgainstTheResourceSize) {
    const auto S = RangeKind::Satisfiable, U = RangeKind::Unsatisfiable, N = RangeKind::None;
    const std::tuple<const char*, uint64_t, RangeKind, uint64_t, uint64_t> cases[] = {
        {"bytes=0-15", 100, S, 0, 15},
        {"bytes=90-200", 100, S, 90, 99},  // clipped at the end
        {"bytes=40-", 100, S, 40, 99},
        {"bytes=-10", 100, S, 90, 99},
        {"bytes=-200", 100, S, 0, 99},
        {" bytes= 2 - 4 ", 100, S, 2, 4},
        {"bytes=4294967280-4294967295", 5000000000ull, S, 4294967280ull, 4294967295ull},
        {"bytes=100-", 100, U, 0, 0},
        {"bytes=-0", 100, U, 0, 0},
        {"bytes=0-", 0, U, 0, 0},
        {"", 100, N, 0, 0},
        {"bytes=5-3", 100, N, 0, 0},
        {"bytes=0-1,5-6", 100, N, 0, 0},
        {"items=0-1", 100, N, 0, 0},
        {"bytes=a-b", 100, N, 0, 0},
        {"bytes=99999999999999999999-", 100, N, 0, 0}};
    for (const auto& [header, size, kind, first, last] : cases) {
        ByteRange range;
        ASSERT_EQ(parseRange(header, size, range), kind) << header;
        if (kind == S) {
            EXPECT_EQ(std::pair(range.first, range.last), std::pair(first, last)) << header;
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
    for (const char* refused : {"/../secret.txt", "/a/../../secret.txt", "/a/../a/b.txt",
                                "/a" /* a folder */, "/missing"}) {
        EXPECT_TRUE(resolvePath(root, refused).empty()) << refused;
    }

    EXPECT_EQ(planReply(root, "/a/b.txt", "").status, 200);
    const FileReply part = planReply(root, "/a/b.txt", "bytes=0-0");
    EXPECT_EQ(std::tuple(part.status, part.contentRange), std::tuple(206, "bytes 0-0/1"));
    const FileReply past = planReply(root, "/a/b.txt", "bytes=1-");
    EXPECT_EQ(std::tuple(past.status, past.contentRange), std::tuple(416, "bytes */1"));
    EXPECT_EQ(planReply(root, "/nothing", "bytes=0-1").status, 404);

    // Pages are served as pages (a browser shows them), everything else as bytes.
    EXPECT_EQ(contentType("news/Index.HTML"), "text/html; charset=utf-8");
    EXPECT_EQ(contentType("art.png"), "image/png");
    EXPECT_EQ(contentType("flist.xml.3f"), "application/octet-stream");
    // A file that ends before the position asked (it shrank while served) sends nothing.
    FileSource source(root / "a" / "b.txt");
    httplib::DataSink sink;
    std::string sent;
    sink.write = [&](const char* data, size_t length) {
        sent.append(data, length);
        return true;
    };
    EXPECT_TRUE(source.send(0, 10, sink));
    EXPECT_FALSE(source.send(1, 10, sink) || source.send(0, 0, sink));
    EXPECT_FALSE(FileSource(root / "missing").send(0, 1, sink));
    EXPECT_EQ(sent, "b");
}

TEST(ServeThread, AGivenPortOrAnyFreeOne) {
    ServerThread any([](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    ASSERT_TRUE(any.start("127.0.0.1", 0));
    const int port = any.port();
    EXPECT_GT(port, 0);
    EXPECT_FALSE(any.start("127.0.0.1", 0));  // one thread per object
    any.stop();
    ServerThread given([](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    ASSERT_TRUE(given.start("127.0.0.1", port));  // the port just let go
    EXPECT_EQ(given.port(), port);
    EXPECT_TRUE(given.running());
}

TEST(ServeOptions, DefaultsAndErrors) {
    using Parsed = std::tuple<std::string, std::string, int, bool>;
    const std::pair<std::vector<std::string>, Parsed> good[] = {
        {{"www"}, {"www", "127.0.0.1", 8080, false}},
        {{"--port", "0", "dir", "--bind", "0.0.0.0", "--quiet"}, {"dir", "0.0.0.0", 0, true}},
    };
    std::string error;
    for (const auto& [args, want] : good) {
        ServeOptions o;
        ASSERT_TRUE(parseServeOptions(args, o, error));
        EXPECT_EQ(Parsed(o.directory, o.bind, o.port, o.quiet), want);
    }
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

// The program itself as a separate process, its output going to a file.
struct ServeProgram {
    ServeProgram(std::vector<std::string> args, std::string outputFile) : output(outputFile) {
        args.insert(args.begin(), LUME_SERVE_EXE);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::remove(output.c_str());
        pid = fork();
        if (pid == 0) {
            const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execv(LUME_SERVE_EXE, argv.data());
            ::_exit(127);
        }
    }
    ~ServeProgram() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // The output, once it has `lines` lines (bounded wait).
    std::string text(long lines = 0) {
        std::string all;
        test::waitFor([&] {
            std::ifstream in(output);
            all.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            return std::count(all.begin(), all.end(), '\n') >= lines;
        });
        return all;
    }
    // The exit status, or -1 when the program did not end (bounded wait).
    int wait() {
        int status = 0;
        if (!test::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
            return -1;
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string output;
    pid_t pid = -1;
};

TEST(ServeProgram, ServesUntilSignalledAndExitsCleanly) {
    test::Sandbox box;
    box.writeFile("www/f.bin", "0123456789abcdef");
    for (int number : {SIGTERM, SIGINT}) {
        ServeProgram program({box.path() + "/www", "--port", "0"}, box.path() + "/out.txt");
        std::smatch match;
        const std::string first = program.text(1);
        ASSERT_TRUE(std::regex_search(
            first, match, std::regex("serving (.*) at http://127\\.0\\.0\\.1:([0-9]+)/\n")))
            << first;
        EXPECT_EQ(match[1].str(), box.path() + "/www");
        const std::u16string url =
            platform::utf8ToWide("http://127.0.0.1:" + match[2].str() + "/f.bin");
        {
            UrlFile transfer;
            MemoryStream sink(4);
            ASSERT_TRUE(transfer.downloadRange(url, sink, 10, 4, 1000));
            EXPECT_EQ(std::string(reinterpret_cast<char*>(sink.data()), 4), "abcd");
            EXPECT_FALSE(transfer.downloadRange(url, sink, 16, 4, 1000));  // past the end: 416
        }
        EXPECT_NE(program.text(3).find("127.0.0.1 GET /f.bin 206 bytes=10-13\n"
                                       "127.0.0.1 GET /f.bin 416 bytes=16-19\n"),
                  std::string::npos);
        ::kill(program.pid, number);
        EXPECT_EQ(program.wait(), 0);
        EXPECT_NE(program.text().find(number == SIGINT ? "stopped (SIGINT)" : "stopped (SIGTERM)"),
                  std::string::npos);
    }
}

TEST(ServeProgram, UsageAndBadDirectory) {
    test::Sandbox box;
    for (const auto& [args, status, text] :
         {std::tuple{std::vector<std::string>{"--help"}, 0, "usage: lume-serve DIR"},
          {{}, 2, "no directory given"},
          {{box.path() + "/missing", "--port", "0"}, 1, "not a directory"}}) {
        ServeProgram program(args, box.path() + "/out.txt");
        EXPECT_EQ(program.wait(), status);
        EXPECT_NE(program.text().find(text), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace lume::serve
