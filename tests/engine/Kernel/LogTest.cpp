// The run's log file: naming, levels, the exact bytes of a line, clean-up of old logs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <thread>
#include <vector>

#include "engine/Kernel/LogWritter.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Process.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

std::string readAll(const test::Sandbox& box, const std::u16string& path) {
    std::string native = platform::nativePath(path);
    return box.readFile(native);
}

struct LogSetup {
    explicit LogSetup(int threshold = -1) : writer(threshold), logger(&writer) {
        writer.setEcho(false);
    }
    LogWritter writer;
    Logger logger;
};

TEST(LogWritter, NamesTheFileAfterProgramAndTime) {
    test::Sandbox box;
    LogSetup log;
    ASSERT_TRUE(log.writer.isOpen());
    const std::string name = platform::wideToUtf8(log.writer.path());
    const std::string stem = platform::wideToUtf8(platform::executableStem());
    EXPECT_TRUE(
        std::regex_match(name, std::regex("log\\\\" + stem + "[0-9]{2}-[0-9]{2}-[0-9]{2}\\.log")))
        << name;
    EXPECT_TRUE(box.exists(platform::nativePath(log.writer.path())));
    EXPECT_EQ(LogWritter::instance(), &log.writer);
}

TEST(LogWritter, OnlyLevelsAtTheThresholdReachTheFile) {
    test::Sandbox box;
    LogSetup log;
    logW_0(u"level zero %d", 1);
    logA_1("level one");
    logA_2("level two");
    logW_m1(u"ok");
    logA_m1("narrow %s=%d", std::string("n"), 5);
    const std::string content = readAll(box, log.writer.path());
    std::regex line(
        "\\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\]:ok\r\n\\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\]:narrow n=5\r\n");
    EXPECT_TRUE(std::regex_match(content, line)) << content;
}

TEST(LogWritter, ChineseLineBytesInTheCodePage) {
    test::Sandbox box;
    LogSetup log;
    logW_m1(u"更新进度:%d%%", 50);
    logA_m1("timeout时间: retryTimes:%d %d", 30000, 5);
    const std::string content = readAll(box, log.writer.path());
    ASSERT_GE(content.size(), 12u);
    std::string expected;
    if (platform::codePage() == "UTF-8") {
        expected = "\xE6\x9B\xB4\xE6\x96\xB0\xE8\xBF\x9B\xE5\xBA\xA6:50%\r\n";
    } else {
        ASSERT_EQ(platform::codePage(), "GBK");
        expected = "\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8:50%\r\n";
    }
    // "[HH:MM:SS]:" is 11 bytes.
    EXPECT_EQ(content.substr(11, expected.size()), expected);
    const std::string second = content.substr(11 + expected.size());
    EXPECT_EQ(second.substr(11),
              platform::utf8ToNarrow("timeout时间: retryTimes:30000 5") + "\r\n");
}

TEST(LogWritter, EachRunStartsEmpty) {
    test::Sandbox box;
    std::u16string path;
    {
        LogSetup log;
        path = log.writer.path();
    }
    // An earlier run of the same second of another day left a long file behind.
    box.writeFile(platform::nativePath(path), std::string(5000, 'z'));
    for (int attempt = 0; attempt < 5; ++attempt) {
        LogSetup log;
        if (log.writer.path() != path) {
            continue;  // the clock moved on; the same name is needed for this check
        }
        logW_m1(u"fresh");
        const std::string content = readAll(box, path);
        EXPECT_EQ(content.find('z'), std::string::npos);
        EXPECT_EQ(content.size(), 11u + 5u + 2u);
        return;
    }
    GTEST_SKIP() << "could not open the same log name twice in a row";
}

TEST(LogWritter, CleanUpDeletesOnlyLogsOlderThanAnHour) {
    test::Sandbox box;
    const platform::FileTime now = platform::currentFileTime();
    const platform::FileTime minute = 60ull * 1000 * 10000;
    const platform::FileTime wrap = (1ull << 32) * 10000;  // 2^32 ms, about 49.7 days
    struct Case {
        const char* name;
        platform::FileTime time;
        bool kept;
    } cases[] = {
        {"fresh.log", now, true},
        {"59min.log", now - 59 * minute, true},
        {"61min.log", now - 61 * minute, false},
        {"week.log", now - 7 * 24 * 60 * minute, false},
        // Equal in the low 32 bits of milliseconds to a fresh file: still old.
        {"wrapped.log", now - wrap - 10 * minute, false},
        {"wrapped-fresh.log", now - wrap + 10 * minute, false},
        {"future.log", now + 30 * minute, true},
        {"old.txt", now - 120 * minute, true},
    };
    for (const auto& c : cases) {
        box.writeFile(std::string("log/") + c.name, "x");
        ASSERT_TRUE(platform::setLastWriteTime(u"log\\" + platform::utf8ToWide(c.name), c.time));
    }
    LogWritter::cleanUp(u"log", now);
    for (const auto& c : cases) {
        EXPECT_EQ(box.exists(std::string("log/") + c.name), c.kept) << c.name;
    }

    // Just after the low 32 bits of the millisecond count wrap, a log written a minute
    // earlier (before the wrap) is still fresh, and one from two hours before is old.
    const uint64_t wrapMs = ((now / 10000) >> 32 << 32) + 10000;
    const platform::FileTime afterWrap = wrapMs * 10000;
    box.writeFile("log2/minute.log", "x");
    box.writeFile("log2/hours.log", "x");
    ASSERT_TRUE(platform::setLastWriteTime(u"log2\\minute.log", afterWrap - minute));
    ASSERT_TRUE(platform::setLastWriteTime(u"log2\\hours.log", afterWrap - 120 * minute));
    LogWritter::cleanUp(u"log2", afterWrap);
    EXPECT_TRUE(box.exists("log2/minute.log"));
    EXPECT_FALSE(box.exists("log2/hours.log"));
}

TEST(LogWritter, UnwritableLogDirectoryDropsLines) {
    test::Sandbox box;
    box.writeFile("log", "a file where the directory should be");
    LogSetup log;
    EXPECT_FALSE(log.writer.isOpen());
    logW_m1(u"dropped");
    logA_m1("dropped too");
    EXPECT_EQ(box.readFile("log"), "a file where the directory should be");
}

TEST(Logger, NothingHappensWithoutALogger) {
    test::Sandbox box;
    EXPECT_EQ(Logger::instance(), nullptr);
    logW_m1(u"nobody listens %d", 1);
    Logger detached(nullptr);
    logW_m1(u"no writer");
    SUCCEED();
}

TEST(LogWritter, LinesFromManyThreadsNeverInterleave) {
    test::Sandbox box;
    LogSetup log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                logW_m1(u"thread %d line %d %s", t, i, u"payload payload payload");
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const std::string content = readAll(box, log.writer.path());
    std::regex line("\\[[0-9:]{8}\\]:thread [0-3] line [0-9]+ payload payload payload\r");
    size_t start = 0;
    int lines = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(std::regex_match(content.substr(start, end - start), line));
        start = end + 1;
        ++lines;
    }
    EXPECT_EQ(lines, 800);
}

TEST(LaunchProcess, StartsAndReportsFailures) {
    test::Sandbox box;
    LogSetup log(-1);  // failures reach the file as the starts do
    box.writeFile("game/run.sh", "#!/bin/sh\npwd > started.txt\necho \"$1\" >> started.txt\n");
    ASSERT_EQ(chmod((box.path() + "/game/run.sh").c_str(), 0755), 0);

    EXPECT_TRUE(launchProcess(u"game\\run.sh run", u"game"));
    std::string started;
    for (int i = 0; i < 500 && started.find("run\n") == std::string::npos; ++i) {
        platform::sleepMs(10);
        started = box.readFile("game/started.txt");
    }
    EXPECT_EQ(started, box.path() + "/game\nrun\n");

    EXPECT_FALSE(launchProcess(u"game\\run.sh run", u"no-such-dir"));
    EXPECT_FALSE(launchProcess(u"missing.exe run", u""));
    std::u16string longLine = u"game\\run.sh " + std::u16string(300, u'a');
    EXPECT_FALSE(launchProcess(longLine, u"game"));

    const std::string content = readAll(box, log.writer.path());
    EXPECT_NE(content.find("begin process:gamegame\\run.sh run\r\n"), std::string::npos) << content;
    EXPECT_NE(content.find("begin process:no-such-dirgame\\run.sh run error:267"),
              std::string::npos);
    EXPECT_NE(content.find("begin process:missing.exe run error:2\r\n"), std::string::npos);
    EXPECT_NE(content.find("error:122"), std::string::npos);
}

}  // namespace
}  // namespace lume
