// The run's log file: naming, levels, the exact bytes of a line, clean-up of old logs, and
// the launch of other programs that it records.
#include <gtest/gtest.h>

#include <regex>

#include "engine/Kernel/LogWritter.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Process.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

struct LogSetup {
    explicit LogSetup(const test::Sandbox& box, int threshold = -1)
        : box(box), writer(threshold), logger(&writer) {
        writer.setEcho(false);
    }
    std::string content() const { return box.readFile(platform::nativePath(writer.path())); }
    const test::Sandbox& box;
    LogWritter writer;
    Logger logger;
};

TEST(LogWritter, FileNameLevelsAndLineFormat) {
    test::Sandbox box;
    logW_m1(u"nobody listens %d", 1);  // without a logger nothing happens
    LogSetup log(box);
    ASSERT_TRUE(log.writer.isOpen());
    EXPECT_EQ(LogWritter::instance(), &log.writer);
    const std::string name = platform::wideToUtf8(log.writer.path());
    const std::string stem = platform::wideToUtf8(platform::executableStem());
    EXPECT_TRUE(
        std::regex_match(name, std::regex("log\\\\" + stem + "[0-9]{2}-[0-9]{2}-[0-9]{2}\\.log")))
        << name;
    logW_0(u"level zero %d", 1);
    logA_1("level one");
    logA_2("level two");
    logW_m1(u"ok");
    logA_m1("narrow %s=%d", std::string("n"), 5);
    const std::string stamp = "\\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\]:";
    EXPECT_TRUE(
        std::regex_match(log.content(), std::regex(stamp + "ok\r\n" + stamp + "narrow n=5\r\n")))
        << log.content();
}

TEST(LogWritter, CleanUpDeletesOnlyLogsOlderThanAnHour) {
    test::Sandbox box;
    const platform::FileTime now = platform::currentFileTime();
    const platform::FileTime minute = 60ull * 1000 * 10000;
    const platform::FileTime wrap = (1ull << 32) * 10000;  // 2^32 ms, about 49.7 days
    // Just after the low 32 bits of the millisecond count wrap, a log written a minute
    // before the wrap is still fresh, one from two hours before is old.
    const platform::FileTime afterWrap = (((now / 10000) >> 32 << 32) + 10000) * 10000;
    const std::tuple<const char*, platform::FileTime, platform::FileTime, bool> cases[] = {
        {"fresh.log", now, now, true},
        {"59min.log", now - 59 * minute, now, true},
        {"61min.log", now - 61 * minute, now, false},
        // Equal in the low 32 bits of milliseconds to a fresh file: still old.
        {"wrapped.log", now - wrap - 10 * minute, now, false},
        {"wrapped-fresh.log", now - wrap + 10 * minute, now, false},
        {"future.log", now + 30 * minute, now, true},
        {"old.txt", now - 120 * minute, now, true},
        {"minute.log", afterWrap - minute, afterWrap, true},
        {"hours.log", afterWrap - 120 * minute, afterWrap, false}};
    for (const auto& [name, time, cleaned, kept] : cases) {
        const std::string dir = cleaned == now ? "log/" : "log2/";
        box.writeFile(dir + name, "x");
        ASSERT_TRUE(platform::setLastWriteTime(platform::utf8ToWide(dir + name), time));
    }
    LogWritter::cleanUp(u"log", now);
    LogWritter::cleanUp(u"log2", afterWrap);
    for (const auto& [name, time, cleaned, kept] : cases) {
        EXPECT_EQ(box.exists((cleaned == now ? "log/" : "log2/") + std::string(name)), kept)
            << name;
    }
}

TEST(LogWritter, UnwritableLogDirectoryDropsLines) {
    test::Sandbox box;
    box.writeFile("log", "a file where the directory should be");
    LogSetup log(box);
    EXPECT_FALSE(log.writer.isOpen());
    logW_m1(u"dropped");
    EXPECT_EQ(box.readFile("log"), "a file where the directory should be");
}

TEST(LaunchProcess, StartsAndReportsFailures) {
    test::Sandbox box;
    LogSetup log(box);  // failures reach the file as the starts do
    // How a start runs (its folder, its arguments) is the platform's; this is what is logged.
    box.writeFile("game/run.sh", "#!/bin/sh\n");
    EXPECT_TRUE(launchProcess(u"game\\run.sh run", u"game"));
    EXPECT_FALSE(launchProcess(u"game\\run.sh run", u"no-such-dir"));
    EXPECT_FALSE(launchProcess(u"missing.exe run", u""));
    EXPECT_FALSE(launchProcess(u"game\\run.sh " + std::u16string(300, u'a'), u"game"));
    const std::string content = log.content();
    for (const char* line : {"begin process:gamegame\\run.sh run\r\n",
                             "begin process:no-such-dirgame\\run.sh run error:267",
                             "begin process:missing.exe run error:2\r\n", "error:122"}) {
        EXPECT_NE(content.find(line), std::string::npos) << line << "\n" << content;
    }
}

}  // namespace
}  // namespace lume
