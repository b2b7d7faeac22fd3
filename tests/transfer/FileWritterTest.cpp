// The file writer: blocks landing at their positions in any order, the block index file's
// bytes, completion exactly once, and every failure counted with the block's memory freed.
#include "transfer/FileWritter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "engine/FileSystem/MemoryStream.h"
#include "tests/support/Sandbox.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/FileCompletion.h"

namespace lume {
namespace {

std::string le32(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    return out;
}

struct Completion {
    std::string firstName, localPath, indexPath, dataPath;
    int32_t type;
    uint32_t zipSize, size, versionKey;
};

class RecordingCompletion : public FileCompletion {
public:
    bool onFileComplete(const std::u16string& firstName, const std::u16string& localPath,
                        const std::u16string& indexPath, const std::u16string& dataPath,
                        int32_t type, uint32_t zipSize, uint32_t size,
                        uint32_t versionKey) override {
        std::unique_lock<std::mutex> lock(mutex);
        calls.push_back({platform::wideToUtf8(firstName), platform::wideToUtf8(localPath),
                         platform::wideToUtf8(indexPath), platform::wideToUtf8(dataPath), type,
                         zipSize, size, versionKey});
        wake.wait(lock, [this] { return !hold; });
        return accept;
    }
    std::vector<Completion> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            hold = false;
        }
        wake.notify_all();
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Completion> calls;
    bool accept = true;
    bool hold = false;
};

// A block's memory that reports when it is freed.
class TrackedStream : public MemoryStream {
public:
    TrackedStream(const std::string& bytes, std::atomic<int>* freed)
        : MemoryStream(static_cast<uint32_t>(bytes.size())), freed_(freed) {
        EXPECT_TRUE(write(bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    ~TrackedStream() override { freed_->fetch_add(1); }

private:
    std::atomic<int>* freed_;
};

std::unique_ptr<File> blockStream(const std::string& bytes, std::atomic<int>* freed = nullptr) {
    auto file = std::make_unique<File>();
    if (freed != nullptr) {
        file->adopt(std::make_unique<TrackedStream>(bytes, freed));
    } else {
        file->openMemory(static_cast<uint32_t>(bytes.size()));
        file->write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    return file;
}

// The block plan the update run makes: 32 KiB blocks, the last one shorter.
std::vector<BlockIndexEntry> planBlocks(uint32_t length) {
    std::vector<BlockIndexEntry> entries;
    for (uint32_t at = 0, i = 0; at < length; at += 32768, ++i) {
        BlockIndexEntry e;
        e.offset = at;
        e.blockIndex = i;
        e.localPosition = at;
        e.size = std::min<uint32_t>(32768, length - at);
        entries.push_back(e);
    }
    return entries;
}

void writeIndex(const std::u16string& path, uint32_t versionKey,
                const std::vector<BlockIndexEntry>& entries) {
    File file;
    ASSERT_TRUE(file.open(path, 1));
    ASSERT_TRUE(BlockIndexFile::write(file, versionKey, entries));
}

TEST(BlockIndexFile, BytesAreTheDocumentedLayout) {
    BlockIndexEntry a{0, 0, 0, 32768, 0};
    BlockIndexEntry b{32768, 1, 65536, 4464, 4464};
    MemoryStream stream(100);
    ASSERT_TRUE(BlockIndexFile::write(stream, 0xDEADBEEF, {a, b}));
    std::string bytes(reinterpret_cast<const char*>(stream.data()), stream.size());
    const std::string expected = std::string("!PTI") + le32(5) + le32(0xDEADBEEF) + le32(2) +
                                 le32(0) + le32(0) + le32(0) + le32(32768) + le32(0) + le32(32768) +
                                 le32(1) + le32(65536) + le32(4464) + le32(4464);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(BlockIndexFile::fileLength(2), 56u);

    BlockIndexHeader header;
    std::vector<BlockIndexEntry> entries;
    ASSERT_TRUE(BlockIndexFile::read(stream, header, entries));
    EXPECT_EQ(header.versionKey, 0xDEADBEEFu);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].localPosition, 65536u);
    EXPECT_EQ(entries[1].written, 4464u);
}

TEST(BlockIndexFile, ReadRefusesWrongLengthMagicAndVersion) {
    auto tryRead = [](std::string bytes) {
        MemoryStream stream(static_cast<uint32_t>(bytes.size()));
        EXPECT_TRUE(stream.write(bytes.data(), static_cast<uint32_t>(bytes.size())));
        BlockIndexHeader header;
        std::vector<BlockIndexEntry> entries;
        return BlockIndexFile::read(stream, header, entries);
    };
    const std::string entry(20, '\x01');
    const std::string good = std::string("!PTI") + le32(5) + le32(7) + le32(1) + entry;
    EXPECT_TRUE(tryRead(good));
    EXPECT_FALSE(tryRead(good + "x"));                         // longer than 16 + 20 N
    EXPECT_FALSE(tryRead(good.substr(0, 35)));                 // shorter
    EXPECT_FALSE(tryRead("!PTX" + good.substr(4)));            // magic
    EXPECT_FALSE(tryRead("!PTI" + le32(4) + good.substr(8)));  // version
    // A huge count cannot make the reader allocate: the length check comes first.
    EXPECT_FALSE(tryRead(std::string("!PTI") + le32(5) + le32(7) + le32(0xFFFFFFFF) + entry));
    EXPECT_FALSE(tryRead("!PTI"));
}

TEST(BlockIndexFile, EntryPositionsStayWithin32Bits) {
    EXPECT_EQ(BlockIndexFile::entryPosition(0), 16u);
    EXPECT_EQ(BlockIndexFile::entryPosition(3), 76u);
    EXPECT_FALSE(BlockIndexFile::entryPosition(0xFFFFFFFFu).has_value());
}

TEST(FileWritterNames, TemporaryNamesFollowTheType) {
    const std::u16string p = u"bin\\config.ini";
    for (int32_t type : {1, 3, 4}) {
        EXPECT_EQ(FileWritter::dataFileName(type, p), p + u".gzf");
        EXPECT_EQ(FileWritter::indexFileName(type, p), p + u".igzf");
    }
    EXPECT_EQ(FileWritter::dataFileName(2, p), p + u".patch");
    EXPECT_EQ(FileWritter::indexFileName(2, p), p + u".ipatch");
    for (int32_t type : {0, 5, -1}) {
        EXPECT_EQ(FileWritter::dataFileName(type, p), p);
        EXPECT_EQ(FileWritter::indexFileName(type, p), p);
    }
}

class FileWritterTest : public ::testing::Test {
protected:
    void add(const std::u16string& path, const std::string& file, const BlockIndexEntry& e,
             uint32_t count, uint32_t versionKey, std::atomic<int>* freed = nullptr,
             int32_t type = 1) {
        writer.addTask(u"", path, e.offset, e.localPosition,
                       blockStream(file.substr(e.offset, e.size), freed), type, e.blockIndex, count,
                       1000, 2000, versionKey);
    }
    bool waitWritten(uint32_t n) {
        return test::waitFor([&] { return writer.written() + writer.failed() >= n; });
    }

    test::Sandbox box;
    test::LogCapture log;
    RecordingCompletion owner;
    FileWritter writer{&owner};
};

TEST_F(FileWritterTest, BlocksInAnyOrderCompleteTheFileExactlyOnce) {
    const std::string file = test::patternBytes(70000);
    const auto plan = planBlocks(70000);
    ASSERT_EQ(plan.size(), 3u);
    ASSERT_EQ(plan[2].size, 4464u);
    writeIndex(u"game\\a.dat.igzf", 0x1234, plan);
    ASSERT_TRUE(writer.start());

    add(u"game\\a.dat", file, plan[2], 3, 0x1234);
    add(u"game\\a.dat", file, plan[0], 3, 0x9999);  // only the first block's key counts
    ASSERT_TRUE(waitWritten(2));
    EXPECT_TRUE(owner.snapshot().empty());
    add(u"game\\a.dat", file, plan[1], 3, 0x9999);
    ASSERT_TRUE(waitWritten(3));
    ASSERT_TRUE(test::waitFor([&] { return owner.snapshot().size() == 1; }));

    const Completion c = owner.snapshot()[0];
    EXPECT_EQ(c.firstName, "");
    EXPECT_EQ(c.localPath, "game\\a.dat");
    EXPECT_EQ(c.indexPath, "game\\a.dat.igzf");
    EXPECT_EQ(c.dataPath, "game\\a.dat.gzf");
    EXPECT_EQ(c.type, 1);
    EXPECT_EQ(c.zipSize, 1000u);
    EXPECT_EQ(c.size, 2000u);
    EXPECT_EQ(c.versionKey, 0x1234u);
    EXPECT_EQ(box.readFile("game/a.dat.gzf"), file);

    // The index now records every block as written; the header is untouched.
    std::string expected = std::string("!PTI") + le32(5) + le32(0x1234) + le32(3);
    for (const BlockIndexEntry& e : plan) {
        expected += le32(e.offset) + le32(e.blockIndex) + le32(e.localPosition) + le32(e.size) +
                    le32(e.size);
    }
    EXPECT_EQ(box.readFile("game/a.dat.igzf"), expected);
    EXPECT_EQ(writer.added(), 3u);
    EXPECT_EQ(writer.written(), 3u);
    EXPECT_EQ(writer.failed(), 0u);
    EXPECT_EQ(writer.unfinished(), 0u);
}

TEST_F(FileWritterTest, InterleavedFilesCompleteSeparately) {
    const std::string one = test::patternBytes(40000, 1);
    const std::string two = test::patternBytes(65536, 2);
    ASSERT_TRUE(writer.start());
    const auto planOne = planBlocks(40000);
    const auto planTwo = planBlocks(65536);
    add(u"one", one, planOne[1], 2, 1);
    add(u"two", two, planTwo[0], 2, 2, nullptr, 2);
    add(u"one", one, planOne[0], 2, 1);
    add(u"two", two, planTwo[1], 2, 2, nullptr, 2);
    ASSERT_TRUE(waitWritten(4));
    ASSERT_TRUE(test::waitFor([&] { return owner.snapshot().size() == 2; }));
    EXPECT_EQ(box.readFile("one.gzf"), one);
    EXPECT_EQ(box.readFile("two.patch"), two);
    const auto calls = owner.snapshot();
    EXPECT_EQ(calls[0].localPath, "one");
    EXPECT_EQ(calls[1].localPath, "two");
    EXPECT_EQ(calls[1].indexPath, "two.ipatch");
}

TEST_F(FileWritterTest, RefusedFileCountsAsUnfinished) {
    owner.accept = false;
    const std::string file = test::patternBytes(100);
    ASSERT_TRUE(writer.start());
    add(u"x.bin", file, planBlocks(100)[0], 1, 5);
    ASSERT_TRUE(waitWritten(1));
    ASSERT_TRUE(test::waitFor([&] { return writer.unfinished() == 1; }));
    EXPECT_EQ(writer.written(), 1u);
    EXPECT_EQ(writer.failed(), 0u);
}

TEST_F(FileWritterTest, BlockBeyondTheCountLengthensTheIndex) {
    ASSERT_TRUE(writer.start());
    writeIndex(u"x.bin.igzf", 5, planBlocks(65536));  // N = 2: 56 bytes
    writer.addTask(u"", u"x.bin", 0, 0, blockStream("0123456789"), 1, 5, 3, 0, 0, 5);
    ASSERT_TRUE(waitWritten(1));
    const std::string index = box.readFile("x.bin.igzf");
    ASSERT_EQ(index.size(), 16u + 20u * 6u);
    EXPECT_EQ(index.substr(116), le32(0) + le32(5) + le32(0) + le32(10) + le32(10));
}

TEST_F(FileWritterTest, UnopenableFileFailsEveryBlockAndFreesIt) {
    box.writeFile("blocker", "a file where a folder should be");
    std::atomic<int> freed{0};
    ASSERT_TRUE(writer.start());
    const std::string file = test::patternBytes(70000);
    for (const BlockIndexEntry& e : planBlocks(70000)) {
        add(u"blocker\\a.dat", file, e, 3, 1, &freed);
    }
    ASSERT_TRUE(waitWritten(3));
    EXPECT_EQ(writer.failed(), 3u);
    EXPECT_EQ(writer.written(), 0u);
    EXPECT_TRUE(test::waitFor([&] { return freed.load() == 3; }));
    EXPECT_EQ(log.matching({"0 open 'blocker\\a.dat.gzf' error"}).size(), 1u) << log.text();
    EXPECT_EQ(
        log.matching({"1 FileWritter::ParseTask : tempfile tempidxfile stream NoExist"}).size(), 3u)
        << log.text();
    EXPECT_TRUE(owner.snapshot().empty());
}

TEST_F(FileWritterTest, FailedWriteIsCountedAndItsMemoryFreed) {
    ASSERT_EQ(::symlink("/dev/full", (box.path() + "/full.bin.gzf").c_str()), 0);
    std::atomic<int> freed{0};
    ASSERT_TRUE(writer.start());
    writer.addTask(u"", u"full.bin", 0, 0, blockStream(std::string(4096, 'z'), &freed), 1, 0, 1, 0,
                   0, 1);
    ASSERT_TRUE(waitWritten(1));
    EXPECT_EQ(writer.failed(), 1u);
    EXPECT_EQ(writer.written(), 0u);
    EXPECT_TRUE(test::waitFor([&] { return freed.load() == 1; }));
    EXPECT_EQ(log.matching({"FileWritter::ParseTask : task.tempfile write Failed"}).size(), 1u)
        << log.text();
    EXPECT_TRUE(owner.snapshot().empty());
}

TEST_F(FileWritterTest, StopDropsQueuedBlocksUncounted) {
    owner.hold = true;  // the writer waits inside the first completion
    ASSERT_TRUE(writer.start());
    const std::string file = test::patternBytes(100000);
    add(u"first", file, planBlocks(100)[0], 1, 1);
    ASSERT_TRUE(test::waitFor([&] { return owner.snapshot().size() == 1; }));
    for (const BlockIndexEntry& e : planBlocks(100000)) {
        add(u"second", file, e, 4, 2);
    }
    writer.requestStop();
    owner.release();
    writer.stopAndJoin();
    EXPECT_EQ(writer.added(), 5u);
    EXPECT_EQ(writer.written(), 1u);
    EXPECT_EQ(writer.failed(), 0u);
    EXPECT_FALSE(box.exists("second.gzf"));
}

TEST_F(FileWritterTest, NewStartClosesAndForgetsUnfinishedFiles) {
    const std::string file = test::patternBytes(65536);
    const auto plan = planBlocks(65536);
    ASSERT_TRUE(writer.start());
    add(u"a.dat", file, plan[0], 2, 1);
    ASSERT_TRUE(waitWritten(1));

    ASSERT_TRUE(writer.start());
    EXPECT_EQ(writer.added(), 0u);
    EXPECT_EQ(writer.written(), 0u);
    // The earlier update's handles are closed: the file can be opened for writing again.
    {
        File again;
        EXPECT_TRUE(again.open(u"a.dat.gzf", 2));
    }
    // The count of stored blocks starts afresh: block 1 alone does not complete the file.
    add(u"a.dat", file, plan[1], 2, 1);
    ASSERT_TRUE(waitWritten(1));
    EXPECT_TRUE(owner.snapshot().empty());
    add(u"a.dat", file, plan[0], 2, 1);
    ASSERT_TRUE(test::waitFor([&] { return owner.snapshot().size() == 1; }));
    EXPECT_EQ(box.readFile("a.dat.gzf"), file);
}

}  // namespace
}  // namespace lume
