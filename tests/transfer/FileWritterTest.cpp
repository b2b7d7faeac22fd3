// The file writer: blocks landing at their positions in any order, the block index file's
// bytes, completion exactly once, and every failure counted with the block's memory freed.
#include "transfer/FileWritter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>

#include "engine/FileSystem/MemoryStream.h"
#include "tests/support/Sandbox.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/FileCompletion.h"

namespace lume {
namespace {

std::string le32(std::initializer_list<uint32_t> values) {
    std::string out;
    for (uint32_t v : values) {
        out.append(reinterpret_cast<const char*>(&v), 4);
    }
    return out;
}

// Records each completion ("first|local|index|data|type|zip|size|key"); can hold the writer
// inside one and refuse files.
struct Owner : FileCompletion {
    bool onFileComplete(const std::u16string& first, const std::u16string& local,
                        const std::u16string& index, const std::u16string& data, int32_t type,
                        uint32_t zipSize, uint32_t size, uint32_t key) override {
        std::unique_lock<std::mutex> lock(mutex);
        calls.push_back(platform::wideToUtf8(first + u"|" + local + u"|" + index + u"|" + data) +
                        "|" + std::to_string(type) + "|" + std::to_string(zipSize) + "|" +
                        std::to_string(size) + "|" + std::to_string(key));
        wake.wait(lock, [this] { return !hold; });
        return accept;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        hold = false;
        wake.notify_all();
    }
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::string> calls;
    bool accept = true, hold = false;
};

// A block's memory that reports when it is freed.
struct Tracked : MemoryStream {
    Tracked(const std::string& bytes, std::atomic<int>* freed)
        : MemoryStream(static_cast<uint32_t>(bytes.size())), freed(freed) {
        EXPECT_TRUE(write(bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    ~Tracked() override { ++*freed; }
    std::atomic<int>* freed;
};

// The plan the update run makes: 32 KiB blocks, the last one shorter.
std::vector<BlockIndexEntry> planBlocks(uint32_t length) {
    std::vector<BlockIndexEntry> entries;
    for (uint32_t at = 0, i = 0; at < length; at += 32768, ++i) {
        entries.push_back({at, i, at, std::min<uint32_t>(32768, length - at), 0});
    }
    return entries;
}

TEST(BlockIndexFile, TheDocumentedLayoutAndWhatReadRefuses) {
    MemoryStream stream(100);
    ASSERT_TRUE(BlockIndexFile::write(stream, 0xDEADBEEF,
                                      {{0, 0, 0, 32768, 0}, {32768, 1, 65536, 4464, 4464}}));
    const std::string good =
        "!PTI" + le32({5, 0xDEADBEEF, 2, 0, 0, 0, 32768, 0, 32768, 1, 65536, 4464, 4464});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.data()), stream.size()), good);
    EXPECT_EQ(BlockIndexFile::fileLength(2), 56u);
    EXPECT_EQ(BlockIndexFile::entryPosition(3), 76u);
    EXPECT_FALSE(BlockIndexFile::entryPosition(0xFFFFFFFFu).has_value());
    const auto read = [](const std::string& bytes, std::vector<BlockIndexEntry>& entries) {
        MemoryStream m(static_cast<uint32_t>(bytes.size()));
        BlockIndexHeader header;
        return m.write(bytes.data(), static_cast<uint32_t>(bytes.size())) && m.seek(0) &&
               BlockIndexFile::read(m, header, entries) && header.versionKey == 0xDEADBEEF;
    };
    std::vector<BlockIndexEntry> entries;
    ASSERT_TRUE(read(good, entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].localPosition, 65536u);
    EXPECT_EQ(entries[1].written, 4464u);
    // Longer or shorter than 16 + 20 N, another magic or version, a count no file can hold
    // (the length check comes before any allocation).
    for (const std::string& bad :
         {good + "x", good.substr(0, 55), "!PTX" + good.substr(4),
          "!PTI" + le32({4}) + good.substr(8),
          good.substr(0, 12) + le32({0xFFFFFFFF}) + good.substr(16, 20), std::string("!PTI")}) {
        EXPECT_FALSE(read(bad, entries));
    }
    const std::u16string p = u"a";
    for (const auto& [type, data, index] : {std::tuple{1, u"a.gzf", u"a.igzf"},
                                            {2, u"a.patch", u"a.ipatch"},
                                            {3, u"a.gzf", u"a.igzf"},
                                            {4, u"a.gzf", u"a.igzf"},
                                            {0, u"a", u"a"},
                                            {5, u"a", u"a"},
                                            {-1, u"a", u"a"}}) {
        EXPECT_EQ(FileWritter::dataFileName(type, p), data);
        EXPECT_EQ(FileWritter::indexFileName(type, p), index);
    }
}

class FileWritterTest : public ::testing::Test {
protected:
    void add(const std::u16string& path, const std::string& bytes, uint32_t at, uint32_t count,
             uint32_t key, std::atomic<int>* freed = nullptr, int32_t type = 1) {
        const BlockIndexEntry e = planBlocks(static_cast<uint32_t>(bytes.size()))[at / 32768];
        const std::string block = bytes.substr(e.offset, e.size);
        auto file = std::make_unique<File>();
        if (freed != nullptr) {
            file->adopt(std::make_unique<Tracked>(block, freed));
        } else {
            file->openMemory(e.size);
            file->write(block.data(), e.size);
        }
        writer.addTask(u"", path, e.offset, e.localPosition, std::move(file), type, e.blockIndex,
                       count, 1000, 2000, key);
    }
    bool waitFor(const std::function<bool()>& done) { return test::waitFor(done); }
    bool waitWritten(uint32_t n) {
        return waitFor([&] { return writer.written() + writer.failed() >= n; });
    }

    test::Sandbox box;
    test::LogCapture log;
    Owner owner;
    FileWritter writer{&owner};
};

TEST_F(FileWritterTest, BlocksInAnyOrderCompleteEachFileExactlyOnce) {
    const std::string file = test::patternBytes(70000), two = test::patternBytes(65536, 2);
    File index;
    ASSERT_TRUE(index.open(u"game\\a.dat.igzf", 1));
    ASSERT_TRUE(BlockIndexFile::write(index, 0x1234, planBlocks(70000)));
    index.close();
    ASSERT_TRUE(writer.start());
    add(u"game\\a.dat", file, 65536, 3, 0x1234);
    add(u"two", two, 32768, 2, 2, nullptr, 2);  // interleaved with another file
    add(u"game\\a.dat", file, 0, 3, 0x9999);    // only the first block's key counts
    ASSERT_TRUE(waitWritten(3));
    EXPECT_EQ(owner.count(), 0u);
    add(u"game\\a.dat", file, 32768, 3, 0x9999);
    ASSERT_TRUE(waitFor([&] { return owner.count() == 1; }));
    add(u"two", two, 0, 2, 2, nullptr, 2);
    ASSERT_TRUE(waitFor([&] { return owner.count() == 2; }));
    EXPECT_EQ(owner.calls, (std::vector<std::string>{
                               "|game\\a.dat|game\\a.dat.igzf|game\\a.dat.gzf|1|1000|2000|4660",
                               "|two|two.ipatch|two.patch|2|1000|2000|2"}));
    EXPECT_EQ(box.readFile("game/a.dat.gzf"), file);
    EXPECT_EQ(box.readFile("two.patch"), two);
    // The index now records every block as written; the header is untouched.
    EXPECT_EQ(box.readFile("game/a.dat.igzf"),
              "!PTI" + le32({5, 0x1234, 3, 0, 0, 0, 32768, 32768, 32768, 1, 32768, 32768, 32768,
                             65536, 2, 65536, 4464, 4464}));
    EXPECT_EQ(writer.added() + writer.written(), 10u);
    EXPECT_EQ(writer.failed() + writer.unfinished(), 0u);
}

TEST_F(FileWritterTest, RefusedFilesBlocksBeyondTheCountAndFailures) {
    owner.accept = false;
    ASSERT_TRUE(writer.start());
    add(u"x.bin", test::patternBytes(100), 0, 1, 5);
    ASSERT_TRUE(waitFor([&] { return writer.unfinished() == 1; }));
    EXPECT_EQ(writer.written(), 1u);
    // A block past the plan lengthens the index (N = 2: 56 bytes).
    File index;
    ASSERT_TRUE(index.open(u"y.bin.igzf", 1));
    ASSERT_TRUE(BlockIndexFile::write(index, 5, planBlocks(65536)));
    index.close();
    auto block = std::make_unique<File>();
    block->openMemory(10);
    block->write("0123456789", 10);
    writer.addTask(u"", u"y.bin", 0, 0, std::move(block), 1, 5, 3, 0, 0, 5);
    ASSERT_TRUE(waitWritten(2));
    const std::string bytes = box.readFile("y.bin.igzf");
    ASSERT_EQ(bytes.size(), 16u + 20u * 6u);
    EXPECT_EQ(bytes.substr(116), le32({0, 5, 0, 10, 10}));

    // A data file that cannot be opened fails every block; a failed write fails its block;
    // each block's memory is freed, nothing completes.
    box.writeFile("blocker", "a file where a folder should be");
    ASSERT_EQ(::symlink("/dev/full", (box.path() + "/full.bin.gzf").c_str()), 0);
    std::atomic<int> freed{0};
    const std::string file = test::patternBytes(70000);
    for (uint32_t at : {0, 32768, 65536}) {
        add(u"blocker\\a.dat", file, at, 3, 1, &freed);
    }
    add(u"full.bin", std::string(4096, 'z'), 0, 1, 1, &freed);
    ASSERT_TRUE(waitWritten(6));
    EXPECT_EQ(writer.failed(), 4u);
    EXPECT_TRUE(waitFor([&] { return freed.load() == 4; }));
    EXPECT_EQ(log.count({"0 open 'blocker\\a.dat.gzf' error"}), 1u) << log.text();
    EXPECT_EQ(log.count({"1 FileWritter::ParseTask : tempfile tempidxfile stream NoExist"}), 3u);
    EXPECT_EQ(log.count({"FileWritter::ParseTask : task.tempfile write Failed"}), 1u);
    EXPECT_EQ(owner.count(), 1u);
}

TEST_F(FileWritterTest, StopDropsQueuedBlocksAndANewStartForgetsOpenFiles) {
    owner.hold = true;  // the writer waits inside the first completion
    ASSERT_TRUE(writer.start());
    const std::string file = test::patternBytes(100000);
    add(u"first", file.substr(0, 100), 0, 1, 1);
    ASSERT_TRUE(waitFor([&] { return owner.count() == 1; }));
    for (uint32_t at = 0; at < 100000; at += 32768) {
        add(u"second", file, at, 4, 2);
    }
    writer.requestStop();
    owner.release();
    writer.stopAndJoin();
    EXPECT_EQ(writer.added(), 5u);
    EXPECT_EQ(writer.written(), 1u);
    EXPECT_FALSE(box.exists("second.gzf"));

    const std::string a = file.substr(0, 65536);
    ASSERT_TRUE(writer.start());
    add(u"a.dat", a, 0, 2, 1);
    ASSERT_TRUE(waitWritten(1));
    ASSERT_TRUE(writer.start());
    EXPECT_EQ(writer.added() + writer.written(), 0u);
    {
        File again;  // the earlier update's handles are closed
        EXPECT_TRUE(again.open(u"a.dat.gzf", 2));
    }
    // The count of stored blocks starts afresh: block 1 alone does not complete the file.
    add(u"a.dat", a, 32768, 2, 1);
    ASSERT_TRUE(waitWritten(1));
    EXPECT_EQ(owner.count(), 1u);
    add(u"a.dat", a, 0, 2, 1);
    ASSERT_TRUE(waitFor([&] { return owner.count() == 2; }));
    EXPECT_EQ(box.readFile("a.dat.gzf"), a);
}

}  // namespace
}  // namespace lume
