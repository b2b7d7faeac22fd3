// A loopback HTTP server for tests: serves a directory with byte ranges on 127.0.0.1 (a free
// port) and misbehaves on request. A fault applies to the next requests whatever their path
// (injectNext) or to the requests of one path (injectForPath); it counts and records every
// request it receives, faulty or not.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lume::test {

enum class Fault {
    None,
    Status,        // answer with FaultPlan::status (404, 500, 302 ...) and a short body
    Stall,         // send the headers, then nothing for FaultPlan::delayMs
    WholeBody,     // ignore the range: 200 with the whole file
    ShortBody,     // announce the full length, send half the body, then close
    DelayHeaders,  // wait FaultPlan::delayMs before answering normally
    OtherRange,    // 206 with the range one byte further on (its bytes and Content-Range)
    Encoded,       // the right answer, but marked "Content-Encoding: gzip"
};

struct FaultPlan {
    Fault fault = Fault::None;
    int status = 0;
    uint32_t delayMs = 0;
    std::string location;  // of a 3xx status; the same path with "?moved" if empty

    static FaultPlan withStatus(int code, std::string to = {}) {
        return {Fault::Status, code, 0, std::move(to)};
    }
    static FaultPlan stall(uint32_t ms = 60000) { return {Fault::Stall, 0, ms, {}}; }
    static FaultPlan wholeBody() { return {Fault::WholeBody, 0, 0, {}}; }
    static FaultPlan shortBody() { return {Fault::ShortBody, 0, 0, {}}; }
    static FaultPlan delayHeaders(uint32_t ms) { return {Fault::DelayHeaders, 0, ms, {}}; }
    static FaultPlan otherRange() { return {Fault::OtherRange, 0, 0, {}}; }
    static FaultPlan encoded() { return {Fault::Encoded, 0, 0, {}}; }
};

struct RequestRecord {
    std::string path;   // as requested, without the query
    std::string range;  // the Range header, empty when none
    std::string userAgent;
};

class TestHttpServer {
public:
    // root: the directory to serve (native path). Starts at once; check started().
    explicit TestHttpServer(std::string root);
    // Stops: stalled and delayed answers are cut short, the server thread is joined.
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    bool started() const;
    void stop();

    int port() const;
    // "127.0.0.1:PORT": what the engine calls a host.
    std::string host() const;
    // "http://127.0.0.1:PORT" + path (path starts with "/").
    std::string url(std::string_view path) const;
    std::u16string wideUrl(std::string_view path) const;

    // The next count requests, whatever their path, get the fault (before any path fault).
    void injectNext(FaultPlan fault, int count = 1);
    // Requests of path get the fault: all of them (count < 0) or the next count.
    void injectForPath(const std::string& path, FaultPlan fault, int count = -1);
    // Every request with a Range header gets the fault (after the two kinds above), as
    // from a proxy that mishandles ranges; whole-file requests are answered normally.
    void injectForRanges(FaultPlan fault);

    int requestCount(const std::string& path) const;
    int totalRequests() const;
    std::vector<RequestRecord> requests() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace lume::test
