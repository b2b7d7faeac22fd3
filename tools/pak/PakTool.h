// lume-pak, the game operator's pack tool: builds a pack from a folder, lists, extracts,
// verifies and describes packs. Paths inside packs are keys only; a reference folder
// (--names) turns keys back into relative paths.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace lume::pak {

// Exit statuses of run().
constexpr int kExitOk = 0;
constexpr int kExitDamaged = 1;  // the pack is damaged or the operation failed
constexpr int kExitUsage = 2;

// Runs one command with the arguments after the program name; reports go to out, errors
// to err, both UTF-8.
int run(const std::vector<std::u16string>& args, std::ostream& out, std::ostream& err);

// The key of a file stored from the relative path: its name hash after '/' becomes '\'
// and ASCII letters are lowered.
uint32_t keyOfPath(std::u16string_view relativePath);

}  // namespace lume::pak
