// The streams over files and memory: the file stream's states, the memory streams' bounds,
// the chunked copy/zero/read-all every stream shares, and File, which picks a stream (a file,
// memory, or a pack's entry when a data file is missing).
#include "engine/FileSystem/Stream.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/FileChecksum.h"
#include "engine/FileSystem/GrowingMemoryStream.h"
#include "engine/FileSystem/MemoryStream.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

TEST(WinStream, StatesThroughReadsSeeksWritesAndClose) {
    test::Sandbox box;
    WinStream s;
    char b[100];
    uint32_t count = 0;
    EXPECT_EQ(s.state(), WinStream::kClosed);
    EXPECT_FALSE(s.read(b, 4) || s.write(b, 4) || s.seek(0) || s.reserve(4));
    EXPECT_EQ(s.size() + s.tell(), 0u);
    EXPECT_FALSE(s.open(u"missing.bin", 0));
    EXPECT_EQ(s.state(), WinStream::kAccessFailed);
    EXPECT_FALSE(s.read(b, 4));

    const std::string content = test::patternBytes(60);
    box.writeFile("sixty.bin", content);
    ASSERT_TRUE(s.open(u"sixty.bin", 2));
    EXPECT_EQ(std::tuple(s.state(), s.path()), std::tuple(WinStream::kGood, u"sixty.bin"));
    EXPECT_GE(s.handle(), 0);
    EXPECT_FALSE(s.read(b, 0) || s.write(b, 0));  // zero lengths are refused
    ASSERT_TRUE(s.read(b, 60, &count));           // exactly to the end: still good
    EXPECT_EQ(s.state(), WinStream::kGood);
    ASSERT_TRUE(s.read(b, 100, &count));
    EXPECT_EQ(std::tuple(count, s.state(), s.size()), std::tuple(0u, WinStream::kEndOfFile, 60u));
    EXPECT_FALSE(s.read(b, 1, &count));  // refused at the end until a seek
    ASSERT_TRUE(s.seek(10));
    EXPECT_EQ(s.state(), WinStream::kGood);
    ASSERT_TRUE(s.read(b, 100, &count));  // a short read moves to the end
    EXPECT_EQ(std::tuple(std::string(b, count), s.state()),
              std::tuple(content.substr(10), WinStream::kEndOfFile));
    EXPECT_TRUE(s.write("+", 1));  // writes are taken at the end
    EXPECT_EQ(s.size(), 61u);
    ASSERT_TRUE(s.seek(59));
    EXPECT_EQ(s.state(), WinStream::kGood);
    ASSERT_TRUE(s.seek(61));
    EXPECT_EQ(s.state(), WinStream::kEndOfFile);
    s.close();
    EXPECT_EQ(std::tuple(s.state(), s.handle()), std::tuple(WinStream::kClosed, -1));
    s.close();
    EXPECT_EQ(box.readFile("sixty.bin"), content + "+");

    // Write-only fails reads with a failure state until a seek.
    ASSERT_TRUE(s.open(u"w.bin", 1));
    EXPECT_FALSE(s.read(b, 4));
    EXPECT_NE(s.state(), WinStream::kGood);
    EXPECT_NE(s.state(), WinStream::kEndOfFile);
    ASSERT_TRUE(s.seek(0));
    EXPECT_TRUE(s.write("xy", 2));

    for (uint32_t code : {2u, 4u, 6u, 12u, 32u, 39u}) {
        EXPECT_EQ(WinStream::stateFromError(code), WinStream::kAccessFailed) << code;
    }
    for (uint32_t code : {0u, 1u, 3u, 5u, 8u, 31u, 80u, 112u, 183u}) {
        EXPECT_EQ(WinStream::stateFromError(code), WinStream::kFailed) << code;
    }
}

// A source of known bytes that records the reads asked of it and fails or comes up short on
// a chosen one; a sink that records the writes and can fail one.
struct Source : MemoryStream {
    explicit Source(const std::string& content)
        : MemoryStream(static_cast<uint32_t>(content.size())) {
        EXPECT_TRUE(write(content.data(), static_cast<uint32_t>(content.size())));
        seek(0);
    }
    bool read(void* buffer, uint32_t length, uint32_t* count) override {
        reads.push_back(length);
        uint32_t got = 0;
        const bool ok = reads.size() != failOn && MemoryStream::read(buffer, length, &got);
        *count = got - (reads.size() == shortOn ? 1 : 0);
        return ok;
    }
    std::vector<uint32_t> reads;
    size_t failOn = 0, shortOn = 0;
};
struct Sink : MemoryStream {
    Sink() : MemoryStream(1 << 18) {}
    bool write(const void* buffer, uint32_t length) override {
        writes.push_back(length);
        return writes.size() != failOn && MemoryStream::write(buffer, length);
    }
    std::string bytes() { return std::string(reinterpret_cast<char*>(data()), size()); }
    std::vector<uint32_t> writes;
    size_t failOn = 0;
};

TEST(GrowingMemoryStream, GrowsToItsLimitAndRemembersRefusals) {
    GrowingMemoryStream s(4, 10);
    EXPECT_TRUE(s.write("abcdefgh", 8));
    EXPECT_FALSE(s.overflowed());
    EXPECT_FALSE(s.write("ijk", 3));  // 11 bytes would pass the limit
    EXPECT_TRUE(s.overflowed());
    std::string all;
    ASSERT_TRUE(s.seek(0) && s.readAll(all));
    EXPECT_EQ(all, "abcdefgh");
    char part[4];
    uint32_t count = 0;
    ASSERT_TRUE(s.seek(5) && s.read(part, 4, &count));
    EXPECT_EQ(std::string(part, count), "fgh");
    EXPECT_FALSE(s.read(nullptr, 1, &count));
    s.clear();
    EXPECT_FALSE(s.overflowed() || s.seek(1));
    EXPECT_EQ(s.size(), 0u);
    EXPECT_TRUE(s.write("0123456789", 10));
}

TEST(StreamCopy, FourKibChunksStoppingAtTheFirstFailure) {
    const std::string content = test::patternBytes(10000);
    using Chunks = std::vector<uint32_t>;
    Source source(content);
    Sink sink;
    ASSERT_TRUE(sink.copyFrom(source, 10000));
    EXPECT_EQ(source.reads, (Chunks{4096, 4096, 1808}));
    EXPECT_EQ(sink.bytes(), content);
    EXPECT_TRUE(sink.copyFrom(source, 0));
    EXPECT_EQ(sink.writes.size(), 3u);

    Source failing(content), shortOne(content), fine(content);
    failing.failOn = 2;
    shortOne.shortOn = 2;
    Sink a, b, c;
    c.failOn = 1;
    EXPECT_FALSE(a.copyFrom(failing, 10000));
    EXPECT_EQ(a.writes, Chunks{4096});
    EXPECT_FALSE(b.copyFrom(shortOne, 10000));  // nothing stale is written
    EXPECT_EQ(b.bytes(), content.substr(0, 4096));
    EXPECT_FALSE(c.copyFrom(fine, 10000));
    EXPECT_EQ(fine.reads.size(), 1u);

    Sink zeros;
    ASSERT_TRUE(zeros.writeZeros(150000));
    EXPECT_EQ(zeros.writes, (Chunks{65536, 65536, 18928}));
    EXPECT_EQ(zeros.bytes(), std::string(150000, '\0'));
    Sink failingZeros;
    failingZeros.failOn = 2;
    EXPECT_FALSE(failingZeros.writeZeros(150000));
    EXPECT_EQ(failingZeros.writes.size(), 2u);
}

TEST(FileChecksum, FromThePositionUpToALimitStoppingAtAFailedRead) {
    const std::string bytes(600000, 'Z');
    const auto sum = [&](size_t n) { return checksumUpdate(kChecksumStart, bytes.data(), n); };
    MemoryStream empty(16);
    EXPECT_EQ(fileChecksum(empty), 0xFFFFFFFFu);
    // A memory stream takes no write past its capacity, nor bytes from nowhere.
    EXPECT_FALSE(empty.write(bytes.data(), 17) || empty.write(nullptr, 1));
    EXPECT_TRUE(empty.write(bytes.data(), 16) && empty.size() == 16);
    Source whole(bytes);
    EXPECT_EQ(fileChecksum(whole), sum(600000));
    ASSERT_TRUE(whole.seek(599000));
    EXPECT_EQ(fileChecksum(whole, 5000), sum(1000));
    Source failing(bytes);
    failing.failOn = 3;  // the third read fails: the sum of the first two
    const uint32_t got = fileChecksum(failing);
    ASSERT_EQ(failing.reads.size(), 3u);
    EXPECT_EQ(got, sum(failing.reads[0] + failing.reads[1]));
}

TEST(File, StreamsItOpens) {
    test::Sandbox box;
    File f;
    char b[4] = {};
    std::string text = "x";
    MemoryStream source(4);
    EXPECT_FALSE(f.isOpen() || f.read(b, 4) || f.write(b, 4) || f.seek(0));
    EXPECT_FALSE(f.copyFrom(source, 4) || f.writeZeros(4) || f.readAll(text));
    EXPECT_EQ(std::tuple(text, f.tell(), f.size(), f.data(), f.handle()),
              std::tuple("", 0u, 0u, nullptr, -1));

    ASSERT_TRUE(f.openMemory(32));
    EXPECT_EQ(f.data()[31], 0);
    ASSERT_TRUE(f.write("abc", 3));
    EXPECT_EQ(f.size(), 3u);
    uint32_t count = 5;
    EXPECT_FALSE(f.read(nullptr, 1, &count) || f.read(b, 0, &count));
    EXPECT_EQ(count, 5u);

    box.writeFile("in.txt", "file content");
    ASSERT_TRUE(f.open(u"in.txt", 0));
    ASSERT_NE(dynamic_cast<WinStream*>(f.stream()), nullptr);
    EXPECT_GE(f.handle(), 0);
    ASSERT_TRUE(f.readAll(text));
    EXPECT_EQ(text, "file content");
    ASSERT_TRUE(f.seek(5) && f.readAll(text));  // the rest from the position
    EXPECT_EQ(text, "content");
    EXPECT_FALSE(f.open(u"nothing.txt", 0));  // a failed open leaves it closed
    EXPECT_FALSE(f.isOpen());

    ASSERT_TRUE(f.create(u"sub\\big.bin", 2, 10000));  // zeros, then back to the start
    EXPECT_EQ(f.tell(), 0u);
    ASSERT_TRUE(f.write("head", 4));
    f.close();
    EXPECT_EQ(box.readFile("sub/big.bin"), "head" + std::string(9996, '\0'));
    EXPECT_FALSE(f.create(u"in.txt", 0, 10));  // zeros cannot be written: closed again
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(box.readFile("in.txt"), "file content");

    auto memory = std::make_unique<MemoryStream>(4);
    memory->write("wxyz", 4);
    memory->seek(0);
    f.adopt(std::move(memory));
    ASSERT_TRUE(f.read(b, 4));
    EXPECT_EQ(std::string(b, 4), "wxyz");
}

// The pack fallback is a plain function pointer; its calls are recorded here.
struct Fallback {
    static inline std::vector<std::u16string> paths;
    static inline bool answer = true;
    static std::unique_ptr<Stream> open(std::u16string_view path, int mode) {
        paths.emplace_back(path);
        if (!answer || mode != 0) {
            return nullptr;
        }
        auto stream = std::make_unique<MemoryStream>(13);
        stream->write("from the pack", 13);
        stream->seek(0);
        return stream;
    }
};

TEST(File, OpenInDataTriesTheDataFolderThenThePacks) {
    // The launcher runs in game\bin; loose data files are in ..\data.
    test::Sandbox box;
    box.writeFile("game/bin/x.xml", "beside");
    box.writeFile("game/bin/c:x.xml", "as given");
    box.writeFile("game/data/x.xml", "loose");
    box.writeFile("game/data/c:x.xml", "loose");
    fs::create_directories("game/data/dir.xml");
    fs::current_path("game/bin");
    File::setPackFallback(&Fallback::open);
    const struct {
        const char16_t* path;
        int mode;
        bool useData, answer;
        const char* content;  // nullptr: the open fails
        size_t asked;         // of the packs, so far
    } cases[] = {
        {u"x.xml", 0, true, true, "loose", 0},
        {u"x.xml", 0, false, true, "beside", 0},
        {u"c:x.xml", 0, true, true, "as given", 0},  // a colon: the path as given
        {u"ui\\x.xml", 0, true, true, "from the pack", 1},
        {u"ui\\x.xml", 0, true, false, nullptr, 2},
        {u"dir.xml", 1, true, true, nullptr, 2},  // writing never consults the packs
    };
    for (const auto& c : cases) {
        Fallback::answer = c.answer;
        File f;
        ASSERT_EQ(f.openInData(c.path, c.mode, c.useData), c.content != nullptr);
        std::string text;
        if (c.content != nullptr) {
            ASSERT_TRUE(f.readAll(text));
            EXPECT_EQ(text, c.content);
        }
        EXPECT_EQ(Fallback::paths.size(), c.asked) << text;
    }
    EXPECT_EQ(Fallback::paths.back(), u"ui\\x.xml");
    File f;
    ASSERT_TRUE(f.openInData(u"new.xml", 1));
    ASSERT_TRUE(f.write("new", 3));
    f.close();
    EXPECT_EQ(box.readFile("game/data/new.xml"), "new");
    File::setPackFallback(nullptr);
    EXPECT_FALSE(f.openInData(u"ui\\x.xml", 0));
    EXPECT_EQ(Fallback::paths.size(), 2u);
}

TEST(File, Helpers) {
    test::Sandbox box;
    box.writeFile("d/f.txt", "x");
    EXPECT_TRUE(File::isFile(u"d\\f.txt") && File::isDirectory(u"d"));
    EXPECT_FALSE(File::isFile(u"d") || File::isFile(u"nothing") || File::isDirectory(u"d\\f.txt"));
    EXPECT_TRUE(File::touch(u"new\\t.txt"));
    EXPECT_EQ(box.readFile("new/t.txt"), "");
    EXPECT_TRUE(File::touch(u"d\\f.txt"));  // an existing file keeps its bytes
    EXPECT_EQ(box.readFile("d/f.txt"), "x");

    // deleteTree empties subfolders but keeps them, so only a flat folder goes entirely.
    for (const char* f : {"top/a.txt", "top/noext", "top/sub/b.dat", "top/sub/deeper/c"}) {
        box.writeFile(f, "1");
    }
    EXPECT_FALSE(File::deleteTree(u"top"));
    for (const auto& entry : fs::recursive_directory_iterator("top")) {
        EXPECT_TRUE(entry.is_directory()) << entry.path();
    }
    EXPECT_TRUE(fs::is_directory("top/sub/deeper"));
    EXPECT_TRUE(File::deleteTree(u"top\\sub\\deeper\\"));
    EXPECT_FALSE(box.exists("top/sub/deeper"));
    EXPECT_TRUE(File::makeDirectories(u"m\\n\\f") && fs::is_directory("m/n") &&
                !fs::exists("m/n/f"));
    EXPECT_TRUE(File::makeDirectories(u"m\\n\\o", true) && fs::is_directory("m/n/o"));
}

}  // namespace
}  // namespace lume
