// The start-up steps of the launcher that are not drawing: one launcher at a time, game
// files that an interrupted update left as ".back" copies put in place, and the check that
// the game can run here.
#pragma once

#include <array>
#include <string>

#include "platform/SingleInstance.h"

namespace lume {

inline constexpr char16_t kInstanceName[] = u"LauncherInstance";
inline constexpr char16_t kTextAlreadyRunning[] = u"应用正在运行中，不要再点击哦!";
inline constexpr char16_t kTextNoRuntime[] = u"没有vcredist_x86，请先安装!";
inline constexpr char16_t kCaptionHint[] = u"提示";

// The name of the single-instance lock: kInstanceName, unless LUME_INSTANCE_NAME names
// another (so that test runs and a demo on the same machine do not exclude each other).
std::u16string instanceName();

// The game client and its libraries in bin\, relative to the game directory, in restore
// order.
extern const std::array<const char16_t*, 16> kRestoreNames;

// For each name whose "<name>.back" exists: the file is replaced by its copy. Failures are
// not reported; start-up goes on. Returns how many copies were put in place.
int restoreBackFiles();

// What the game needs of this machine to run: a POSIX shell for its start script.
bool gameRuntimeAvailable();

}  // namespace lume
