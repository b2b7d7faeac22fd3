// The read side of the packs: what a scan takes and refuses, lookups, per-thread handles, the
// command-line settings, and the process-wide manager behind File.
#include "engine/FileSystem/PackManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/PackEntry.h"
#include "engine/Kernel/NameKey.h"
#include "platform/Files.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

using test::PackImage;

uint32_t key(std::u16string_view path) {
    return nameKey(path, true);
}

std::string readAll(ZipStream* s) {
    std::string out;
    return s == nullptr ? "<absent>" : s->size() == 0 || s->readAll(out) ? out : "<read failed>";
}

// The launcher runs in game\ with its packs in data\ beside it.
class PackRead : public ::testing::Test {
protected:
    PackRead() {
        std::filesystem::create_directories(box.path() + "/game");
        std::filesystem::current_path(box.path() + "/game");
    }
    ~PackRead() override {
        File::setPackFallback(nullptr);
        PackManager::resetInstanceForTests();
    }
    void writePack(const std::string& name, const PackImage& image) {
        box.writeFile("data/" + name, image.bytes());
    }
    std::unique_ptr<PackManager> manager(std::vector<std::u16string> commandLine = {},
                                         std::u16string dataDirectory = u"..\\data\\") {
        return std::make_unique<PackManager>(
            PackManager::Options{std::move(commandLine), std::move(dataDirectory)});
    }
    static std::string read(PackManager& m, std::u16string_view path) {
        return readAll(m.openFile(path).get());
    }

    test::Sandbox box;
};

TEST_F(PackRead, WhatAScanTakesAndWhatALookupFinds) {
    const std::string text = test::patternBytes(50000, 3);
    PackImage ui(nameKey(u"ui"));
    ui.addFile(key(u"ui\\main.png"), "stored as is");
    ui.addFile(key(u"ui\\text.txt"), text, /*deflate=*/true, /*slack=*/100);
    ui.addFile(key(u"ui\\empty.txt"), "");
    ui.addFile(key(u"twice.txt"), "first");
    ui.addFile(key(u"twice.txt"), "second");  // the first record of a key is the one read
    ui.addFile(key(u"shared.txt"), "from ui");
    writePack("ui.pak", ui);
    PackImage later(nameKey(u"zz"));  // scanned later, it supplies a shared name
    later.addFile(key(u"shared.txt"), "from zz");
    writePack("zz.pak", later);
    // Built as Data.pak, the root carries the hash of "Data"; the scan looks packs up by
    // their lower-cased stem, so its files are never found. The file name's case is free.
    PackImage upper(nameKey(u"Data"));
    upper.addFile(key(u"in-upper.txt"), "u");
    writePack("Data.pak", upper);
    PackImage other(nameKey(u"other"));
    other.addFile(key(u"in-lower.txt"), "l");
    writePack("OTHER.PAK", other);
    // Parents are counted among the entries taken so far; lookups reach the root's children.
    PackImage tree(nameKey(u"tree"));
    tree.records.clear();
    tree.addFile(key(u"before-root.txt"), "b");  // parent 0 before any root: skipped
    tree.records.push_back(test::Rec{nameKey(u"tree"), 0, test::kDataStart, 0, 0, 0, 0xFFFF});
    tree.addFile(key(u"a.txt"), "a");
    tree.addFile(key(u"gone.txt"), "g", false, 0, 3);    // 2 entries so far: skipped
    tree.addFile(key(u"nested.txt"), "n", false, 0, 1);  // a child of a.txt
    tree.addFile(key(u"c.txt"), "c");
    writePack("tree.pak", tree);

    auto m = manager({}, u"..\\data");  // the separator is added when missing
    EXPECT_EQ(m->packCount(), 5u);
    const std::pair<const char16_t*, std::string> lookups[] = {
        {u"ui\\main.png", "stored as is"},
        {u"ui\\text.txt", text},
        {u"ui\\empty.txt", ""},
        {u"ui\\missing.txt", "<absent>"},
        {u"", "<absent>"},
        {u"twice.txt", "first"},
        {u"shared.txt", "from zz"},
        {u"in-upper.txt", "<absent>"},
        {u"in-lower.txt", "l"},
        {u"a.txt", "a"},
        {u"c.txt", "c"},
        {u"before-root.txt", "<absent>"},
        {u"gone.txt", "<absent>"},
        {u"nested.txt", "<absent>"},
    };
    for (const auto& [path, content] : lookups) {
        EXPECT_EQ(read(*m, path), content) << platform::wideToUtf8(path);
    }
    ASSERT_NE(m->supplierOf(key(u"shared.txt")), nullptr);
    EXPECT_EQ(*m->supplierOf(key(u"shared.txt")), nameKey(u"zz"));
    const PackEntry* pack = m->findPack(nameKey(u"ui"));
    ASSERT_NE(pack, nullptr);
    EXPECT_EQ(pack->root()->childCount(), 6u);
    EXPECT_EQ(pack->keyTable().keyCount(), 6u);  // distinct keys
    EXPECT_NE(m->findPack(nameKey(u"data")), nullptr);
    EXPECT_EQ(m->findPack(nameKey(u"tree"))->root()->findChild(key(u"a.txt"))->childCount(), 1u);
}

TEST_F(PackRead, RefusedPacksAndSkippedRecords) {
    test::LogCapture log;
    PackImage good(nameKey(u"good"));
    good.addFile(key(u"good.txt"), "fine");
    writePack("good.pak", good);
    for (uint32_t version : {7u, 9u}) {
        PackImage old(nameKey(u"v"));
        old.version = version;
        old.addFile(key(u"old.txt"), "x");
        writePack("v" + std::to_string(version) + ".pak", old);
    }
    std::string noMagic = good.bytes();
    noMagic[0] = 'X';
    box.writeFile("data/nomagic.pak", noMagic);
    box.writeFile("data/short.pak", std::string(20, '!'));
    // Counts that cannot fit the 8 MiB index region, a record table larger than its records,
    // tables cut off by the end of the file.
    std::string huge = good.bytes();
    for (auto [at, value] : {std::pair{8, 300000},
                             {16, 1200000},
                             {20, 48 + 1200000},
                             {32, 48 + 1200000},
                             {36, 36 * 300000}}) {
        test::put(huge, at, value);
    }
    box.writeFile("data/huge.pak", huge);
    std::string odd = good.bytes();
    test::put(odd, 36, 36 * 2 + 8);
    box.writeFile("data/odd.pak", odd);
    box.writeFile("data/cut.pak", good.bytes().substr(0, 48 + 10));
    // Records whose blocks lie outside the file or that inflate to absurd sizes are skipped.
    PackImage partly(nameKey(u"partly"));
    partly.addFile(key(u"kept.txt"), "kept");
    partly.records[partly.addFile(key(u"past-end.txt"), "pppp")].offset = test::kDataStart + 1000;
    partly.records[partly.addFile(key(u"in-index.txt"), "iiii")].offset = 100;
    partly.records[partly.addFile(key(u"bomb.txt"), "zz", true)].size = 0xF0000000;
    partly.addFile(key(u"after.txt"), "after");
    writePack("partly.pak", partly);

    auto m = manager({u"log=1"});  // the pack log says the same
    EXPECT_EQ(m->packCount(), 2u);
    const std::string packLog = box.readFile("game/" + platform::nativePath(m->packLogPath()));
    EXPECT_NE(packLog.find(":skip "), std::string::npos) << packLog;
    EXPECT_NE(packLog.find("data\\cut.pak: record table is cut short\r\n"), std::string::npos);
    EXPECT_NE(packLog.find("partly.pak: 3 of 6 records skipped"), std::string::npos) << packLog;
    for (const char16_t* absent : {u"old.txt", u"past-end.txt", u"in-index.txt", u"bomb.txt"}) {
        EXPECT_EQ(read(*m, absent), "<absent>");
    }
    EXPECT_EQ(read(*m, u"good.txt"), "fine");
    EXPECT_EQ(read(*m, u"kept.txt"), "kept");
    EXPECT_EQ(read(*m, u"after.txt"), "after");
    EXPECT_EQ(log.count({"不可用"}), 7u) << log.text();
    EXPECT_EQ(log.count({"partly.pak: 3 of 6 records skipped"}), 1u) << log.text();

    // The reason is reported to a caller that asks for one, and only then.
    PackEntry entry(nameKey(u"v"));
    PackNameMap names;
    std::string problem = "stale";
    EXPECT_EQ(entry.open(u"..\\data\\v9.pak", names), nullptr);
    EXPECT_EQ(entry.open(u"..\\data\\v9.pak", names, &problem), nullptr);
    EXPECT_EQ(problem, "magic 0x4b415021, version 9: not a version 8 pack");
    EXPECT_EQ(entry.open(u"..\\data\\short.pak", names, &problem), nullptr);
    EXPECT_EQ(problem, "header cannot be read");
    EXPECT_NE(entry.open(u"..\\data\\good.pak", names, &problem), nullptr);
    EXPECT_EQ(problem, "");
}

TEST_F(PackRead, CommandLineSettingsAndThePackLog) {
    PackImage image(nameKey(u"p"));
    image.addFile(key(u"x.txt"), "x");
    writePack("p.pak", image);
    auto off = manager({u"url=http://a.example/x|backurl=http://b.example/y|log=0"});
    EXPECT_EQ(read(*off, u"x.txt"), "<absent>");  // a URL turns the packs off
    EXPECT_EQ(std::tuple(off->url(), off->backUrl(), off->packLogOpen()),
              std::tuple(u"http://a.example/x", u"http://b.example/y", false));
    EXPECT_FALSE(std::filesystem::exists("log"));
    auto two = manager({u"url=http://a", u"log=1"});  // settings come from one argument only
    EXPECT_EQ(two->attributes().size(), 0u);
    EXPECT_EQ(read(*two, u"x.txt"), "x");

    Attributes a;
    a.parseCommandLine({u"log=1|bad|a=b=c|=empty|url=http://h/p?x|log=0"});
    EXPECT_FALSE(a.has(u"bad") || a.has(u"a"));
    EXPECT_EQ(std::tuple(a.size(), a.value(u"log"), a.value(u""), a.value(u"url")),
              std::tuple(3u, u"0", u"empty", u"http://h/p?x"));

    auto logged = manager({u"log=1"});
    ASSERT_TRUE(logged->packLogOpen());
    const std::u16string packLog = logged->packLogPath();
    EXPECT_EQ(packLog.substr(0, 4), u"log\\");
    logged.reset();
    EXPECT_NE(box.readFile("game/" + platform::nativePath(packLog)).find(":init pack version\r\n"),
              std::string::npos);
}

TEST_F(PackRead, ThreadsReadOnePackAndStreamsOutliveTheManager) {
    PackImage image(nameKey(u"shared"));
    std::vector<std::string> contents;
    for (int i = 0; i < 8; ++i) {
        contents.push_back(test::patternBytes(3000 + 1000 * i, 20 + i));
        image.addFile(key(u"f" + std::u16string(1, u'0' + i)), contents.back(), i % 2 == 0);
    }
    writePack("shared.pak", image);
    auto m = manager();
    std::atomic<int> mismatches{0}, finished{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                const int i = (round + t) % 8;
                mismatches += read(*m, u"f" + std::u16string(1, u'0' + i)) != contents[i];
            }
            // Every reader stays until all are done, so no thread id is reused.
            finished.fetch_add(1);
            EXPECT_TRUE(test::waitFor([&] { return finished.load() == 4; }));
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(m->findPack(nameKey(u"shared"))->handleCount(), 5u);  // the scan's, one each

    std::unique_ptr<ZipStream> stored = m->openFile(u"f1");
    std::unique_ptr<ZipStream> deflated = m->openFile(u"f0");
    m.reset();
    EXPECT_EQ(readAll(stored.get()), contents[1]);
    std::string onOtherThread;
    std::thread([&] { onOtherThread = readAll(deflated.get()); }).join();
    EXPECT_EQ(onOtherThread, contents[0]);
}

TEST_F(PackRead, TheProcessWideManagerBehindFile) {
    PackImage image(nameKey(u"res"));
    image.addFile(key(u"bin\\srvlisturl.xml"), "<from pack/>");
    writePack("res.pak", image);
    PackManager::resetInstanceForTests();
    EXPECT_EQ(PackManager::instance(), PackManager::instance());
    EXPECT_EQ(PackManager::instance()->packCount(), 1u);
    EXPECT_FALSE(PackManager::setCommandLine({}));  // too late: the manager exists
    PackManager::installFallback();
    File f;
    std::string text;
    ASSERT_TRUE(f.openInData(u"bin\\srvListUrl.xml", 0));
    ASSERT_TRUE(f.readAll(text));
    EXPECT_EQ(text, "<from pack/>");
    EXPECT_FALSE(f.openInData(u"nowhere.txt", 0));

    PackManager::resetInstanceForTests();
    ASSERT_TRUE(PackManager::setCommandLine({u"url=http://h/|log=0"}));
    EXPECT_EQ(PackManager::instance()->url(), u"http://h/");
}

}  // namespace
}  // namespace lume
