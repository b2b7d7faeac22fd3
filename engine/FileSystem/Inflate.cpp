#include "engine/FileSystem/Inflate.h"

#include <libdeflate.h>

#include <cstring>
#include <memory>

#include "engine/Kernel/Logger.h"

namespace lume {

namespace {

// Maps a failing zlib setup/teardown code onto the launcher's result codes.
int resultFromZlib(int code) {
    if (code == Z_BUF_ERROR) {
        return kUncompressBufferError;
    }
    return code == Z_STREAM_END ? kUncompressStreamEnd : kUncompressError;
}

// The zlib state of one inflate or deflate: set up by the caller's init call, released by
// end on every way out.
class ZlibState {
public:
    ZlibState(z_stream& z, int initCode, int (*end)(z_streamp))
        : z_(z), code_(initCode), end_(end) {}
    ~ZlibState() {
        if (code_ == Z_OK) {
            end_(&z_);
        }
    }
    ZlibState(const ZlibState&) = delete;
    ZlibState& operator=(const ZlibState&) = delete;
    int code() const { return code_; }

private:
    z_stream& z_;
    int code_;
    int (*end_)(z_streamp);
};

}  // namespace

InflateResult inflateRaw(z_stream& z, const InflateInput& input, std::span<uint8_t> window,
                         const InflateOutput& output) {
    InflateResult result;
    z = z_stream{};
    const ZlibState state(z, inflateInit2(&z, -MAX_WBITS), inflateEnd);
    if (state.code() != Z_OK) {
        result.status = InflateStatus::kNoZlib;
        result.zlibCode = state.code();
        return result;
    }
    bool inputEnded = false;
    z.next_out = window.data();
    z.avail_out = static_cast<uInt>(window.size());
    const auto finish = [&](InflateStatus status, int code = Z_OK) {
        result.status = status;
        result.zlibCode = code;
        result.produced = z.total_out;
        return result;
    };
    for (;;) {
        if (z.avail_in == 0 && !inputEnded) {
            std::span<const uint8_t> more;
            if (!input(more)) {
                return finish(InflateStatus::kReadFailed);
            }
            inputEnded = more.empty();
            z.next_in = const_cast<Bytef*>(more.data());
            z.avail_in = static_cast<uInt>(more.size());
        }
        if (z.avail_out == 0) {
            if (!output(window, window)) {
                return finish(InflateStatus::kWriteFailed);
            }
            if (window.empty()) {
                return finish(InflateStatus::kFilled);
            }
            z.next_out = window.data();
            z.avail_out = static_cast<uInt>(window.size());
        }
        const int code = inflate(&z, Z_NO_FLUSH);
        if (code == Z_STREAM_END) {
            std::span<uint8_t> none;
            return finish(output(window.first(window.size() - z.avail_out), none)
                              ? InflateStatus::kDone
                              : InflateStatus::kWriteFailed);
        }
        // Input is drawn whenever zlib has used it up, so no progress with no input left to
        // give means the stream was cut short.
        if (code == Z_BUF_ERROR && z.avail_out != 0 && inputEnded) {
            return finish(InflateStatus::kCutShort);
        }
        if (code != Z_OK && code != Z_BUF_ERROR) {
            return finish(code == Z_MEM_ERROR ? InflateStatus::kNoZlib : InflateStatus::kDamaged,
                          code);
        }
    }
}

int unCompressData(z_stream* inflater, uint8_t* out, uint32_t& outLength, const uint8_t* in,
                   uint32_t inLength) {
    if (out == nullptr || in == nullptr) {
        logA_0("Error in unCompressData(): out = 0x%08x  in = 0x%08x",
               reinterpret_cast<uintptr_t>(out), reinterpret_cast<uintptr_t>(in));
        return kUncompressError;
    }
    if (outLength == 0 || inLength == 0) {
        logA_0("Error in unCompressData(): outlen = %d, inLen = %d", outLength, inLength);
        return kUncompressError;
    }
    if (inflater == nullptr) {
        return kUncompressError;
    }

    const uint32_t requested = outLength;
    std::memset(out, 0, requested);
    bool given = false;
    const InflateResult result = inflateRaw(
        *inflater,
        [&](std::span<const uint8_t>& data) {
            data = given ? std::span<const uint8_t>() : std::span<const uint8_t>(in, inLength);
            given = true;
            return true;
        },
        std::span<uint8_t>(out, requested),
        [](std::span<uint8_t>, std::span<uint8_t>& window) {
            window = {};  // the caller's buffer is all the room there is
            return true;
        });
    switch (result.status) {
        case InflateStatus::kDone:
            outLength = static_cast<uint32_t>(result.produced);
            return kUncompressOk;
        case InflateStatus::kFilled:
            return kUncompressOk;
        case InflateStatus::kNoZlib:
            return resultFromZlib(result.zlibCode);
        default:
            // Damaged or cut short: what was produced is not the data that was asked for.
            return kUncompressError;
    }
}

bool compressData(std::string_view input, std::string& out, int level) {
    out.clear();
    if (input.size() > 0xFFFFFFFFu) {
        return false;
    }
    z_stream z{};
    const ZlibState state(z, deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY),
                          deflateEnd);
    if (state.code() != Z_OK) {
        return false;
    }
    out.assign(deflateBound(&z, static_cast<uLong>(input.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int code = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    if (code != Z_STREAM_END) {
        out.clear();
        return false;
    }
    return true;
}

bool inflateWhole(std::span<const uint8_t> in, std::span<uint8_t> out) {
    struct Release {
        void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    const std::unique_ptr<libdeflate_decompressor, Release> decompressor(
        libdeflate_alloc_decompressor());
    size_t produced = 0;
    return decompressor &&
           libdeflate_deflate_decompress(decompressor.get(), in.data(), in.size(), out.data(),
                                         out.size(), &produced) == LIBDEFLATE_SUCCESS &&
           produced == out.size();
}

}  // namespace lume
