// The check of an answer to a byte-range request before any of its bytes is kept: the
// status must be 206, the Content-Range exactly the range asked for, and the body must carry
// no content coding. A proxy that ignores Range (200 with the whole file), one that
// compresses, or a server that sends another range is refused, so that its bytes never
// reach a temporary file or a block index.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lume {

enum class RangeAnswer { kGood, kStatus, kContentRange, kEncoding };

// first and last: the bytes asked for, both inclusive. contentRange and contentEncoding are
// the header values, empty when absent.
RangeAnswer checkRangeAnswer(long status, std::string_view contentRange,
                             std::string_view contentEncoding, uint64_t first, uint64_t last);

// The same check on the answer a libcurl easy handle has received so far (its headers are
// complete once the first byte of the body arrives). description receives what was seen,
// for the log line of a refused answer.
RangeAnswer checkRangeAnswer(void* curl, uint64_t first, uint64_t last, std::string& description);

}  // namespace lume
