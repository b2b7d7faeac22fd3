// Raw deflate (no zlib header or trailer): the one inflate loop of the program, under
// unCompressData (pack reads), the installation of downloaded files and the pack tool, and
// the deflate of the tools that publish data and build packs.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace lume {

enum UncompressResult : int {
    kUncompressOk = 0,
    kUncompressBufferError = 1,
    kUncompressStreamEnd = 2,  // a zlib call reported stream end where it should not
    kUncompressError = 3,
};

// Inflates inLength bytes of raw deflate data into out (outLength bytes, zero-filled
// first). When the stream ends, outLength becomes the number of bytes produced; data that
// fills the buffer before it ends is cut there. A stream that is damaged or truncated, so
// that it ends before filling the buffer, fails with kUncompressError. Null buffers and zero
// lengths are refused without touching anything.
int unCompressData(z_stream* inflater, uint8_t* out, uint32_t& outLength, const uint8_t* in,
                   uint32_t inLength);

// How the inflate loop ended.
enum class InflateStatus {
    kDone,         // the stream ended
    kFilled,       // the output had no room left before the stream ended
    kCutShort,     // the input ended before the stream did
    kDamaged,      // not raw deflate data, or damaged
    kReadFailed,   // the input callback failed
    kWriteFailed,  // the output callback failed
    kNoZlib,       // the inflater could not be set up (out of memory)
};

struct InflateResult {
    InflateStatus status = InflateStatus::kDone;
    int zlibCode = Z_OK;    // of the failing setup, for kNoZlib
    uint64_t produced = 0;  // bytes inflated into the windows, handed on or not
};

// More input: sets data to the next bytes, empty at the end of the input. False when the
// input cannot be read.
using InflateInput = std::function<bool(std::span<const uint8_t>& data)>;
// Takes a full window (or, when the stream ends, the filled part of the last one) and sets
// window to the next one to fill, empty when there is no more room. False when the bytes
// cannot be taken.
using InflateOutput = std::function<bool(std::span<uint8_t> filled, std::span<uint8_t>& window)>;

// The inflate loop: inflates into window, handing each window to output when it is full or
// the stream has ended, and drawing input as zlib needs it. inflater is only the storage of
// the zlib state: it is set up here and released before the call returns.
InflateResult inflateRaw(z_stream& inflater, const InflateInput& input, std::span<uint8_t> window,
                         const InflateOutput& output);

// Raw deflate data that is whole in memory, inflated in one call (libdeflate, about twice
// zlib's speed): true only when it is a complete stream that gives exactly out.size() bytes.
[[nodiscard]] bool inflateWhole(std::span<const uint8_t> in, std::span<uint8_t> out);

// The other direction, for the tools that publish data and build packs: raw deflate of the
// whole input at the given zlib level. False (out empty) when zlib fails or the input is
// larger than zlib takes in one call.
bool compressData(std::string_view input, std::string& out, int level = Z_BEST_COMPRESSION);

}  // namespace lume
