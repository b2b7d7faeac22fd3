#include "tests/support/NginxServer.h"

#include "tests/support/Sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lume::test {
namespace {

// Binds (port 0: a free one) or connects to a loopback port; the port, or 0 on failure.
int loopback(int port, bool connect) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof a;
    auto* any = reinterpret_cast<sockaddr*>(&a);
    const bool ok = fd >= 0 && (connect ? ::connect(fd, any, sizeof a) == 0
                                        : ::bind(fd, any, sizeof a) == 0 &&
                                              ::getsockname(fd, any, &length) == 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return ok ? ntohs(a.sin_port) : 0;
}

}  // namespace

bool NginxServer::available() {
    return ::access(kBinary, X_OK) == 0;
}

NginxServer::NginxServer(const std::string& root, const std::string& extra, const TlsFiles& tls,
                         bool http2)
    : https_(!tls.certificate.empty()) {
    std::string templ = (std::filesystem::temp_directory_path() / "lume-nginx-XXXXXX").string();
    if (!available() || ::mkdtemp(templ.data()) == nullptr) {
        return;
    }
    dir_ = templ;
    // What follows "listen 127.0.0.1:port" in the server block.
    const std::string server = std::string(http2 ? " http2" : "") +
                               (https_ ? " ssl;\n    ssl_certificate " + tls.certificate +
                                             ";\n    ssl_certificate_key " + tls.key
                                       : std::string()) +
                               ";\n    " + extra;
    // The free port is found by binding port 0 and letting it go, so another process may
    // take it before nginx does: then nginx ends at once and another port is tried.
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
        port_ = loopback(0, false);
        started_ = port_ != 0 && start(root, server);
    }
}

bool NginxServer::start(const std::string& root, const std::string& server) {
    const std::string conf = dir_ + "/nginx.conf";
    std::ofstream(conf, std::ios::trunc)
        // As root the workers would otherwise drop to "nobody", who cannot read the test's
        // private directories.
        << (::geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\npid " << dir_
        << "/nginx.pid;\nerror_log " << dir_ << "/error.log warn;\n"
        << "events { worker_connections 256; }\nhttp {\n"
        << "  log_format lume '\"$request\" $status $body_bytes_sent \"$http_range\"';\n"
        << "  access_log " << dir_ << "/access.log lume;\n"
        << "  client_body_temp_path " << dir_ << "/body;\n  proxy_temp_path " << dir_
        << "/proxy;\n  fastcgi_temp_path " << dir_ << "/fastcgi;\n  uwsgi_temp_path " << dir_
        << "/uwsgi;\n  scgi_temp_path " << dir_ << "/scgi;\n"
        << "  sendfile on;\n  keepalive_requests 100000;\n  server {\n    listen 127.0.0.1:"
        << port_ << server << "\n    root " << root << ";\n  }\n}\n";
    const std::string output = dir_ + "/stderr.log";
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec. nginx ends with the test process
        // even when that is killed (a time-out), instead of holding its port ever after.
        ::setpgid(0, 0);
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) {
            ::_exit(127);
        }
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execl(kBinary, "nginx", "-p", dir_.c_str(), "-c", conf.c_str(), "-g", "daemon off;",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = pid;
    int status = 0;
    bool exited = pid < 0;
    const bool up = !exited &&
                    waitFor(
                        [&] {
                            exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
                            return exited || loopback(port_, true) != 0;
                        },
                        std::chrono::seconds(10)) &&
                    !exited;
    if (exited) {  // a bad configuration, or the port was taken meanwhile
        pid_ = -1;
    }
    if (!up) {
        stop();
    }
    return up;
}

NginxServer::~NginxServer() {
    stop();
    if (!dir_.empty()) {
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
    }
}

void NginxServer::stop() {
    int status = 0;
    if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0 &&
        !waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, std::chrono::seconds(5))) {
        ::kill(-pid_, SIGKILL);  // the whole group: master and workers
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

std::vector<NginxServer::Logged> NginxServer::logged() const {
    // "GET /path HTTP/1.1" status bytes "range"
    std::ifstream in(dir_ + "/access.log");
    std::vector<Logged> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string method, range;
        int status = 0;
        Logged l;
        fields >> method >> l.path >> l.protocol >> status >> l.bytes >> range;
        if (!l.protocol.empty() && l.protocol.back() == '"') {
            l.protocol.pop_back();
        }
        l.range = range.size() > 3 ? range.substr(1, range.size() - 2) : "";  // "-": none
        out.push_back(l);
    }
    return out;
}

int NginxServer::requests(std::string_view prefix) const {
    return static_cast<int>(std::ranges::count_if(
        logged(), [&](const Logged& l) { return l.path.starts_with(prefix); }));
}

uint64_t NginxServer::bytesSent(std::string_view prefix) const {
    uint64_t n = 0;
    for (const Logged& l : logged()) {
        n += l.path.starts_with(prefix) ? l.bytes : 0;
    }
    return n;
}

std::string NginxServer::errorLog() const {
    std::ifstream in(dir_ + "/error.log"), out(dir_ + "/stderr.log");
    std::ostringstream text;
    text << in.rdbuf() << out.rdbuf();
    return text.str();
}

}  // namespace lume::test
