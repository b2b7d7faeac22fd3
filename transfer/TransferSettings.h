// The transfer settings of an update: the connect time-out and the retries that every
// download thread gets for its blocks. The updater reads them from bin\config.ini once and
// hands them to the update run.
#pragma once

#include <cstdint>

namespace lume {

struct TransferSettings {
    int32_t timeout = 30000;  // ms; as read from the configuration, never below 30000
    int32_t retryTimes = 5;
};

}  // namespace lume
