// The transfer settings of an update, read from bin\config.ini once by the updater (the
// command line may override some) and handed to the update run: the connect time-out and
// retries of every block, the bandwidth limit of the whole update, the proxy, HTTP/2 without
// TLS, and how long servers may deliver nothing before the update gives up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lume {

struct TransferSettings {
    int32_t timeout = 30000;  // ms; as read from the configuration, never below 30000
    int32_t retryTimes = 5;
    // Bytes per second for all transfers of an update together; 0: no limit.
    uint64_t limitRate = 0;
    // libcurl's proxy text ("host:port", "http://host:port", "socks5h://host:port"); empty:
    // none set here (libcurl still honours the usual proxy environment variables).
    std::string proxy;
    // Talk HTTP/2 from the first byte to http:// servers (h2c with prior knowledge), for
    // servers configured so. https:// servers are offered HTTP/2 through ALPN anyway.
    bool http2 = false;
    // An update whose servers deliver no byte for this long fails with the download text,
    // whatever the per-request time-outs and retries would still allow.
    int32_t stallSeconds = 120;
};

// What the command line sets over bin\config.ini.
struct TransferOverrides {
    std::optional<uint64_t> limitRate;
    std::optional<std::string> proxy;
};

// A bandwidth as curl's --limit-rate writes it: bytes per second, or with a suffix K, M or
// G (powers of 1024, either case): "500K", "2M", "1.5M". Nothing for text that is not one.
std::optional<uint64_t> parseRate(std::string_view text);

}  // namespace lume
