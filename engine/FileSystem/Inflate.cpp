#include "engine/FileSystem/Inflate.h"

#include <cstring>

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

}  // namespace

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

    *inflater = z_stream{};
    inflater->next_in = const_cast<Bytef*>(in);
    inflater->avail_in = inLength;
    inflater->next_out = out;
    inflater->avail_out = requested;
    inflater->zalloc = Z_NULL;
    inflater->zfree = Z_NULL;
    inflater->opaque = Z_NULL;

    // Negative window bits: raw deflate data, no zlib header or trailer.
    int code = inflateInit2(inflater, -MAX_WBITS);
    if (code != Z_OK) {
        return resultFromZlib(code);
    }

    // One call: the whole input is at hand and the output holds the whole result.
    code = inflate(inflater, Z_SYNC_FLUSH);
    bool incomplete = false;
    if (code == Z_STREAM_END) {
        outLength = static_cast<uint32_t>(inflater->total_out);
    } else if (inflater->total_out < requested) {
        // Damaged or cut short: what was produced is not the data that was asked for.
        incomplete = true;
    }

    code = inflateEnd(inflater);
    if (code != Z_OK) {
        return resultFromZlib(code);
    }
    return incomplete ? kUncompressError : kUncompressOk;
}

bool compressData(std::string_view input, std::string& out, int level) {
    out.clear();
    if (input.size() > 0xFFFFFFFFu) {
        return false;
    }
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return false;
    }
    out.assign(deflateBound(&z, static_cast<uLong>(input.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int code = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (code != Z_STREAM_END) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace lume
