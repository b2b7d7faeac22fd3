// The file writer: a small file assembled in memory, completion exactly once on the install
// threads, the stored blocks recorded in the block index after their data is synced, every
// failure counted, and the bound on what it queues.
#include "transfer/FileWritter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "engine/FileSystem/File.h"
#include "platform/Text.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestBytes.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/FileCompletion.h"

namespace lume {
namespace {

struct Completion {
    std::string localPath;
    bool inMemory;
    std::string bytes;  // what the writer handed over (from memory or from the data file)
};

class RecordingCompletion : public FileCompletion {
public:
    Prepared prepareFile(const DownloadFile& file, platform::NativeFile* data,
                         std::vector<uint8_t> bytes) override {
        Completion c{platform::wideToUtf8(file.localPath), data == nullptr,
                     std::string(bytes.begin(), bytes.end())};
        if (data != nullptr) {
            c.bytes.resize(file.zipSize);
            uint32_t got = 0;
            EXPECT_TRUE(data->readAt(0, c.bytes.data(), file.zipSize, got));
        }
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(c);
        Prepared prepared;
        prepared.refused = !accept;
        prepared.finish = [this](bool synced) {
            finished.fetch_add(1);
            return synced;
        };
        return prepared;
    }
    std::vector<Completion> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }

    std::mutex mutex;
    std::vector<Completion> calls;
    std::atomic<int> finished{0};
    bool accept = true;
};

std::shared_ptr<DownloadFile> fileOf(const std::u16string& path, uint32_t zipSize, uint32_t key,
                                     bool fresh = true) {
    auto file = std::make_shared<DownloadFile>(DownloadFile{.firstName = {},
                                                            .localPath = path,
                                                            .type = 1,
                                                            .zipSize = zipSize,
                                                            .size = zipSize + 1000,
                                                            .versionKey = key,
                                                            .fresh = fresh});
    file->blockCount = file->pending = static_cast<uint32_t>(planBlocks(file).size());
    return file;
}

// Large enough to be written to its temporary data file as it comes.
constexpr uint32_t kOnDisk = FileWritter::kInMemoryBytes + 100000;

class FileWritterTest : public ::testing::Test {
protected:
    void add(const std::shared_ptr<DownloadFile>& file, const std::string& bytes, uint32_t index) {
        const Block block = planBlocks(file)[index];
        const std::string part = bytes.substr(block.offset, block.size);
        writer.addTask(WriteTask{block, std::vector<uint8_t>(part.begin(), part.end())});
    }
    bool waitWritten(uint32_t n) {
        return test::waitFor([&] { return writer.written() + writer.failed() >= n; });
    }
    bool waitCompleted(size_t n) {
        return test::waitFor([&] { return owner.snapshot().size() >= n; });
    }

    test::Sandbox box;
    test::LogCapture log;
    RecordingCompletion owner;
    FileWritter writer{&owner};
};

TEST_F(FileWritterTest, TemporaryNamesFollowTheType) {
    const std::u16string p = u"bin\\config.ini";
    // The type, then the endings of its data and index file names.
    const std::tuple<int32_t, std::u16string, std::u16string> names[] = {
        {1, u".gzf", u".igzf"}, {3, u".gzf", u".igzf"},
        {4, u".gzf", u".igzf"}, {2, u".patch", u".ipatch"},
        {0, u"", u""},          {5, u"", u""},
        {-1, u"", u""}};
    for (const auto& [type, data, index] : names) {
        EXPECT_EQ(FileWritter::dataFileName(type, p), p + data) << type;
        EXPECT_EQ(FileWritter::indexFileName(type, p), p + index) << type;
    }
}

// A small new file needs no temporary files: its blocks meet in memory.
TEST_F(FileWritterTest, ASmallFileIsAssembledInMemory) {
    const std::string bytes = test::noiseBytes(70000);
    const auto file = fileOf(u"game\\a.dat", 70000, 0x1234);
    ASSERT_TRUE(writer.start());
    add(file, bytes, 2);
    add(file, bytes, 0);
    ASSERT_TRUE(waitWritten(2));
    EXPECT_TRUE(owner.snapshot().empty());
    add(file, bytes, 1);
    ASSERT_TRUE(waitCompleted(1));
    writer.finish();
    const Completion c = owner.snapshot()[0];
    EXPECT_EQ(std::tuple(c.localPath, c.inMemory, owner.finished.load()),
              std::tuple("game\\a.dat", true, 1));
    EXPECT_EQ(c.bytes, bytes);
    EXPECT_FALSE(box.exists("game/a.dat.gzf"));
    EXPECT_FALSE(box.exists("game/a.dat.igzf"));
    EXPECT_EQ(std::tuple(writer.added(), writer.written(), writer.failed(), writer.unfinished(),
                         writer.installing()),
              std::tuple(3u, 3u, 0u, 0u, 0u));
}

// What an update stored is recorded in the block index (after its data is synced), so that
// the next update fetches only the rest; an index never names a block the data file lacks.
TEST_F(FileWritterTest, FinishRecordsTheStoredBlocksOfUnfinishedFiles) {
    const std::string bytes = test::noiseBytes(kOnDisk, 3);
    const auto file = fileOf(u"part.dat", kOnDisk, 0x55);
    ASSERT_TRUE(writer.start());
    for (uint32_t i : {0u, 1u, 5u}) {
        add(file, bytes, i);
    }
    ASSERT_TRUE(waitWritten(3));
    writer.finish();
    EXPECT_GE(writer.commits().fileSyncs() + writer.commits().systemSyncs(), 1u);
    File index;
    BlockIndexHeader header;
    std::vector<BlockIndexEntry> entries;
    ASSERT_TRUE(index.open(u"part.dat.igzf", 0));
    ASSERT_TRUE(BlockIndexFile::read(index, header, entries));
    EXPECT_EQ(header.versionKey, 0x55u);
    ASSERT_EQ(entries.size(), file->blockCount);
    const std::string data = box.readFile("part.dat.gzf");
    for (const BlockIndexEntry& e : entries) {
        const bool stored = e.blockIndex == 0 || e.blockIndex == 1 || e.blockIndex == 5;
        EXPECT_EQ(e.written, stored ? e.size : 0u) << e.blockIndex;
        if (stored) {
            EXPECT_TRUE(data.substr(e.localPosition, e.size) == bytes.substr(e.offset, e.size));
        }
    }
    EXPECT_TRUE(owner.snapshot().empty());

    // The next update resumes it: its missing blocks complete it.
    auto resumed = fileOf(u"part.dat", kOnDisk, 0x55, false);
    resumed->pending = resumed->blockCount - 3;
    ASSERT_TRUE(writer.start());
    for (uint32_t i = 0; i < resumed->blockCount; ++i) {
        if (i != 0 && i != 1 && i != 5) {
            add(resumed, bytes, i);
        }
    }
    ASSERT_TRUE(waitCompleted(1));
    writer.finish();
    EXPECT_TRUE(owner.snapshot()[0].bytes == bytes);
}

TEST_F(FileWritterTest, RefusedFileCountsAsUnfinished) {
    owner.accept = false;
    ASSERT_TRUE(writer.start());
    add(fileOf(u"x.bin", 100, 5), test::noiseBytes(100), 0);
    ASSERT_TRUE(test::waitFor([&] { return writer.unfinished() == 1; }));
    writer.finish();
    EXPECT_EQ(
        std::tuple(writer.written(), writer.failed(), writer.installing(), owner.finished.load()),
        std::tuple(1u, 0u, 0u, 0));
}

TEST_F(FileWritterTest, UnopenableOrUnwritableFilesFailTheirBlocks) {
    box.writeFile("blocker", "a file where a folder should be");
    ASSERT_TRUE(writer.start());
    const std::string bytes = test::noiseBytes(kOnDisk);
    const auto blocked = fileOf(u"blocker\\a.dat", kOnDisk, 1);
    for (uint32_t i = 0; i < 3; ++i) {
        add(blocked, bytes, i);
    }
    ASSERT_TRUE(waitWritten(3));
    EXPECT_EQ(writer.failed(), 3u);
    EXPECT_EQ(log.count({"0 open 'blocker\\a.dat.gzf' error"}), 1u) << log.text();
    // A failure is counted before its line is logged: the lines may come a moment later.
    const auto logged = [&](const char* line, size_t n) {
        return test::waitFor([&] { return log.count({line}) == n; });
    };
    EXPECT_TRUE(logged("1 FileWritter::ParseTask : tempfile tempidxfile stream NoExist", 3))
        << log.text();

    // A resumed file whose data cannot take the bytes (a full disk).
    ASSERT_EQ(::symlink("/dev/full", (box.path() + "/full.bin.gzf").c_str()), 0);
    box.writeFile("full.bin.igzf", "");
    add(fileOf(u"full.bin", 4096, 1, false), std::string(4096, 'z'), 0);
    ASSERT_TRUE(waitWritten(4));
    EXPECT_EQ(writer.failed(), 4u);
    EXPECT_EQ(writer.written(), 0u);
    EXPECT_TRUE(logged("FileWritter::ParseTask : task.tempfile write Failed", 1)) << log.text();
    EXPECT_TRUE(owner.snapshot().empty());

    // One whose block index cannot take the record of its stored blocks.
    box.writeFile("idx.bin.gzf", std::string(kOnDisk, '\0'));
    ASSERT_EQ(::symlink("/dev/full", (box.path() + "/idx.bin.igzf").c_str()), 0);
    add(fileOf(u"idx.bin", kOnDisk, 1, false), bytes, 0);
    ASSERT_TRUE(waitWritten(5));
    writer.finish();
    EXPECT_EQ(writer.failed(), 5u);
    EXPECT_EQ(log.count({"task.tempidxfile write Failed"}), 1u) << log.text();
}

// What waits for the writer is bounded: past kQueueBytes it says it is full, and it tells
// its listener once it has room again.
TEST_F(FileWritterTest, AFullQueueSaysSoAndCallsWhenItHasRoom) {
    std::atomic<int> rooms{0};
    writer.setRoomListener([&] { rooms.fetch_add(1); });
    ASSERT_TRUE(writer.start());
    writer.requestStop();  // the writer takes nothing while the queue fills
    writer.stopAndJoin();
    const uint32_t blocks = FileWritter::kQueueBytes / kBlockSize;
    const auto big = fileOf(u"big", blocks * kBlockSize, 2);
    const std::vector<Block> plan = planBlocks(big);
    const std::vector<uint8_t> bytes(kBlockSize, 'b');
    for (uint32_t i = 0; i < blocks; ++i) {
        EXPECT_FALSE(writer.full());
        writer.addTask(WriteTask{plan[i], bytes});
    }
    EXPECT_TRUE(writer.full());
    EXPECT_EQ(rooms.load(), 0);
    ASSERT_TRUE(writer.luThread::start());  // the writer alone, as start() would drop the queue
    ASSERT_TRUE(test::waitFor([&] { return rooms.load() == 1; }));
    EXPECT_FALSE(writer.full());
    ASSERT_TRUE(waitWritten(blocks));
    writer.finish();
    EXPECT_EQ(rooms.load(), 1);
}

}  // namespace
}  // namespace lume
