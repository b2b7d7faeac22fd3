#include <string>
#include <vector>

#include "launcher/upgrade/Upgrade.h"
#include "platform/Text.h"

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(platform::utf8ToWide(argv[i]));
    }
    return lume::runUpgrade(args);
}
