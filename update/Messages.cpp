#include "update/Messages.h"

#include "engine/Kernel/Format.h"

namespace lume {

namespace {
// A counter of 65536 failures must not wrap to 0 and read as success, so the packed
// counters stop at 0xFFFF.
uint32_t saturate16(uint32_t v) {
    return v > 0xFFFF ? 0xFFFF : v;
}
}  // namespace

uint32_t packUpdateResultW(uint32_t failures, uint32_t mustCount) {
    return (saturate16(failures) << 16) | saturate16(mustCount);
}

uint32_t packUpdateResultL(uint32_t writeFailures, uint32_t verifyFailures) {
    return (saturate16(writeFailures) << 16) | saturate16(verifyFailures);
}

UpdateResult decodeUpdateResult(uint32_t wParam, uint32_t lParam) {
    UpdateResult r;
    r.failures = static_cast<uint16_t>(wParam >> 16);
    r.mustCount = static_cast<uint16_t>(wParam & 0xFFFF);
    r.writeFailures = static_cast<uint16_t>(lParam >> 16);
    r.verifyFailures = static_cast<uint16_t>(lParam & 0xFFFF);
    if (r.failures != 0) {
        r.kind = (r.mustCount == 0 && r.failures == 1) ? UpdateResult::Kind::FileListFailed
                                                       : UpdateResult::Kind::DownloadFailed;
    } else if (r.writeFailures != 0) {
        r.kind = UpdateResult::Kind::WriteFailed;
    } else if (r.verifyFailures != 0) {
        r.kind = UpdateResult::Kind::VerifyFailed;
    } else {
        r.kind = r.mustCount > 0 ? UpdateResult::Kind::Restart : UpdateResult::Kind::Ready;
    }
    return r;
}

std::u16string byteSizeText(uint64_t bytes) {
    constexpr double kKiB = 1024.0;
    if (bytes < 1024 * 1024) {
        return formatW(u"%u KB", static_cast<uint64_t>((bytes + 1023) / 1024));
    }
    if (bytes < 1024ull * 1024 * 1024) {
        return formatW(u"%.1f MB", static_cast<double>(bytes) / (kKiB * kKiB));
    }
    return formatW(u"%.1f GB", static_cast<double>(bytes) / (kKiB * kKiB * kKiB));
}

std::u16string diskFullText(uint64_t needed, uint64_t available) {
    // The shortfall, not the total: that is what the player has to free.
    const uint64_t missing = needed > available ? needed - available : needed;
    return formatW(u"写文件失败，磁盘空间不足：还需要 %s（剩余 %s），请清理磁盘后再次尝试更新",
                   byteSizeText(missing), byteSizeText(available));
}

std::u16string failureText(const UpdateResult& result, uint64_t needed, uint64_t available) {
    switch (result.kind) {
        case UpdateResult::Kind::VerifyFailed:
            return kTextVerifyFailed;
        case UpdateResult::Kind::WriteFailed:
            return needed > 0 ? diskFullText(needed, available) : kTextWriteFailed;
        case UpdateResult::Kind::FileListFailed:
            return kTextFileListFailed;
        case UpdateResult::Kind::DownloadFailed:
            return kTextDownloadFailed;
        default:
            return {};
    }
}

}  // namespace lume
