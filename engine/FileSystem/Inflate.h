// Raw-deflate decompression (no zlib header), the one inflate step of the launcher.
#pragma once

#include <zlib.h>

#include <cstdint>
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
// first). When the stream ends, outLength becomes the number of bytes produced. A stream
// that is damaged or truncated, so that it ends before filling the buffer, fails with
// kUncompressError. Null buffers and zero lengths are refused without touching anything.
int unCompressData(z_stream* inflater, uint8_t* out, uint32_t& outLength, const uint8_t* in,
                   uint32_t inLength);

// The other direction, for the tools that publish data and build packs: raw deflate of the
// whole input at the given zlib level. False (out empty) when zlib fails or the input is
// larger than zlib takes in one call.
bool compressData(std::string_view input, std::string& out, int level = Z_BEST_COMPRESSION);

}  // namespace lume
