#include "engine/FileSystem/SafePath.h"

#include <algorithm>

namespace lume {

bool onlyDotsAndSpaces(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c == u'.' || c == u' '; });
}

bool isSafeRelativePath(std::u16string_view path) {
    if (path.empty()) {
        return false;
    }
    for (size_t start = 0;;) {
        const size_t end = path.find_first_of(u"\\/", start);
        const std::u16string_view part = path.substr(start, end - start);
        // Empty: rooted ("\x"), doubled or trailing separators.
        if (part.empty() || onlyDotsAndSpaces(part)) {
            return false;
        }
        for (char16_t c : part) {
            if (c < 0x20 || std::u16string_view(u":*?\"<>|").find(c) != std::u16string_view::npos) {
                return false;
            }
        }
        if (end == std::u16string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

}  // namespace lume
