#include "launcher/upgrade/Upgrade.h"

#include <cstdio>
#include <memory>

#include "engine/FileSystem/File.h"
#include "engine/Kernel/LogWritter.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Process.h"
#include "launcher/core/Startup.h"
#include "platform/Files.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace lume {

namespace {

constexpr std::u16string_view kBack = u".back";

std::u16string withSlash(std::u16string_view directory) {
    std::u16string d(directory);
    if (!d.empty() && d.back() != u'\\' && d.back() != u'/') {
        d += u'\\';
    }
    return d;
}

bool isPlainName(std::u16string_view name) {
    return !name.empty() && name != u"." && name != u".." &&
           name.find_first_of(u"\\/:") == std::u16string_view::npos;
}

}  // namespace

bool parseUpgradeArgument(std::u16string_view argument, UpgradeRequest& request) {
    const size_t first = argument.find(u';');
    const size_t second =
        first == std::u16string_view::npos ? first : argument.find(u';', first + 1);
    if (second == std::u16string_view::npos) {
        return false;
    }
    const std::u16string_view bin = argument.substr(0, first);
    const std::u16string_view program = argument.substr(first + 1, second - first - 1);
    const std::u16string_view name = argument.substr(second + 1);
    if (bin.empty() || program.empty() || !isPlainName(name)) {
        return false;
    }
    request.binDirectory = withSlash(bin);
    request.programDirectory = withSlash(program);
    request.launcherName = std::u16string(name);
    return true;
}

bool waitForLauncherExit(std::u16string_view instance, uint32_t timeoutMs) {
    const uint64_t deadline = platform::monotonicMs() + timeoutMs;
    platform::SingleInstance lock;
    // The launcher holds its lock until its process has ended; nothing to wake us, so the
    // lock is tried every tenth of a second.
    while (!lock.acquire(instance)) {
        if (platform::monotonicMs() >= deadline) {
            return false;
        }
        platform::sleepMs(100);
    }
    lock.release();  // for the launcher about to start
    return true;
}

int putStagedFilesInPlace(std::u16string_view directory, std::vector<std::u16string>& failed) {
    const std::u16string dir = withSlash(directory);
    std::vector<platform::FindData> copies;
    platform::findFiles(dir + u"*.back", copies);
    int placed = 0;
    for (const platform::FindData& copy : copies) {
        if (copy.directory || copy.name.size() <= kBack.size()) {
            continue;
        }
        const std::u16string target = copy.name.substr(0, copy.name.size() - kBack.size());
        if (File::replace(dir + copy.name, dir + target)) {
            logW_m1(u"upgrade: %s put in place", target);
            ++placed;
        } else {
            logW_m1(u"upgrade: %s could not be put in place", target);
            failed.push_back(target);
        }
    }
    return placed;
}

int runUpgrade(const std::vector<std::u16string>& args, uint32_t timeoutMs) {
    UpgradeRequest request;
    if (args.size() != 1 || !parseUpgradeArgument(args[0], request)) {
        std::fprintf(stderr, "usage: upgrade.tmp BIN_DIR;PROGRAM_DIR;LAUNCHER\n");
        return kUpgradeUsage;
    }
    if (!platform::setCurrentDirectory(request.programDirectory)) {
        std::fprintf(stderr, "upgrade: no program directory %s\n",
                     platform::wideToUtf8(request.programDirectory).c_str());
        return kUpgradeFailed;
    }
    LogWritter writer(-1);
    writer.setEcho(false);
    Logger logger(&writer);
    logW_m1(u"upgrade: %s%s", request.programDirectory, request.launcherName);

    if (!waitForLauncherExit(instanceName(), timeoutMs)) {
        logW_m1(u"upgrade: the launcher did not exit");
        return kUpgradeFailed;
    }
    std::vector<std::u16string> failed;
    putStagedFilesInPlace(request.programDirectory, failed);
    if (!failed.empty()) {
        // The old launcher would find its must-update files out of date again and hand
        // over to this program again: it is not started, rather than looping.
        logW_m1(u"upgrade: the new launcher is not complete; it is not started");
        return kUpgradeFailed;
    }
    const std::u16string launcher = request.programDirectory + request.launcherName;
    if (!launchProcess(u"\"" + launcher + u"\"", request.programDirectory)) {
        return kUpgradeFailed;
    }
    return kUpgradeOk;
}

}  // namespace lume
