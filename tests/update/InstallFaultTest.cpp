// The install of a downloaded loose file under a disk that fails: whichever write, sync or
// rename fails, the file is either the old one or the new one, whole, and nothing of the
// install is left behind; the next attempt installs it.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/MakeFileWritter.h"
#include "engine/Kernel/Reporter.h"
#include "platform/FaultInjection.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestBytes.h"
#include "transfer/FileType.h"
#include "update/FileChecks.h"

namespace lume {
namespace {

class InstallFaults : public ::testing::Test {
protected:
    InstallFaults() : box(test::Sandbox::memoryBase()) {}
    ~InstallFaults() override { platform::faults::disarm(); }

    // The completion of a download whose data (stored or deflated) is complete on disk.
    bool complete(const std::string& data, const std::string& content) {
        box.writeFile("maps/m.map.gzf", data);
        box.writeFile("maps/m.map.igzf", "index");
        checks.begin(UpdateAddresses{});
        return checks.completeNow({.firstName = {},
                                   .localPath = u"maps\\m.map",
                                   .type = kTypeLoose,
                                   .zipSize = static_cast<uint32_t>(data.size()),
                                   .size = static_cast<uint32_t>(content.size()),
                                   .versionKey = test::crcOf(data)});
    }

    test::Sandbox box;
    MakeFileWritter packWriter;
    struct : Reporter {
        bool post(uint32_t, uint32_t, uint32_t) override { return true; }
    } reporter;
    FileChecks checks{packWriter, reporter};
};

TEST_F(InstallFaults, EveryFailingCallLeavesTheOldFileOrTheNewOneWhole) {
    const std::string old = "old map\n";
    const std::string content(70000, 'm');
    std::string deflated;
    ASSERT_TRUE(compressData(content, deflated));
    for (const std::string& data : {deflated, content}) {
        SCOPED_TRACE(data.size() == content.size() ? "stored" : "deflated");
        box.writeFile("maps/m.map", old);
        platform::faults::count();
        ASSERT_TRUE(complete(data, content));
        const uint64_t calls = platform::faults::calls();
        platform::faults::disarm();
        ASSERT_GE(calls, 3u);  // the data's sync, the rename, the folder's sync at least
        for (uint64_t n = 1; n <= calls; ++n) {
            for (const int err : {EIO, ENOSPC}) {
                SCOPED_TRACE("call " + std::to_string(n) + " fails with " + std::to_string(err));
                box.writeFile("maps/m.map", old);
                platform::faults::failAt(n, err);
                const bool ok = complete(data, content);
                EXPECT_NE(ok, platform::faults::injected());  // a failed sync fails it too
                platform::faults::disarm();
                const std::string now = box.readFile("maps/m.map");
                EXPECT_TRUE(now == content || (!ok && now == old));
                EXPECT_EQ(checks.writeFailures(), ok ? 0u : 1u);
                for (const char* left : {"maps/m.map.gzf", "maps/m.map.igzf", "maps/m.map.gzf.tmp",
                                         "maps/m.map.back"}) {
                    EXPECT_FALSE(box.exists(left)) << left;
                }
                // The next update downloads it again and installs it.
                ASSERT_TRUE(complete(data, content));
                EXPECT_TRUE(box.readFile("maps/m.map") == content);
            }
        }
    }
}

TEST_F(InstallFaults, AFolderWhereTheFileBelongsGoesOnlyWhenEmpty) {
    const std::string content = "the map";
    box.writeFile("maps/m.map/inside.txt", "a player's file");
    EXPECT_FALSE(complete(content, content));
    EXPECT_EQ(checks.writeFailures(), 1u);
    EXPECT_EQ(box.readFile("maps/m.map/inside.txt"), "a player's file");
    EXPECT_FALSE(box.exists("maps/m.map.back"));

    std::filesystem::remove("maps/m.map/inside.txt");
    EXPECT_TRUE(complete(content, content));
    EXPECT_EQ(box.readFile("maps/m.map"), content);
}

}  // namespace
}  // namespace lume
