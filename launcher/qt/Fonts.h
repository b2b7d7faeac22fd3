// The launcher's fonts by the names its skin was made with ("宋体", "微软雅黑"): where those
// fonts are missing, they stand for the machine's CJK font, so that Chinese text renders.
#pragma once

#include <QFont>
#include <string_view>

namespace lume {

// Makes the skin's font names fall back to an installed CJK font. Called once, after the
// application object exists.
void installFontFallbacks();

// A font by family, pixel height and weight (100 .. 900).
QFont launcherFont(std::u16string_view family, int pixelHeight, int weight);

}  // namespace lume
