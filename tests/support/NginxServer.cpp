#include "tests/support/NginxServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace lume::test {
namespace {

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

bool NginxServer::available() {
    return ::access(kBinary, X_OK) == 0;
}

NginxServer::NginxServer(std::string root, std::string limitRate, TlsFiles tls)
    : limitRate_(std::move(limitRate)), tls_(std::move(tls)) {
    std::string templ = (std::filesystem::temp_directory_path() / "lume-nginx-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr || !available()) {
        return;
    }
    dir_ = templ;
    // The free port is found by binding port 0 and letting it go, so another process may
    // take it before nginx does: then nginx ends at once and another port is tried.
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
        port_ = freeLoopbackPort();
        if (port_ != 0) {
            start(root);
        }
    }
}

void NginxServer::start(const std::string& root) {
    const std::string conf = dir_ + "/nginx.conf";
    {
        std::ofstream out(conf, std::ios::trunc);
        // As root the workers would otherwise drop to "nobody", which cannot read the
        // test's private directories.
        if (::geteuid() == 0) {
            out << "user root;\n";
        }
        out << "worker_processes 1;\n"
            << "pid " << dir_ << "/nginx.pid;\n"
            << "error_log " << dir_ << "/error.log warn;\n"
            << "events { worker_connections 256; }\n"
            << "http {\n"
            << "  access_log " << dir_ << "/access.log;\n"
            << "  client_body_temp_path " << dir_ << "/body;\n"
            << "  proxy_temp_path " << dir_ << "/proxy;\n"
            << "  fastcgi_temp_path " << dir_ << "/fastcgi;\n"
            << "  uwsgi_temp_path " << dir_ << "/uwsgi;\n"
            << "  scgi_temp_path " << dir_ << "/scgi;\n"
            << "  sendfile on;\n"
            << "  keepalive_requests 100000;\n"
            << "  server {\n"
            << "    listen 127.0.0.1:" << port_ << (tls_.certificate.empty() ? "" : " ssl") << ";\n"
            << (tls_.certificate.empty() ? std::string()
                                         : "    ssl_certificate " + tls_.certificate +
                                               ";\n    ssl_certificate_key " + tls_.key + ";\n")
            << "    root " << root << ";\n"
            << (limitRate_.empty() ? std::string() : "    limit_rate " + limitRate_ + ";\n")
            << "  }\n"
            << "}\n";
    }
    const std::string output = dir_ + "/stderr.log";
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setpgid(0, 0);
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        ::execl(kBinary, "nginx", "-p", dir_.c_str(), "-c", conf.c_str(), "-g", "daemon off;",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0) {
        return;
    }
    pid_ = pid;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // it ended: a bad configuration, or the port was taken meanwhile
            return;
        }
        if (accepts(port_)) {
            started_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();  // never became ready
}

NginxServer::~NginxServer() {
    stop();
    if (!dir_.empty()) {
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
    }
}

void NginxServer::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid_, SIGKILL);  // the whole group: master and workers
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string NginxServer::host() const {
    return (tls_.certificate.empty() ? "" : "https://") + std::string("127.0.0.1:") +
           std::to_string(port_);
}

std::string NginxServer::url(std::string_view path) const {
    return (tls_.certificate.empty() ? "http://" : "") + host() + std::string(path);
}

uint64_t NginxServer::bytesSent() const {
    // The combined format: ... "GET /path HTTP/1.1" status bytes "referer" "agent"
    std::ifstream in(dir_ + "/access.log");
    uint64_t total = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t request = line.find("\" ");
        if (request == std::string::npos) {
            continue;
        }
        std::istringstream fields(line.substr(request + 2));
        int status = 0;
        uint64_t bytes = 0;
        if (fields >> status >> bytes) {
            total += bytes;
        }
    }
    return total;
}

int NginxServer::requests(std::string_view prefix) const {
    std::ifstream in(dir_ + "/access.log");
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t method = line.find("\"GET ");
        if (method != std::string::npos && line.compare(method + 5, prefix.size(), prefix) == 0) {
            ++count;
        }
    }
    return count;
}

std::string NginxServer::errorLog() const {
    std::ifstream in(dir_ + "/error.log");
    std::ostringstream text;
    text << in.rdbuf();
    std::ifstream out(dir_ + "/stderr.log");
    text << out.rdbuf();
    return text.str();
}

}  // namespace lume::test
