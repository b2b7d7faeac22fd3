// HTTP transfers against a loopback server: the range on the wire, status handling, every
// fault the server can inject, the file and probe transfers, and the log lines.
#include "transfer/UrlFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/MemoryStream.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/RangeAnswer.h"

namespace lume {
namespace {

using Clock = std::chrono::steady_clock;
using test::FaultPlan;

std::string contents(Stream& stream) {
    std::string out(stream.size(), '\0');
    if (!out.empty()) {
        stream.seek(0);
        stream.read(out.data(), static_cast<uint32_t>(out.size()));
    }
    return out;
}

class UrlFileTest : public ::testing::Test {
protected:
    UrlFileTest() : server(box.path() + "/www") {
        box.writeFile("www/data/block.bin", bytes);
        box.writeFile("www/big.bin", test::patternBytes(2 * 1024 * 1024 + 100, 7));
    }

    std::u16string url(std::string_view path) const { return server.wideUrl(path); }

    test::Sandbox box;
    test::LogCapture log;
    const std::string bytes = test::patternBytes(100000);
    test::TestHttpServer server;
    UrlFile transfer;  // destroyed first, so the server sees its connection close
};

TEST_F(UrlFileTest, RangeTextIsFirstAndLastByteInclusive) {
    EXPECT_EQ(UrlFile::rangeText(0, 16), "0-15");
    EXPECT_EQ(UrlFile::rangeText(32768, 32768), "32768-65535");
    EXPECT_EQ(UrlFile::rangeText(4294967280u, 16), "4294967280-4294967295");

    MemoryStream sink(16);
    ASSERT_TRUE(transfer.downloadRange(url("/data/block.bin"), sink, 0, 16, 1000));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/data/block.bin");
    EXPECT_EQ(requests[0].range, "bytes=0-15");
    EXPECT_EQ(requests[0].userAgent, "libcurl-agent/1.0");
}

TEST_F(UrlFileTest, RangeLandsInTheStreamPositionedAtZero) {
    for (uint32_t offset : {0u, 1u, 32768u, 65536u}) {
        const uint32_t size =
            std::min<uint32_t>(32768, static_cast<uint32_t>(bytes.size()) - offset);
        MemoryStream sink(size);
        ASSERT_TRUE(transfer.downloadRange(url("/data/block.bin"), sink, offset, size, 1000));
        EXPECT_EQ(sink.tell(), 0u);
        EXPECT_EQ(contents(sink), bytes.substr(offset, size)) << offset;
    }
    // One handle, one connection, kept alive across the transfers.
    EXPECT_EQ(server.requestCount("/data/block.bin"), 4);
}

// The handle is reused; a whole transfer after a ranged one must not inherit the range.
TEST_F(UrlFileTest, WholeTransferAfterARangeIsWhole) {
    MemoryStream part(16);
    ASSERT_TRUE(transfer.downloadRange(url("/data/block.bin"), part, 65536, 16, 1000));
    MemoryStream whole(200000);
    ASSERT_TRUE(transfer.downloadToStream(url("/data/block.bin"), whole, 0));
    EXPECT_EQ(contents(whole), bytes);
    EXPECT_EQ(server.requests().back().range, "");
}

TEST_F(UrlFileTest, EmptyOrWrappingRangesAreRefusedWithoutATransfer) {
    MemoryStream sink(16);
    EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 0, 0, 1000));
    EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 4294967290u, 16, 1000));
    EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(UrlFileTest, SuccessStatusesAreAccepted) {
    MemoryStream whole(200000);
    EXPECT_TRUE(transfer.downloadToStream(url("/data/block.bin"), whole, 1000));  // 200
    EXPECT_EQ(contents(whole), bytes);

    MemoryStream part(100);
    EXPECT_TRUE(transfer.downloadRange(url("/data/block.bin"), part, 50, 100, 1000));  // 206
    EXPECT_EQ(contents(part), bytes.substr(50, 100));

    // Other 2xx statuses do for whole transfers, not for ranges (below).
    for (int code : {201, 204, 299}) {
        server.injectNext(FaultPlan::withStatus(code));
        MemoryStream sink(100);
        EXPECT_TRUE(transfer.downloadToStream(url("/data/block.bin"), sink, 1000)) << code;
    }
}

// A proxy that ignores the range (200 with the whole file), compresses, or answers another
// range, or a bare success status: the answer is refused before a byte reaches the sink.
TEST_F(UrlFileTest, AnswersThatAreNotTheAskedRangeAreRefused) {
    struct Case {
        const char* name;
        FaultPlan fault;
        const char* seen;
    };
    for (const Case& c : {Case{"whole", FaultPlan::wholeBody(), "status 200"},
                          Case{"other range", FaultPlan::otherRange(), "bytes 32769-65536/"},
                          Case{"gzip", FaultPlan::encoded(), "Content-Encoding 'gzip'"},
                          Case{"200", FaultPlan::withStatus(200), "status 200"},
                          Case{"204", FaultPlan::withStatus(204), "status 204"}}) {
        SCOPED_TRACE(c.name);
        const size_t before = log.matching({"refused the answer to"}).size();
        server.injectNext(c.fault);
        MemoryStream sink(32768);
        EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 32768, 32768, 1000));
        EXPECT_EQ(sink.size(), 0u);
        const auto refusals = log.matching({"refused the answer to", "range 32768-65535"});
        ASSERT_EQ(refusals.size(), before + 1) << log.text();
        EXPECT_NE(refusals.back().find(c.seen), std::string::npos) << refusals.back();
    }
    // The ranges a server may legitimately write: total unknown, the unit in capitals.
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-15/*", "", 0, 15), RangeAnswer::kGood);
    EXPECT_EQ(checkRangeAnswer(206, " BYTES  0-15/16 ", "identity", 0, 15), RangeAnswer::kGood);
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-15/15", "", 0, 15), RangeAnswer::kContentRange);
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-14/100", "", 0, 15), RangeAnswer::kContentRange);
    EXPECT_EQ(checkRangeAnswer(206, "", "", 0, 15), RangeAnswer::kContentRange);
    EXPECT_EQ(checkRangeAnswer(206, "bytes 0-15/100", "br", 0, 15), RangeAnswer::kEncoding);
}

// A status outside 200-299 ends the transfer at once (it used to wait for the low-speed
// limit), with the same false result and log line.
TEST_F(UrlFileTest, ErrorStatusesFailAtOnceWithTheirLogLine) {
    // Should a transfer hang on (as a paused one would), this ends it and the test fails.
    const auto began = Clock::now();
    transfer.setProgressHook([began](double, double) { return test::secondsSince(began) > 20; });
    for (int code : {404, 500, 416, 199}) {
        SCOPED_TRACE(code);
        server.injectNext(FaultPlan::withStatus(code), 3);
        const auto start = Clock::now();
        MemoryStream sink(100);
        EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 0, 16, 1000));
        EXPECT_FALSE(transfer.downloadToStream(url("/data/block.bin"), sink, 1000));
        EXPECT_FALSE(transfer.downloadToFile(url("/data/block.bin"), u"out\\file.bin", 2500));
        const double seconds = test::secondsSince(start);
        EXPECT_LT(seconds, 5.0);
        std::printf("[ figure   ] three transfers answered %d failed in %.3f s\n", code, seconds);
    }
    const std::string base = server.url("/data/block.bin");
    EXPECT_EQ(log.matching({"res:23"}).size(), 12u) << log.text();
    EXPECT_EQ(log.matching({"-1 下载[" + base + "]出错 offset:0-15 res:23 timeout:1000"}).size(),
              4u)
        << log.text();
    EXPECT_EQ(log.matching({"-1 下载[" + base + "]出错 offset: res:23 timeout:2500"}).size(), 4u)
        << log.text();
    // Nothing of an error body reaches the sink.
    MemoryStream sink(100);
    server.injectNext(FaultPlan::withStatus(500));
    EXPECT_FALSE(transfer.downloadToStream(url("/data/block.bin"), sink, 1000));
    EXPECT_EQ(sink.size(), 0u);
}

TEST_F(UrlFileTest, RedirectIsNeverFollowed) {
    server.injectForPath("/data/block.bin", FaultPlan::withStatus(302, "/big.bin"));
    MemoryStream sink(100);
    const auto start = Clock::now();
    EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 0, 16, 1000));
    EXPECT_FALSE(transfer.downloadToStream(url("/data/block.bin"), sink, 1000));
    EXPECT_LT(test::secondsSince(start), 5.0);
    EXPECT_EQ(server.requestCount("/data/block.bin"), 2);
    EXPECT_EQ(server.requestCount("/big.bin"), 0);
    EXPECT_EQ(log.matching({"res:23"}).size(), 2u) << log.text();
}

TEST_F(UrlFileTest, BrokenBodiesFail) {
    struct Case {
        const char* name;
        FaultPlan fault;
    };
    for (const Case& c :
         {Case{"reset", FaultPlan::reset()}, Case{"short", FaultPlan::shortBody()}}) {
        SCOPED_TRACE(c.name);
        server.injectNext(c.fault);
        MemoryStream sink(32768);
        EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 32768, 32768, 1000));
        server.injectNext(c.fault);
        MemoryStream whole(200000);
        EXPECT_FALSE(transfer.downloadToStream(url("/data/block.bin"), whole, 1000));
        // Whatever arrived before the break stays in the sink.
        EXPECT_LT(whole.size(), bytes.size());
    }
    // 56: the reset; 18: a body shorter than announced.
    EXPECT_EQ(log.matching({"offset:32768-65535 res:56"}).size(), 1u) << log.text();
    EXPECT_EQ(log.matching({"offset:32768-65535 res:18"}).size(), 1u) << log.text();
    // The same handle works again afterwards.
    MemoryStream sink(16);
    EXPECT_TRUE(transfer.downloadRange(url("/data/block.bin"), sink, 0, 16, 1000));
}

TEST_F(UrlFileTest, StallEndsThroughTheLowSpeedLimit) {
    transfer.setLowSpeedTime(1);
    server.injectNext(FaultPlan::stall(30000));
    MemoryStream sink(32768);
    const auto start = Clock::now();
    EXPECT_FALSE(transfer.downloadRange(url("/data/block.bin"), sink, 0, 32768, 1000));
    const double seconds = test::secondsSince(start);
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(log.matching({"offset:0-32767 res:28 timeout:1000"}).size(), 1u) << log.text();
}

TEST_F(UrlFileTest, SlowHeadersStillSucceed) {
    server.injectNext(FaultPlan::delayHeaders(300));
    MemoryStream sink(1000);
    EXPECT_TRUE(transfer.downloadRange(url("/data/block.bin"), sink, 1000, 1000, 1000));
    EXPECT_EQ(contents(sink), bytes.substr(1000, 1000));
}

TEST_F(UrlFileTest, SmallSinkDropsTheExcess) {
    // Pieces of the body that do not fit are dropped whole; the transfer still succeeds.
    MemoryStream sink(1000);
    EXPECT_TRUE(transfer.downloadToStream(url("/data/block.bin"), sink, 1000));
    EXPECT_LE(sink.size(), 1000u);
}

TEST_F(UrlFileTest, UnreachableServerFailsWithItsResult) {
    const std::u16string dead = url("/data/block.bin");
    server.stop();
    MemoryStream sink(16);
    EXPECT_FALSE(transfer.downloadRange(dead, sink, 0, 16, 500));
    EXPECT_EQ(log.matching({"offset:0-15 res:7 timeout:500"}).size(), 1u) << log.text();
}

TEST_F(UrlFileTest, DownloadToFileWritesTheWholeResource) {
    ASSERT_TRUE(transfer.downloadToFile(url("/data/block.bin"), u"got\\copy.bin", 500));
    EXPECT_EQ(box.readFile("got/copy.bin"), bytes);
}

TEST_F(UrlFileTest, DownloadToFileFailsWhenTheDestinationCannotBeCreated) {
    box.writeFile("blocker", "a file where a folder should be");
    EXPECT_FALSE(transfer.downloadToFile(url("/data/block.bin"), u"blocker\\copy.bin", 500));
    EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(UrlFileTest, ProbeTimesTheWholeTransfer) {
    double seconds = -1;
    ASSERT_TRUE(transfer.probe(url("/big.bin"), 1000, seconds));
    EXPECT_GT(seconds, 0.0);
    EXPECT_LT(seconds, 5.0);
    const auto lines =
        log.matching({"-1 探测下载[" + server.url("/big.bin") + "]需要时间 timeout:"});
    ASSERT_EQ(lines.size(), 1u) << log.text();
    char shown[32];
    std::snprintf(shown, sizeof shown, "%g", seconds);  // six significant digits
    EXPECT_EQ(lines[0].substr(lines[0].rfind(':') + 1), shown);

    server.injectNext(FaultPlan::withStatus(404));
    seconds = -1;
    EXPECT_FALSE(transfer.probe(url("/big.bin"), 1000, seconds));
    EXPECT_EQ(seconds, UrlFile::kProbeFailedSeconds);
}

}  // namespace
}  // namespace lume
