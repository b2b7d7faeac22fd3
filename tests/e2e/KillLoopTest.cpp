// The update as its own process against a slowed nginx, killed with SIGKILL at chosen moments
// (downloads, merges, builds, loose-file replaces, index rewrites) or stopped with SIGINT, and
// run again: every rerun ends byte-identical to a clean update, having fetched at most what
// the killed run had not yet received plus a constant the design bounds (the lists, fetched
// again by every run, and the blocks in flight). The moments are counts of the file layer's
// calls (LUME_FAULT_KILL_AT), not times, so a loaded machine kills at the same moments.
//
// .ci/run kills at a handful of moments; LUME_KILL_LOOP=N kills at N moments spread over the
// whole update (scripts/kill-loop.sh).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <set>

#include "tests/e2e/EndToEnd.h"
#include "transfer/FileWritter.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

using test::Tree;

// Where a run was at one call of its trace ("N kind path").
std::string phaseOf(const std::string& traceLine) {
    std::istringstream fields(traceLine);
    std::string n, kind, path;
    fields >> n >> kind;
    std::getline(fields >> std::ws, path);
    const bool inUpdate = path.find("/update/") != std::string::npos;
    const auto is = [&](const char* ending) { return path.ends_with(ending); };
    if (kind == "rename" || kind == "syncdir") {
        return is(".pak") ? "build (replace)" : inUpdate ? "member staging" : "loose-file replace";
    }
    return is(".pak.journal") ? "journal"
           : is(".pak")       ? "merge or index rewrite"
           : is(".pak.gzf")   ? "build"
           : inUpdate         ? "member download"
           : is(".gzf.tmp")   ? "loose-file replace"
           : is(".gzf")       ? "download"
                              : "planning and settings";
}

class KillLoop : public test::EndToEnd {
protected:
    void prepare() override {
        for (int v = 1; v <= 2; ++v) {
            // Members of at most one block: a member's download resumes as a whole.
            std::map<std::string, Tree> packs;
            for (int i = 0; i < 12; ++i) {
                packs["ui"]["m" + std::to_string(i) + ".bin"] = test::noiseBytes(
                    i % 3 == 0 ? 20000 : 30000, static_cast<uint32_t>(i + (i % 2) * v * 100));
            }
            packs["ui"]["grows.txt"] = test::textBytes(v == 1 ? 9000 : 45000, v);
            for (int i = 0; v == 2 && i < 10; ++i) {
                packs["sound"]["s" + std::to_string(i) + ".ogg"] =
                    test::noiseBytes(32000, static_cast<uint32_t>(50 + i));
            }
            const std::string dir = box.path() + "/v" + std::to_string(v);
            test::makeVersion(dir,
                              {{"readme.txt", test::textBytes(54000, v)},
                               {"maps/big.map", test::noiseBytes(1 << 20, v)},
                               {"maps/same.map", test::noiseBytes(200000, 9)}},
                              packs);
            ASSERT_TRUE(test::publish(dir, box.path() + "/www/release"));
        }
        slow = serve("limit_rate 400k;");
        // The clean update everything is compared with, and the file calls it makes ("N kind
        // path" each).
        install("v1", "clean");
        const std::string trace = game("clean").string() + "-trace.txt";
        uint64_t before = nginx->bytesSent();
        ASSERT_EQ(runUpdate("clean", *nginx, {"LUME_FAULT_TRACE=" + trace}), 0);
        cleanBytes = nginx->bytesSent() - before;
        clean = test::gameTree(game("clean"));
        std::ifstream in(trace);
        for (std::string line; std::getline(in, line);) {
            calls.push_back(line);
        }
        ASSERT_GT(calls.size(), 20u);
        // The lists every run fetches again, whatever it finds on disk.
        for (const auto& f : fs::recursive_directory_iterator(box.path() + "/www/release")) {
            const std::string name = f.path().filename().string();
            if (f.is_regular_file() &&
                (name == "flist.xml" || name.find(".fxml.") != std::string::npos)) {
                listBytes += f.file_size();
            }
        }
    }

    // lume-cli update as its own process, its output in "<name>-out.txt".
    int runUpdate(const std::string& name, const test::NginxServer& server,
                  const std::vector<std::string>& env = {}) {
        return test::runCliProcess(
            {"update", "-C", game(name).string(), "--host", server.host(), "--path", "/release"},
            env, game(name).string() + "-out.txt");
    }

    // A run of `name` that was cut short (the caller saw it end), then a rerun at full speed:
    // byte-identical to the clean update, having fetched no more than what the cut
    // run had not received plus the constant.
    void expectRerunConverges(const std::string& name, uint64_t receivedBefore) {
        const uint64_t before = nginx->bytesSent();
        ASSERT_EQ(runUpdate(name, *nginx), 0) << test::readBytes(game(name).string() + "-out.txt");
        const uint64_t fetched = nginx->bytesSent() - before;
        const Tree now = test::gameTree(game(name));
        EXPECT_EQ(now.size(), clean.size());  // with the loop below: nothing missing either
        for (const auto& [rel, bytes] : now) {
            EXPECT_TRUE(clean.count(rel) != 0 && clean.at(rel) == bytes) << rel;
        }
        const uint64_t missing = cleanBytes > receivedBefore ? cleanBytes - receivedBefore : 0;
        EXPECT_LE(fetched, missing + kSlack + listBytes)
            << "clean " << cleanBytes << ", received before " << receivedBefore << ", fetched "
            << fetched;
    }

    // What a killed run may have received and not recorded: the blocks queued for the file
    // writer, those stored but not yet recorded in their block index, and a part block on
    // each of the download thread's connections.
    static constexpr uint64_t kSlack =
        FileWritter::kQueueBytes + FileWritter::kRecordBytes + 64 * 32768;

    std::unique_ptr<test::NginxServer> slow;
    Tree clean;
    std::vector<std::string> calls;
    uint64_t cleanBytes = 0;
    uint64_t listBytes = 0;
};

TEST_F(KillLoop, KilledAtAnyMomentTheRerunEndsAsACleanUpdate) {
    // The first and last call of every phase, and evenly spread moments in between.
    const char* env = std::getenv("LUME_KILL_LOOP");
    const size_t spread = env != nullptr ? std::strtoul(env, nullptr, 10) : 6;
    std::set<uint64_t> moments;
    std::map<std::string, std::pair<uint64_t, uint64_t>> phases;
    for (uint64_t n = 1; n <= calls.size(); ++n) {
        auto [it, added] = phases.try_emplace(phaseOf(calls[n - 1]), n, n);
        it->second.second = n;
    }
    for (const auto& [phase, range] : phases) {
        moments.insert({range.first, range.second});
    }
    for (size_t i = 1; i <= spread; ++i) {
        moments.insert(i * calls.size() / (spread + 1));
    }

    std::map<std::string, int> killedIn;
    for (const uint64_t n : moments) {
        SCOPED_TRACE("killed at call " + std::to_string(n) + " of " + std::to_string(calls.size()));
        const std::string name = "k" + std::to_string(n);
        install("v1", name);
        const std::string killTrace = game(name).string() + "-trace.txt";
        const uint64_t before = slow->bytesSent();
        const int status =
            runUpdate(name, *slow,
                      {"LUME_FAULT_KILL_AT=" + std::to_string(n), "LUME_FAULT_TRACE=" + killTrace});
        if (status == 0) {
            continue;  // this run made fewer calls; nothing was cut short
        }
        ASSERT_EQ(status, 128 + SIGKILL);
        std::string trace = test::readBytes(killTrace);
        trace.erase(trace.find_last_not_of('\n') + 1);
        ++killedIn[phaseOf(trace.substr(trace.rfind('\n') + 1))];
        expectRerunConverges(name, slow->bytesSent() - before);
        fs::remove_all(game(name));
    }
    // Killed in downloads, merges, builds and replaces, not only in one of them.
    EXPECT_GE(killedIn.size(), 4u);
}

TEST_F(KillLoop, SigintStopsAtASafePointAndTheRerunContinues) {
    // Ctrl-C at a third of the update's file calls (a moment of its downloads), counted, not
    // timed: a loaded machine stops at the same moment.
    install("v1", "stopped");
    const uint64_t before = slow->bytesSent();
    const int status = runUpdate("stopped", *slow,
                                 {"LUME_FAULT_INTERRUPT_AT=" + std::to_string(calls.size() / 3)});
    ASSERT_EQ(status, 128 + SIGINT);
    const std::string said = test::readBytes(game("stopped").string() + "-out.txt");
    EXPECT_NE(said.find("stopped; the next update continues"), std::string::npos) << said;
    EXPECT_FALSE(fs::exists(game("stopped").string() + "/data/ui.pak.journal"));
    expectRerunConverges("stopped", slow->bytesSent() - before);
}

}  // namespace
}  // namespace lume
