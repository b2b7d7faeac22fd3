// lume-serve: serves a directory over HTTP with byte ranges on 127.0.0.1 (by default), for
// trying the launcher against local files and for the demo.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace lume::serve {

struct ServeOptions {
    std::string directory;
    std::string bind = "127.0.0.1";
    int port = 8080;  // 0 picks a free port
    bool quiet = false;
    bool help = false;
};

// Parses the arguments (without the program name); on a usage error fills error and returns
// false.
bool parseServeOptions(const std::vector<std::string>& args, ServeOptions& options,
                       std::string& error);
std::string serveUsage();

// Serves until SIGINT or SIGTERM arrives: 0 then, 1 when the directory or the address is
// unusable, 2 on bad usage. out receives the address line and the request log. Blocks the
// two signals in the calling thread and every thread it starts, and waits for them.
int runServe(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace lume::serve
