// The end-to-end suites' fixture: versions of a game (loose files and packs built by
// lume-pak) published by lume-publish under www/, served by a real nginx on a free loopback
// port, game directories updated by the terminal launcher run in this process with its trace
// read back, and compared with a version.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>

#include "launcher/cli/Cli.h"
#include "tests/support/NginxServer.h"
#include "tests/update/UpdateTestData.h"
#include "update/Messages.h"

namespace lume::test {

struct Message {
    uint32_t msg, wParam, lParam;
    bool operator==(const Message&) const = default;
};

// One run of lume-cli with --trace: its exit status, what it printed, the messages it traced
// (texts apart) and its last summary.
struct CliRun {
    int code = -1;
    std::string output;
    std::vector<Message> messages;
    UpdateResult result;
};

// lume-cli as its own process with args, env ("NAME=value" entries) added and its standard
// output in the file out (else, as its errors, in /dev/null): its exit status, or 128 + the
// signal that ended it.
inline int runCliProcess(const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}, const std::string& out = {}) {
    std::vector<char*> argv{const_cast<char*>("lume-cli")};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        const int file = out.empty() ? -1 : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(file >= 0 ? file : devnull, 1);
        ::dup2(devnull, 2);
        for (const std::string& e : env) {
            ::putenv(const_cast<char*>(e.c_str()));
        }
        ::execv(LUME_CLI_EXE, argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Every file of a game directory but its logs.
inline Tree gameTree(const fs::path& game) {
    Tree tree = readTree(game);
    std::erase_if(tree, [](const auto& file) { return file.first.starts_with("log/"); });
    return tree;
}

// The game's file rel as in the version: a loose file byte for byte, a pack member by member.
inline void expectFile(const fs::path& game, const fs::path& version, const std::string& rel) {
    if (rel.ends_with(".pak")) {
        const PackView want = viewPack(version / rel);
        EXPECT_FALSE(want.members.empty()) << rel;
        EXPECT_EQ(viewPack(game / rel), want) << rel;
    } else {
        EXPECT_EQ(readBytes(game / rel), readBytes(version / rel)) << rel;
    }
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        nginx = serve();
        prepare();
    }
    // What the suite serves and installs for each case (nginx serves www/ already).
    virtual void prepare() {}
    // nginx on www/ (slowed or otherwise changed by extra directives), over TLS or HTTP/2.
    std::unique_ptr<NginxServer> serve(const std::string& extra = {},
                                       const NginxServer::TlsFiles& tls = {}, bool http2 = false) {
        auto server = std::make_unique<NginxServer>(root + "/www", extra, tls, http2);
        EXPECT_TRUE(server->started()) << server->errorLog();
        return server;
    }
    fs::path game(const std::string& name = "game") const { return fs::path(root) / name; }
    // A fresh copy of a version as the game directory `name`.
    void install(const std::string& version, const std::string& name = "game") {
        fs::remove_all(game(name));
        fs::copy(versions / version, game(name), fs::copy_options::recursive);
    }

    // lume-cli in this process (from the sandbox, again after it); what it said and traced is
    // kept in `last`.
    int cli(std::vector<std::string> args) {
        const std::string trace = root + "/trace.jsonl";
        args.insert(args.end(), {"--trace", trace});
        last = CliRun{};
        std::FILE* out = std::tmpfile();
        last.code = runCli(args, out, out);
        fs::current_path(root);  // lume-cli works in the game directory
        last.output.resize(static_cast<size_t>(std::ftell(out)));
        std::rewind(out);
        last.output.resize(std::fread(last.output.data(), 1, last.output.size(), out));
        std::fclose(out);
        std::ifstream in(trace);
        for (std::string line; std::getline(in, line);) {
            Message m{};
            std::sscanf(line.c_str(), "{\"msg\":%u,\"wParam\":%u,\"lParam\":%u", &m.msg, &m.wParam,
                        &m.lParam);
            if (m.msg != kMsgText) {
                last.messages.push_back(m);
            }
            if (m.msg == kMsgUpdateResult) {
                last.result = decodeUpdateResult(m.wParam, m.lParam);
            }
        }
        fs::remove(trace);
        return last.code;
    }
    const std::string& said() const { return last.output; }
    bool printed(std::string_view text) const { return said().find(text) != std::string::npos; }
    bool printed(std::u16string_view text) const { return printed(platform::wideToUtf8(text)); }
    // lume-cli command in a game directory, from a path of host (default: the nginx).
    int launcher(const std::string& command, const std::string& path,
                 std::vector<std::string> extra = {}, const std::string& name = "game",
                 const std::string& host = {}) {
        extra.insert(extra.begin(), {command, "-C", game(name).string(), "--host",
                                     host.empty() ? nginx->host() : host, "--path", path});
        return cli(extra);
    }
    int update(const std::string& path, const std::vector<std::string>& extra = {},
               const std::string& name = "game", const std::string& host = {}) {
        return launcher("update", path, extra, name, host);
    }
    // Updates until no must file is left (the launcher restarts after them).
    int updateFully(const std::string& path, const std::vector<std::string>& extra = {},
                    const std::string& name = "game", const std::string& host = {}) {
        for (int pass = 0; pass < 3; ++pass) {
            if (update(path, extra, name, host) != kExitOk ||
                last.result.kind != UpdateResult::Kind::Restart) {
                break;
            }
        }
        return last.code;
    }

    // The game holds every file of the version; when clean, also no other pack and nothing of
    // an update in flight, and every pack verifies with lume-pak.
    void expectVersion(const std::string& version, const std::string& name = "game",
                       bool clean = false) {
        const Tree want = readTree(versions / version);
        for (const auto& [rel, bytes] : want) {
            expectFile(game(name), versions / version, rel);
        }
        for (const auto& [rel, bytes] : clean ? gameTree(game(name)) : Tree{}) {
            const std::string ext = fs::path(rel).extension().string();
            const std::set<std::string> work = {".gzf", ".igzf", ".patch",  ".ipatch",
                                                ".tmp", ".back", ".journal"};
            EXPECT_TRUE(!work.contains(ext) && (ext != ".pak" || want.contains(rel))) << rel;
            std::ostringstream out, err;
            EXPECT_TRUE(ext != ".pak" ||
                        pak::run({u"verify", platform::utf8ToWide((game(name) / rel).string())},
                                 out, err) == 0)
                << rel;
        }
    }

    // The server list that `run` fetches first (data/bin/srvListUrl.xml names www/servers.xml
    // on server), in the narrow code page: path on hosts (the first primary, the others
    // mirrors) and one zone.
    void serveServerList(const NginxServer& server, const std::vector<std::string>& hosts,
                         const std::string& path) {
        std::string items;
        for (const std::string& host : hosts) {
            items += "<serverItem addr=\"" + host + "\" path=\"" + path + "\" flag=\"" +
                     (items.empty() ? "1" : "2") + "\"/>";
        }
        box.writeFile("www/servers.xml",
                      platform::utf8ToNarrow("<server><patch><items type=\"0\">" + items +
                                             "</items></patch><zones default=\"电信一区\"><zone "
                                             "name=\"电信一区\" type=\"0\" outer=\"1\" id=\"1\" "
                                             "zone=\"1\" addr=\"127.0.0.1\" port=\"7001\"/>"
                                             "</zones></server>"));
        box.writeFile("data/bin/srvListUrl.xml", "<srvList><url type=\"4\" path=\"" +
                                                     server.url("/servers.xml") + "\"/></srvList>");
    }

    Sandbox box;
    const std::string root = box.path();
    fs::path versions = root;  // where the versions are made
    std::unique_ptr<NginxServer> nginx;
    CliRun last;
};

}  // namespace lume::test
