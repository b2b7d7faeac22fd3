#include "platform/IniFile.h"

#include <cstdint>
#include <string>

#include "platform/Error.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace platform {

namespace {

bool isSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

std::u16string_view trim(std::u16string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char16_t foldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

bool sameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool isHeader(std::u16string_view text) {
    const std::u16string_view t = trim(text);
    return !t.empty() && t.front() == u'[';
}

// Line breaks inside a value would split it into lines of their own when saved.
std::u16string singleLine(std::u16string_view value) {
    std::u16string out(value);
    for (char16_t& c : out) {
        if (c == u'\r' || c == u'\n') {
            c = u' ';
        }
    }
    return out;
}

}  // namespace

bool IniFile::load(std::u16string_view path) {
    lines_.clear();
    std::string bytes;
    if (!readWholeFile(path, bytes)) {
        return false;
    }
    const std::u16string text = narrowToWide(bytes);
    std::u16string section;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) {
            end = text.size();
        }
        std::u16string_view raw(text.data() + start, end - start);
        start = end + 1;
        if (!raw.empty() && raw.back() == u'\r') {
            raw.remove_suffix(1);
        }

        Line line;
        line.text = std::u16string(raw);
        const std::u16string_view content = trim(raw);
        if (content.empty() || content.front() == u';' || content.front() == u'#') {
            line.section = section;
        } else if (content.front() == u'[') {
            std::u16string_view name = content.substr(1);
            const size_t close = name.find(u']');
            if (close != std::u16string_view::npos) {
                name = name.substr(0, close);
            }
            section = std::u16string(trim(name));
            line.section = section;
        } else {
            line.section = section;
            const size_t equals = content.find(u'=');
            if (equals != std::u16string_view::npos) {
                line.key = std::u16string(trim(content.substr(0, equals)));
                if (!line.key.empty()) {
                    line.value = std::u16string(trim(content.substr(equals + 1)));
                }
            }
        }
        lines_.push_back(std::move(line));
    }
    return true;
}

bool IniFile::save(std::u16string_view path) const {
    std::string bytes;
    for (const Line& line : lines_) {
        bytes += wideToNarrow(line.text);
        bytes += "\r\n";
    }
    return static_cast<bool>(writeWholeFile(path, bytes));
}

std::optional<std::u16string> IniFile::get(std::u16string_view section,
                                           std::u16string_view key) const {
    for (const Line& line : lines_) {
        if (!line.key.empty() && sameName(line.section, section) && sameName(line.key, key)) {
            return line.value;
        }
    }
    return std::nullopt;
}

std::u16string IniFile::getString(std::u16string_view section, std::u16string_view key,
                                  std::u16string_view fallback) const {
    std::optional<std::u16string> value = get(section, key);
    return value ? std::move(*value) : std::u16string(fallback);
}

int IniFile::getInt(std::u16string_view section, std::u16string_view key, int fallback) const {
    const std::optional<std::u16string> value = get(section, key);
    if (!value) {
        return fallback;
    }
    size_t i = 0;
    while (i < value->size() && isSpace((*value)[i])) {
        ++i;
    }
    bool negative = false;
    if (i < value->size() && ((*value)[i] == u'+' || (*value)[i] == u'-')) {
        negative = (*value)[i] == u'-';
        ++i;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t magnitude = 0;
    size_t digits = 0;
    for (; i < value->size() && (*value)[i] >= u'0' && (*value)[i] <= u'9'; ++i, ++digits) {
        magnitude = magnitude * 10 + ((*value)[i] - u'0');
        if (magnitude > limit) {
            return fallback;
        }
    }
    if (digits == 0) {
        return fallback;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

void IniFile::set(std::u16string_view section, std::u16string_view key, std::u16string_view value) {
    const std::u16string cleanKey(trim(singleLine(key)));
    const std::u16string cleanValue(trim(singleLine(value)));
    if (cleanKey.empty()) {
        return;
    }
    for (Line& line : lines_) {
        if (!line.key.empty() && sameName(line.section, section) && sameName(line.key, cleanKey)) {
            line.value = cleanValue;
            line.text = line.key + u"=" + cleanValue;
            return;
        }
    }

    // A new key goes after the last key of its section (blank lines and comments that
    // lead into the next section stay where they are), or right after the header.
    bool sectionFound = section.empty();
    size_t insertAt = 0;
    std::u16string sectionName(section);
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (!sameName(line.section, section)) {
            continue;
        }
        if (line.key.empty() && isHeader(line.text)) {
            if (!sectionFound) {
                sectionFound = true;
                sectionName = line.section;
                insertAt = i + 1;
            }
        } else if (!line.key.empty() && sectionFound) {
            insertAt = i + 1;
        }
    }
    Line entry;
    entry.key = cleanKey;
    entry.value = cleanValue;
    entry.text = cleanKey + u"=" + cleanValue;
    if (sectionFound) {
        entry.section = sectionName;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(entry));
        return;
    }
    Line header;
    header.section = std::u16string(section);
    header.text = u"[" + header.section + u"]";
    entry.section = header.section;
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(entry));
}

void IniFile::setInt(std::u16string_view section, std::u16string_view key, int value) {
    set(section, key, asciiToWide(std::to_string(value)));
}

}  // namespace platform
