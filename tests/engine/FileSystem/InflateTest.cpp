// Raw inflate into a caller's buffer: the arguments it refuses with their log lines, and the
// install of a file that inflates to its size.
#include "engine/FileSystem/Inflate.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/InstallFile.h"
#include "engine/Kernel/Checksum.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

using test::bytes;

TEST(Inflate, NullBuffersAndZeroLengthsAreRefusedUntouched) {
    test::LogCapture log;
    z_stream inflater{};
    const std::string packed = test::rawDeflate("abc");
    std::string out(8, '\xCC');
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    uint32_t length = 8, zero = 0;
    EXPECT_EQ(unCompressData(&inflater, nullptr, length, bytes(packed), 3), kUncompressError);
    EXPECT_EQ(unCompressData(&inflater, o, length, nullptr, 3), kUncompressError);
    EXPECT_EQ(unCompressData(&inflater, o, length, bytes(packed), 0), kUncompressError);
    EXPECT_EQ(unCompressData(&inflater, o, zero, bytes(packed), 3), kUncompressError);
    EXPECT_EQ(length + zero, 8u);
    EXPECT_EQ(out, std::string(8, '\xCC'));
    // One line each, at level 0.
    const std::string text = "\n" + log.text();
    EXPECT_EQ(log.count({"Error in unCompressData(): "}), 4u) << text;
    for (const char* line : {"\n0 Error in unCompressData(): out = 0x00000000  in = 0x",
                             "\n0 Error in unCompressData(): outlen = 8, inLen = 0\n",
                             "\n0 Error in unCompressData(): outlen = 0, inLen = 3\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
}

TEST(UnpackFile, InstallsWhatInflatesToItsSizeAndLogsOnlyFailures) {
    test::Sandbox box;
    test::LogCapture log;
    const std::string original = test::patternBytes(50000);
    box.writeFile("a.gzf", test::rawDeflate(original));
    uint32_t crc = 0;
    ASSERT_EQ(unpackFile(u"a.gzf", u"a.txt", true, 50000, false, crc), UnpackError::kNone);
    EXPECT_EQ(box.readFile("a.txt"), original);
    EXPECT_EQ(crc, checksumUpdate(kChecksumStart, original.data(), original.size()));
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(unpackFile(u"none.gzf", u"b.txt", true, 5, false, crc), UnpackError::kOpen);
    EXPECT_EQ(unpackFile(u"a.gzf", u"c.txt", true, 49999, false, crc), UnpackError::kInflate);
    EXPECT_FALSE(box.exists("b.txt") || box.exists("c.txt"));
    EXPECT_TRUE(log.has("0 打开 'none.gzf' 失败") && log.has("0 解压 'a.gzf' 失败")) << log.text();
    EXPECT_EQ(log.count({"失败"}), 2u) << log.text();  // one line per failure
}

}  // namespace
}  // namespace lume
