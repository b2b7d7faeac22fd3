#include "engine/FileSystem/InstallFile.h"

#include <algorithm>
#include <span>
#include <vector>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/FileChecksum.h"
#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Logger.h"
#include "platform/Files.h"

namespace lume {

namespace {

constexpr uint32_t kChunk = 0x10000;

bool put(platform::NativeFile& out, const uint8_t* bytes, uint32_t length) {
    uint32_t written = 0;
    return out.write(bytes, length, written) && written == length;
}

UnpackError copyStored(WinStream& in, platform::NativeFile& out, uint32_t size, uint32_t& crc) {
    if (in.size() != size) {
        return UnpackError::kInflate;
    }
    crc = kChecksumStart;
    std::vector<uint8_t> chunk(kChunk);
    for (uint32_t left = size; left > 0;) {
        const uint32_t want = std::min(left, kChunk);
        uint32_t got = 0;
        if (!in.read(chunk.data(), want, &got) || got != want) {
            return UnpackError::kOpen;
        }
        crc = checksumUpdate(crc, chunk.data(), want);
        if (!put(out, chunk.data(), want)) {
            return UnpackError::kWrite;
        }
        left -= want;
    }
    return UnpackError::kNone;
}

UnpackError inflateData(WinStream& in, platform::NativeFile& out, uint32_t size, uint32_t& crc) {
    std::vector<uint8_t> input(kChunk);
    std::vector<uint8_t> output(kChunk);
    uint32_t left = in.size();
    uint64_t written = 0;
    bool tooLong = false;
    crc = kChecksumStart;
    z_stream z;
    const InflateResult result = inflateRaw(
        z,
        [&](std::span<const uint8_t>& data) {
            const uint32_t want = std::min(left, kChunk);
            uint32_t got = 0;
            if (want != 0 && (!in.read(input.data(), want, &got) || got != want)) {
                return false;
            }
            left -= want;
            data = std::span<const uint8_t>(input.data(), want);
            return true;
        },
        output,
        [&](std::span<uint8_t> filled, std::span<uint8_t>&) {
            written += filled.size();
            if (written > size) {
                tooLong = true;
                return false;
            }
            crc = checksumUpdate(crc, filled.data(), filled.size());
            return filled.empty() || put(out, filled.data(), static_cast<uint32_t>(filled.size()));
        });
    if (result.status == InflateStatus::kReadFailed) {
        return UnpackError::kOpen;
    }
    if (result.status == InflateStatus::kWriteFailed && !tooLong) {
        return UnpackError::kWrite;
    }
    if (result.status != InflateStatus::kDone || written != size) {
        return UnpackError::kInflate;
    }
    return UnpackError::kNone;
}

UnpackError unpack(const std::u16string& dataPath, const std::u16string& target, bool packed,
                   uint32_t size, bool sync, uint32_t& crc) {
    WinStream in;
    if (!in.open(dataPath, 0)) {
        return UnpackError::kOpen;
    }
    platform::NativeFile out;
    if (!out.open(target, 1)) {
        return UnpackError::kWrite;
    }
    UnpackError error = packed ? inflateData(in, out, size, crc) : copyStored(in, out, size, crc);
    if (error == UnpackError::kNone && sync && !out.flush()) {
        error = UnpackError::kWrite;
    }
    // A close that fails may have lost data written before it.
    if (!out.close() && error == UnpackError::kNone) {
        error = UnpackError::kWrite;
    }
    if (error != UnpackError::kNone) {
        File::deleteFile(target);
    }
    return error;
}

}  // namespace

UnpackError unpackFile(const std::u16string& dataPath, const std::u16string& target, bool packed,
                       uint32_t size, bool sync, uint32_t& crc) {
    const UnpackError error = unpack(dataPath, target, packed, size, sync, crc);
    switch (error) {
        case UnpackError::kNone:
            break;
        case UnpackError::kOpen:
            logW_0(u"打开 '%s' 失败", dataPath);
            break;
        case UnpackError::kInflate:
            logW_0(u"解压 '%s' 失败", dataPath);
            break;
        case UnpackError::kWrite:
            logW_0(u"写入 '%s' 失败", target);
            break;
    }
    return error;
}

bool putInPlace(const std::u16string& from, const std::u16string& target, bool inBatch) {
    File::makeDirectories(target);
    if (File::isDirectory(target) && !platform::removeDirectory(target)) {
        logW_m1(u"'%s'是一个文件夹,无法替换为文件", target);
        return false;
    }
    const auto replace = [&](const std::u16string& to) {
        return inBatch ? File::replace(from, to) : File::replaceDurably(from, to);
    };
    if (replace(target)) {
        return true;
    }
    return platform::lastError() == platform::kErrSharingViolation && replace(target + u".back");
}

}  // namespace lume
