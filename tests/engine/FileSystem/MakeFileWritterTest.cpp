// The pack write thread: merges from staged files, the clean-up after each task, the counters,
// and tasks left waiting at a stop.
#include "engine/FileSystem/MakeFileWritter.h"

#include <gtest/gtest.h>

#include "engine/Kernel/NameKey.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

constexpr uint32_t kListId = 77;
constexpr uint32_t kKey = 0xabc;

class PackWriteThread : public ::testing::Test {
protected:
    PackWriteThread() {
        test::PackImage image(nameKey(u"p"));
        image.addFile(1, "old file");
        oldPack = image.bytes();
        box.writeFile("data/p.pak", oldPack);
        stage("p");
    }
    void stage(const std::string& stem) {
        box.writeFile("update/" + stem + "/abc.gzf", "new bytes");
        box.writeFile("data/" + stem + ".out", "stale output");
        box.writeFile(
            "data/" + stem + ".ipatch",
            test::patchListBytes(kListId, {{kKey, 9, 0, 9, 9, test::crcOf("new bytes")}}));
    }
    void enqueue(uint32_t kind, uint32_t listId = kListId,
                 std::u16string_view pack = u"data\\p.pak") {
        writer.enqueue(pack, u"data\\p.out", u"data\\p.ipatch", listId, kind);
    }
    void drain() {
        ASSERT_TRUE(test::waitFor([this] { return writer.pending() == 0; }));
    }
    void expectCounts(uint32_t enqueued, uint32_t succeeded, uint32_t failed) {
        EXPECT_EQ(std::tuple(writer.enqueuedCount(), writer.succeededCount(), writer.failedCount()),
                  std::tuple(enqueued, succeeded, failed));
    }

    test::Sandbox box;
    test::LogCapture log;
    std::string oldPack;
    MakeFileWritter writer;  // last, so its thread stops before the sandbox goes
};

TEST_F(PackWriteThread, MergesAndTheirCleanUp) {
    ASSERT_TRUE(writer.start());
    enqueue(kPackModeMerge, kListId + 1);  // a list of another id: refused
    drain();
    expectCounts(1, 0, 1);
    EXPECT_FALSE(box.exists("data/p.ipatch") || box.exists("data/p.out"));
    EXPECT_TRUE(box.exists("update/p/abc.gzf"));  // staged files stay for another try
    EXPECT_EQ(box.readFile("data/p.pak"), oldPack);

    stage("p");
    box.writeFile("update/p/sub/stray.txt", "x");
    enqueue(kPackModeMerge);
    drain();
    expectCounts(2, 1, 1);
    const test::ParsedPack p = test::parsePack(box.readFile("data/p.pak"));
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[2].key, kKey);
    EXPECT_FALSE(box.exists("data/p.ipatch") || box.exists("data/p.out"));
    // Every staged file goes; folders are emptied but stay.
    EXPECT_FALSE(box.exists("update/p/abc.gzf") || box.exists("update/p/sub/stray.txt"));
    EXPECT_TRUE(box.exists("update/p/sub"));
}

TEST_F(PackWriteThread, QueueOrderUnknownKindsAndStops) {
    box.writeFile("data/q.pak", test::PackImage(nameKey(u"q")).bytes());
    stage("q");
    ASSERT_TRUE(writer.start());
    enqueue(4);  // an unknown kind is dropped without a trace
    enqueue(kPackModeMerge);
    writer.enqueue(u"data\\q.pak", u"data\\q.out", u"data\\q.ipatch", kListId, kPackModeMerge);
    enqueue(kPackModeMerge);  // its list is gone by then
    drain();
    expectCounts(4, 2, 1);
    EXPECT_EQ(test::parsePack(box.readFile("data/q.pak")).records.size(), 2u);

    writer.requestStop();
    stage("p");
    enqueue(kPackModeMerge);
    writer.stopAndJoin();
    expectCounts(5, 2, 1);  // a task waiting at a stop is not processed
    EXPECT_TRUE(box.exists("data/p.ipatch"));
    ASSERT_TRUE(writer.start());  // a new start forgets the old queue and counters
    expectCounts(0, 0, 0);
    EXPECT_EQ(writer.pending(), 0u);
}

}  // namespace
}  // namespace lume
