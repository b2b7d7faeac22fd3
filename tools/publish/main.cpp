#include <cstdio>
#include <string>
#include <vector>

#include "tools/publish/Publisher.h"

int main(int argc, char** argv) {
    return lume::publishMain(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
