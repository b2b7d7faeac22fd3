// The only path to HTTP: one libcurl easy handle per owner, used from one thread, reused
// for every transfer of that owner. Four plain GET transfers: whole resource into a file,
// whole resource into a stream, one byte range into a stream, and a timed probe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "transfer/TransferSettings.h"

namespace lume {

class Stream;

// libcurl's global set-up, once per process, before the first handle is made.
void initialiseCurl();
// The proxy of the settings on an easy handle (none set: libcurl's own default).
void applyProxy(void* curl, const std::string& proxy);
// The HTTP version a request asks for: HTTP/2 through ALPN on TLS (HTTP/1.1 otherwise), or,
// with HTTP/2 without TLS configured, HTTP/2 from the first byte. Only the request that
// opens the connection may say so: libcurl 7.88 fails a request that reuses such a
// connection while announcing prior knowledge again ("Error in the HTTP2 framing layer"),
// so requests on an open connection ask for HTTP/2 the ordinary way and are multiplexed on
// it. connectionOpen: an HTTP/2 connection to the server is open or being opened.
long httpVersion(bool http2, bool connectionOpen);

// Kind of libcurl callback being delivered to a transfer's handler.
enum class TransferEvent : int32_t { None = 0, Write = 1, Read = 2, Header = 3, Progress = 4 };

// The state of one transfer, handed to libcurl as the user data of every callback. Lives on
// the transferring thread's stack for the duration of one transfer.
struct TransferContext {
    // Returns 0 to go on, anything else to end the transfer.
    using Handler = int (*)(TransferContext& context);
    // (bytes downloaded, bytes expected); non-zero aborts the transfer.
    using Progress = std::function<int(double now, double total)>;

    Handler handler = nullptr;
    Progress progress;
    uint8_t* memory = nullptr;  // raw sink, used only when stream is null
    uint32_t memoryCapacity = 0;
    Stream* stream = nullptr;  // sink of the response body
    uint32_t written = 0;      // bytes copied into the raw memory sink
    int32_t connectTimeoutMs = 0;
    TransferEvent event = TransferEvent::None;
    int32_t status = 0;  // from the first status line; 0 until one is seen

    // A range transfer checks the answer (RangeAnswer) when the first byte of the body
    // arrives, and ends the transfer before keeping anything of a refused one.
    void* curl = nullptr;  // the easy handle, for the answer's headers
    bool checkRange = false;
    bool rangeChecked = false;
    bool refused = false;
    uint64_t rangeFirst = 0;
    uint64_t rangeLast = 0;
    uint64_t received = 0;  // body bytes delivered, kept or not
    std::string refusal;    // what a refused answer was

    // Arguments of the current Write, Read or Header callback.
    char* data = nullptr;
    size_t itemSize = 0;
    size_t itemCount = 0;
    // Arguments of the current Progress callback.
    double downloadNow = 0;
    double downloadTotal = 0;
    double uploadNow = 0;
    double uploadTotal = 0;
};

class UrlFile {
public:
    static constexpr const char* kUserAgent = "libcurl-agent/1.0";
    static constexpr int32_t kLowSpeedLimit = 1;  // bytes per second
    static constexpr int32_t kLowSpeedTime = 30;  // seconds
    static constexpr uint32_t kProbeCapacity = 0x100000;
    static constexpr double kProbeFailedSeconds = 555555.0;

    UrlFile();
    ~UrlFile();
    UrlFile(const UrlFile&) = delete;
    UrlFile& operator=(const UrlFile&) = delete;

    // Releases the handle; later transfers fail.
    void cleanup();

    // connectTimeoutMs 0 leaves libcurl's default connect time-out. False when the
    // destination cannot be created (nothing is transferred then).
    [[nodiscard]] bool downloadToFile(std::u16string_view url, std::u16string_view path,
                                      int32_t connectTimeoutMs);
    // On success the stream is positioned at 0.
    [[nodiscard]] bool downloadToStream(std::u16string_view url, Stream& stream,
                                        int32_t connectTimeoutMs);
    // Fetches bytes offset .. offset + size - 1. On success the stream is positioned at 0.
    // A range that is empty or reaches past 4 GiB is refused without a transfer; an answer
    // that is not exactly the range (RangeAnswer) is refused before a byte reaches the
    // stream, and one whose body is not size bytes long fails.
    [[nodiscard]] bool downloadRange(std::u16string_view url, Stream& stream, uint32_t offset,
                                     uint32_t size, int32_t connectTimeoutMs);
    // Downloads the resource into 1 MiB of memory and reports the transfer time; a failed
    // download reports 555555.0 seconds.
    [[nodiscard]] bool probe(std::u16string_view url, int32_t connectTimeoutMs, double& seconds);

    // The common step of the transfers: sets the options (an empty range and a connect
    // time-out of 0 clear what an earlier transfer of the handle set) and runs the transfer;
    // logs and returns false on any libcurl error, a status outside 200-299 included.
    [[nodiscard]] bool perform(const std::string& utf8Url, const std::string& range,
                               TransferContext& context);

    // The range text of a block: first and last byte, both inclusive ("0-15").
    static std::string rangeText(uint32_t offset, uint32_t size);

    // Installed into every later transfer of this handle; its owner uses it to cut a
    // transfer short (for instance when its thread is asked to stop). Called on the
    // transferring thread, at least about once per second while a transfer runs.
    void setProgressHook(TransferContext::Progress hook) { progressHook_ = std::move(hook); }
    // How long a transfer may move less than kLowSpeedLimit bytes per second before libcurl
    // ends it. Tests shorten it; the product keeps kLowSpeedTime.
    void setLowSpeedTime(int32_t seconds) { lowSpeedTime_ = seconds; }
    // The update's proxy, bandwidth limit and HTTP/2 without TLS, for every later transfer
    // of this handle.
    void setTransferSettings(const TransferSettings& settings) {
        proxy_ = settings.proxy;
        limitRate_ = settings.limitRate;
        http2_ = settings.http2;
    }

private:
    // Releases the easy handle (curl_easy_cleanup).
    struct HandleRelease {
        void operator()(void* handle) const;
    };

    std::unique_ptr<void, HandleRelease> handle_;  // the CURL easy handle
    TransferContext::Progress progressHook_;
    int32_t lowSpeedTime_ = kLowSpeedTime;
    std::string proxy_;
    uint64_t limitRate_ = 0;
    bool http2_ = false;
    bool h2Open_ = false;  // this handle holds an HTTP/2 connection without TLS
};

}  // namespace lume
