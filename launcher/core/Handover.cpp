#include "launcher/core/Handover.h"

#include "engine/Kernel/Format.h"

namespace lume {

Handover gameHandover(std::u16string_view programDirectory) {
    std::u16string dir(programDirectory);
    dir += u"bin";
    return {formatW(u"%s\\lume.dat run", dir), dir};
}

Handover upgradeHandover(std::u16string_view programDirectory) {
    std::u16string bin(programDirectory);
    bin += u"bin\\";
    return {formatW(u"%supgrade.tmp %s;%s;lume.exe", bin, bin, programDirectory), bin};
}

std::u16string asProgramDirectory(std::u16string_view directory) {
    std::u16string dir(directory);
    for (auto& c : dir) {
        if (c == u'/') {
            c = u'\\';
        }
    }
    if (dir.empty() || dir.back() != u'\\') {
        dir += u'\\';
    }
    return dir;
}

}  // namespace lume
