#include "launcher/core/Startup.h"

#include <cstdlib>

#include "engine/FileSystem/File.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Thread.h"

namespace lume {

const std::array<const char16_t*, 16> kRestoreNames = {
    u"lume.dat",     u"lumcore.dll", u"lumrender.dll", u"lumsound.dll",
    u"lumnet.dll",   u"lumphys.dll", u"lumui.dll",     u"lumscript.dll",
    u"lumres.dll",   u"lumfont.dll", u"lumvideo.dll",  u"luminput.dll",
    u"lumcrypt.dll", u"lumzip.dll",  u"lumlog.dll",    u"lumcrash.dll",
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
