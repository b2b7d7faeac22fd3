// Fetching flist.xml and sub file lists over real HTTP on loopback: the second address after
// a failed first, both failing, lists past the old 1 MiB buffer, failed attempts that leave
// partial bodies behind, and the messages that announce an arrived list.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/FileSystem/GrowingMemoryStream.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/MessageTarget.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/update/ListTestData.h"
#include "update/FileListDownloader.h"
#include "update/Messages.h"
#include "update/PatchUpdater.h"
#include "update/SubFileListDownloader.h"

namespace lume {
namespace {

class QuietLog : public Logger::Writter {
public:
    void write(int, std::u16string_view) override {}
    void write(int, std::string_view) override {}
};

class Checks : public FileListChecks {
public:
    bool checkPack(const FileListEntry& e) override { return note(e); }
    bool checkFile(const FileListEntry& e) override { return note(e); }
    bool checkMustFile(const FileListEntry& e) override { return note(e); }
    std::vector<std::u16string> seen;

private:
    bool note(const FileListEntry& e) {
        seen.push_back(e.name);
        return false;
    }
};

std::string flistWith(int files) {
    std::string s =
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<flist>\n<folder name=\"data\">\n";
    for (int i = 0; i < files; ++i) {
        s += "  <file name=\"file" + std::to_string(i) + ".dat\" crc=\"" + std::to_string(-i) +
             "\" size=\"" + std::to_string(i) + "\" zip=\"1\" zipcrc=\"2\"/>\n";
    }
    return s + "</folder>\n</flist>\n";
}

class ListDownload : public ::testing::Test {
protected:
    void SetUp() override {
        box.writeFile("www/game/flist.xml", flistWith(3));
        server = std::make_unique<test::TestHttpServer>(box.path() + "/www");
        ASSERT_TRUE(server->started());
        updater = std::make_unique<PatchUpdater>(&window, &log);
        window.drain();
    }
    void TearDown() override {
        updater.reset();
        server.reset();
    }

    std::u16string url(const std::string& path) { return server->wideUrl(path); }
    std::vector<uint32_t> posted() {
        std::vector<uint32_t> out;
        for (const PostedMessage& m : window.drain()) {
            out.push_back(m.message);
            EXPECT_EQ(m.wParam, 0u);
            EXPECT_EQ(m.lParam, 0u);
        }
        return out;
    }

    test::Sandbox box;
    QuietLog log;
    MessageQueue window;
    std::unique_ptr<test::TestHttpServer> server;
    std::unique_ptr<PatchUpdater> updater;
};

TEST_F(ListDownload, FileListArrivesParsedAndChecked) {
    FileListDownloader list(&window);
    Checks checks;
    ASSERT_TRUE(list.download(url("/game/flist.xml"), url("/game/flist.xml"), checks));
    EXPECT_EQ(posted(), std::vector<uint32_t>{kMsgFileList});
    ASSERT_EQ(list.regularList().size(), 3u);
    EXPECT_EQ(list.regularList()[2].folder, u"data");
    EXPECT_EQ(list.regularList()[2].crc, 0xFFFFFFFEu);
    EXPECT_EQ(checks.seen, (std::vector<std::u16string>{u"file0.dat", u"file1.dat", u"file2.dat"}));
    EXPECT_EQ(server->requestCount("/game/flist.xml"), 1);

    // A second download replaces the lists rather than adding to them.
    ASSERT_TRUE(list.download(url("/game/flist.xml"), url("/game/flist.xml"), checks));
    EXPECT_EQ(list.regularList().size(), 3u);
}

TEST_F(ListDownload, SecondAddressOnlyAfterTheFirstFails) {
    box.writeFile("www/back/flist.xml", flistWith(2));
    FileListDownloader list(&window);
    Checks checks;
    server->injectForPath("/game/flist.xml", test::FaultPlan::withStatus(500), 1);
    ASSERT_TRUE(list.download(url("/game/flist.xml"), url("/back/flist.xml"), checks));
    EXPECT_EQ(list.regularList().size(), 2u);
    EXPECT_EQ(server->requestCount("/game/flist.xml"), 1);
    EXPECT_EQ(server->requestCount("/back/flist.xml"), 1);

    ASSERT_TRUE(list.download(url("/missing/flist.xml"), url("/back/flist.xml"), checks));
    EXPECT_EQ(list.regularList().size(), 2u);
    EXPECT_EQ(posted(), (std::vector<uint32_t>{kMsgFileList, kMsgFileList}));
}

TEST_F(ListDownload, BothAddressesFailing) {
    FileListDownloader list(&window);
    Checks checks;
    ASSERT_TRUE(list.parseBytes(flistWith(1)));
    EXPECT_FALSE(list.download(url("/missing/flist.xml"), url("/gone/flist.xml"), checks));
    EXPECT_TRUE(posted().empty());
    EXPECT_TRUE(checks.seen.empty());
    EXPECT_EQ(server->requestCount("/missing/flist.xml"), 1);
    EXPECT_EQ(server->requestCount("/gone/flist.xml"), 1);
    // Refused connections fail the same way.
    const std::u16string closed = u"http://127.0.0.1:1/flist.xml";
    EXPECT_FALSE(list.download(closed, closed, checks));

    SubFileListDownloader sub(&window);
    EXPECT_EQ(sub.download(url("/missing/a.fxml"), closed, u"data\\a.pak"),
              SubFileListDownloader::kFailed);
    EXPECT_EQ(sub.packPath(), u"data\\a.pak");
    EXPECT_TRUE(sub.downloadItems().empty());
    EXPECT_TRUE(posted().empty());
}

TEST_F(ListDownload, ListsBeyondOneMebibyteArriveWhole) {
    const std::string big = flistWith(30000);
    ASSERT_GT(big.size(), 2u << 20);
    box.writeFile("www/game/flist.xml", big);
    FileListDownloader list(&window);
    Checks checks;
    ASSERT_TRUE(list.download(url("/game/flist.xml"), url("/game/flist.xml"), checks));
    ASSERT_EQ(list.regularList().size(), 30000u);
    EXPECT_EQ(list.regularList().back().name, u"file29999.dat");
    EXPECT_EQ(checks.seen.size(), 30000u);
}

TEST_F(ListDownload, PartialBodiesOfFailedAttemptsAreDiscarded) {
    // The update run passes the same address twice: the reset first attempt has already
    // delivered part of the document, which must not stand in front of the second copy.
    box.writeFile("www/game/flist.xml", flistWith(5000));
    for (test::FaultPlan fault : {test::FaultPlan::reset(), test::FaultPlan::shortBody()}) {
        server->injectForPath("/game/flist.xml", fault, 1);
        FileListDownloader list(&window);
        Checks checks;
        ASSERT_TRUE(list.download(url("/game/flist.xml"), url("/game/flist.xml"), checks));
        EXPECT_EQ(list.regularList().size(), 5000u);
    }
    EXPECT_EQ(server->requestCount("/game/flist.xml"), 4);
}

TEST_F(ListDownload, UnparsableFileListFailsWithNothingChecked) {
    // As an empty list it would say that nothing is out of date.
    box.writeFile("www/game/flist.xml", flistWith(3).substr(0, 200));
    FileListDownloader list(&window);
    Checks checks;
    ASSERT_TRUE(list.parseBytes(flistWith(1)));
    EXPECT_FALSE(list.download(url("/game/flist.xml"), url("/game/flist.xml"), checks));
    EXPECT_TRUE(list.regularList().empty());
    EXPECT_TRUE(checks.seen.empty());
    EXPECT_EQ(posted(), std::vector<uint32_t>{kMsgFileList});
}

TEST(GrowingMemoryStream, GrowsToItsLimitAndRemembersRefusals) {
    GrowingMemoryStream s(4, 10);
    EXPECT_TRUE(s.write("abcdefgh", 8));
    EXPECT_FALSE(s.overflowed());
    EXPECT_FALSE(s.write("ijk", 3));  // 11 bytes would pass the limit
    EXPECT_TRUE(s.overflowed());
    EXPECT_EQ(s.size(), 8u);
    ASSERT_TRUE(s.seek(0));
    std::string all;
    ASSERT_TRUE(s.readAll(all));
    EXPECT_EQ(all, "abcdefgh");
    s.clear();
    EXPECT_FALSE(s.overflowed());
    EXPECT_EQ(s.size(), 0u);
    EXPECT_FALSE(s.seek(1));
    EXPECT_TRUE(s.write("0123456789", 10));
    EXPECT_EQ(s.size(), 10u);
}

TEST_F(ListDownload, SubFileListComparedWithTheLocalPack) {
    // A download compares data crcs only, whatever the record's extra 2 and the version.
    box.writeFile("data/a.pak",
                  test::packBytes({test::rootRecord(1), test::packRecord(0x10, 0xAB),
                                   test::packRecord(0x20, 1, 0, 7), test::packRecord(0x30, 3)}));
    box.writeFile("www/game/data/a.fxml.1f",
                  "<pak name=\"a.pak\" data_crc=\"5\">"
                  "<subfile namekey=\"10\" zipcrc=\"ab\" blocksize=\"100\"/>"
                  "<subfile namekey=\"20\" zipcrc=\"2\" blocksize=\"200\" version=\"1\"/>"
                  "<subfile namekey=\"40\" zipcrc=\"4\" blocksize=\"400\"/></pak>");
    const std::u16string listUrl = url("/game/data/a.fxml.1f");

    SubFileListDownloader sub(&window);
    ASSERT_EQ(sub.download(listUrl, listUrl, u"data\\a.pak"), SubFileListDownloader::kCompared);
    EXPECT_EQ(posted(), std::vector<uint32_t>{kMsgSubFileList});
    EXPECT_EQ(sub.packName(), u"a.pak");
    ASSERT_EQ(sub.downloadItems().size(), 2u);
    EXPECT_EQ(sub.downloadItems()[0].nameKey, 0x20u);
    EXPECT_EQ(sub.downloadItems()[1].nameKey, 0x40u);
    EXPECT_EQ(sub.downloadItems()[1].startOffset, 0x200u);
    EXPECT_EQ(sub.blockSizeTotal(), 0x600u);
    ASSERT_EQ(sub.removals().size(), 1u);
    EXPECT_EQ(sub.removals()[0].nameKey, 0x30u);

    // First address failing, the second one serving.
    server->injectForPath("/game/data/a.fxml.1f", test::FaultPlan::reset(), 1);
    ASSERT_EQ(sub.download(listUrl, listUrl, u"data\\a.pak"), SubFileListDownloader::kCompared);
    EXPECT_EQ(sub.downloadItems().size(), 2u);
    EXPECT_EQ(sub.removals().size(), 1u);
    EXPECT_EQ(server->requestCount("/game/data/a.fxml.1f"), 3);
}

TEST_F(ListDownload, WithdrawnAndUnparsableSubFileLists) {
    box.writeFile("data/a.pak", test::packBytes({test::packRecord(9, 9)}));
    box.writeFile("www/w.fxml",
                  "<pak name=\"a.pak\" data_crc=\"4294967295\"><subfile namekey=\"1\"/></pak>");
    box.writeFile("www/bad.fxml", "<pak name=\"a.pak\" data_crc=\"5\"><subfile namekey=\"1\"/>");
    SubFileListDownloader sub(&window);
    EXPECT_EQ(sub.download(url("/w.fxml"), url("/w.fxml"), u"data\\a.pak"),
              SubFileListDownloader::kWithdrawn);
    EXPECT_TRUE(sub.downloadItems().empty());
    // A damaged document must not read as a list that names nothing, which would remove
    // every file of the pack.
    EXPECT_EQ(sub.download(url("/bad.fxml"), url("/bad.fxml"), u"data\\a.pak"),
              SubFileListDownloader::kFailed);
    EXPECT_TRUE(sub.removals().empty());
    EXPECT_EQ(posted(), (std::vector<uint32_t>{kMsgSubFileList, kMsgSubFileList}));
}

}  // namespace
}  // namespace lume
