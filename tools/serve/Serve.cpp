#include "tools/serve/Serve.h"

#include <signal.h>

#include <charconv>
#include <filesystem>
#include <mutex>

#include "tools/serve/ServerThread.h"
#include "tools/serve/StaticFiles.h"

namespace lume::serve {

std::string serveUsage() {
    return "usage: lume-serve DIR [--port N] [--bind ADDR] [--quiet]\n"
           "Serves the files under DIR over HTTP, with byte ranges, until interrupted.\n"
           "  --port N     port to listen on (default 8080; 0 picks a free one)\n"
           "  --bind ADDR  address to listen on (default 127.0.0.1)\n"
           "  --quiet      do not log requests\n";
}

bool parseServeOptions(const std::vector<std::string>& args, ServeOptions& options,
                       std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--port" || arg == "--bind") {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            if (arg == "--bind") {
                options.bind = value;
                continue;
            }
            int port = -1;
            const auto [end, code] =
                std::from_chars(value.data(), value.data() + value.size(), port);
            if (code != std::errc() || end != value.data() + value.size() || port < 0 ||
                port > 65535) {
                error = "bad port: " + value;
                return false;
            }
            options.port = port;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option: " + arg;
            return false;
        } else if (options.directory.empty()) {
            options.directory = arg;
        } else {
            error = "more than one directory: " + arg;
            return false;
        }
    }
    if (options.directory.empty() && !options.help) {
        error = "no directory given";
        return false;
    }
    return true;
}

int runServe(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ServeOptions options;
    std::string error;
    if (!parseServeOptions(args, options, error)) {
        std::fprintf(err, "lume-serve: %s\n%s", error.c_str(), serveUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(serveUsage().c_str(), out);
        return 0;
    }
    std::error_code code;
    const std::filesystem::path root = std::filesystem::absolute(options.directory, code);
    if (code || !std::filesystem::is_directory(root, code)) {
        std::fprintf(err, "lume-serve: not a directory: %s\n", options.directory.c_str());
        return 1;
    }

    // The signals are taken by sigwait below, never delivered to a thread: the server's
    // threads inherit this mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &signals, &previous);

    std::mutex outMutex;
    const bool quiet = options.quiet;
    ServerThread server([&root, out, quiet, &outMutex](const httplib::Request& req,
                                                       httplib::Response& res) {
        const std::string range = req.get_header_value("Range");
        const FileReply reply = planReply(root, req.path, range);
        sendReply(req, res, reply);
        if (!quiet) {
            std::lock_guard<std::mutex> lock(outMutex);
            std::fprintf(out, "%s %s %s %d%s%s\n", req.remote_addr.c_str(), req.method.c_str(),
                         req.path.c_str(), reply.status, range.empty() ? "" : " ", range.c_str());
            std::fflush(out);
        }
    });
    if (!server.start(options.bind, options.port)) {
        std::fprintf(err, "lume-serve: cannot listen on %s:%d\n", options.bind.c_str(),
                     options.port);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(outMutex);
        std::fprintf(out, "serving %s at http://%s:%d/\n", options.directory.c_str(),
                     options.bind.c_str(), server.port());
        std::fflush(out);
    }
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    {
        std::lock_guard<std::mutex> lock(outMutex);
        std::fprintf(out, "stopped (%s)\n", received == SIGINT ? "SIGINT" : "SIGTERM");
        std::fflush(out);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 0;
}

}  // namespace lume::serve
