#include "tests/support/TestHttpServer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/Text.h"
#include "tools/serve/ServerThread.h"
#include "tools/serve/StaticFiles.h"

namespace lume::test {
struct TestHttpServer::State {
    std::string root;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::deque<std::pair<FaultPlan, int>> next;
    std::map<std::string, std::pair<FaultPlan, int>> byPath;
    FaultPlan ranges;
    std::vector<RequestRecord> records;
    std::map<std::string, int> counts;
    std::unique_ptr<serve::ServerThread> server;

    // False when the server is stopping.
    bool sleepFor(uint32_t ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return !wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }

    FaultPlan takeFault(const std::string& path, bool ranged) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!next.empty()) {
            FaultPlan plan = next.front().first;
            if (--next.front().second <= 0) {
                next.pop_front();
            }
            return plan;
        }
        auto it = byPath.find(path);
        if (it == byPath.end()) {
            return ranged ? ranges : FaultPlan();
        }
        FaultPlan plan = it->second.first;
        if (it->second.second > 0 && --it->second.second == 0) {
            byPath.erase(it);
        }
        return plan;
    }

    void handle(const httplib::Request& req, httplib::Response& res) {
        serve::takeOverRange(req);
        const std::string range = req.get_header_value("Range");
        {
            std::lock_guard<std::mutex> lock(mutex);
            records.push_back({req.path, range, req.get_header_value("User-Agent")});
            ++counts[req.path];
        }
        const FaultPlan fault = takeFault(req.path, !range.empty());
        if (fault.fault == Fault::Status) {
            res.status = fault.status;
            if (fault.status >= 300 && fault.status < 400) {
                res.set_header("Location",
                               fault.location.empty() ? req.path + "?moved" : fault.location);
            }
            // These statuses carry no body; one would be read as the next response.
            if (fault.status >= 200 && fault.status != 204 && fault.status != 304) {
                res.set_content("fault\n", "text/plain");
            }
            return;
        }
        if (fault.fault == Fault::DelayHeaders && !sleepFor(fault.delayMs)) {
            res.status = 503;
            res.set_content("stopping\n", "text/plain");
            return;
        }
        serve::FileReply reply = serve::planReply(
            root, req.path, fault.fault == Fault::WholeBody ? std::string_view() : range);
        if (fault.fault == Fault::OtherRange && reply.status == 206 &&
            reply.offset + reply.length < reply.fileSize) {
            reply.offset += 1;
            reply.contentRange = "bytes " + std::to_string(reply.offset) + "-" +
                                 std::to_string(reply.offset + reply.length - 1) + "/" +
                                 std::to_string(reply.fileSize);
        }
        const bool hasBody = (reply.status == 200 || reply.status == 206) && reply.length > 0;
        if (!hasBody || (fault.fault != Fault::Stall && fault.fault != Fault::ShortBody)) {
            serve::sendReply(req, res, reply);
            if (fault.fault == Fault::Encoded && hasBody) {
                res.set_header("Content-Encoding", "gzip");
            }
            return;
        }
        res.status = reply.status;
        res.set_header("Accept-Ranges", "bytes");
        if (!reply.contentRange.empty()) {
            res.set_header("Content-Range", reply.contentRange);
        }
        auto source = std::make_shared<serve::FileSource>(reply.file);
        const uint64_t start = reply.offset;
        const uint64_t half = reply.length / 2;
        const Fault kind = fault.fault;
        const uint32_t stallMs = fault.delayMs;
        res.set_content_provider(static_cast<size_t>(reply.length), "application/octet-stream",
                                 [this, source, start, half, kind, stallMs](
                                     size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (kind == Fault::Stall) {
                                         sleepFor(stallMs);
                                         return false;
                                     }
                                     return offset < half &&
                                            source->send(start + offset,
                                                         std::min<uint64_t>(length, half - offset),
                                                         sink);
                                 });
    }
};

TestHttpServer::TestHttpServer(std::string root) : state_(std::make_shared<State>()) {
    state_->root = std::move(root);
    State* state = state_.get();
    state_->server = std::make_unique<serve::ServerThread>(
        [state](const httplib::Request& req, httplib::Response& res) { state->handle(req, res); });
    state_->server->start("127.0.0.1", 0);
}

TestHttpServer::~TestHttpServer() {
    stop();
}

bool TestHttpServer::started() const {
    return state_->server->running();
}

void TestHttpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    state_->server->stop();
}

int TestHttpServer::port() const {
    return state_->server->port();
}

std::string TestHttpServer::host() const {
    return "127.0.0.1:" + std::to_string(port());
}

std::string TestHttpServer::url(std::string_view path) const {
    return "http://" + host() + std::string(path);
}

std::u16string TestHttpServer::wideUrl(std::string_view path) const {
    return platform::utf8ToWide(url(path));
}

void TestHttpServer::injectNext(FaultPlan fault, int count) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->next.emplace_back(std::move(fault), count);
}

void TestHttpServer::injectForPath(const std::string& path, FaultPlan fault, int count) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->byPath[path] = {std::move(fault), count};
}

void TestHttpServer::injectForRanges(FaultPlan fault) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->ranges = std::move(fault);
}

int TestHttpServer::requestCount(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->counts.find(path);
    return it == state_->counts.end() ? 0 : it->second;
}

int TestHttpServer::totalRequests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<int>(state_->records.size());
}

std::vector<RequestRecord> TestHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->records;
}

}  // namespace lume::test
