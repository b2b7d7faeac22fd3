#include "tools/serve/ServerThread.h"

#include <chrono>

#if defined(__SANITIZE_THREAD__)
// The HTTP library comes prebuilt and uninstrumented: ThreadSanitizer cannot see its
// internal synchronisation (the guards of its function-local statics, for one) and would
// report the memory accesses that follow as races between its worker threads.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace lume::serve {

ServerThread::ServerThread(Handler handler) {
    server_.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server_.set_keep_alive_timeout(kKeepAliveSeconds);
    server_.set_keep_alive_max_count(1000);
    server_.Get(".*", std::move(handler));
}

ServerThread::~ServerThread() {
    stop();
}

bool ServerThread::start(const std::string& address, int port) {
    if (thread_.joinable()) {
        return false;
    }
    int bound = -1;
    if (port == 0) {
        bound = server_.bind_to_any_port(address);
    } else if (server_.bind_to_port(address, port)) {
        bound = port;
    }
    if (bound <= 0) {
        return false;
    }
    port_ = bound;
    finished_.store(false);
    thread_ = std::thread([this] {
        server_.listen_after_bind();
        finished_.store(true);
    });
    return true;
}

void ServerThread::stop() {
    if (!thread_.joinable()) {
        return;
    }
    // The library ignores a stop that comes before its loop has begun, so wait for that
    // (or for the loop to have ended on its own) and stop exactly once.
    while (!finished_.load()) {
        if (server_.is_running()) {
            server_.stop();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
}

}  // namespace lume::serve
