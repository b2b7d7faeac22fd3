// A real nginx for tests: started on a free loopback port with its configuration, pid file
// and logs in a temporary directory of its own, serving a given directory (byte ranges
// included); stopped and waited for when the object goes.
#pragma once

#include <sys/types.h>

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
    explicit NginxServer(std::string root);
    // Stops nginx (TERM, then KILL after 5 s) and removes its directory.
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool started() const { return started_; }
    int port() const { return port_; }
    std::string host() const;
    std::string url(std::string_view path) const;
    // nginx's error log so far, for failure messages.
    std::string errorLog() const;

private:
    void start(const std::string& root);
    void stop();

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool started_ = false;
};

}  // namespace lume::test
