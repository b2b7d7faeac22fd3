// The one rule for names that become paths: a name read from a file list or matched to a
// pack's key is joined to a folder only when it cannot leave that folder.
#pragma once

#include <string_view>

namespace lume {

// A relative path that stays inside the folder it is joined to: not empty and not rooted;
// no empty, "." or ".." component, nor one of dots and spaces only (Windows trims those to
// "." and ".."); no drive or stream colon; no control or wildcard characters.
bool isSafeRelativePath(std::u16string_view path);

// Dots and spaces only.
bool onlyDotsAndSpaces(std::u16string_view text);

}  // namespace lume
