// The kind of file a downloaded block belongs to, named once for the update run that plans
// the blocks, the download threads that fetch them and the file writer that stores them.
// The kind names the file's temporary files (FileWritter::dataFileName) and says whether its
// remote name carries ".gzf".
#pragma once

#include <cstdint>

#include "engine/FileSystem/PackFormat.h"

namespace lume {

enum FileType : int32_t {
    kTypeLoose = 1,                   // a loose file P: P.gzf and P.igzf
    kTypePackPatch = kPackModeMerge,  // a pack K patched in place: K.patch and K.ipatch
    kTypePackBuild = kPackModeBuild,  // a pack K built anew: K.gzf and K.igzf
    kTypePackMember = 4,              // a file inside a pack, staged as S: S.gzf and S.igzf;
                                      // fetched by its plain name, without ".gzf"
};

}  // namespace lume
