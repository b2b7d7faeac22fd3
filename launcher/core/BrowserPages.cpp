#include "launcher/core/BrowserPages.h"

#include "launcher/core/ControlPostionConfig.h"
#include "platform/Files.h"
#include "transfer/UrlFile.h"

namespace lume {

BrowserPages chooseBrowserPages(int variant, const ControlPostionConfig& layout,
                                const PageProbe& answers) {
    const char16_t* news = variant == 1   ? u"Web_Pubwin"
                           : variant == 2 ? u"Web_ShunWang"
                           : variant == 3 ? u"Web_YiYou"
                                          : u"Web_Default";
    bool tryPrimary = true;  // shared by both browsers, in this order
    auto choose = [&](const std::u16string& primary, const std::u16string& fallback) {
        std::u16string page;
        if (tryPrimary && answers(primary)) {
            page = primary;
        }
        if (page.empty()) {
            tryPrimary = false;
            page = answers(fallback) ? fallback : primary;
        }
        return page;
    };
    BrowserPages pages;
    pages.news = choose(layout.pageAddress(news), layout.pageAddress(u"Web_URL1"));
    pages.flash = choose(layout.pageAddress(u"FLASH_URL0"), layout.pageAddress(u"FLASH_URL1"));
    if (variant >= 1 && variant <= 3) {
        const char16_t* cafe[] = {u"Wangba_Pubwin", u"Wangba_ShunWang", u"Wangba_YiYou"};
        pages.cafe = layout.pageAddress(cafe[variant - 1]);
    }
    return pages;
}

bool pageAnswers(const std::u16string& url) {
    if (url.empty()) {
        return false;
    }
    UrlFile transfer;
    return transfer.downloadToFile(url, platform::tempDirectory() + u"klwebboard.tmp", 500);
}

}  // namespace lume
