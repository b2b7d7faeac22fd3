#include "launcher/cli/Cli.h"

#include <chrono>
#include <memory>

#include "engine/Kernel/LogWritter.h"
#include "launcher/cli/Trace.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "update/PatchUpdater.h"

namespace lume {

std::string cliUsage() {
    return "usage: lume-cli [-C DIR] [--trace FILE|-]\n"
           "\n"
           "Runs the launcher headless in a game directory: creates the run's log under log\\,\n"
           "reads bin\\config.ini, creates the updater and reports what it posts.\n"
           "\n"
           "  -C DIR         work in DIR (the game directory) instead of the current one\n"
           "  --trace FILE   write every posted message as one JSON line to FILE ('-': stdout)\n"
           "  -h, --help     show this text\n"
           "\n"
           "exit status: 0 success, 1 failure, 2 bad usage\n";
}

bool parseCliOptions(const std::vector<std::string>& args, CliOptions& options,
                     std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= args.size()) {
                error = "option " + a + " needs a value";
                return false;
            }
            target = args[++i];
            return true;
        };
        if (a == "-C") {
            if (!value(options.directory)) {
                return false;
            }
        } else if (a == "--trace") {
            if (!value(options.trace)) {
                return false;
            }
        } else if (a == "-h" || a == "--help") {
            options.help = true;
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else if (options.command.empty()) {
            options.command = a;
        } else {
            error = "unexpected argument " + a;
            return false;
        }
    }
    if (!options.command.empty() && options.command != "run") {
        error = "unknown command " + options.command;
        return false;
    }
    return true;
}

int runCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    CliOptions options;
    std::string error;
    if (!parseCliOptions(args, options, error)) {
        std::fprintf(err, "lume-cli: %s\n\n%s", error.c_str(), cliUsage().c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(cliUsage().c_str(), out);
        return kExitOk;
    }
    if (!options.directory.empty() &&
        !platform::setCurrentDirectory(platform::utf8ToWide(options.directory))) {
        std::fprintf(err, "lume-cli: cannot work in %s\n", options.directory.c_str());
        return kExitUsage;
    }
    Trace trace;
    if (!options.trace.empty() && !trace.open(options.trace)) {
        std::fprintf(err, "lume-cli: cannot write the trace to %s\n", options.trace.c_str());
        return kExitUsage;
    }

    // The same order as the window: the log writer, a logger over it, then the updater.
    auto writer = std::make_unique<LogWritter>(-1);
    auto logger = std::make_unique<Logger>(writer.get());
    MessageQueue window;
    auto updater = std::make_unique<PatchUpdater>(&window, writer.get());

    std::fprintf(out, "game directory: %s\n",
                 platform::wideToUtf8(platform::currentDirectory()).c_str());
    std::fprintf(out, "log: %s%s\n", platform::wideToUtf8(writer->path()).c_str(),
                 writer->isOpen() ? "" : " (cannot be written; logging is off)");
    std::fprintf(out, "transfer time-out: %d ms, retries: %d\n", updater->timeout(),
                 updater->retryTimes());

    for (const PostedMessage& m : window.drain()) {
        trace.record(m, *updater);
    }

    // Tear down as the window closes: the updater (which stops its workers), then the
    // logger, then the log writer.
    updater.reset();
    logger.reset();
    writer.reset();
    return kExitOk;
}

}  // namespace lume
