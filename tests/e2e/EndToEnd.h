// Makings of the end-to-end tests: versions of a game as loose files and packs built by
// lume-pak, releases published by lume-publish, the terminal launcher run in this process with
// its trace read back, and a game directory compared with a version.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

#include "launcher/cli/Cli.h"
#include "tests/update/UpdateTestData.h"
#include "tools/publish/Publisher.h"
#include "update/Messages.h"

namespace lume::test {

inline bool publish(const fs::path& game, const fs::path& out, PublishOptions o = {}) {
    o.gameDirectory = game.string();
    o.outDirectory = out.string();
    PublishReport report;
    std::string error;
    const bool ok = publishRelease(o, report, error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

struct Message {
    uint32_t msg, wParam, lParam;
    bool operator==(const Message&) const = default;
};

// One run of lume-cli with --trace: its exit status, what it printed, the messages it traced
// (texts apart, as their trace lines) and its last summary.
struct CliRun {
    int code = -1;
    std::string output, texts;
    std::vector<Message> messages;
    UpdateResult result;
};
inline CliRun runLauncher(std::vector<std::string> args, const fs::path& trace) {
    args.insert(args.end(), {"--trace", trace.string()});
    CliRun run;
    std::FILE* out = std::tmpfile();
    run.code = runCli(args, out, out);
    run.output.resize(static_cast<size_t>(std::ftell(out)));
    std::rewind(out);
    run.output.resize(std::fread(run.output.data(), 1, run.output.size(), out));
    std::fclose(out);
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        Message m{};
        std::sscanf(line.c_str(), "{\"msg\":%u,\"wParam\":%u,\"lParam\":%u", &m.msg, &m.wParam,
                    &m.lParam);
        if (m.msg == kMsgText) {
            run.texts += line + "\n";
        } else {
            run.messages.push_back(m);
        }
        if (m.msg == kMsgUpdateResult) {
            run.result = decodeUpdateResult(m.wParam, m.lParam);
        }
    }
    in.close();
    fs::remove(trace);
    return run;
}

// Runs an update until no must file is left (the launcher restarts after them).
inline CliRun updateFully(const std::vector<std::string>& args, const fs::path& trace) {
    CliRun run;
    for (int pass = 0; pass < 3; ++pass) {
        run = runLauncher(args, trace);
        if (run.code != kExitOk || run.result.kind != UpdateResult::Kind::Restart) {
            break;
        }
    }
    return run;
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
        EXPECT_EQ(viewPack(game / rel), viewPack(version / rel)) << rel;
    } else {
        EXPECT_EQ(readBytes(game / rel), readBytes(version / rel)) << rel;
    }
}
inline void expectVersion(const fs::path& game, const fs::path& version) {
    for (const auto& [rel, bytes] : readTree(version)) {
        expectFile(game, version, rel);
    }
}

}  // namespace lume::test
