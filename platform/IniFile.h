// The INI reader/writer for the launcher's settings file (bin\config.ini). Sections and keys
// match case-insensitively; the file is in the narrow code page. Saving keeps comments and
// the order of everything it did not change, and replaces the file atomically.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class IniFile {
public:
    // False when the file cannot be read; the contents are then empty.
    bool load(std::u16string_view path);
    [[nodiscard]] bool save(std::u16string_view path) const;

    std::optional<std::u16string> get(std::u16string_view section, std::u16string_view key) const;
    std::u16string getString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view fallback) const;
    // A decimal integer (leading white space and a sign allowed, reading stops at the first
    // non-digit). A value without digits, or out of the signed 32-bit range, gives fallback.
    int getInt(std::u16string_view section, std::u16string_view key, int fallback) const;

    void set(std::u16string_view section, std::u16string_view key, std::u16string_view value);
    void setInt(std::u16string_view section, std::u16string_view key, int value);

private:
    struct Line {
        std::u16string text;     // the line as read (for lines kept unchanged)
        std::u16string section;  // the section it belongs to
        std::u16string key;      // empty for headers, comments and blank lines
        std::u16string value;
    };
    std::vector<Line> lines_;
};

}  // namespace platform
