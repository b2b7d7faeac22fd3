// An HTTP server running on a thread of its own: bound to one address, started and stopped
// by its owner, with a handler for every GET. Used by lume-serve and by the loopback servers
// of the tests.
#pragma once

#include <httplib.h>

#include <atomic>
#include <string>
#include <thread>

namespace lume::serve {

class ServerThread {
public:
    using Handler = httplib::Server::Handler;
    // Keep-alive connections pin a worker each; the pool is sized for several clients with a
    // few connections each.
    static constexpr size_t kWorkers = 16;

    // handler is called on the server's worker threads, several at once.
    explicit ServerThread(Handler handler);
    // Stops and joins.
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    // Binds address:port (port 0 picks a free one) and serves on a new thread. False when
    // the address cannot be bound or a server already runs.
    bool start(const std::string& address, int port);
    // Closes the listening socket and joins the thread; requests in progress are finished
    // first and idle keep-alive connections are closed within kKeepAliveSeconds.
    // Idempotent. Called on the owner's thread.
    void stop();

    int port() const { return port_; }
    bool running() const { return thread_.joinable(); }

    static constexpr time_t kKeepAliveSeconds = 1;

private:
    httplib::Server server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    int port_ = 0;
};

}  // namespace lume::serve
