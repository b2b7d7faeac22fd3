// Text conversion between UTF-16 (wide text), the narrow code page and UTF-8.
// The narrow code page is GBK unless LUME_CODEPAGE names another iconv encoding.
// Characters that the target cannot hold become '?' (narrow) or U+FFFD (wide); no
// conversion ever fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The iconv name of the narrow code page, read once from LUME_CODEPAGE (default "GBK").
const std::string& codePage();

std::u16string narrowToWide(std::string_view narrow);
std::string wideToNarrow(std::u16string_view wide);
std::u16string utf8ToWide(std::string_view utf8);
std::string wideToUtf8(std::u16string_view wide);
// UTF-8 text (for instance a source literal) to the narrow code page.
std::string utf8ToNarrow(std::string_view utf8);

// ASCII-only conversions, for texts known to be plain ASCII (numbers, protocol words).
std::u16string asciiToWide(std::string_view ascii);
// The pieces of text between separators, empty ones included ("a//b" -> "a", "", "b").
std::vector<std::string> splitText(std::string_view text, char separator);

}  // namespace platform
