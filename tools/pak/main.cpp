#include <iostream>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "tools/pak/PakTool.h"

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(platform::utf8ToWide(argv[i]));
    }
    return lume::pak::run(args, std::cout, std::cerr);
}
