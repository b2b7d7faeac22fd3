#include "transfer/UrlFile.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/FileSystem/File.h"
#include "engine/Kernel/Logger.h"
#include "platform/Text.h"
#include "transfer/Https.h"
#include "transfer/RangeAnswer.h"

namespace lume {
namespace {

// A status line we cannot read counts as status 0, which is not a success either.
int32_t readStatusLine(const std::string& line) {
    int major = 0;
    int minor = 0;
    int code = 0;
    if (std::sscanf(line.c_str(), "HTTP/%d.%d %3d", &major, &minor, &code) == 3) {
        return code;
    }
    // HTTP/2 and later carry no minor version in the status line.
    if (std::sscanf(line.c_str(), "HTTP/%d %3d", &major, &code) == 2) {
        return code;
    }
    return 0;
}

int handleTransferEvent(TransferContext& context) {
    switch (context.event) {
        case TransferEvent::Write: {
            const size_t n = context.itemSize * context.itemCount;
            if (context.checkRange && !context.rangeChecked) {
                context.rangeChecked = true;
                context.refused =
                    checkRangeAnswer(context.curl, context.rangeFirst, context.rangeLast,
                                     context.refusal) != RangeAnswer::kGood;
                if (context.refused) {
                    return 1;
                }
            }
            context.received += n;
            if (context.stream != nullptr) {
                // A sink that refuses bytes (a memory stream at its capacity) loses them; the
                // transfer goes on.
                static_cast<void>(context.stream->write(context.data, static_cast<uint32_t>(n)));
            } else if (context.memory != nullptr) {
                const uint32_t room = context.memoryCapacity - context.written;
                const uint32_t take = static_cast<uint32_t>(std::min<size_t>(n, room));
                std::memcpy(context.memory + context.written, context.data, take);
                context.written += take;
            }
            return 0;
        }
        case TransferEvent::Header: {
            if (context.status != 0) {
                return 0;
            }
            std::string line(context.data, context.itemSize * context.itemCount);
            std::transform(line.begin(), line.end(), line.begin(), [](char c) {
                return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            });
            const size_t at = line.find("HTTP/");
            if (at == std::string::npos) {
                return 0;
            }
            context.status = readStatusLine(line.substr(at));
            return (context.status < 200 || context.status >= 300) ? 1 : 0;
        }
        case TransferEvent::Progress:
            if (context.progress) {
                return context.progress(context.downloadNow, context.downloadTotal) != 0 ? 1 : 0;
            }
            return 0;
        case TransferEvent::Read:
        case TransferEvent::None:
            return 0;
    }
    return 0;
}

size_t deliver(TransferEvent event, char* data, size_t size, size_t count, void* user) {
    auto* context = static_cast<TransferContext*>(user);
    const size_t n = size * count;
    if (context->handler == nullptr) {
        return n;
    }
    context->event = event;
    context->data = data;
    context->itemSize = size;
    context->itemCount = count;
    if (context->handler(*context) == 0) {
        return n;
    }
    // Anything but the byte count ends the transfer at once with CURLE_WRITE_ERROR. The
    // pause code would not: libcurl 7.88 keeps a paused transfer open and exempts it from
    // the low-speed limit, so it would never end.
    return n == 0 ? 1 : 0;
}

size_t writeTrampoline(char* data, size_t size, size_t count, void* user) {
    return deliver(TransferEvent::Write, data, size, count, user);
}

size_t headerTrampoline(char* data, size_t size, size_t count, void* user) {
    return deliver(TransferEvent::Header, data, size, count, user);
}

// Nothing is ever uploaded (every transfer is a GET), so there is never data to give.
size_t readTrampoline(char* data, size_t size, size_t count, void* user) {
    auto* context = static_cast<TransferContext*>(user);
    if (context->handler != nullptr) {
        context->event = TransferEvent::Read;
        context->data = data;
        context->itemSize = size;
        context->itemCount = count;
        context->handler(*context);
    }
    return 0;
}

int progressTrampoline(void* user, curl_off_t downloadTotal, curl_off_t downloadNow,
                       curl_off_t uploadTotal, curl_off_t uploadNow) {
    auto* context = static_cast<TransferContext*>(user);
    if (context->handler == nullptr) {
        return 0;
    }
    context->event = TransferEvent::Progress;
    context->downloadNow = static_cast<double>(downloadNow);
    context->downloadTotal = static_cast<double>(downloadTotal);
    context->uploadNow = static_cast<double>(uploadNow);
    context->uploadTotal = static_cast<double>(uploadTotal);
    return context->handler(*context) != 0 ? 1 : 0;
}

}  // namespace

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void applyProxy(void* curl, const std::string& proxy) {
    curl_easy_setopt(static_cast<CURL*>(curl), CURLOPT_PROXY,
                     proxy.empty() ? nullptr : proxy.c_str());
}

long httpVersion(bool http2, bool connectionOpen) {
    if (!http2) {
        return CURL_HTTP_VERSION_2TLS;
    }
    return connectionOpen ? CURL_HTTP_VERSION_2_0 : CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
}

void UrlFile::HandleRelease::operator()(void* handle) const {
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

UrlFile::UrlFile() {
    initialiseCurl();
    handle_.reset(curl_easy_init());
}

UrlFile::~UrlFile() = default;

void UrlFile::cleanup() {
    handle_.reset();
}

std::string UrlFile::rangeText(uint32_t offset, uint32_t size) {
    char text[32];
    std::snprintf(text, sizeof text, "%lu-%lu", static_cast<unsigned long>(offset),
                  static_cast<unsigned long>(offset + size - 1));
    return text;
}

bool UrlFile::perform(const std::string& utf8Url, const std::string& range,
                      TransferContext& context) {
    if (!handle_) {
        return false;
    }
    CURL* curl = static_cast<CURL*>(handle_.get());
    context.progress = progressHook_;
    curl_easy_setopt(curl, CURLOPT_URL, utf8Url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeTrampoline);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &context);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &headerTrampoline);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &context);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &readTrampoline);
    curl_easy_setopt(curl, CURLOPT_READDATA, &context);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &progressTrampoline);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &context);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(kLowSpeedLimit));
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(lowSpeedTime_));
    // The handle keeps its options between transfers, so a transfer without a range or
    // connect time-out clears the previous one's instead of inheriting it.
    curl_easy_setopt(curl, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(context.connectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    // Several threads transfer at once; libcurl must not use signals for its time-outs.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    applyTlsTrust(curl);
    applyProxy(curl, proxy_);
    curl_easy_setopt(curl, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(limitRate_));
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, httpVersion(http2_, h2Open_));

    const CURLcode result = curl_easy_perform(curl);
    long version = 0;
    h2Open_ = result == CURLE_OK &&
              curl_easy_getinfo(curl, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
              version == CURL_HTTP_VERSION_2_0;
    if (result == CURLE_OK) {
        return true;
    }
    logA_m1("下载[%s]出错 offset:%s res:%d timeout:%d", utf8Url, range, static_cast<int>(result),
            context.connectTimeoutMs);
    return false;
}

bool UrlFile::downloadToFile(std::u16string_view url, std::u16string_view path,
                             int32_t connectTimeoutMs) {
    File file;
    if (!file.open(path, 1)) {
        return false;
    }
    TransferContext context;
    context.handler = &handleTransferEvent;
    context.stream = &file;
    context.connectTimeoutMs = connectTimeoutMs;
    const bool ok = perform(platform::wideToUtf8(url), std::string(), context);
    return ok && context.status >= 200 && context.status <= 299;
}

bool UrlFile::downloadToStream(std::u16string_view url, Stream& stream, int32_t connectTimeoutMs) {
    TransferContext context;
    context.handler = &handleTransferEvent;
    context.stream = &stream;
    context.connectTimeoutMs = connectTimeoutMs;
    if (!perform(platform::wideToUtf8(url), std::string(), context)) {
        return false;
    }
    if (context.status < 200 || context.status > 299) {
        return false;
    }
    stream.seek(0);
    return true;
}

bool UrlFile::downloadRange(std::u16string_view url, Stream& stream, uint32_t offset, uint32_t size,
                            int32_t connectTimeoutMs) {
    TransferContext context;
    context.handler = &handleTransferEvent;
    context.stream = &stream;
    context.connectTimeoutMs = connectTimeoutMs;
    if (size == 0 || uint64_t{offset} + size - 1 > UINT32_MAX) {
        logW_m1(u"下载[%s]出错 offset:%u size:%u write:%u http code:%d urlfile(196)", url, offset,
                size, context.written, context.status);
        return false;
    }
    context.curl = handle_.get();
    context.checkRange = true;
    context.rangeFirst = offset;
    context.rangeLast = uint64_t{offset} + size - 1;
    const bool performed = perform(platform::wideToUtf8(url), rangeText(offset, size), context);
    // An answer without a body is checked now; one with a body was checked at its first byte.
    if (performed && !context.rangeChecked && handle_) {
        context.refused = checkRangeAnswer(handle_.get(), context.rangeFirst, context.rangeLast,
                                           context.refusal) != RangeAnswer::kGood;
    }
    if (context.refused) {
        logA_m1("refused the answer to %s range %s: %s", platform::wideToUtf8(url),
                rangeText(offset, size), context.refusal);
        return false;
    }
    if (!performed) {
        return false;
    }
    if (context.received != size) {
        logW_m1(u"下载[%s]出错 offset:%u size:%u write:%u http code:%d urlfile(196)", url, offset,
                size, static_cast<uint32_t>(context.received), context.status);
        return false;
    }
    stream.seek(0);
    return true;
}

bool UrlFile::probe(std::u16string_view url, int32_t connectTimeoutMs, double& seconds) {
    File file;
    if (!file.openMemory(kProbeCapacity)) {
        return false;
    }
    if (!downloadToStream(url, file, connectTimeoutMs)) {
        seconds = kProbeFailedSeconds;
        file.close();
        return false;
    }
    file.close();
    if (curl_easy_getinfo(static_cast<CURL*>(handle_.get()), CURLINFO_TOTAL_TIME, &seconds) !=
        CURLE_OK) {
        return false;
    }
    logA_m1("探测下载[%s]需要时间 timeout:%g", platform::wideToUtf8(url), seconds);
    return true;
}

}  // namespace lume
