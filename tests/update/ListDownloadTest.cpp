// Fetching flist.xml and sub file lists over HTTP on loopback: the second address only after
// a failed first, lists past the old 1 MiB buffer, failed attempts that leave partial bodies
// behind, and the messages that announce an arrived list.
#include <gtest/gtest.h>

#include "engine/Kernel/MessageTarget.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestHttpServer.h"
#include "tests/update/UpdateTestData.h"
#include "update/FileListDownloader.h"
#include "update/SubFileListDownloader.h"

namespace lume {
namespace {

// Checks that count the names they see and find everything current.
struct Seen : FileListChecks {
    bool checkPack(const FileListEntry&) override { return ++count < 0; }
    bool checkFile(const FileListEntry&) override { return ++count < 0; }
    bool checkMustFile(const FileListEntry&) override { return ++count < 0; }
    int count = 0;
};

TEST(ListDownload, FileListsSubFileListsAndTheirMessages) {
    test::Sandbox box;
    std::string big = "<flist>\n<folder name=\"data\">\n";
    for (int i = 0; i < 30000; ++i) {
        big += "  <file name=\"file" + std::to_string(i) + ".dat\" crc=\"" + std::to_string(-i) +
               "\" size=\"" + std::to_string(i) + "\" zip=\"1\" zipcrc=\"2\"/>\n";
    }
    big += "</folder>\n</flist>\n";
    ASSERT_GT(big.size(), 2u << 20);
    box.writeFile("www/game/flist.xml", big);
    test::LogCapture log;
    MessageQueue window;
    test::TestHttpServer server(box.path() + "/www");
    const auto url = [&](const std::string& path) { return server.wideUrl(path); };
    FileListDownloader list(&window);
    Seen seen;
    ASSERT_TRUE(list.download(url("/game/flist.xml"), url("/back/flist.xml"), seen));
    ASSERT_EQ(list.regularList().size(), 30000u);
    EXPECT_EQ(list.regularList().back().name, u"file29999.dat");
    EXPECT_EQ(list.regularList()[2].crc, 0xFFFFFFFEu);
    EXPECT_EQ(seen.count, 30000);
    EXPECT_EQ(server.requestCount("/back/flist.xml"), 0);
    // The update run passes the same address twice: a first attempt that delivered part of
    // the document must not stand in front of the second copy.
    server.injectForPath("/game/flist.xml", test::FaultPlan::shortBody(), 1);
    ASSERT_TRUE(list.download(url("/game/flist.xml"), url("/game/flist.xml"), seen));
    EXPECT_EQ(list.regularList().size(), 30000u);  // replaced, not added to
    EXPECT_EQ(server.requestCount("/game/flist.xml"), 3);
    // One that arrives but does not parse fails (as an empty list it would say nothing is
    // out of date) and leaves the lists empty.
    box.writeFile("www/cut/flist.xml", big.substr(0, 200));
    EXPECT_FALSE(list.download(url("/cut/flist.xml"), url("/cut/flist.xml"), seen));
    EXPECT_TRUE(list.regularList().empty());

    // A sub file list, compared with the local pack by data crc only (whatever extra 2 and
    // the version say); the first address failing, the second serving.
    box.writeFile("data/a.pak",
                  test::packBytes({test::rootRecord(1), test::packRecord(0x10, 0xAB),
                                   test::packRecord(0x20, 1, 0, 7), test::packRecord(0x30, 3)}));
    box.writeFile("www/a.fxml",
                  "<pak name=\"a.pak\" data_crc=\"5\"><subfile namekey=\"10\" zipcrc=\"ab\" "
                  "size=\"10\" zipSize=\"10\" crc=\"ffffffef\" bzip=\"3\" "
                  "blocksize=\"100\"/><subfile namekey=\"20\" zipcrc=\"2\" blocksize=\"200\" "
                  "version=\"1\"/><subfile namekey=\"40\" zipcrc=\"4\" blocksize=\"400\"/></pak>");
    box.writeFile("www/w.fxml",
                  "<pak name=\"a.pak\" data_crc=\"4294967295\"><subfile namekey=\"1\"/></pak>");
    box.writeFile("www/bad.fxml", "<pak name=\"a.pak\" data_crc=\"5\"><subfile namekey=\"1\"/>");
    server.injectForPath("/a.fxml", test::FaultPlan::shortBody(), 1);
    SubFileListDownloader sub(&window);
    ASSERT_EQ(sub.download(url("/a.fxml"), url("/a.fxml"), u"data\\a.pak"),
              SubFileListDownloader::kCompared);
    EXPECT_EQ(server.requestCount("/a.fxml"), 2);
    EXPECT_EQ(sub.packName(), u"a.pak");
    ASSERT_EQ(sub.downloadItems().size(), 2u);
    EXPECT_EQ(sub.downloadItems()[0].nameKey * 0x100 + sub.downloadItems()[1].nameKey, 0x2040u);
    EXPECT_EQ(sub.downloadItems()[1].startOffset, 0x200u);
    EXPECT_EQ(sub.blockSizeTotal(), 0x600u);
    ASSERT_EQ(sub.removals().size(), 1u);
    EXPECT_EQ(sub.removals()[0].nameKey, 0x30u);
    EXPECT_EQ(sub.download(url("/w.fxml"), url("/w.fxml"), u"data\\a.pak"),
              SubFileListDownloader::kWithdrawn);
    EXPECT_TRUE(sub.downloadItems().empty());
    // A damaged document must not read as a list that names nothing, which would remove
    // every file of the pack.
    EXPECT_EQ(sub.download(url("/bad.fxml"), u"http://127.0.0.1:1/a.fxml", u"data\\b.pak"),
              SubFileListDownloader::kFailed);
    EXPECT_TRUE(sub.removals().empty());
    EXPECT_EQ(sub.packPath(), u"data\\b.pak");
    std::vector<uint32_t> messages;
    for (const PostedMessage& m : window.drain()) {
        messages.push_back(m.message + m.wParam + m.lParam);
    }
    EXPECT_EQ(messages, (std::vector<uint32_t>{kMsgFileList, kMsgFileList, kMsgFileList,
                                               kMsgSubFileList, kMsgSubFileList, kMsgSubFileList}));
}

}  // namespace
}  // namespace lume
