// The pack write thread: task kinds, counters and the clean-up after each task.
#include "engine/FileSystem/MakeFileWritter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/Kernel/NameKey.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

using test::PackImage;

constexpr uint32_t kListId = 77;
constexpr uint32_t kKey = 0xabc;

class PackWriteThread : public ::testing::Test {
protected:
    PackWriteThread() {
        PackImage image(nameKey(u"p"));
        image.addFile(1, "old file");
        oldPack_ = image.bytes();
        sandbox_.writeFile("data/p.pak", oldPack_);
        sandbox_.writeFile("update/p/abc.gzf", "new bytes");
        sandbox_.writeFile("data/p.out", "stale output");
        test::Item item;
        item.key = kKey;
        item.zipSize = item.size = item.blockSize = 9;
        item.dataCrc = test::crcOf("new bytes");
        sandbox_.writeFile("data/p.ipatch", test::patchListBytes(kListId, {item}));
    }

    void enqueue(uint32_t kind, uint32_t listId = kListId,
                 std::u16string_view pack = u"data\\p.pak") {
        writer_.enqueue(pack, u"data\\p.out", u"data\\p.ipatch", listId, kind);
    }
    // Waits until the queue has drained.
    void drain() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (writer_.pending() != 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(writer_.pending(), 0u);
    }
    bool exists(const std::string& path) const { return sandbox_.exists(path); }

    test::Sandbox sandbox_;
    test::LogRecorder log_;
    std::string oldPack_;
    MakeFileWritter writer_;  // last, so its thread stops before the sandbox goes
};

TEST_F(PackWriteThread, AMergeUpdatesThePackAndClearsTheStagingFiles) {
    sandbox_.writeFile("update/p/sub/stray.txt", "x");
    ASSERT_TRUE(writer_.start());
    enqueue(kPackModeMerge);
    drain();
    EXPECT_EQ(writer_.enqueuedCount(), 1u);
    EXPECT_EQ(writer_.succeededCount(), 1u);
    EXPECT_EQ(writer_.failedCount(), 0u);
    const test::ParsedPack p = test::parsePack(sandbox_.readFile("data/p.pak"));
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[2].key, kKey);
    EXPECT_FALSE(exists("data/p.ipatch"));
    EXPECT_FALSE(exists("data/p.out"));
    // Every staged file goes; folders are emptied but stay.
    EXPECT_FALSE(exists("update/p/abc.gzf"));
    EXPECT_FALSE(exists("update/p/sub/stray.txt"));
    EXPECT_TRUE(exists("update/p/sub"));
}

TEST_F(PackWriteThread, AFailedMergeCountsAsAFailureAndKeepsTheStagedFiles) {
    ASSERT_TRUE(writer_.start());
    enqueue(kPackModeMerge, kListId + 1);
    drain();
    EXPECT_EQ(writer_.succeededCount(), 0u);
    EXPECT_EQ(writer_.failedCount(), 1u);
    EXPECT_FALSE(exists("data/p.ipatch"));
    EXPECT_FALSE(exists("data/p.out"));
    EXPECT_TRUE(exists("update/p/abc.gzf"));
    EXPECT_EQ(sandbox_.readFile("data/p.pak"), oldPack_);
}

TEST_F(PackWriteThread, ABuildReplacesThePack) {
    ASSERT_TRUE(writer_.start());
    enqueue(kPackModeBuild);
    drain();
    EXPECT_EQ(writer_.succeededCount(), 1u);
    const test::ParsedPack p = test::parsePack(sandbox_.readFile("data/p.pak"));
    ASSERT_EQ(p.records.size(), 2u);
    EXPECT_EQ(p.records[1].key, kKey);
    EXPECT_EQ(p.bytes.substr(test::kDataStart), "new bytes");
    EXPECT_FALSE(exists("data/p.out"));
    EXPECT_FALSE(exists("data/p.ipatch"));
    EXPECT_FALSE(exists("update/p"));
}

TEST_F(PackWriteThread, AFailedBuildOrRenameKeepsTheOldPack) {
    ASSERT_TRUE(writer_.start());
    enqueue(kPackModeBuild, kListId + 1);
    drain();
    EXPECT_EQ(writer_.failedCount(), 1u);
    EXPECT_EQ(sandbox_.readFile("data/p.pak"), oldPack_);
    EXPECT_FALSE(exists("data/p.out"));
    EXPECT_TRUE(exists("update/p/abc.gzf"));

    // The build succeeds but its pack cannot be moved into a folder that does not exist.
    test::Item item;
    item.key = kKey;
    item.zipSize = item.size = item.blockSize = 9;
    sandbox_.writeFile("data/p.ipatch", test::patchListBytes(kListId, {item}));
    enqueue(kPackModeBuild, kListId, u"nowhere\\p.pak");
    drain();
    EXPECT_EQ(writer_.failedCount(), 2u);
    EXPECT_FALSE(exists("data/p.out"));
    EXPECT_TRUE(exists("update/p/abc.gzf"));
}

TEST_F(PackWriteThread, AnUnknownKindIsDroppedWithoutATrace) {
    ASSERT_TRUE(writer_.start());
    enqueue(4);
    drain();
    EXPECT_EQ(writer_.enqueuedCount(), 1u);
    EXPECT_EQ(writer_.succeededCount(), 0u);
    EXPECT_EQ(writer_.failedCount(), 0u);
    EXPECT_TRUE(exists("data/p.out"));
    EXPECT_TRUE(exists("data/p.ipatch"));
    EXPECT_TRUE(exists("update/p/abc.gzf"));
}

TEST_F(PackWriteThread, TasksWaitingAtAStopAreNotProcessed) {
    ASSERT_TRUE(writer_.start());
    writer_.requestStop();
    enqueue(kPackModeMerge);
    writer_.stopAndJoin();
    EXPECT_EQ(writer_.succeededCount() + writer_.failedCount(), 0u);
    EXPECT_TRUE(exists("data/p.ipatch"));
    EXPECT_EQ(sandbox_.readFile("data/p.pak"), oldPack_);

    // A new start forgets the old queue and counters.
    ASSERT_TRUE(writer_.start());
    EXPECT_EQ(writer_.enqueuedCount(), 0u);
    EXPECT_EQ(writer_.pending(), 0u);
}

TEST_F(PackWriteThread, SeveralTasksRunOneAfterAnother) {
    PackImage image(nameKey(u"q"));
    sandbox_.writeFile("data/q.pak", image.bytes());
    sandbox_.writeFile("update/q/abc.gzf", "new bytes");
    sandbox_.writeFile("data/q.ipatch", sandbox_.readFile("data/p.ipatch"));
    ASSERT_TRUE(writer_.start());
    enqueue(kPackModeMerge);
    writer_.enqueue(u"data\\q.pak", u"data\\q.out", u"data\\q.ipatch", kListId, kPackModeMerge);
    enqueue(kPackModeMerge);  // its list is gone by then
    drain();
    EXPECT_EQ(writer_.enqueuedCount(), 3u);
    EXPECT_EQ(writer_.succeededCount(), 2u);
    EXPECT_EQ(writer_.failedCount(), 1u);
    EXPECT_EQ(test::parsePack(sandbox_.readFile("data/q.pak")).records.size(), 2u);
}

}  // namespace
}  // namespace lume
