// The server list: which addresses are read, which zones become servers with which download
// addresses and in which order, the order in which the list's addresses are tried over HTTP,
// and the mirror probe (the fastest mirror wins; the fallback when none answers).
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/Kernel/MessageTarget.h"
#include "platform/Text.h"
#include "serverlist/ProbeWebStatusThread.h"
#include "serverlist/ServerListDownloader.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"

namespace lume {
namespace {

// What the list reports to: the servers it fills in, and the results it posts.
struct Owner : MessageTarget {
    bool post(uint32_t m, uint32_t w, uint32_t) override {
        posted.push_back(m == kMsgServerList ? w : 99);
        return true;
    }
    std::vector<ServerRecord>& servers() { return list; }
    std::vector<uint32_t> posted;
    std::vector<ServerRecord> list;
};

// The game directory is "game"; the data directory beside it holds bin\srvListUrl.xml.
class ServerList : public ::testing::Test {
protected:
    void SetUp() override {
        box.writeFile("game/bin/config.ini", "");
        std::filesystem::current_path(box.path() + "/game");
    }
    void addresses(const std::string& xml) { box.writeFile("data/bin/srvListUrl.xml", xml); }

    test::Sandbox box;
    Owner owner;
};

const char* kList = R"(<?xml version="1.0" encoding="GBK"?>
<server><patch>
  <items type="0"><serverItem addr="old.example" path="/old" flag="1"/></items>
  <items type="0">
    <serverItem addr="p1.example" path="/game" flag="1"/><serverItem addr="p2.example" path="/game2" flag="1"/>
    <serverItem addr="m1.example" path="/m1" flag="2"/><serverItem addr="unused.example" path="/u" flag="7"/>
    <serverItem addr="m2.example" path="/m2" flag="2"/><serverItem addr="fb.example" path="/fb" flag="3"/>
  </items>
  <items type="21"><serverItem addr="t.example" path="/t" flag="1"/></items>
</patch><zones default="B">
  <zone name="B" type="0" outer="1" id="2" addr="10.1.1.1" port="7001" zone="1" default="5" hint="h"/>
  <zone name="A" type="0" outer="是" id="1" zone="x" default="5" new="True"/>
  <zone name="CC" type="21" outer="true" id="3" default="abc" test=""/>
  <zone name="D" type="0" outer="true" id="4"/>
  <zone name="inner" type="0" outer="0" id="5" default="0"/>
  <zone name="nogroup" type="9" outer="1" id="6" default="0"/>
  <zone name="yes" type="0" outer="yes" id="7" default="0"/>
</zones><loginSrvList>
  <loginSrv flag="0" addr="l0" port="1"/><loginSrv flag="1" addr="l1" port="2"/><loginSrv flag="2" addr="l2" port="3"/>
</loginSrvList></server>)";

TEST_F(ServerList, OuterZonesWithTheirAddressesInTheirOrder) {
    ServerListDownloader list(owner, owner.servers());
    EXPECT_FALSE(list.innerMode());
    ASSERT_TRUE(list.parseList(platform::utf8ToNarrow(kList)));
    EXPECT_EQ(list.defaultServer(), u"B");
    const auto& s = owner.servers();
    ASSERT_EQ(s.size(), 4u);
    // Rank 0 ("abc"), then rank 5 with the new mark first, then rank 100 (missing).
    const auto shown = [](const ServerRecord& r) {
        return platform::wideToUtf8(r.name) + " " + std::to_string(r.rank) + " " +
               std::to_string(r.group) + " " + std::to_string(r.zone) + " " +
               (r.isNew ? "new " : "") + (r.test ? "test " : "") + r.primaryAddress + r.primaryPath;
    };
    EXPECT_EQ(shown(s[0]), "CC 0 1 0 test t.example/t");     // type 21 -> group 21 / 10 - 1
    EXPECT_EQ(shown(s[1]), "A 5 0 0 new p2.example/game2");  // "x" is not a number
    EXPECT_EQ(shown(s[2]), "B 5 0 1 p2.example/game2");
    EXPECT_EQ(shown(s[3]), "D 100 0 0 p2.example/game2");
    // The second items group of type 0 replaced the first; the last flag 1 item is primary.
    const ServerRecord& b = s[2];
    EXPECT_EQ(b.loginAddress + u":" + b.loginPort + u" " + b.hint, u"10.1.1.1:7001 h");
    EXPECT_EQ(b.mirrors, (std::vector<std::pair<std::string, std::string>>{{"m1.example", "/m1"},
                                                                           {"m2.example", "/m2"}}));
    EXPECT_EQ(b.fallbackAddress, "fb.example");
    ASSERT_EQ(list.loginServers(0).size(), 1u);
    EXPECT_EQ(list.loginServers(1)[0].first, u"l1");
    // Unparsable lists keep what they had.
    EXPECT_FALSE(list.parseList("<server><zones default=\"Q\"><zone"));
    EXPECT_FALSE(list.parseList(std::string("\0\xFF garbage", 10)));
    EXPECT_EQ(owner.servers().size(), 4u);
    // The last zones element counts.
    list.parseList(R"(<s><items type="1"><serverItem addr="a" path="/p" flag="1"/></items>
        <zones default="X"><zone name="X" type="1" outer="1"/></zones>
        <zones default="Y"><zone name="Y" type="1" outer="1"/></zones></s>)");
    ASSERT_EQ(owner.servers().size(), 1u);
    EXPECT_EQ(std::tuple(owner.servers()[0].name, list.defaultServer()), std::tuple(u"Y", u"Y"));

    // Inner mode lists only inner zones; "yes" does not read as true.
    box.writeFile("game/bin/inner.dat", "");
    ServerListDownloader inner(owner, owner.servers());
    EXPECT_TRUE(inner.innerMode());
    inner.parseList(platform::utf8ToNarrow(kList));
    ASSERT_EQ(owner.servers().size(), 2u);
    EXPECT_EQ(owner.servers()[0].name, u"yes");
    EXPECT_EQ(owner.servers()[1].name, u"inner");
}

TEST_F(ServerList, SortBreaksTiesByLengthThenBytes) {
    ServerRecord a, b;
    a.rank = b.rank = 3;
    a.name = u"abc";
    b.name = u"zz";
    EXPECT_TRUE(ServerListDownloader::comesBefore(b, a));
    a.name = u"\u0100";  // equal length: the low byte of each UTF-16 unit first
    b.name = u"\u00FF";
    EXPECT_TRUE(ServerListDownloader::comesBefore(a, b));
    EXPECT_FALSE(ServerListDownloader::comesBefore(b, a) ||
                 ServerListDownloader::comesBefore(a, a));
}

TEST_F(ServerList, AddressSlotsAndTheOrderTheyAreTried) {
    addresses(R"(<list><url type="0" path="http://a/0.xml"/><url type="4" path="http://a/4.xml"/>
        <url type="5" path="http://bad"/><url type="-1" path="http://bad"/>
        <deep><url type="4" path="http://b/4.xml"/></deep></list>)");
    EXPECT_EQ(ServerListDownloader(owner, owner.servers()).slots(),
              (std::array<std::u16string, 5>{u"http://a/0.xml", u"", u"", u"", u"http://b/4.xml"}));
    // A broken address file leaves every slot empty, and the window is told the list failed.
    addresses("<list><url type=\"0\" path=\"http://a/0.xml\"/><url");
    ServerListDownloader broken(owner, owner.servers());
    EXPECT_EQ(broken.slots(), (std::array<std::u16string, 5>{}));
    EXPECT_EQ(broken.download(3), 0);
    EXPECT_EQ(owner.posted, std::vector<uint32_t>{0});

    // Slot 3 empty, slot 0 answers 404, slot 1 works, slot 2 is never needed.
    test::TestHttpServer server(box.path() + "/www");
    box.writeFile("www/list.xml",
                  "<server><patch><items type=\"0\"><serverItem addr=\"h\" path=\"/p\" flag=\"1\"/>"
                  "</items></patch><zones default=\"A\"><zone name=\"A\" type=\"0\" outer=\"1\"/>"
                  "</zones></server>");
    addresses("<l><url type=\"0\" path=\"" + server.url("/missing.xml") +
              "\"/><url type=\"1\" path=\"" + server.url("/list.xml") +
              "\"/><url type=\"2\" path=\"" + server.url("/list.xml?2") + "\"/></l>");
    ServerListDownloader list(owner, owner.servers());
    EXPECT_EQ(list.download(3), 1);
    EXPECT_EQ(server.requestCount("/missing.xml") + server.requestCount("/list.xml"), 2);
    EXPECT_EQ(owner.servers().size(), 1u);
    EXPECT_EQ(list.defaultServer(), u"A");
    // Every slot failing (a start past the last is clamped): a failure, the servers stay.
    server.injectForPath("/list.xml", test::FaultPlan::withStatus(500));
    EXPECT_EQ(list.download(9), 0);
    EXPECT_EQ(owner.posted, (std::vector<uint32_t>{0, 1, 0}));
    EXPECT_EQ(owner.servers().size(), 1u);
}

TEST_F(ServerList, TheFastestMirrorWinsElseTheFallback) {
    test::TestHttpServer server(box.path() + "/www");
    for (const char* dir : {"m1", "m2", "fb"}) {
        box.writeFile("www/" + std::string(dir) + "/flist.xml", "<flist/>");
    }
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
    EXPECT_EQ(
        chosen->primaryHost + chosen->primaryPath + " " + chosen->mirrorHost + chosen->mirrorPath,
        "primary.example/game " + server.host() + "/m2");
    EXPECT_EQ(server.requestCount("/fb/flist.xml"), 0);
    // Failing mirrors fall back; a failing fallback too is no choice at all.
    server.injectForPath("/m1/flist.xml", test::FaultPlan::withStatus(404));
    s.mirrors = {{server.host(), "/m1"}, {"127.0.0.1:1", "/nothing"}};
    ASSERT_TRUE((chosen = chooseMirror(s, 1000)).has_value());
    EXPECT_EQ(chosen->mirrorPath, "/fb");
    server.injectForPath("/fb/flist.xml", test::FaultPlan::withStatus(404));
    EXPECT_FALSE(chooseMirror(s, 1000).has_value());
    // No mirrors: nothing is probed.
    s.mirrors.clear();
    const int before = server.totalRequests();
    ASSERT_TRUE((chosen = chooseMirror(s)).has_value());
    EXPECT_EQ(chosen->mirrorHost, "");
    EXPECT_EQ(server.totalRequests(), before);
}

}  // namespace
}  // namespace lume
