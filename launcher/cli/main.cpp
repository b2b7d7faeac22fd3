#include <cstdio>
#include <string>
#include <vector>

#include "launcher/cli/Cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return lume::runCli(args, stdout, stderr);
}
