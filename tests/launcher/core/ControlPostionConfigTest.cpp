// The skin's layout file: rectangles, prompts and page addresses by name.
#include <gtest/gtest.h>

#include "launcher/core/ControlPostionConfig.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

TEST(ControlPostionConfig, ReadsRectanglesPromptsAndPages) {
    test::Sandbox box;
    box.writeFile("bin/controlPosition.xml",
                  platform::utf8ToNarrow(R"(<?xml version="1.0" encoding="GBK"?>
<Layout>
  <Controls>
    <Control name="START_GAME" pos="10,20" size="100,30"/>
    <Control name="TIP1" pos="5,6" size="7,8" prompt="提示文字"/>
    <Control name="ONE" pos="10" size="1,1"/>
    <Control name="THREE" pos="1,2,3" size="1,1"/>
    <Control name="NOSIZE" pos="3,4"/>
    <Control name="START_GAME" pos="11,21" size="100,30"/>
  </Controls>
  <Urls>
    <Url name="Web_Default" url="http://news.example/a"/>
    <Url name="Web_Default" url="http://news.example/b"/>
  </Urls>
</Layout>)"));
    ControlPostionConfig layout;
    ASSERT_TRUE(layout.load());
    EXPECT_EQ(ControlPostionConfig::instance(), &layout);
    EXPECT_EQ(layout.rectangle(u"START_GAME"), (LayoutRect{11, 21, 111, 51}));
    EXPECT_EQ(layout.rectangle(u"TIP1"), (LayoutRect{5, 6, 12, 14}));
    EXPECT_EQ(layout.prompt(u"TIP1"), u"提示文字");
    EXPECT_EQ(layout.rectangle(u"ONE"), LayoutRect{});
    EXPECT_EQ(layout.rectangle(u"THREE"), LayoutRect{});
    EXPECT_EQ(layout.rectangle(u"NOSIZE"), (LayoutRect{3, 4, 3, 4}));
    EXPECT_EQ(layout.rectangle(u"start_game"), LayoutRect{});  // names match exactly
    EXPECT_EQ(layout.pageAddress(u"Web_Default"), u"http://news.example/b");
    EXPECT_EQ(layout.pageAddress(u"FLASH_URL0"), u"");
    // A file broken after a control leaves nothing, not even what the last load read.
    box.writeFile("bin/controlPosition.xml", "<Layout><Controls><Control name=\"A\"/><Control");
    EXPECT_FALSE(layout.load());
    EXPECT_EQ(layout.rectangle(u"START_GAME"), LayoutRect{});
}

}  // namespace
}  // namespace lume
