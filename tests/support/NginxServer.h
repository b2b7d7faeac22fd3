// A real nginx for tests: started on a free loopback port with its configuration, pid file
// and logs in a temporary directory of its own, serving a given directory (byte ranges
// included); stopped and waited for when the object goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace lume::test {

class NginxServer {
public:
    static constexpr const char* kBinary = "/usr/sbin/nginx";

    // True when nginx is installed.
    static bool available();

    // root: the directory to serve (native absolute path). Starts at once and waits (at most
    // a few seconds) until nginx accepts connections; check started().
    // limitRate, when given, caps every response's speed (nginx's limit_rate, e.g. "2m"),
    // so that a test can stop a download half way.
    // tls, when given, makes the port speak HTTPS only, with that certificate and key.
    struct TlsFiles {
        std::string certificate;  // PEM
        std::string key;          // PEM
    };
    explicit NginxServer(std::string root, std::string limitRate = {}, TlsFiles tls = {});
    // Stops nginx (TERM, then KILL after 5 s) and removes its directory.
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool started() const { return started_; }
    int port() const { return port_; }
    // "127.0.0.1:port"; with TLS "https://127.0.0.1:port", as the launcher takes a host.
    std::string host() const;
    std::string url(std::string_view path) const;
    // nginx's error log so far, for failure messages.
    std::string errorLog() const;
    // The body bytes nginx has sent so far, summed over its access log (nginx writes a
    // request's line when the request ends).
    uint64_t bytesSent() const;
    // Requests logged so far whose path starts with prefix.
    int requests(std::string_view prefix = {}) const;

private:
    void start(const std::string& root);
    std::string limitRate_;
    TlsFiles tls_;
    void stop();

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool started_ = false;
};

}  // namespace lume::test
