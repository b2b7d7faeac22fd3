// The read side of the packs: index load, tree and name map, lookups, per-thread handles, the
// process-wide manager and File's fall-back to the packs.
#include "engine/FileSystem/PackManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/Kernel/NameKey.h"
#include "platform/Files.h"
#include "platform/Thread.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

using test::PackImage;

uint32_t key(std::u16string_view path) {
    return nameKey(path, true);
}

std::string readAll(Stream& s) {
    std::string out(s.size(), '\0');
    uint32_t got = 0;
    if (!out.empty() &&
        (!s.read(out.data(), static_cast<uint32_t>(out.size()), &got) || got != out.size())) {
        return "<read failed>";
    }
    return out;
}

// The game's layout: the launcher runs in game\ and its packs are in data\ beside it, so
// the data directory is ..\data\ as in a real installation.
class PackRead : public ::testing::Test {
protected:
    PackRead() {
        std::filesystem::create_directories(sandbox_.path() + "/game");
        std::filesystem::create_directories(sandbox_.path() + "/data");
        std::filesystem::current_path(sandbox_.path() + "/game");
    }
    void writePack(const std::string& name, const PackImage& image) {
        sandbox_.writeFile("data/" + name, image.bytes());
    }
    std::unique_ptr<PackManager> manager(std::vector<std::u16string> commandLine = {}) {
        return std::make_unique<PackManager>(PackManager::Options{std::move(commandLine)});
    }
    std::string read(PackManager& m, std::u16string_view path) {
        std::unique_ptr<ZipStream> s = m.openFile(path);
        return s ? readAll(*s) : "<absent>";
    }

    test::Sandbox sandbox_;
};

TEST_F(PackRead, APackBuiltByteByByteReadsBack) {
    PackImage image(nameKey(u"ui"));
    const std::string text = test::patternBytes(50000, 3);
    image.addFile(key(u"ui\\main.png"), "stored as is");
    image.addFile(key(u"ui\\text.txt"), text, /*deflate=*/true, /*slack=*/100);
    image.addFile(key(u"ui\\empty.txt"), "");
    writePack("ui.pak", image);

    auto m = manager();
    ASSERT_EQ(m->packCount(), 1u);
    EXPECT_EQ(read(*m, u"ui\\main.png"), "stored as is");
    EXPECT_EQ(read(*m, u"UI\\Main.PNG"), "stored as is");
    EXPECT_EQ(read(*m, u"ui\\text.txt"), text);
    EXPECT_EQ(read(*m, u"ui\\empty.txt"), "");
    EXPECT_EQ(read(*m, u"ui\\missing.txt"), "<absent>");
    EXPECT_EQ(read(*m, u""), "<absent>");

    const PackEntry* pack = m->findPack(nameKey(u"ui"));
    ASSERT_NE(pack, nullptr);
    EXPECT_EQ(pack->root()->childCount(), 3u);
    EXPECT_EQ(pack->keyTable().keyCount(), 4u);
    EXPECT_EQ(pack->header().recordCount, 4u);
}

TEST_F(PackRead, OnlyVersionEightPacksWithTheirMagicLoad) {
    for (uint32_t version : {7u, 9u}) {
        PackImage old(nameKey(version == 7 ? u"v7" : u"v9"));
        old.version = version;
        old.addFile(key(version == 7 ? u"seven.txt" : u"nine.txt"), "x");
        writePack(version == 7 ? "v7.pak" : "v9.pak", old);
    }
    PackImage good(nameKey(u"good"));
    good.addFile(key(u"good.txt"), "fine");
    writePack("good.pak", good);
    std::string noMagic = good.bytes();
    noMagic[0] = 'X';
    sandbox_.writeFile("data/nomagic.pak", noMagic);
    sandbox_.writeFile("data/short.pak", std::string(20, '!'));

    test::LogRecorder log;
    auto m = manager();
    EXPECT_EQ(m->packCount(), 1u);
    EXPECT_EQ(read(*m, u"seven.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"nine.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"good.txt"), "fine");
    // Each refused pack is named in the log.
    size_t refusals = 0;
    for (const std::string& line : log.lines()) {
        refusals += line.find("不可用") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(refusals, 4u);
}

TEST_F(PackRead, TheRootKeyMustBeTheHashOfTheLowerCasedStem) {
    // Built under the name Data.pak, the root carries the hash of "Data"; the scan looks
    // the pack up by the hash of "data", so its files are never found.
    PackImage upper(nameKey(u"Data"));
    upper.addFile(key(u"in-upper.txt"), "u");
    writePack("Data.pak", upper);
    PackImage lower(nameKey(u"other"));
    lower.addFile(key(u"in-lower.txt"), "l");
    writePack("OTHER.PAK", lower);

    auto m = manager();
    EXPECT_EQ(m->packCount(), 2u);
    EXPECT_NE(m->findPack(nameKey(u"data")), nullptr);
    EXPECT_EQ(read(*m, u"in-upper.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"in-lower.txt"), "l");
}

TEST_F(PackRead, ParentIndicesCountOnlyTheEntriesTakenSoFar) {
    PackImage image(nameKey(u"tree"));
    image.records.clear();
    // 0: names parent 0 before any root exists: skipped, not counted.
    image.addFile(key(u"before-root.txt"), "b");
    image.records.push_back(test::Rec{nameKey(u"tree"), 0, test::kDataStart, 0, 0, 0, 0xFFFF});
    image.addFile(key(u"a.txt"), "a", false, 0, 0);       // parent: the root at entry 0
    image.addFile(key(u"gone.txt"), "g", false, 0, 3);    // only 2 entries so far: skipped
    image.addFile(key(u"nested.txt"), "n", false, 0, 1);  // child of a.txt, not of the root
    image.addFile(key(u"c.txt"), "c", false, 0, 0);
    writePack("tree.pak", image);

    auto m = manager();
    EXPECT_EQ(read(*m, u"a.txt"), "a");
    EXPECT_EQ(read(*m, u"c.txt"), "c");
    EXPECT_EQ(read(*m, u"before-root.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"gone.txt"), "<absent>");
    // Lookups reach only children of the root.
    EXPECT_EQ(read(*m, u"nested.txt"), "<absent>");
    const FileEntry* a = m->findPack(nameKey(u"tree"))->root()->findChild(key(u"a.txt"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->childCount(), 1u);
}

TEST_F(PackRead, APackScannedLaterSuppliesASharedName) {
    PackImage first(nameKey(u"a"));
    first.addFile(key(u"shared.txt"), "from a");
    first.addFile(key(u"only-a.txt"), "only a");
    writePack("a.pak", first);
    PackImage second(nameKey(u"b"));
    second.addFile(key(u"shared.txt"), "from b");
    writePack("b.pak", second);

    auto m = manager();
    EXPECT_EQ(read(*m, u"shared.txt"), "from b");
    EXPECT_EQ(read(*m, u"only-a.txt"), "only a");
    ASSERT_NE(m->supplierOf(key(u"shared.txt")), nullptr);
    EXPECT_EQ(*m->supplierOf(key(u"shared.txt")), nameKey(u"b"));
}

TEST_F(PackRead, TheFirstRecordOfARepeatedKeyIsTheOneRead) {
    PackImage image(nameKey(u"dup"));
    image.addFile(key(u"twice.txt"), "first");
    image.addFile(key(u"twice.txt"), "second");
    writePack("dup.pak", image);
    auto m = manager();
    EXPECT_EQ(read(*m, u"twice.txt"), "first");
}

TEST_F(PackRead, DamagedIndexesAreRefusedAndDamagedRecordsSkipped) {
    // Counts that cannot fit the 8 MiB index region.
    PackImage huge(nameKey(u"huge"));
    huge.addFile(key(u"huge.txt"), "h");
    std::string hugeBytes = huge.bytes();
    test::put32(hugeBytes, 8, 300000);
    test::put32(hugeBytes, 16, 1200000);
    test::put32(hugeBytes, 20, 48 + 1200000);
    test::put32(hugeBytes, 32, 48 + 1200000);
    test::put32(hugeBytes, 36, 36 * 300000);
    sandbox_.writeFile("data/huge.pak", hugeBytes);
    // A record table that claims more bytes than its records need.
    PackImage odd(nameKey(u"odd"));
    odd.addFile(key(u"odd.txt"), "o");
    std::string oddBytes = odd.bytes();
    test::put32(oddBytes, 36, 36 * 2 + 8);
    sandbox_.writeFile("data/odd.pak", oddBytes);
    // Tables cut off by the end of the file.
    PackImage cut(nameKey(u"cut"));
    for (int i = 0; i < 50; ++i) {
        cut.addFile(key(u"cut" + std::u16string(1, u'a' + i % 26) + u".txt"), "c");
    }
    sandbox_.writeFile("data/cut.pak", cut.bytes().substr(0, 48 + 100));
    // Records whose blocks lie outside the file, or that inflate to absurd sizes.
    PackImage partly(nameKey(u"partly"));
    partly.addFile(key(u"good.txt"), "good");
    const size_t past = partly.addFile(key(u"past-end.txt"), "pppp");
    partly.records[past].offset = test::kDataStart + 1000;
    const size_t low = partly.addFile(key(u"in-index.txt"), "iiii");
    partly.records[low].offset = 100;
    const size_t bomb = partly.addFile(key(u"bomb.txt"), "zz", true);
    partly.records[bomb].size = 0xF0000000;
    partly.addFile(key(u"after.txt"), "after", false, 0, 0);
    writePack("partly.pak", partly);

    auto m = manager();
    EXPECT_EQ(m->packCount(), 1u);
    EXPECT_EQ(read(*m, u"huge.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"odd.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"good.txt"), "good");
    EXPECT_EQ(read(*m, u"past-end.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"in-index.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"bomb.txt"), "<absent>");
    EXPECT_EQ(read(*m, u"after.txt"), "after");
}

TEST_F(PackRead, AUrlOnTheCommandLineTurnsThePacksOff) {
    PackImage image(nameKey(u"p"));
    image.addFile(key(u"x.txt"), "x");
    writePack("p.pak", image);

    auto off = manager({u"url=http://a.example/x|backurl=http://b.example/y"});
    EXPECT_EQ(off->packCount(), 0u);
    EXPECT_EQ(read(*off, u"x.txt"), "<absent>");
    EXPECT_EQ(off->url(), u"http://a.example/x");
    EXPECT_EQ(off->backUrl(), u"http://b.example/y");

    // Settings come only from a single argument.
    auto two = manager({u"url=http://a", u"log=1"});
    EXPECT_EQ(two->attributes().size(), 0u);
    EXPECT_EQ(read(*two, u"x.txt"), "x");
}

TEST(PackAttributes, OnlyItemsWithOneEqualsSignAreKept) {
    Attributes a;
    a.parseCommandLine({u"log=1|bad|a=b=c|=empty|url=http://h/p?x|log=0"});
    EXPECT_EQ(a.value(u"log"), u"0");
    EXPECT_FALSE(a.has(u"bad"));
    EXPECT_FALSE(a.has(u"a"));
    EXPECT_EQ(a.value(u""), u"empty");
    EXPECT_EQ(a.value(u"url"), u"http://h/p?x");
    EXPECT_EQ(a.size(), 3u);
}

TEST_F(PackRead, ThePackLogIsWrittenWhenLogReadsTrue) {
    auto quiet = manager({u"log=0"});
    EXPECT_FALSE(quiet->packLogOpen());
    EXPECT_FALSE(std::filesystem::exists("log"));

    auto m = manager({u"log=1"});
    ASSERT_TRUE(m->packLogOpen());
    const std::u16string name = m->packLogPath();
    EXPECT_EQ(name.substr(0, 4), u"log\\");
    EXPECT_EQ(name.substr(name.size() - 9), u"_file.log");
    m.reset();
    const std::string text = sandbox_.readFile("game/" + platform::nativePath(name));
    // "[hh:mm:ss]:init pack version\r\n"
    ASSERT_EQ(text.size(), 11 + 17 + 2);
    EXPECT_EQ(text[0], '[');
    EXPECT_EQ(text.substr(9), "]:init pack version\r\n");
}

TEST_F(PackRead, SeveralThreadsReadOnePackAtOnce) {
    PackImage image(nameKey(u"shared"));
    std::vector<std::string> contents;
    for (int i = 0; i < 8; ++i) {
        contents.push_back(test::patternBytes(3000 + 1000 * i, 20 + i));
        image.addFile(key(u"f" + std::u16string(1, u'0' + i)), contents.back(), i % 2 == 0);
    }
    writePack("shared.pak", image);
    auto m = manager();

    std::atomic<int> mismatches{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                const int i = (round + t) % 8;
                std::unique_ptr<ZipStream> s = m->openFile(u"f" + std::u16string(1, u'0' + i));
                if (!s || readAll(*s) != contents[i]) {
                    mismatches.fetch_add(1);
                }
            }
            // All readers stay alive until all are done, so no thread id is reused.
            finished.fetch_add(1);
            while (finished.load() < 4) {
                std::this_thread::yield();
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
    // The scanning thread's handle plus one per reading thread.
    EXPECT_EQ(m->findPack(nameKey(u"shared"))->handleCount(), 5u);
}

TEST_F(PackRead, AStreamOutlivesItsManagerAndMayChangeThreads) {
    PackImage image(nameKey(u"p"));
    image.addFile(key(u"stored.txt"), "stored bytes");
    const std::string text = test::patternBytes(20000, 5);
    image.addFile(key(u"deflated.txt"), text, true);
    writePack("p.pak", image);
    auto m = manager();
    std::unique_ptr<ZipStream> stored = m->openFile(u"stored.txt");
    std::unique_ptr<ZipStream> deflated = m->openFile(u"deflated.txt");
    ASSERT_TRUE(stored && deflated);
    m.reset();
    EXPECT_EQ(readAll(*stored), "stored bytes");
    std::string onOtherThread;
    std::thread([&] { onOtherThread = readAll(*deflated); }).join();
    EXPECT_EQ(onOtherThread, text);
}

// The process-wide manager behind File::openInData.
class GlobalPackManager : public PackRead {
protected:
    GlobalPackManager() { PackManager::resetInstanceForTests(); }
    ~GlobalPackManager() override {
        File::setPackFallback(nullptr);
        PackManager::resetInstanceForTests();
    }
};

TEST_F(GlobalPackManager, OpenInDataFallsBackToThePacks) {
    PackImage image(nameKey(u"res"));
    image.addFile(key(u"bin\\srvlisturl.xml"), "<from pack/>");
    image.addFile(key(u"loose.txt"), "packed copy");
    writePack("res.pak", image);
    sandbox_.writeFile("data/loose.txt", "loose copy");
    PackManager::installFallback();

    File f;
    ASSERT_TRUE(f.openInData(u"bin\\srvListUrl.xml", 0));
    std::string text;
    ASSERT_TRUE(f.readAll(text));
    EXPECT_EQ(text, "<from pack/>");
    ASSERT_TRUE(f.openInData(u"loose.txt", 0));
    ASSERT_TRUE(f.readAll(text));
    EXPECT_EQ(text, "loose copy");
    EXPECT_FALSE(f.openInData(u"nowhere.txt", 0));
}

TEST_F(GlobalPackManager, TheCommandLineIsReadOnceWhenTheManagerIsMade) {
    PackImage image(nameKey(u"res"));
    image.addFile(key(u"x.txt"), "x");
    writePack("res.pak", image);
    ASSERT_TRUE(PackManager::setCommandLine({u"url=http://h/|log=0"}));
    PackManager* m = PackManager::instance();
    EXPECT_EQ(m->url(), u"http://h/");
    EXPECT_EQ(m->packCount(), 0u);
    EXPECT_FALSE(PackManager::setCommandLine({}));
    EXPECT_EQ(PackManager::instance(), m);
}

TEST_F(GlobalPackManager, ThreadsArrivingTogetherGetOneManager) {
    PackImage image(nameKey(u"res"));
    image.addFile(key(u"x.txt"), "x");
    writePack("res.pak", image);
    std::atomic<bool> go{false};
    std::vector<PackManager*> seen(6, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            seen[i] = PackManager::instance();
        });
    }
    go.store(true);
    for (std::thread& t : threads) {
        t.join();
    }
    for (PackManager* m : seen) {
        EXPECT_EQ(m, seen[0]);
    }
    EXPECT_EQ(seen[0]->packCount(), 1u);
}

TEST(PackIndexCrc, IsTheChecksumOfTheSortedPairsWithoutTheRoot) {
    std::vector<PackRecord> records(1);
    records[0].parentIndex = kRootParent;
    records[0].nameKey = 5;
    records[0].dataCrc = 6;
    EXPECT_EQ(indexCrc(records), 0xFFFFFFFFu);

    std::vector<test::Rec> expected = {{5, 0, 0, 0, 0, 6, 0xFFFF}};
    for (uint32_t k : {0x90000000u, 3u, 0x10u, 3u}) {
        PackRecord r;
        r.nameKey = k;
        r.dataCrc = k * 7 + static_cast<uint32_t>(records.size());
        records.push_back(r);
        expected.push_back(test::Rec{k, 0, 0, 0, 0, r.dataCrc});
    }
    EXPECT_EQ(indexCrc(records), test::expectedIndexCrc(expected));
    // The order of the records does not matter.
    std::swap(records[1], records[4]);
    EXPECT_EQ(indexCrc(records), test::expectedIndexCrc(expected));
}

}  // namespace
}  // namespace lume
