#include "update/Messages.h"

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

std::u16string failureText(const UpdateResult& result) {
    switch (result.kind) {
        case UpdateResult::Kind::VerifyFailed:
            return kTextVerifyFailed;
        case UpdateResult::Kind::WriteFailed:
            return kTextWriteFailed;
        case UpdateResult::Kind::FileListFailed:
            return kTextFileListFailed;
        case UpdateResult::Kind::DownloadFailed:
            return kTextDownloadFailed;
        default:
            return {};
    }
}

}  // namespace lume
