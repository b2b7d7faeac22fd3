#include <cstdio>
#include <string>
#include <vector>

#include "tools/serve/Serve.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return lume::serve::runServe(args, stdout, stderr);
}
