// The server list: which addresses are read, which zones become servers with which download
// addresses, and the order the player sees them in.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/Kernel/MessageTarget.h"
#include "platform/Text.h"
#include "serverlist/ServerListDownloader.h"
#include "tests/serverlist/ListOwner.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

using test::ListOwner;

// The game directory is "game"; the data directory beside it holds bin\srvListUrl.xml.
class ServerList : public ::testing::Test {
protected:
    void SetUp() override {
        box.writeFile("game/bin/config.ini", "");
        std::filesystem::current_path(box.path() + "/game");
    }
    void addresses(const std::string& xml) { box.writeFile("data/bin/srvListUrl.xml", xml); }

    test::Sandbox box;
    ListOwner owner;
};

const char* kList = R"(<?xml version="1.0" encoding="GBK"?>
<server>
  <patch>
    <items type="0">
      <serverItem addr="old.example" path="/old" flag="1"/>
    </items>
    <items type="0">
      <serverItem addr="p1.example" path="/game" flag="1"/>
      <serverItem addr="p2.example" path="/game2" flag="1"/>
      <serverItem addr="m1.example" path="/m1" flag="2"/>
      <serverItem addr="unused.example" path="/u" flag="7"/>
      <serverItem addr="m2.example" path="/m2" flag="2"/>
      <serverItem addr="fb.example" path="/fb" flag="3"/>
    </items>
    <items type="21">
      <serverItem addr="t.example" path="/t" flag="1"/>
    </items>
  </patch>
  <zones default="B">
    <zone name="B" type="0" outer="1" id="2" addr="10.1.1.1" port="7001" zone="1" default="5" hint="h"/>
    <zone name="A" type="0" outer="是" id="1" zone="x" default="5" new="True"/>
    <zone name="CC" type="21" outer="true" id="3" default="abc" test=""/>
    <zone name="D" type="0" outer="true" id="4"/>
    <zone name="inner" type="0" outer="0" id="5" default="0"/>
    <zone name="nogroup" type="9" outer="1" id="6" default="0"/>
    <zone name="yes" type="0" outer="yes" id="7" default="0"/>
  </zones>
  <loginSrvList>
    <loginSrv flag="0" addr="l0" port="1"/>
    <loginSrv flag="1" addr="l1" port="2"/>
    <loginSrv flag="2" addr="l2" port="3"/>
  </loginSrvList>
</server>
)";

TEST_F(ServerList, OuterModeListsOuterZonesWithTheirAddresses) {
    ServerListDownloader list(owner, owner.servers());
    EXPECT_FALSE(list.innerMode());
    ASSERT_TRUE(list.parseList(platform::utf8ToNarrow(kList)));
    EXPECT_EQ(list.defaultServer(), u"B");
    const auto& s = owner.servers();
    ASSERT_EQ(s.size(), 4u);
    // Rank 0 ("abc"), then rank 5 with the new mark first, then rank 100 (missing).
    EXPECT_EQ(s[0].name, u"CC");
    EXPECT_EQ(s[0].rank, 0);
    EXPECT_EQ(s[0].group, 1);  // type 21 -> 21 / 10 - 1
    EXPECT_TRUE(s[0].test);
    EXPECT_EQ(s[0].primaryAddress, "t.example");
    EXPECT_EQ(s[1].name, u"A");
    EXPECT_TRUE(s[1].isNew);
    EXPECT_EQ(s[1].zone, 0);  // "x" is not a number
    EXPECT_EQ(s[2].name, u"B");
    EXPECT_EQ(s[2].zone, 1);
    EXPECT_EQ(s[2].loginAddress, u"10.1.1.1");
    EXPECT_EQ(s[2].loginPort, u"7001");
    EXPECT_EQ(s[2].hint, u"h");
    EXPECT_EQ(s[3].name, u"D");
    EXPECT_EQ(s[3].rank, 100);

    // The second items group of type 0 replaced the first; the last flag 1 item is primary.
    const ServerRecord& b = s[2];
    EXPECT_EQ(b.primaryAddress, "p2.example");
    EXPECT_EQ(b.primaryPath, "/game2");
    ASSERT_EQ(b.mirrors.size(), 2u);
    EXPECT_EQ(b.mirrors[0].first, "m1.example");
    EXPECT_EQ(b.mirrors[1].second, "/m2");
    EXPECT_EQ(b.fallbackAddress, "fb.example");
    EXPECT_EQ(b.group, 0);

    ASSERT_EQ(list.loginServers(0).size(), 1u);
    EXPECT_EQ(list.loginServers(1)[0].first, u"l1");
}

TEST_F(ServerList, InnerModeListsOnlyInnerZones) {
    box.writeFile("game/bin/inner.dat", "");
    ServerListDownloader list(owner, owner.servers());
    EXPECT_TRUE(list.innerMode());
    list.parseList(platform::utf8ToNarrow(kList));
    ASSERT_EQ(owner.servers().size(), 2u);
    EXPECT_EQ(owner.servers()[0].name, u"yes");  // "yes" does not read as true
    EXPECT_EQ(owner.servers()[1].name, u"inner");
}

TEST_F(ServerList, TheLastZonesElementCounts) {
    ServerListDownloader list(owner, owner.servers());
    list.parseList(R"(<s><items type="1"><serverItem addr="a" path="/p" flag="1"/></items>
        <zones default="X"><zone name="X" type="1" outer="1"/></zones>
        <zones default="Y"><zone name="Y" type="1" outer="1"/></zones></s>)");
    ASSERT_EQ(owner.servers().size(), 1u);
    EXPECT_EQ(owner.servers()[0].name, u"Y");
    EXPECT_EQ(list.defaultServer(), u"Y");
}

TEST_F(ServerList, SortBreaksTiesByLengthThenBytes) {
    ServerRecord a, b;
    a.rank = b.rank = 3;
    a.name = u"abc";
    b.name = u"zz";
    EXPECT_TRUE(ServerListDownloader::comesBefore(b, a));
    // Equal length: the low byte of each UTF-16 unit is compared first.
    a.name = u"\u0100";
    b.name = u"\u00FF";
    EXPECT_TRUE(ServerListDownloader::comesBefore(a, b));
    EXPECT_FALSE(ServerListDownloader::comesBefore(b, a));
    EXPECT_FALSE(ServerListDownloader::comesBefore(a, a));
}

TEST_F(ServerList, AddressSlots) {
    addresses(R"(<list><url type="0" path="http://a/0.xml"/><url type="4" path="http://a/4.xml"/>
        <url type="5" path="http://bad"/><url type="-1" path="http://bad"/>
        <deep><url type="4" path="http://b/4.xml"/></deep></list>)");
    ServerListDownloader list(owner, owner.servers());
    EXPECT_EQ(list.slots()[0], u"http://a/0.xml");
    EXPECT_EQ(list.slots()[1], u"");
    EXPECT_EQ(list.slots()[4], u"http://b/4.xml");
}

TEST_F(ServerList, BrokenAddressFilesLeaveEverySlotEmpty) {
    addresses("<list><url type=\"0\" path=\"http://a/0.xml\"/><url");
    ServerListDownloader list(owner, owner.servers());
    for (const auto& slot : list.slots()) {
        EXPECT_EQ(slot, u"");
    }
    // Nothing to download from: the window is told the list failed.
    EXPECT_EQ(list.download(3), 0);
    ASSERT_EQ(owner.posted.size(), 1u);
    EXPECT_EQ(owner.posted[0].message, kMsgServerList);
    EXPECT_EQ(owner.posted[0].wParam, 0u);
}

TEST_F(ServerList, UnparsableListsKeepWhatTheyHad) {
    ServerListDownloader list(owner, owner.servers());
    list.parseList(platform::utf8ToNarrow(kList));
    EXPECT_FALSE(list.parseList("<server><zones default=\"Q\"><zone"));
    EXPECT_EQ(owner.servers().size(), 4u);
    EXPECT_FALSE(list.parseList(std::string("\0\xFF garbage", 10)));
}

}  // namespace
}  // namespace lume
