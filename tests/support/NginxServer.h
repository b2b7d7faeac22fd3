// A real nginx for tests: started on a free loopback port with its configuration, pid file
// and logs in a temporary directory of its own, serving a given directory (byte ranges
// included); stopped and waited for when the object goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lume::test {

class NginxServer {
public:
    static constexpr const char* kBinary = "/usr/sbin/nginx";
    static bool available();

    // root: the directory to serve (native absolute path). extra: directives for the server
    // block, such as "limit_rate 150k;" to slow every response down. tls, when given, makes
    // the port speak HTTPS only, with that certificate and key. Waits (at most a few
    // seconds) until nginx accepts connections; check started().
    struct TlsFiles {
        std::string certificate;  // PEM
        std::string key;          // PEM
    };
    // http2: the port speaks HTTP/2 only (with TLS through ALPN, without it by prior
    // knowledge).
    explicit NginxServer(const std::string& root, const std::string& extra = {},
                         const TlsFiles& tls = {}, bool http2 = false);
    // Stops nginx (TERM, then KILL after 5 s) and removes its directory.
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool started() const { return started_; }
    // "127.0.0.1:port"; with TLS "https://127.0.0.1:port", as the launcher takes a host.
    std::string host() const { return (https_ ? "https://" : "") + address(); }
    std::string url(std::string_view path) const {
        return (https_ ? "https://" : "http://") + address() + std::string(path);
    }
    std::string errorLog() const;

    // The requests logged so far (nginx logs a request when it ends).
    struct Logged {
        std::string path;
        uint64_t bytes = 0;    // of the body
        std::string range;     // the Range header, empty when none
        std::string protocol;  // "HTTP/1.1", "HTTP/2.0"
    };
    std::vector<Logged> logged() const;
    // Requests, and body bytes sent, for paths that start with prefix.
    int requests(std::string_view prefix = {}) const;
    uint64_t bytesSent(std::string_view prefix = {}) const;

private:
    bool start(const std::string& root, const std::string& server);
    void stop();

    std::string dir_;
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    int port_ = 0;
    bool https_ = false;
    pid_t pid_ = -1;
    bool started_ = false;
};

}  // namespace lume::test
