#include "engine/FileSystem/Attributes.h"

namespace lume {

namespace {

std::vector<std::u16string_view> split(std::u16string_view text, char16_t separator) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        if (at == std::u16string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

}  // namespace

void Attributes::parseCommandLine(const std::vector<std::u16string>& arguments) {
    values_.clear();
    if (arguments.size() != 1) {
        return;
    }
    for (std::u16string_view item : split(arguments.front(), u'|')) {
        const std::vector<std::u16string_view> parts = split(item, u'=');
        if (parts.size() == 2) {
            values_.insert_or_assign(std::u16string(parts[0]), std::u16string(parts[1]));
        }
    }
}

bool Attributes::has(std::u16string_view key) const {
    return values_.find(key) != values_.end();
}

std::u16string Attributes::value(std::u16string_view key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? std::u16string() : it->second;
}

}  // namespace lume
