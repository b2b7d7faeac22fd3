// The file checksum (engine/Kernel/Checksum.h) of what a stream holds: the file lists' crc
// and zipcrc of local files, and the checks of downloaded data.
#pragma once

#include <cstdint>

#include "engine/Kernel/Checksum.h"

namespace lume {

class Stream;

// Reads from the stream's current position (in chunks of up to 256 KiB), up to limit
// bytes or the end of the stream; stops early, returning the register so far, when a read
// fails.
uint32_t fileChecksum(Stream& stream, uint32_t limit = 0xFFFFFFFFu,
                      uint32_t start = kChecksumStart);

}  // namespace lume
