#include "engine/Kernel/NameKey.h"

namespace lume {

uint32_t nameKey(std::u16string_view text, bool lowerCase) {
    uint32_t h = 0x811C9DC5u;
    for (char16_t c : text) {
        if (lowerCase && c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c + (u'a' - u'A'));
        }
        h = (h * 0x01000193u) ^ static_cast<uint32_t>(c);
    }
    return h;
}

bool readBoolText(std::u16string_view text) {
    static constexpr std::u16string_view kTrueTexts = u"1,是,true,True";
    return text != u"," && kTrueTexts.find(text) != std::u16string_view::npos;
}

}  // namespace lume
