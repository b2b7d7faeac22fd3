// The choice of the browsers' pages from the layout's addresses.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "launcher/core/BrowserPages.h"
#include "launcher/core/ControlPostionConfig.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"

namespace lume {
namespace {

class Pages : public ::testing::Test {
protected:
    void load(const std::string& urls) {
        box.writeFile("bin/controlPosition.xml", "<Layout><Urls>" + urls + "</Urls></Layout>");
        ASSERT_TRUE(layout.load());
    }
    PageProbe probe() {
        return [this](const std::u16string& url) {
            asked.push_back(url);
            return up.count(url) != 0;
        };
    }
    test::Sandbox box;
    ControlPostionConfig layout;
    std::set<std::u16string> up;
    std::vector<std::u16string> asked;
};

const char* kAll =
    "<Url name=\"Web_Default\" url=\"d\"/><Url name=\"Web_Pubwin\" url=\"p\"/>"
    "<Url name=\"Web_ShunWang\" url=\"s\"/><Url name=\"Web_YiYou\" url=\"y\"/><Url "
    "name=\"Web_URL1\" url=\"u1\"/>"
    "<Url name=\"FLASH_URL0\" url=\"f0\"/><Url name=\"FLASH_URL1\" url=\"f1\"/>"
    "<Url name=\"Wangba_Pubwin\" url=\"wp\"/><Url name=\"Wangba_ShunWang\" url=\"ws\"/>"
    "<Url name=\"Wangba_YiYou\" url=\"wy\"/>";

TEST_F(Pages, PrimariesThatAnswerAreShown) {
    load(kAll);
    up = {u"d", u"f0"};
    const BrowserPages pages = chooseBrowserPages(0, layout, probe());
    EXPECT_EQ(pages.news, u"d");
    EXPECT_EQ(pages.flash, u"f0");
    EXPECT_EQ(pages.cafe, u"");
    EXPECT_EQ(asked, (std::vector<std::u16string>{u"d", u"f0"}));
}

TEST_F(Pages, OneFailedPrimarySendsTheNextBrowserToItsFallback) {
    load(kAll);
    // Variant 2, with its news page and the news fallback both unreachable: the news browser
    // still shows its primary, and the second browser tests only its fallback.
    up = {u"f0", u"f1"};
    const BrowserPages pages = chooseBrowserPages(2, layout, probe());
    EXPECT_EQ(pages.news, u"s");
    EXPECT_EQ(pages.flash, u"f1");
    EXPECT_EQ(pages.cafe, u"ws");
    EXPECT_EQ(asked, (std::vector<std::u16string>{u"s", u"u1", u"f1"}));
}

TEST_F(Pages, VariantsAndEmptyAddresses) {
    load(kAll);
    up = {u"p", u"y", u"f0"};
    EXPECT_EQ(chooseBrowserPages(1, layout, probe()).news, u"p");
    EXPECT_EQ(chooseBrowserPages(3, layout, probe()).cafe, u"wy");
    EXPECT_EQ(chooseBrowserPages(7, layout, probe()).cafe, u"");

    box.writeFile("bin/controlPosition.xml", "<Layout><Urls/></Layout>");
    ControlPostionConfig empty;
    ASSERT_TRUE(empty.load());
    const BrowserPages none = chooseBrowserPages(1, empty, probe());
    EXPECT_EQ(none.news, u"");  // both browsers stay hidden
    EXPECT_EQ(none.flash, u"");
}

TEST_F(Pages, TheWindowsProbeDownloadsTheAddress) {
    box.writeFile("www/news.html", "<html>news</html>");
    test::TestHttpServer server(box.path() + "/www");
    EXPECT_TRUE(pageAnswers(server.wideUrl("/news.html")));
    EXPECT_FALSE(pageAnswers(server.wideUrl("/missing.html")));
    EXPECT_FALSE(pageAnswers(u""));
}

}  // namespace
}  // namespace lume
