// The server list over HTTP (the order in which its addresses are tried) and the mirror
// probe (the fastest mirror wins; the fallback when none answers), on a loopback server.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/Kernel/MessageTarget.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "serverlist/ProbeWebStatusThread.h"
#include "serverlist/ServerListDownloader.h"
#include "tests/serverlist/ListOwner.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"

namespace lume {
namespace {

using test::ListOwner;

class Online : public ::testing::Test {
protected:
    void SetUp() override {
        box.writeFile("game/bin/config.ini", "");
        std::filesystem::current_path(box.path() + "/game");
        box.writeFile("www/list.xml",
                      "<server><patch><items type=\"0\"><serverItem addr=\"h\" path=\"/p\" "
                      "flag=\"1\"/></items>"
                      "</patch><zones default=\"A\"><zone name=\"A\" type=\"0\" "
                      "outer=\"1\"/></zones></server>");
        box.writeFile("www/m1/flist.xml", "<flist/>");
        box.writeFile("www/m2/flist.xml", "<flist/>");
        box.writeFile("www/fb/flist.xml", "<flist/>");
    }
    test::Sandbox box;
    test::TestHttpServer server{box.path() + "/www"};
    ListOwner owner;
};

TEST_F(Online, SlotsAreTriedStartSlotFirstThenInOrder) {
    ASSERT_TRUE(server.started());
    // Slot 3 is empty, slot 0 answers 404, slot 1 works, slot 2 is never needed.
    box.writeFile("data/bin/srvListUrl.xml",
                  "<l><url type=\"0\" path=\"" + server.url("/missing.xml") +
                      "\"/><url type=\"1\" path=\"" + server.url("/list.xml") +
                      "\"/><url type=\"2\" path=\"" + server.url("/list.xml?2") + "\"/></l>");
    ServerListDownloader list(owner, owner.servers());
    EXPECT_EQ(list.download(3), 1);
    EXPECT_EQ(server.requestCount("/missing.xml"), 1);
    EXPECT_EQ(server.requestCount("/list.xml"), 1);
    ASSERT_EQ(owner.servers().size(), 1u);
    EXPECT_EQ(list.defaultServer(), u"A");
    ASSERT_EQ(owner.posted.size(), 1u);
    EXPECT_EQ(owner.posted[0].message, kMsgServerList);
    EXPECT_EQ(owner.posted[0].wParam, 1u);

    // Every slot failing: failure posted, the servers of the last good list stay.
    server.injectForPath("/list.xml", test::FaultPlan::withStatus(500));
    const uint64_t start = platform::monotonicMs();
    EXPECT_EQ(list.download(9), 0);                     // clamped to slot 4
    EXPECT_LT(platform::monotonicMs() - start, 5000u);  // failing answers cost no time-out
    EXPECT_EQ(owner.posted.back().wParam, 0u);
    EXPECT_EQ(owner.servers().size(), 1u);
}

TEST_F(Online, TheFastestMirrorWins) {
    server.injectForPath("/m1/flist.xml", test::FaultPlan::delayHeaders(800));
    server.injectForPath("/m2/flist.xml", test::FaultPlan::delayHeaders(300));
    ServerRecord s;
    s.primaryAddress = "primary.example";
    s.primaryPath = "/game";
    s.mirrors = {{server.host(), "/m1"}, {server.host(), "/m2"}};
    s.fallbackAddress = server.host();
    s.fallbackPath = "/fb";
    auto chosen = chooseMirror(s);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->primaryHost, "primary.example");
    EXPECT_EQ(chosen->primaryPath, "/game");
    EXPECT_EQ(chosen->mirrorHost, server.host());
    EXPECT_EQ(chosen->mirrorPath, "/m2");
    EXPECT_EQ(server.requestCount("/fb/flist.xml"), 0);
}

TEST_F(Online, FailingMirrorsFallBack) {
    server.injectForPath("/m1/flist.xml", test::FaultPlan::withStatus(404));
    ServerRecord s;
    s.mirrors = {{server.host(), "/m1"}, {"127.0.0.1:1", "/nothing"}};
    s.fallbackAddress = server.host();
    s.fallbackPath = "/fb";
    auto chosen = chooseMirror(s, 1000);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->mirrorPath, "/fb");

    server.injectForPath("/fb/flist.xml", test::FaultPlan::withStatus(404));
    EXPECT_FALSE(chooseMirror(s, 1000).has_value());
}

TEST_F(Online, NoMirrorsProbeNothing) {
    ServerRecord s;
    s.primaryAddress = "p";
    s.primaryPath = "/x";
    s.fallbackAddress = server.host();
    s.fallbackPath = "/fb";
    auto chosen = chooseMirror(s);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->mirrorHost, "");
    EXPECT_EQ(server.totalRequests(), 0);
}

}  // namespace
}  // namespace lume
