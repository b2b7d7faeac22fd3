// The decoding of the summary that ends every update run (message 6029), and the texts the
// window shows for it. The message numbers themselves are engine/Kernel/MessageTarget.h.
#pragma once

#include <cstdint>
#include <string>

#include "engine/Kernel/MessageTarget.h"

namespace lume {

inline constexpr char16_t kTextFileListFailed[] = u"下载文件列表失败,请换个入口再次尝试更新";
inline constexpr char16_t kTextDownloadFailed[] = u"下载文件失败";
inline constexpr char16_t kTextVerifyFailed[] = u"验证文件失败,请再次尝试更新";
inline constexpr char16_t kTextWriteFailed[] = u"写文件失败，请检查游戏目录剩余空间以及写文件权限";
inline constexpr char16_t kTextNeedRestart[] = u"需要重新启动客户端";

// The result of one update run, unpacked from message 6029.
struct UpdateResult {
    enum class Kind {
        Ready,           // everything current, start the game
        Restart,         // current, but must-update files changed: hand over to the upgrade
        VerifyFailed,    // files failed their check after writing
        WriteFailed,     // files could not be written
        FileListFailed,  // the file list itself could not be fetched
        DownloadFailed,  // other download failures
    };
    Kind kind = Kind::Ready;
    uint16_t failures = 0;        // F: failed file list, header tasks, blocks
    uint16_t mustCount = 0;       // M: must-update files that were out of date
    uint16_t writeFailures = 0;   // W
    uint16_t verifyFailures = 0;  // V

    bool success() const { return kind == Kind::Ready || kind == Kind::Restart; }
};

// wParam = F << 16 | M, lParam = W << 16 | V. Producers saturate each counter at 0xFFFF.
uint32_t packUpdateResultW(uint32_t failures, uint32_t mustCount);
uint32_t packUpdateResultL(uint32_t writeFailures, uint32_t verifyFailures);
UpdateResult decodeUpdateResult(uint32_t wParam, uint32_t lParam);
// The text the window shows for a failed run (empty for success). A run that failed to
// write because the disk is full says so, with the space it needs (needed > 0).
std::u16string failureText(const UpdateResult& result, uint64_t needed = 0, uint64_t available = 0);
// "写文件失败，磁盘空间不足：还需要 1.5 GB（剩余 20 KB），请清理磁盘后再次尝试更新"
std::u16string diskFullText(uint64_t needed, uint64_t available);
// A byte count as the player reads it: "20 KB", "3.2 MB", "1.5 GB".
std::u16string byteSizeText(uint64_t bytes);

}  // namespace lume
