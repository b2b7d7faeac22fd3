// Which pages the launcher's browsers show: the news page by the browser variant of
// bin\config.ini, the second page, and the café page, each with a fallback address that is
// tried when the primary does not answer. Once one primary has failed, the next browser
// goes straight to its fallback.
#pragma once

#include <functional>
#include <string>

namespace lume {

class ControlPostionConfig;

struct BrowserPages {
    std::u16string news;   // shown when not empty
    std::u16string flash;  // shown when not empty
    std::u16string cafe;   // loaded hidden when not empty
};

// Whether an address answers (the window downloads it to a scratch file with a 500 ms
// connect time-out).
using PageProbe = std::function<bool(const std::u16string& url)>;

BrowserPages chooseBrowserPages(int variant, const ControlPostionConfig& layout,
                                const PageProbe& answers);

// The window's probe: downloadToFile into "<temp>klwebboard.tmp", 500 ms to connect.
bool pageAnswers(const std::u16string& url);

}  // namespace lume
