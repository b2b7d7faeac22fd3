#include "transfer/HttpDownloader.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/Kernel/Logger.h"
#include "platform/Text.h"
#include "transfer/BlockSink.h"
#include "transfer/Https.h"
#include "transfer/RangeAnswer.h"

namespace lume {

// A run of consecutive blocks of one file, fetched with one range request.
struct HttpDownloader::Span {
    std::vector<Block> blocks;
    size_t next = 0;  // the first block not yet delivered
    std::string remote;
    int32_t retries = 0;
    int32_t timeOut = 0;  // connect time-out of the next attempt, ms
    bool backup = false;  // the next attempt goes to the backup host
    Clock::time_point notBefore{};
    uint32_t generation = 0;

    uint32_t first() const { return blocks[next].offset; }
    uint32_t bytesLeft() const {
        const Block& last = blocks.back();
        return last.offset + last.size - first();
    }
    uint32_t blocksLeft() const { return static_cast<uint32_t>(blocks.size() - next); }
};

// One request in flight.
struct HttpDownloader::Transfer {
    struct EasyRelease {
        void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
    };

    HttpDownloader* owner = nullptr;
    std::unique_ptr<CURL, EasyRelease> easy;
    std::unique_ptr<Span> span;
    std::string url;
    std::string range;
    std::vector<uint8_t> buffer;  // the block being filled: span->blocks[span->next]
    uint32_t filled = 0;
    bool checked = false;
    bool refused = false;
    bool paused = false;  // waiting for the bandwidth limit
    bool opener = false;  // opens an HTTP/2 connection without TLS (httpVersion)
    std::string host;
    std::string refusal;
    char error[CURL_ERROR_SIZE] = {};
};

namespace {

void releaseMulti(void* multi) {
    if (multi != nullptr) {
        curl_multi_cleanup(static_cast<CURLM*>(multi));
    }
}

}  // namespace

HttpDownloader::HttpDownloader(BlockSink* sink, DownloadTuning tuning)
    : sink_(sink), tuning_(tuning) {
    initialiseCurl();
    CURLM* multi = curl_multi_init();
    if (multi != nullptr) {
        // Requests to one server share its connections: kept between requests, and
        // multiplexed when the server speaks HTTP/2.
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                          static_cast<long>(kConnectionsPerHost));
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(2 * kConnectionsPerHost));
    }
    multi_ = multi;
    setName("http download thread 0");
}

HttpDownloader::~HttpDownloader() {
    logA_1("~HttpDownloader '%s'", name());
    requestStop();
    stopAndJoin();
    inFlight_.clear();
    releaseMulti(multi_);
    Lock lock(this);
    queue_.clear();
}

int32_t HttpDownloader::nextTimeOut(int32_t timeOut, int32_t retries) {
    const int64_t product = int64_t{timeOut} * retries;
    return static_cast<int32_t>(std::clamp<int64_t>(product, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

bool HttpDownloader::begin(const std::string& primary, const std::string& backup,
                           const TransferSettings& settings) {
    {
        Lock lock(this);
        primary_ = primary;
        backup_ = backup.empty() ? primary : backup;
        settings_ = settings;
        success_.store(0, std::memory_order_release);
        failure_.store(0, std::memory_order_release);
    }
    logA_m1("BeginDownload timeOut:%d retryTimes:%d", settings.timeout, settings.retryTimes);
    if (multi_ == nullptr) {
        return false;
    }
    return threadHandle() != nullptr || start();
}

void HttpDownloader::addBlocks(const std::vector<Block>& blocks) {
    std::deque<std::unique_ptr<Span>> spans;
    uint32_t unnamed = 0;
    for (const Block& block : blocks) {
        if (!spans.empty()) {
            Span& last = *spans.back();
            const Block& previous = last.blocks.back();
            if (previous.followedBy(block) &&
                previous.offset + previous.size - last.blocks.front().offset + block.size <=
                    kSpanBytes) {
                last.blocks.push_back(block);
                continue;
            }
        }
        std::string remote = block.file ? remotePath(*block.file) : std::string();
        if (remote.empty() || block.size == 0) {
            ++unnamed;
            continue;
        }
        auto span = std::make_unique<Span>();
        span->remote = std::move(remote);
        span->blocks.push_back(block);
        spans.push_back(std::move(span));
    }
    if (unnamed != 0) {
        logA_m1("%u blocks name no remote file", unnamed);
        failure_.fetch_add(unnamed, std::memory_order_acq_rel);
    }
    {
        Lock lock(this);
        for (auto& span : spans) {
            span->timeOut = settings_.timeout;
            span->generation = generation_.load(std::memory_order_acquire);
            queue_.push_back(std::move(span));
        }
    }
    nudge();
}

void HttpDownloader::finish() {
    {
        Lock lock(this);
        generation_.fetch_add(1, std::memory_order_acq_rel);
        queue_.clear();
        const uint32_t success = success_.load(std::memory_order_acquire);
        const uint32_t failure = failure_.load(std::memory_order_acquire);
        logA_m1("http下载器:%d 成功:%d 失败:%d", success + failure, success, failure);
        success_.store(0, std::memory_order_release);
        failure_.store(0, std::memory_order_release);
    }
    nudge();
}

void HttpDownloader::nudge() {
    wake();
    if (multi_ != nullptr) {
        curl_multi_wakeup(static_cast<CURLM*>(multi_));
    }
}

bool HttpDownloader::requestStop() {
    const bool running = luThread::requestStop();
    nudge();
    return running;
}

void HttpDownloader::run() {
    CURLM* multi = static_cast<CURLM*>(multi_);
    bool busy = false;
    while (!isStopped()) {
        const uint64_t seen = wakeCount();
        // Transfers of a finished update go at once.
        const uint32_t generation = generation_.load(std::memory_order_acquire);
        std::erase_if(inFlight_, [&](const std::unique_ptr<Transfer>& t) {
            if (t->span->generation == generation) {
                return false;
            }
            curl_multi_remove_handle(multi, t->easy.get());
            return true;
        });
        admit();
        bool queued = false;
        {
            Lock lock(this);
            queued = !queue_.empty();
        }
        const Clock::time_point now = Clock::now();
        refill(now);
        if (!busy && (queued || !inFlight_.empty())) {
            busy = true;
            lastData_ = now;
        }
        if (inFlight_.empty()) {
            if (!queued) {
                busy = false;
                idleWait(seen, kIdleWaitLimit);
                continue;
            }
            // Only retries waiting for their pause.
            if (!checkStall(now)) {
                idleWait(seen, std::chrono::duration_cast<std::chrono::milliseconds>(
                                   nextDeadline(now) - now) +
                                   std::chrono::milliseconds(1));
            }
            continue;
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        collectFinished();
        if (checkStall(Clock::now())) {
            continue;
        }
        long curlTimeout = -1;
        curl_multi_timeout(multi, &curlTimeout);
        const Clock::time_point after = Clock::now();
        refill(after);
        auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextDeadline(after) - after) +
            std::chrono::milliseconds(1);
        if (curlTimeout >= 0) {
            wait = std::min(wait, std::chrono::milliseconds(curlTimeout));
        }
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max<int64_t>(wait.count(), 0)),
                        nullptr);
    }
    dropAll(false);
}

HttpDownloader::Clock::time_point HttpDownloader::nextDeadline(Clock::time_point now) const {
    Clock::time_point deadline = now + kIdleWaitLimit;
    int32_t stallSeconds = 0;
    {
        Lock lock(this);
        stallSeconds = settings_.stallSeconds;
        for (const auto& span : queue_) {
            deadline = std::min(deadline, std::max(span->notBefore, now));
        }
    }
    if (stallSeconds > 0) {
        deadline =
            std::min(deadline, std::max(now, lastData_ + std::chrono::seconds(stallSeconds)));
    }
    if (limitRate_ != 0 && tokens_ <= 0 &&
        std::any_of(inFlight_.begin(), inFlight_.end(), [](const auto& t) { return t->paused; })) {
        const auto refilled = std::chrono::duration<double>(-tokens_ / limitRate_ + 0.001);
        deadline = std::min(deadline, now + std::chrono::duration_cast<Clock::duration>(refilled));
    }
    return deadline;
}

void HttpDownloader::refill(Clock::time_point now) {
    {
        Lock lock(this);
        limitRate_ = static_cast<double>(settings_.limitRate);
    }
    if (limitRate_ == 0) {
        tokens_ = 0;
        refilled_ = now;
        return;
    }
    // A quarter of a second of bytes at most may be taken at once after a pause.
    const double burst = std::max(limitRate_ / 4, 16384.0);
    tokens_ = std::min(
        burst, tokens_ + limitRate_ * std::chrono::duration<double>(now - refilled_).count());
    refilled_ = now;
    if (tokens_ <= 0) {
        return;
    }
    for (const auto& transfer : inFlight_) {
        if (transfer->paused) {
            transfer->paused = false;
            // Hands over what the transfer held back, at once (take may pause it again).
            curl_easy_pause(transfer->easy.get(), CURLPAUSE_CONT);
        }
    }
}

void HttpDownloader::admit() {
    const Clock::time_point now = Clock::now();
    while (true) {
        std::unique_ptr<Span> span;
        {
            Lock lock(this);
            size_t limit = multiplexing_ || settings_.http2 ? kStreams : kConnectionsPerHost;
            if (settings_.limitRate != 0) {
                limit = std::clamp<size_t>(settings_.limitRate / kMinRequestRate, 1, limit);
            }
            if (inFlight_.size() >= limit) {
                return;
            }
            auto ready = std::find_if(queue_.begin(), queue_.end(),
                                      [&](const auto& s) { return s->notBefore <= now; });
            if (ready == queue_.end()) {
                return;
            }
            span = std::move(*ready);
            queue_.erase(ready);
        }
        launch(std::move(span));
    }
}

void HttpDownloader::launch(std::unique_ptr<Span> span) {
    auto transfer = std::make_unique<Transfer>();
    transfer->owner = this;
    transfer->easy.reset(curl_easy_init());
    TransferSettings settings;
    std::string host;
    {
        Lock lock(this);
        settings = settings_;
        host = span->backup ? backup_ : primary_;
    }
    if (!transfer->easy) {
        transfer->span = std::move(span);
        settle(*transfer, CURLE_OUT_OF_MEMORY);
        return;
    }
    transfer->span = std::move(span);
    Span& s = *transfer->span;
    // The URL is built in the code page and handed to libcurl in UTF-8.
    // The host is in the code page, the file's path in UTF-8, as libcurl takes it.
    transfer->url = platform::wideToUtf8(platform::narrowToWide(serverUrl(host) + "/")) + s.remote;
    transfer->range = UrlFile::rangeText(s.first(), s.bytesLeft());
    CURL* easy = transfer->easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, transfer->url.c_str());
    curl_easy_setopt(easy, CURLOPT_RANGE, transfer->range.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpDownloader::onData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(UrlFile::kLowSpeedLimit));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(tuning_.lowSpeedTime));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s.timeOut));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, UrlFile::kUserAgent);
    // Bigger reads than the default 16 KiB: fewer calls per block at high speeds.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 65536L);
    // Concurrent requests wait for a connection that may multiplex them instead of each
    // opening its own.
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, settings.http2 ? 1L : 0L);
    transfer->host = host;
    // HTTP/2 without TLS only for plain servers; https ones are offered it through ALPN.
    if (settings.http2 && transfer->url.rfind("http://", 0) == 0) {
        H2cHost& h2c = h2cHosts_[host];
        transfer->opener = !h2c.open && h2c.openers == 0;
        h2c.openers += transfer->opener ? 1 : 0;
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, httpVersion(true, !transfer->opener));
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, httpVersion(false, false));
    }
    applyProxy(easy, settings.proxy);
    applyTlsTrust(easy);
    if (curl_multi_add_handle(static_cast<CURLM*>(multi_), easy) != CURLM_OK) {
        settle(*transfer, CURLE_FAILED_INIT);
        return;
    }
    inFlight_.push_back(std::move(transfer));
}

size_t HttpDownloader::onData(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    return transfer->owner->take(*transfer, data, size * count);
}

size_t HttpDownloader::take(Transfer& transfer, const char* data, size_t length) {
    // Anything but the byte count ends the transfer with CURLE_WRITE_ERROR.
    const size_t all = length;
    const size_t stop = all == 0 ? 1 : 0;
    Span& span = *transfer.span;
    if (limitRate_ != 0) {
        // Over the update's bandwidth: this transfer holds its bytes, and reads nothing more,
        // until the limit allows more.
        if (tokens_ <= 0) {
            transfer.paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        tokens_ -= static_cast<double>(all);
    }
    lastData_ = Clock::now();
    received_.fetch_add(all, std::memory_order_acq_rel);
    if (!transfer.checked) {
        transfer.checked = true;
        const uint64_t first = span.first();
        transfer.refused =
            checkRangeAnswer(transfer.easy.get(), first, first + span.bytesLeft() - 1,
                             transfer.refusal) != RangeAnswer::kGood;
        if (transfer.refused) {
            return stop;
        }
    }
    while (length > 0) {
        if (span.next >= span.blocks.size()) {
            return stop;  // more than the range: not what was asked for
        }
        const Block& block = span.blocks[span.next];
        if (transfer.buffer.size() != block.size) {
            transfer.buffer.resize(block.size);
            transfer.filled = 0;
        }
        const auto part =
            static_cast<uint32_t>(std::min<size_t>(length, block.size - transfer.filled));
        std::memcpy(transfer.buffer.data() + transfer.filled, data, part);
        transfer.filled += part;
        data += part;
        length -= part;
        if (transfer.filled == block.size) {
            std::vector<uint8_t> bytes;
            bytes.swap(transfer.buffer);
            transfer.filled = 0;
            ++span.next;
            if (!deliver(transfer, block, std::move(bytes))) {
                return stop;
            }
        }
    }
    return all;
}

bool HttpDownloader::deliver(Transfer& transfer, const Block& block, std::vector<uint8_t> bytes) {
    const uint32_t generation = transfer.span->generation;
    {
        Lock lock(this);
        if (generation != generation_.load(std::memory_order_acquire)) {
            return false;
        }
        // Counted first, so that a block is never stored before it is counted as fetched.
        success_.fetch_add(1, std::memory_order_acq_rel);
        if (sink_ != nullptr) {
            sink_->onBlockDownloaded(block, std::move(bytes));
        }
    }
    // While the sink is full, nothing more is read: the network waits for the disk.
    while (sink_ != nullptr && !cancelled(generation)) {
        const uint64_t seen = wakeCount();
        if (!sink_->full()) {
            return true;
        }
        idleWait(seen, kIdleWaitLimit);
    }
    return !cancelled(generation);
}

void HttpDownloader::collectFinished() {
    CURLM* multi = static_cast<CURLM*>(multi_);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        auto found = std::find_if(inFlight_.begin(), inFlight_.end(),
                                  [&](const auto& t) { return t->easy.get() == easy; });
        if (found == inFlight_.end()) {
            continue;
        }
        std::unique_ptr<Transfer> transfer = std::move(*found);
        inFlight_.erase(found);
        curl_multi_remove_handle(multi, easy);
        long version = 0;
        const bool h2 = curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
                        version == CURL_HTTP_VERSION_2_0;
        multiplexing_ = multiplexing_ || h2;
        if (auto h2c = h2cHosts_.find(transfer->host); h2c != h2cHosts_.end()) {
            h2c->second.openers -= transfer->opener ? 1 : 0;
            // A request that failed may have lost the connection: the next one opens one.
            h2c->second.open = result == CURLE_OK && h2;
        }
        settle(*transfer, result);
    }
}

void HttpDownloader::settle(Transfer& transfer, int result) {
    std::unique_ptr<Span> span = std::move(transfer.span);
    if (cancelled(span->generation)) {
        return;
    }
    if (result == CURLE_OK && span->next == span->blocks.size()) {
        return;  // every block delivered
    }
    if (result == CURLE_OK && !transfer.checked && transfer.easy) {
        // An answer without a body: what it was, for the log.
        transfer.refused = checkRangeAnswer(transfer.easy.get(), span->first(),
                                            uint64_t{span->first()} + span->bytesLeft() - 1,
                                            transfer.refusal) != RangeAnswer::kGood;
    }
    if (transfer.refused) {
        logA_m1("refused the answer to %s range %s: %s", transfer.url, transfer.range,
                transfer.refusal);
    } else {
        logA_m1("下载[%s]出错 offset:%s res:%d timeout:%d", transfer.url, transfer.range, result,
                span->timeOut);
    }
    // The blocks delivered stay delivered; the rest is asked again, of the backup host
    // first, then of both again after a pause, with a longer connect time-out each time.
    if (!span->backup) {
        span->backup = true;
    } else {
        int32_t retryTimes = 0;
        {
            Lock lock(this);
            retryTimes = settings_.retryTimes;
        }
        if (span->retries >= retryTimes) {
            // The file's name in the URL, without its folder and version suffix.
            std::string name = span->remote.substr(span->remote.rfind('/') + 1);
            if (const size_t dot = name.rfind('.'); dot != std::string::npos) {
                name.resize(dot);
            }
            const Block& block = span->blocks[span->next];
            logW_0(u"数据块下载失败 %s offset:%d size:%d %d/%d retry:%d time:%d",
                   platform::utf8ToWide(name), block.offset, span->bytesLeft(), block.blockIndex,
                   block.file->blockCount, span->retries, span->timeOut);
            failure_.fetch_add(span->blocksLeft(), std::memory_order_acq_rel);
            return;
        }
        span->retries += 1;
        span->timeOut = nextTimeOut(span->timeOut, span->retries);
        span->backup = false;
        span->notBefore = Clock::now() + std::chrono::milliseconds(tuning_.retryPauseMs);
    }
    Lock lock(this);
    if (span->generation == generation_.load(std::memory_order_acquire)) {
        queue_.push_back(std::move(span));
    }
}

bool HttpDownloader::checkStall(Clock::time_point now) {
    int32_t stallSeconds = 0;
    {
        Lock lock(this);
        stallSeconds = settings_.stallSeconds;
    }
    if (stallSeconds <= 0 || now - lastData_ < std::chrono::seconds(stallSeconds)) {
        return false;
    }
    logA_m1("the servers delivered nothing for %d s: the remaining blocks are given up",
            stallSeconds);
    dropAll(true);
    lastData_ = now;
    return true;
}

void HttpDownloader::dropAll(bool countAsFailed) {
    CURLM* multi = static_cast<CURLM*>(multi_);
    uint32_t blocks = 0;
    for (auto& transfer : inFlight_) {
        curl_multi_remove_handle(multi, transfer->easy.get());
        blocks += transfer->span->blocksLeft();
    }
    inFlight_.clear();
    {
        Lock lock(this);
        for (const auto& span : queue_) {
            blocks += span->blocksLeft();
        }
        queue_.clear();
        if (countAsFailed) {
            failure_.fetch_add(blocks, std::memory_order_acq_rel);
        }
    }
}

}  // namespace lume
