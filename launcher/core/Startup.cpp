#include "launcher/core/Startup.h"

#include <cstdlib>

#include "engine/FileSystem/File.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Thread.h"

namespace lume {

// The game client and its libraries live in bin\, and an update that cannot replace one of
// them leaves the new copy beside it as "<name>.back".
const std::array<const char16_t*, 16> kRestoreNames = {
    u"bin\\lume.dat",     u"bin\\lumcore.dll", u"bin\\lumrender.dll", u"bin\\lumsound.dll",
    u"bin\\lumnet.dll",   u"bin\\lumphys.dll", u"bin\\lumui.dll",     u"bin\\lumscript.dll",
    u"bin\\lumres.dll",   u"bin\\lumfont.dll", u"bin\\lumvideo.dll",  u"bin\\luminput.dll",
    u"bin\\lumcrypt.dll", u"bin\\lumzip.dll",  u"bin\\lumlog.dll",    u"bin\\lumcrash.dll",
};

std::u16string instanceName() {
    const char* name = std::getenv("LUME_INSTANCE_NAME");
    return name != nullptr && *name != '\0' ? platform::utf8ToWide(name)
                                            : std::u16string(kInstanceName);
}

int restoreBackFiles() {
    int restored = 0;
    for (const char16_t* name : kRestoreNames) {
        std::u16string back(name);
        back += u".back";
        if (!File::isFile(back)) {
            continue;
        }
        // One atomic step: the file is never missing between the delete and the move.
        if (File::replace(back, name)) {
            ++restored;
        }
        platform::sleepMs(50);
    }
    return restored;
}

bool gameRuntimeAvailable() {
    return platform::isFile(u"/bin/sh");
}

}  // namespace lume
