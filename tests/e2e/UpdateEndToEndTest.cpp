// Whole updates on a real nginx: releases made with lume-publish, served by nginx on a free
// loopback port, applied by the terminal launcher (in-process, or as its own process when
// it must be killed), and the game directory compared with the published version.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "engine/FileSystem/File.h"
#include "launcher/cli/Cli.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "tests/support/NginxServer.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tools/pak/PakTool.h"
#include "tools/publish/Publisher.h"
#include "transfer/BlockIndexFile.h"
#include "update/Messages.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

std::string noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

std::string lines(const std::string& word, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += word + " " + std::to_string(i) + "\n";
    }
    return s;
}

struct Message {
    uint32_t msg, wParam, lParam;
    std::string text;
    bool operator==(const Message& o) const {
        return msg == o.msg && wParam == o.wParam && lParam == o.lParam;
    }
};

// The launcher's trace: one JSON object per line.
std::vector<Message> readTrace(const std::string& path) {
    std::vector<Message> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        Message m{};
        std::sscanf(line.c_str(), "{\"msg\":%u,\"wParam\":%u,\"lParam\":%u", &m.msg, &m.wParam,
                    &m.lParam);
        const size_t t = line.find("\"text\":\"");
        if (t != std::string::npos) {
            m.text = line.substr(t + 8, line.size() - t - 10);
        }
        out.push_back(m);
    }
    return out;
}

class UpdateEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::NginxServer::available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        // Version 1.
        write("v1/readme.txt", "Welcome to version 1.\r\n");
        write("v1/bin/lume.dat", "#!/bin/sh\necho client 1\n");
        write("v1/maps/a.map", lines("grass", 3000));
        write("v1/big.bin", noise(3 << 20, 1));
        write("v1/说明.txt", "说明 1");
        pack("v1", "ui",
             {{"a.txt", lines("same", 500)},
              {"b.txt", lines("grows", 100)},
              {"c.txt", noise(40000, 2)},
              {"Small.txt", noise(30000, 3)}});
        pack("v1", "legacy", {{"old.txt", lines("legacy", 200)}});
        pack("v1", "rebuilt", {{"x.txt", lines("x one", 300)}});
        // Version 2: changed, added and removed loose files and pack members, a new pack,
        // a withdrawn pack, and a changed must file.
        write("v2/readme.txt", "Welcome to version 2: the marsh is open.\r\n");
        write("v2/bin/lume.dat", "#!/bin/sh\necho client 2\n");
        write("v2/maps/a.map", lines("grass", 3000));
        write("v2/maps/b.map", lines("marsh", 5000));
        write("v2/big.bin", noise(3 << 20, 11));
        write("v2/说明.txt", "说明 1");
        pack("v2", "ui",
             {{"a.txt", lines("same", 500)},
              {"b.txt", lines("grows much more", 4000)},
              {"d.txt", noise(20000, 4)},
              {"Small.txt", noise(1000, 5)}});
        pack("v2", "rebuilt", {{"x.txt", lines("x two", 300)}, {"y.txt", lines("y", 10)}});
        pack("v2", "sound", {{"theme.ogg", noise(100000, 6)}});
        publish("v1");
        publish("v2");
        nginx = std::make_unique<test::NginxServer>(box.path() + "/www");
        ASSERT_TRUE(nginx->started()) << nginx->errorLog();
    }

    void write(const std::string& rel, const std::string& bytes) { box.writeFile(rel, bytes); }
    void pack(const std::string& version, const std::string& name,
              const std::vector<std::pair<std::string, std::string>>& files) {
        const std::string src = "src/" + version + "/" + name + "/";
        for (const auto& [file, bytes] : files) {
            write(src + file, bytes);
        }
        fs::create_directories(box.path() + "/" + version + "/data");
        std::ostringstream out, err;
        ASSERT_EQ(
            pak::run({u"create", platform::utf8ToWide(box.path() + "/" + src),
                      platform::utf8ToWide(box.path() + "/" + version + "/data/" + name + ".pak")},
                     out, err),
            0)
            << err.str();
    }
    void publish(const std::string& version) {
        PublishOptions o;
        o.gameDirectory = box.path() + "/" + version;
        o.outDirectory = box.path() + "/www/release";
        o.must = {"bin/lume.dat"};
        PublishReport report;
        std::string error;
        ASSERT_TRUE(publishRelease(o, report, error)) << error;
    }
    void install(const std::string& version, const std::string& game) {
        fs::create_directories(box.path() + "/" + game);
        fs::copy(box.path() + "/" + version, box.path() + "/" + game, fs::copy_options::recursive);
    }

    // lume-cli update in-process; the messages it traced.
    int update(const std::string& game, const std::string& host,
               std::vector<std::string> extra = {}) {
        const std::string trace = box.path() + "/trace-" + std::to_string(++runs) + ".jsonl";
        std::vector<std::string> args = {"update",   "-C",      box.path() + "/" + game,
                                         "--host",   host,      "--path",
                                         "/release", "--trace", trace};
        args.insert(args.end(), extra.begin(), extra.end());
        std::FILE* out = std::tmpfile();
        const int code = runCli(args, out, out);
        std::fclose(out);
        messages = readTrace(trace);
        return code;
    }
    // Must files first (the launcher restarts after them), then everything else.
    int updateFully(const std::string& game, const std::string& host,
                    std::vector<std::string> extra = {}) {
        int code = kExitFailure;
        for (int pass = 0; pass < 3; ++pass) {
            code = update(game, host, extra);
            if (code != kExitOk || decodeUpdateResult(result().wParam, result().lParam).kind !=
                                       UpdateResult::Kind::Restart) {
                break;
            }
        }
        return code;
    }
    Message result() const {
        for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
            if (it->msg == kMsgUpdateResult) {
                return *it;
            }
        }
        return {};
    }

    // The members of a pack, by key, as lume-pak extracts them.
    std::map<std::string, std::string> members(const std::string& packPath) {
        const std::string out = box.path() + "/extract-" + std::to_string(++extracts);
        std::ostringstream o, e;
        EXPECT_EQ(pak::run({u"verify", platform::utf8ToWide(packPath)}, o, e), 0)
            << packPath << e.str();
        EXPECT_EQ(pak::run({u"extract", platform::utf8ToWide(packPath), u"--all",
                            platform::utf8ToWide(out)},
                           o, e),
                  0)
            << e.str();
        std::map<std::string, std::string> m;
        for (const auto& f : fs::directory_iterator(out)) {
            std::ifstream in(f.path(), std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            m[f.path().filename().string()] = s.str();
        }
        return m;
    }
    // The game directory holds exactly the published version's files and pack contents.
    void expectVersion(const std::string& game, const std::string& version) {
        const fs::path src = box.path() + "/" + version;
        for (const auto& f : fs::recursive_directory_iterator(src)) {
            if (!f.is_regular_file()) {
                continue;
            }
            const std::string rel = fs::relative(f.path(), src).string();
            const std::string mine = box.path() + "/" + game + "/" + rel;
            ASSERT_TRUE(fs::exists(mine)) << rel;
            if (f.path().extension() == ".pak") {
                EXPECT_EQ(members(mine), members(f.path().string())) << rel;
            } else {
                EXPECT_EQ(box.readFile(game + "/" + rel), box.readFile(version + "/" + rel)) << rel;
            }
        }
    }

    test::Sandbox box;
    std::unique_ptr<test::NginxServer> nginx;
    std::vector<Message> messages;
    int runs = 0;
    int extracts = 0;
};

TEST_F(UpdateEndToEnd, FromAnEmptyDirectoryToTheNewestVersion) {
    fs::create_directories(box.path() + "/game/bin");
    ASSERT_EQ(updateFully("game", nginx->host()), kExitOk);
    expectVersion("game", "v2");
    // The withdrawn pack is not installed; nothing is left in flight.
    EXPECT_FALSE(box.exists("game/data/legacy.pak"));
    EXPECT_FALSE(box.exists("game/update/ui"));
    for (const auto& f : fs::recursive_directory_iterator(box.path() + "/game")) {
        const std::string ext = f.path().extension().string();
        EXPECT_TRUE(ext != ".gzf" && ext != ".igzf" && ext != ".patch" && ext != ".ipatch")
            << f.path();
    }
}

TEST_F(UpdateEndToEnd, FromVersionOneToTwo) {
    install("v1", "game");
    // A pack damaged on disk is rebuilt whole.
    std::string rebuilt = box.readFile("game/data/rebuilt.pak");
    rebuilt[0] = 'X';
    write("game/data/rebuilt.pak", rebuilt);

    // The must file changed: the first run updates it alone and says a restart is needed.
    ASSERT_EQ(update("game", nginx->host()), kExitOk);
    const UpdateResult r = decodeUpdateResult(result().wParam, result().lParam);
    EXPECT_EQ(r.kind, UpdateResult::Kind::Restart);
    EXPECT_EQ(r.mustCount, 1);
    EXPECT_EQ(box.readFile("game/bin/lume.dat"), box.readFile("v2/bin/lume.dat"));
    EXPECT_EQ(box.readFile("game/readme.txt"), box.readFile("v1/readme.txt"));

    // After the restart, everything else.
    ASSERT_EQ(update("game", nginx->host()), kExitOk);
    EXPECT_EQ(decodeUpdateResult(result().wParam, result().lParam).kind, UpdateResult::Kind::Ready);
    expectVersion("game", "v2");
    EXPECT_FALSE(box.exists("game/data/legacy.pak"));  // withdrawn

    // A withdrawn pack that is absent stays absent: its list is fetched, nothing changes.
    ASSERT_EQ(update("game", nginx->host()), kExitOk);
    expectVersion("game", "v2");
}

TEST_F(UpdateEndToEnd, AnUpToDateInstallPostsExactlyTheIdleMessages) {
    PublishOptions o;
    o.gameDirectory = box.path() + "/v1";
    o.outDirectory = box.path() + "/www/only1";
    PublishReport report;
    std::string error;
    ASSERT_TRUE(publishRelease(o, report, error)) << error;
    install("v1", "game");
    const std::string trace = box.path() + "/idle.jsonl";
    std::FILE* out = std::tmpfile();
    ASSERT_EQ(runCli({"update", "-C", box.path() + "/game", "--host", nginx->host(), "--path",
                      "/only1", "--trace", trace},
                     out, out),
              kExitOk);
    std::fclose(out);
    const std::vector<Message> idle = {{kMsgFileList, 1, 0, ""},
                                       {kMsgFileList, 0, 0, ""},
                                       {kMsgBlocksHandedOut, 0, 0, ""},
                                       {kMsgWriteFailed, 0, 0, ""},
                                       {kMsgUpdateResult, 0, 0, ""}};
    std::vector<Message> posted;
    std::string texts;
    for (const auto& m : readTrace(trace)) {
        texts += std::to_string(m.msg) + " " + m.text + "\n";
        if (m.msg != kMsgText) {
            posted.push_back(m);
        }
    }
    EXPECT_EQ(posted, idle) << texts;
}

TEST_F(UpdateEndToEnd, AnUnreachableFileListFailsAfterThreeAttempts) {
    install("v1", "game");
    ASSERT_EQ(update("game", "127.0.0.1:1"), kExitFailure);
    EXPECT_EQ(result().wParam, 0x10000u);
    EXPECT_EQ(result().lParam, 0u);
    expectVersion("game", "v1");
}

TEST_F(UpdateEndToEnd, ThePrimaryDownTheMirrorUp) {
    install("v1", "game");
    ASSERT_EQ(updateFully("game", "127.0.0.1:1",
                          {"--mirror-host", nginx->host(), "--mirror-path", "/release"}),
              kExitOk);
    expectVersion("game", "v2");
}

// A copy of the release with only its lists ("partial": every data request fails there), and
// a copy whose big.bin data holds other bytes ("bad").
void copyRelease(const test::Sandbox& box, const std::string& name, bool listsOnly, bool corrupt) {
    const fs::path from = box.path() + "/www/release";
    for (const auto& f : fs::recursive_directory_iterator(from)) {
        if (!f.is_regular_file()) {
            continue;
        }
        const std::string rel = fs::relative(f.path(), from).string();
        const std::string file = f.path().filename().string();
        const bool isList = file == "flist.xml" || file.find(".fxml.") != std::string::npos;
        if (listsOnly && !isList) {
            continue;
        }
        std::string bytes = box.readFile("www/release/" + rel);
        if (corrupt && file.rfind("big.bin.gzf.", 0) == 0) {
            bytes[bytes.size() / 2] ^= 0x55;
        }
        box.writeFile("www/" + name + "/" + rel, bytes);
    }
}

TEST_F(UpdateEndToEnd, AMirrorServingWrongBytesIsCaught) {
    install("v1", "game");
    ASSERT_EQ(update("game", nginx->host()), kExitOk);  // the must pass, from the good release
    copyRelease(box, "partial", true, false);
    copyRelease(box, "bad", false, true);
    const std::string before = box.readFile("game/big.bin");
    std::FILE* out = std::tmpfile();
    const std::string trace = box.path() + "/bad.jsonl";
    EXPECT_EQ(
        runCli({"update", "-C", box.path() + "/game", "--host", nginx->host(), "--path", "/partial",
                "--mirror-host", nginx->host(), "--mirror-path", "/bad", "--trace", trace},
               out, out),
        kExitFailure);
    std::fclose(out);
    messages = readTrace(trace);
    const UpdateResult r = decodeUpdateResult(result().wParam, result().lParam);
    EXPECT_EQ(r.kind, UpdateResult::Kind::VerifyFailed)
        << result().wParam << " " << result().lParam;
    EXPECT_EQ(box.readFile("game/big.bin"), before);  // the installed file is untouched
    // A later update from a good server succeeds.
    ASSERT_EQ(updateFully("game", nginx->host(),
                          {"--mirror-host", nginx->host(), "--mirror-path", "/release"}),
              kExitOk);
    expectVersion("game", "v2");
}

TEST_F(UpdateEndToEnd, AHostileFileListWritesNothingOutside) {
    install("v1", "game");
    write("www/hostile/flist.xml",
          "<flist><folder name=\"..\"><file name=\"escaped.txt\" crc=\"1\" size=\"3\" zip=\"3\" "
          "zipcrc=\"5\"/>"
          "</folder><file name=\"/tmp/lume-e2e-absolute.txt\" crc=\"1\" size=\"3\" zip=\"3\" "
          "zipcrc=\"5\"/>"
          "<folder name=\"a\"><folder name=\"..\\..\"><file name=\"up.txt\" crc=\"1\" size=\"3\" "
          "zip=\"3\" "
          "zipcrc=\"5\"/></folder></folder>"
          "<file name=\"C:\\x.txt\" crc=\"1\" size=\"3\" zip=\"3\" zipcrc=\"5\"/></flist>");
    write("www/hostile/escaped.txt.gzf.5", "abc");
    write("www/hostile/up.txt.gzf.5", "abc");
    const std::string trace = box.path() + "/hostile.jsonl";
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(runCli({"update", "-C", box.path() + "/game", "--host", nginx->host(), "--path",
                      "/hostile", "--trace", trace},
                     out, out),
              kExitFailure);
    std::fclose(out);
    EXPECT_FALSE(fs::exists("/tmp/lume-e2e-absolute.txt"));
    EXPECT_FALSE(fs::exists(box.path() + "/game/C:"));
    // Nothing appeared beside the game directory.
    for (const auto& f : fs::directory_iterator(box.path())) {
        const std::string name = f.path().filename().string();
        EXPECT_TRUE(name == "game" || name == "www" || name == "src" || name == "v1" ||
                    name == "v2" || name == "hostile.jsonl")
            << name;
    }
    expectVersion("game", "v1");
}

// Blocks that the block index files under dir record as stored.
int recordedBlocks(const std::string& dir) {
    int recorded = 0;
    for (const auto& f : fs::recursive_directory_iterator(dir)) {
        const std::string ext = f.path().extension().string();
        if (ext != ".igzf" && ext != ".ipatch") {
            continue;
        }
        File file;
        BlockIndexHeader header;
        std::vector<BlockIndexEntry> entries;
        if (file.open(platform::utf8ToWide(f.path().string()), 0) &&
            BlockIndexFile::read(file, header, entries)) {
            for (const BlockIndexEntry& e : entries) {
                recorded += e.written != 0 ? 1 : 0;
            }
        }
    }
    return recorded;
}

// A proxy in front of the primary that ignores ranges (the whole file) or compresses: its
// answers are refused, so they never reach a block index. Alone it fails the update as a
// download failure (not as a full disk); with the mirror beside it the update succeeds.
TEST_F(UpdateEndToEnd, AProxyThatMishandlesRangesNeverPoisonsTheResumeState) {
    struct Case {
        const char* name;
        test::FaultPlan fault;
    };
    for (const Case& c :
         {Case{"whole", test::FaultPlan::wholeBody()}, Case{"gzip", test::FaultPlan::encoded()}}) {
        SCOPED_TRACE(c.name);
        const std::string game = std::string("game-") + c.name;
        install("v1", game);
        write(game + "/bin/config.ini", "[other]\nretrytimes=1\n");
        test::TestHttpServer proxy(box.path() + "/www");
        ASSERT_TRUE(proxy.started());
        proxy.injectForRanges(c.fault);

        ASSERT_EQ(update(game, proxy.host()), kExitFailure);
        const UpdateResult r = decodeUpdateResult(result().wParam, result().lParam);
        EXPECT_EQ(r.kind, UpdateResult::Kind::DownloadFailed);
        EXPECT_EQ(r.writeFailures, 0);
        EXPECT_EQ(recordedBlocks(box.path() + "/" + game), 0);

        ASSERT_EQ(updateFully(game, proxy.host(),
                              {"--mirror-host", nginx->host(), "--mirror-path", "/release"}),
                  kExitOk);
        expectVersion(game, "v2");
    }
}

TEST_F(UpdateEndToEnd, AKilledUpdateResumes) {
    install("v1", "game");
    install("v1", "clean");
    // The must pass first, on both.
    ASSERT_EQ(update("game", nginx->host()), kExitOk);
    ASSERT_EQ(update("clean", nginx->host()), kExitOk);
    // What a clean update of the rest fetches.
    const uint64_t before = nginx->bytesSent();
    ASSERT_EQ(update("clean", nginx->host()), kExitOk);
    const uint64_t cleanBytes = nginx->bytesSent() - before;

    // The same update through a slow server, as its own process, killed half way.
    test::NginxServer slow(box.path() + "/www", "150k");
    ASSERT_TRUE(slow.started()) << slow.errorLog();
    const pid_t child = fork();
    if (child == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        const std::string dir = box.path() + "/game";
        const std::string host = slow.host();
        ::execl(LUME_CLI_EXE, "lume-cli", "update", "-C", dir.c_str(), "--host", host.c_str(),
                "--path", "/release", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    const uint64_t deadline = platform::monotonicMs() + 60000;
    while (slow.bytesSent() < (1u << 20) && platform::monotonicMs() < deadline) {
        platform::sleepMs(20);
    }
    const uint64_t killedAfter = slow.bytesSent();
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the update ended before it could be killed";
    ASSERT_GE(killedAfter, 1u << 20);

    // Run again: the result is the clean update's, with far fewer bytes fetched.
    const uint64_t resumedFrom = nginx->bytesSent();
    ASSERT_EQ(update("game", nginx->host()), kExitOk);
    const uint64_t resumedBytes = nginx->bytesSent() - resumedFrom;
    expectVersion("game", "v2");
    RecordProperty("clean_bytes", std::to_string(cleanBytes));
    RecordProperty("resumed_bytes", std::to_string(resumedBytes));
    EXPECT_LE(resumedBytes + (killedAfter / 2), cleanBytes)
        << "clean " << cleanBytes << ", before the kill " << killedAfter << ", resumed "
        << resumedBytes;
}

}  // namespace
}  // namespace lume
