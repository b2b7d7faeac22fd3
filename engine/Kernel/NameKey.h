// Small shared rules: the name hash that names files inside packs and in the file lists,
// and the text that reads as a boolean in lists and settings.
#pragma once

#include <cstdint>
#include <string_view>

namespace lume {

// 32-bit FNV-1 (multiply, then XOR) over whole UTF-16 code units. With lowerCase, only the
// ASCII letters A-Z are lowered first.
uint32_t nameKey(std::u16string_view text, bool lowerCase = false);

// True exactly when the text is not "," and occurs inside "1,是,true,True": so the empty
// text, "1", "是", "true", "True" (and fragments such as "ru") are true; "0", "yes" and
// "TRUE" are false.
bool readBoolText(std::u16string_view text);

}  // namespace lume
