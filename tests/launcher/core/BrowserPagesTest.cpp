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

TEST_F(Pages, PrimariesThatAnswerAreShownElseTheirFallbacks) {
    load(kAll);
    const struct {
        int variant;
        std::set<std::u16string> up;
        const char16_t *news, *flash, *cafe;
        std::vector<std::u16string> asked;
    } cases[] = {
        {0, {u"d", u"f0"}, u"d", u"f0", u"", {u"d", u"f0"}},
        // The news page and its fallback unreachable: the news browser still shows its
        // primary, and the second browser tests only its fallback.
        {2, {u"f0", u"f1"}, u"s", u"f1", u"ws", {u"s", u"u1", u"f1"}},
        {1, {u"p", u"f0"}, u"p", u"f0", u"wp", {u"p", u"f0"}},
        {3, {u"y", u"f0"}, u"y", u"f0", u"wy", {u"y", u"f0"}},
        {7, {u"d", u"f0"}, u"d", u"f0", u"", {u"d", u"f0"}},
    };
    for (const auto& c : cases) {
        up = c.up;
        asked.clear();
        const BrowserPages pages = chooseBrowserPages(c.variant, layout, probe());
        EXPECT_EQ(std::tuple(pages.news, pages.flash, pages.cafe, asked),
                  std::tuple(c.news, c.flash, c.cafe, c.asked))
            << c.variant;
    }
    box.writeFile("bin/controlPosition.xml", "<Layout><Urls/></Layout>");
    ControlPostionConfig empty;  // no addresses: both browsers stay hidden
    ASSERT_TRUE(empty.load());
    const BrowserPages none = chooseBrowserPages(1, empty, probe());
    EXPECT_EQ(none.news + none.flash, u"");

    // The window's probe downloads the address.
    box.writeFile("www/news.html", "<html>news</html>");
    test::TestHttpServer server(box.path() + "/www");
    EXPECT_TRUE(pageAnswers(server.wideUrl("/news.html")));
    EXPECT_FALSE(pageAnswers(server.wideUrl("/missing.html")));
    EXPECT_FALSE(pageAnswers(u""));
}

}  // namespace
}  // namespace lume
