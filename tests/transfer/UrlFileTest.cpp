// HTTP transfers against a loopback server: the range on the wire, status handling, every
// fault the server can inject, the file and probe transfers, and the log lines.
#include "transfer/UrlFile.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/MemoryStream.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestHttpServer.h"
#include "transfer/RangeAnswer.h"

namespace lume {
namespace {

using test::FaultPlan;

std::string contents(MemoryStream& stream) {
    return std::string(reinterpret_cast<const char*>(stream.data()), stream.size());
}

class UrlFileTest : public ::testing::Test {
protected:
    UrlFileTest() {
        box.writeFile("www/data/block.bin", bytes);
        box.writeFile("www/big.bin", test::noiseBytes(2 * 1024 * 1024 + 100, 7));
    }
    // A range of /data/block.bin into a fresh sink of capacity bytes; the bytes, or "<failed>".
    std::string range(uint32_t offset, uint32_t size, uint32_t capacity = 0) {
        MemoryStream sink(capacity ? capacity : size);
        if (!transfer.downloadRange(url("/data/block.bin"), sink, offset, size, 1000)) {
            return "<failed>";
        }
        EXPECT_EQ(sink.tell(), 0u);
        return contents(sink);
    }
    std::u16string url(std::string_view path) const { return server.wideUrl(path); }

    test::Sandbox box;
    test::LogCapture log;
    const std::string bytes = test::noiseBytes(100000);
    test::TestHttpServer server{box.path() + "/www"};
    UrlFile transfer;  // destroyed first, so the server sees its connection close
};

TEST_F(UrlFileTest, RangesOnTheWireAndIntoTheSink) {
    EXPECT_EQ(UrlFile::rangeText(4294967280u, 16), "4294967280-4294967295");
    EXPECT_EQ(range(0, 0, 16), "<failed>");  // empty or wrapping: no transfer at all
    EXPECT_EQ(range(4294967290u, 16), "<failed>");
    EXPECT_EQ(server.totalRequests(), 0);
    for (uint32_t offset : {0u, 1u, 32768u, 65536u}) {
        const uint32_t size = std::min<uint32_t>(32768, 100000 - offset);
        EXPECT_EQ(range(offset, size), bytes.substr(offset, size)) << offset;
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].range, "bytes=0-32767");
    EXPECT_EQ(requests[0].userAgent, "libcurl-agent/1.0");
    // The handle is reused; a whole transfer after a ranged one must not inherit the range.
    MemoryStream whole(200000);
    ASSERT_TRUE(transfer.downloadToStream(url("/data/block.bin"), whole, 0));
    EXPECT_EQ(contents(whole), bytes);
    EXPECT_EQ(server.requests().back().range, "");
    // Pieces of a body that do not fit a sink are dropped; the transfer still succeeds.
    MemoryStream small(1000);
    EXPECT_TRUE(transfer.downloadToStream(url("/data/block.bin"), small, 1000));
    EXPECT_LE(small.size(), 1000u);
}

TEST_F(UrlFileTest, StatusesOutsideTwoHundredFailAtOnceWithTheirLogLine) {
    for (int code : {201, 204, 299}) {  // other successes do for whole transfers
        server.injectNext(FaultPlan::withStatus(code));
        MemoryStream sink(100);
        EXPECT_TRUE(transfer.downloadToStream(url("/data/block.bin"), sink, 1000)) << code;
    }
    // They used to wait for the low-speed limit (res:28); the body is refused instead (23).
    for (int code : {404, 500, 416, 199}) {
        server.injectNext(FaultPlan::withStatus(code), 3);
        MemoryStream sink(100);
        EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 0, 16, 1000)) << code;
        EXPECT_FALSE(transfer.downloadToStream(url("/data/block.bin"), sink, 1000));
        EXPECT_FALSE(transfer.downloadToFile(url("/data/block.bin"), u"out\\file.bin", 2500));
        EXPECT_EQ(sink.size(), 0u);  // nothing of an error body
    }
    const std::string base = server.url("/data/block.bin");
    EXPECT_EQ(log.count({"res:23"}), 12u) << log.text();
    EXPECT_EQ(log.count({"-1 下载[" + base + "]出错 offset:0-15 res:23 timeout:1000"}), 4u);
    EXPECT_EQ(log.count({"-1 下载[" + base + "]出错 offset: res:23 timeout:2500"}), 4u);
    EXPECT_FALSE(log.has("res:28"));

    // A redirect is never followed.
    server.injectForPath("/data/block.bin", FaultPlan::withStatus(302, "/big.bin"));
    EXPECT_EQ(range(0, 16), "<failed>");
    EXPECT_EQ(server.requestCount("/big.bin"), 0);
    EXPECT_EQ(log.count({"res:23"}), 13u);
}

TEST_F(UrlFileTest, BrokenStalledAndSlowBodies) {
    // A body shorter than announced (18) fails; whatever arrived stays in the sink.
    server.injectNext(FaultPlan::shortBody(), 2);
    EXPECT_EQ(range(32768, 32768), "<failed>");
    MemoryStream whole(200000);
    EXPECT_FALSE(transfer.downloadToStream(url("/data/block.bin"), whole, 1000));
    EXPECT_LT(whole.size(), bytes.size());
    EXPECT_EQ(log.count({"offset:32768-65535 res:18"}), 1u) << log.text();
    // A stall ends through the low-speed limit; slow headers still succeed.
    transfer.setLowSpeedTime(1);
    server.injectNext(FaultPlan::stall(30000));
    EXPECT_EQ(range(0, 32768), "<failed>");
    EXPECT_EQ(log.count({"offset:0-32767 res:28 timeout:1000"}), 1u) << log.text();
    server.injectNext(FaultPlan::delayHeaders(300));
    EXPECT_EQ(range(1000, 1000), bytes.substr(1000, 1000));
}

// A proxy that ignores the range (200 with the whole file), compresses, or answers another
// range, a bare success status, or a range clipped at the end of the file: the answer is
// refused before a byte reaches the sink.
TEST_F(UrlFileTest, AnswersThatAreNotTheAskedRangeAreRefused) {
    for (const auto& [fault, seen] : {std::pair{FaultPlan::wholeBody(), "status 200"},
                                      {FaultPlan::otherRange(), "bytes 32769-65536/"},
                                      {FaultPlan::encoded(), "Content-Encoding 'gzip'"},
                                      {FaultPlan::withStatus(200), "status 200"},
                                      {FaultPlan::withStatus(204), "status 204"}}) {
        const size_t before = log.count({"refused the answer to", "range 32768-65535", seen});
        server.injectNext(fault);
        EXPECT_EQ(range(32768, 32768), "<failed>") << seen;
        EXPECT_EQ(log.count({"refused the answer to", "range 32768-65535", seen}), before + 1)
            << log.text();
    }
    EXPECT_EQ(range(98304, 32768), "<failed>");  // clipped by the server at the end
    EXPECT_EQ(range(98304, 1696), bytes.substr(98304));
    // The ranges a server may legitimately write: total unknown, the unit in capitals.
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-15/*", "", 0, 15), RangeAnswer::kGood);
    EXPECT_EQ(checkRangeAnswer(206, " BYTES  0-15/16 ", "identity", 0, 15), RangeAnswer::kGood);
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-15/15", "", 0, 15), RangeAnswer::kContentRange);
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-14/100", "", 0, 15), RangeAnswer::kContentRange);
    EXPECT_EQ(checkRangeAnswer(206, "", "", 0, 15), RangeAnswer::kContentRange);
    EXPECT_EQ(checkRangeAnswer(206, "items 0-15/16", "", 0, 15), RangeAnswer::kContentRange);
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-15/100", "br", 0, 15), RangeAnswer::kEncoding);
}

TEST_F(UrlFileTest, FilesProbesAndUnreachableServers) {
    ASSERT_TRUE(transfer.downloadToFile(url("/data/block.bin"), u"got\\copy.bin", 500));
    EXPECT_EQ(box.readFile("got/copy.bin"), bytes);
    box.writeFile("blocker", "a file where a folder should be");
    EXPECT_FALSE(transfer.downloadToFile(url("/data/block.bin"), u"blocker\\copy.bin", 500));
    EXPECT_EQ(server.totalRequests(), 1);  // nothing asked for a destination that cannot be

    double seconds = -1;
    ASSERT_TRUE(transfer.probe(url("/big.bin"), 1000, seconds));
    EXPECT_GT(seconds, 0.0);
    char shown[32];
    std::snprintf(shown, sizeof shown, "%g", seconds);  // six significant digits
    EXPECT_EQ(log.count({"-1 探测下载[" + server.url("/big.bin") + "]需要时间 timeout:"}), 1u);
    EXPECT_NE(log.text().find(std::string(":") + shown + "\n"), std::string::npos) << log.text();
    server.injectNext(FaultPlan::withStatus(404));
    EXPECT_FALSE(transfer.probe(url("/big.bin"), 1000, seconds));
    EXPECT_EQ(seconds, UrlFile::kProbeFailedSeconds);

    const std::u16string dead = url("/data/block.bin");
    server.stop();
    MemoryStream sink(16);
    EXPECT_FALSE(transfer.downloadRange(dead, sink, 0, 16, 500));
    EXPECT_EQ(log.count({"offset:0-15 res:7 timeout:500"}), 1u) << log.text();
}

}  // namespace
}  // namespace lume
