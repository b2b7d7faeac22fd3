#include "engine/FileSystem/Inflate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Kernel/Logger.h"
#include "tests/engine/FileSystem/TestData.h"

namespace lume {
namespace {

using test::bytes;

class RecordingWriter : public Logger::Writter {
public:
    void write(int level, std::u16string_view) override { levels.push_back(level); }
    void write(int level, std::string_view text) override {
        levels.push_back(level);
        lines.emplace_back(text);
    }
    std::vector<int> levels;
    std::vector<std::string> lines;
};

class Inflate : public ::testing::Test {
protected:
    z_stream inflater_{};
};

TEST_F(Inflate, AWholeStreamFillsTheBufferAndReportsItsLength) {
    const std::string original = test::patternBytes(100000);
    const std::string packed = test::rawDeflate(original);
    std::vector<uint8_t> out(original.size());
    uint32_t outLength = static_cast<uint32_t>(out.size());

    ASSERT_EQ(unCompressData(&inflater_, out.data(), outLength, bytes(packed),
                             static_cast<uint32_t>(packed.size())),
              kUncompressOk);
    EXPECT_EQ(outLength, original.size());
    EXPECT_EQ(std::string(out.begin(), out.end()), original);
}

TEST_F(Inflate, ACompleteStreamShorterThanTheBufferReportsTheShorterLength) {
    const std::string original = test::patternBytes(100);
    const std::string packed = test::rawDeflate(original);
    std::vector<uint8_t> out(200, 0xCC);
    uint32_t outLength = 200;

    ASSERT_EQ(unCompressData(&inflater_, out.data(), outLength, bytes(packed),
                             static_cast<uint32_t>(packed.size())),
              kUncompressOk);
    EXPECT_EQ(outLength, 100u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 100), original);
    // The rest was cleared, not left as it was.
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 100, out.end()), std::vector<uint8_t>(100, 0));
}

TEST_F(Inflate, ATruncatedStreamFails) {
    const std::string original = test::patternBytes(50000);
    const std::string packed = test::rawDeflate(original);
    const std::string half = packed.substr(0, packed.size() / 2);
    std::vector<uint8_t> out(original.size());
    uint32_t outLength = static_cast<uint32_t>(out.size());

    EXPECT_EQ(unCompressData(&inflater_, out.data(), outLength, bytes(half),
                             static_cast<uint32_t>(half.size())),
              kUncompressError);
    EXPECT_EQ(outLength, original.size());
}

TEST_F(Inflate, DamagedAndGarbageInputFail) {
    const std::string original = test::patternBytes(5000);
    std::vector<uint8_t> out(original.size());
    for (const std::string& input :
         {test::damagedDeflate(original), std::string(64, '\xFF'), std::string("not deflate")}) {
        uint32_t outLength = static_cast<uint32_t>(out.size());
        EXPECT_NE(unCompressData(&inflater_, out.data(), outLength, bytes(input),
                                 static_cast<uint32_t>(input.size())),
                  kUncompressOk);
    }
}

TEST_F(Inflate, TheSameInflaterServesManyCalls) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        const std::string original = test::patternBytes(1000 * seed, seed);
        const std::string packed = test::rawDeflate(original);
        std::vector<uint8_t> out(original.size());
        uint32_t outLength = static_cast<uint32_t>(out.size());
        ASSERT_EQ(unCompressData(&inflater_, out.data(), outLength, bytes(packed),
                                 static_cast<uint32_t>(packed.size())),
                  kUncompressOk);
        ASSERT_EQ(std::string(out.begin(), out.end()), original);
    }
}

TEST_F(Inflate, NullBuffersAndZeroLengthsAreRefusedWithoutTouchingAnything) {
    RecordingWriter writer;
    Logger logger(&writer);
    const std::string packed = test::rawDeflate("abc");
    std::vector<uint8_t> out(8, 0xCC);
    uint32_t outLength = 8;

    EXPECT_EQ(unCompressData(&inflater_, nullptr, outLength, bytes(packed), 3), kUncompressError);
    EXPECT_EQ(unCompressData(&inflater_, out.data(), outLength, nullptr, 3), kUncompressError);
    EXPECT_EQ(unCompressData(&inflater_, out.data(), outLength, bytes(packed), 0),
              kUncompressError);
    uint32_t zero = 0;
    EXPECT_EQ(unCompressData(&inflater_, out.data(), zero, bytes(packed), 3), kUncompressError);

    EXPECT_EQ(outLength, 8u);
    EXPECT_EQ(zero, 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(8, 0xCC));
    ASSERT_EQ(writer.lines.size(), 4u);
    EXPECT_EQ(writer.levels, (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(writer.lines[0].rfind("Error in unCompressData(): out = 0x00000000  in = 0x", 0), 0u)
        << writer.lines[0];
    EXPECT_EQ(writer.lines[2], "Error in unCompressData(): outlen = 8, inLen = 0");
    EXPECT_EQ(writer.lines[3], "Error in unCompressData(): outlen = 0, inLen = 3");
}

}  // namespace
}  // namespace lume
