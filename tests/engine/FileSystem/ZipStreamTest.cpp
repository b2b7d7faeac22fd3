// A pack entry read as a stream, stored or deflated, from a real file: reads in steps and
// after seeks, the end, and damage that must fail rather than hand out wrong bytes.
#include "engine/FileSystem/ZipStream.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/WinStream.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

constexpr uint32_t kStart = 777;

// A pack-like file: leading bytes, the entry's stored bytes, trailing bytes.
class Entry : public ::testing::Test {
protected:
    void open(const std::string& stored, uint32_t length, uint32_t storedLength = 0) {
        box.writeFile("test.pak", std::string(kStart, 'H') + stored + std::string(333, 'T'));
        ASSERT_TRUE(pack.open(u"test.pak", 0));
        zip = std::make_unique<ZipStream>();
        ASSERT_TRUE(zip->open(&pack, kStart,
                              storedLength ? storedLength : static_cast<uint32_t>(stored.size()),
                              length));
    }
    std::string readSteps(uint32_t step) {
        std::string all, buffer(step, '\0');
        uint32_t count = 0;
        while (zip->read(buffer.data(), step, &count)) {
            all.append(buffer.data(), count);
        }
        return all;
    }
    std::string readAt(uint32_t position, uint32_t length) {
        std::string buffer(length + 10, '#');
        uint32_t count = 0;
        if (!zip->seek(position) || !zip->read(buffer.data(), length, &count)) {
            return "<failed>";
        }
        EXPECT_EQ(buffer.substr(count), std::string(length + 10 - count, '#'));
        return buffer.substr(0, count);
    }

    test::Sandbox box;
    WinStream pack;
    std::unique_ptr<ZipStream> zip;
};

TEST_F(Entry, StoredEntries) {
    ZipStream unopened;
    char b[4];
    EXPECT_FALSE(unopened.read(b, 4) || unopened.open(nullptr, 0, 1, 1));
    EXPECT_EQ(std::tuple(unopened.state(), unopened.size()), std::tuple(ZipStream::kNotOpened, 0u));

    const std::string content = test::patternBytes(10000);
    open(content, 10000);
    EXPECT_EQ(zip->state(), ZipStream::kOpen);
    EXPECT_FALSE(zip->open(&pack, 0, 1, 1) || zip->write("x", 1));  // opens once, never writes
    EXPECT_EQ(readSteps(3000), content);
    EXPECT_EQ(pack.tell(), kStart);  // the shared pack handle is left at the entry
    EXPECT_EQ(readAt(123, 50), content.substr(123, 50));
    EXPECT_EQ(readAt(9990, 50), content.substr(9990));  // nothing of the trailing bytes
    EXPECT_TRUE(zip->seek(10001));
    EXPECT_EQ(zip->tell(), 10000u);  // past the end lands on the end
    EXPECT_FALSE(zip->read(b, 4));

    open("only-this", 100);  // cut off by the end of the pack
    EXPECT_EQ(readAt(0, 100), "<failed>");
}

TEST_F(Entry, DeflatedEntries) {
    const std::string content = test::patternBytes(20000);
    const std::string packed = test::rawDeflate(content);
    open(packed, 20000);
    std::string whole(20000, '\0');
    uint32_t count = 0;
    ASSERT_TRUE(zip->read(whole.data(), 20000, &count));  // straight into the caller's buffer
    EXPECT_EQ(std::tuple(whole, zip->state()), std::tuple(content, ZipStream::kFullyRead));
    EXPECT_FALSE(zip->read(whole.data(), 1, &count));
    ASSERT_TRUE(zip->seek(0));
    EXPECT_EQ(readSteps(3333), content);
    EXPECT_EQ(zip->state(), ZipStream::kOpen);

    open(packed, 20000);
    EXPECT_EQ(readAt(1234, 100), content.substr(1234, 100));  // a first read after a seek
    EXPECT_EQ(readAt(10, 20000), content.substr(10));
    EXPECT_FALSE(zip->read(whole.data(), 10));  // at the end

    // Damaged, inflating to less than announced, or stored past the pack's end:
    // both the whole read and a partial one fail.
    const std::string small = test::patternBytes(3000);
    const std::string smallPacked = test::rawDeflate(small);
    const struct {
        std::string stored;
        uint32_t length, storedLength;
    } damaged[] = {
        {test::damagedDeflate(small), 3000, 0},
        {smallPacked, 5000, 0},
        {smallPacked, 3000, static_cast<uint32_t>(smallPacked.size()) + 400},
    };
    for (const auto& d : damaged) {
        open(d.stored, d.length, d.storedLength);
        EXPECT_EQ(readAt(0, d.length), "<failed>");
        EXPECT_EQ(readAt(0, 100), "<failed>");
        EXPECT_EQ(zip->tell(), 0u);
    }
}

}  // namespace
}  // namespace lume
