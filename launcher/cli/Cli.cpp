#include "launcher/cli/Cli.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include "engine/Kernel/Format.h"
#include "engine/Kernel/LogWritter.h"
#include "launcher/cli/TerminalView.h"
#include "launcher/core/LauncherFlow.h"
#include "launcher/core/ServerTabs.h"
#include "launcher/core/Startup.h"
#include "launcher/core/Trace.h"
#include "platform/Files.h"
#include "platform/Signals.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "serverlist/ProbeWebStatusThread.h"
#include "transfer/Https.h"
#include "update/FileListDownloader.h"
#include "update/GameVerifier.h"
#include "update/ListFetch.h"
#include "update/PatchUpdater.h"

namespace lume {

std::string cliUsage() {
    return "usage: lume-cli [run] [-C DIR] [--server NAME] [--no-launch] [--trace FILE|-]\n"
           "                    [--limit-rate RATE] [--proxy URL]\n"
           "       lume-cli update --host H --path P [--mirror-host H2 --mirror-path P2] "
           "[--force]\n"
           "                       [-C DIR] [--trace FILE|-] [--limit-rate RATE] [--proxy URL]\n"
           "       lume-cli verify --host H --path P [--mirror-host H2 --mirror-path P2] "
           "[--repair]\n"
           "                       [-C DIR] [--trace FILE|-]\n"
           "       lume-cli servers [-C DIR] [--trace FILE|-]\n"
           "       lume-cli patch PATCH_DIR [-C DIR] [--trace FILE|-]\n"
           "\n"
           "Runs the launcher headless in a game directory (the current one, or DIR).\n"
           "\n"
           "  run       the launcher's whole flow: server list, server and mirror choice, update,\n"
           "            then the game (bin/lume.dat run) or, when must-update files changed, the\n"
           "            self-upgrade (bin/upgrade.tmp)\n"
           "  update    one update from the given download host and path (and mirror)\n"
           "  verify    reads every game file and every pack member back against the file\n"
           "            list of the given host and reports what is wrong; with --repair it\n"
           "            fetches and fixes exactly that, then checks again\n"
           "  servers   the servers of the server list, by zone, with their download addresses\n"
           "  patch     applies the patch directory PATCH_DIR (made by lume-publish --patch)\n"
           "            offline, as an update would\n"
           "\n"
           "  -C DIR              work in DIR (the game directory)\n"
           "  --server NAME       run: choose this server instead of the remembered one\n"
           "  --no-launch         run: stop after the update instead of starting anything\n"
           "  --host H --path P   update: the download server and its path (\"/game\")\n"
           "  --mirror-host H2    update: the mirror used when the primary fails a block\n"
           "  --mirror-path P2\n"
           "  --force             update: recheck packs whose index checksum matches, and\n"
           "                      read every pack member back\n"
           "  --repair            verify: fix what the check found\n"
           "  --limit-rate RATE   run, update: bandwidth of the whole update in bytes per\n"
           "                      second, or with K, M or G (\"2M\"); 0 for none (over the\n"
           "                      \"limitrate\" of bin/config.ini)\n"
           "  --proxy URL         run, update: the HTTP or SOCKS proxy of every download\n"
           "                      (\"http://10.0.0.1:3128\", \"socks5h://host:1080\"); \"\" for\n"
           "                      none (over the \"proxy\" of bin/config.ini)\n"
           "  --trace FILE        write every message the updater posts as one JSON line\n"
           "                      to FILE ('-': standard output)\n"
           "  -h, --help          show this text\n"
           "\n"
           "Ctrl-C (SIGINT) or SIGTERM stops an update at its next safe point; the next update\n"
           "continues where it stopped. A second signal ends the program at once.\n"
           "\n"
           "exit status: 0 success (the game or the upgrade was started, or the update,\n"
           "verification or listing succeeded, or the patch applied fully), 1 failure (or\n"
           "problems found by verify), 2 bad usage, 3 another launcher is running (in this game\n"
           "directory), 128 + the signal when stopped by SIGINT or SIGTERM\n";
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
        bool ok = true;
        if (a == "-C") {
            ok = value(options.directory);
        } else if (a == "--trace") {
            ok = value(options.trace);
        } else if (a == "--server") {
            ok = value(options.server);
        } else if (a == "--host") {
            ok = value(options.host);
        } else if (a == "--path") {
            ok = value(options.path);
        } else if (a == "--mirror-host") {
            ok = value(options.mirrorHost);
        } else if (a == "--mirror-path") {
            ok = value(options.mirrorPath);
        } else if (a == "--limit-rate") {
            std::string text;
            ok = value(text);
            if (ok) {
                options.transfer.limitRate = parseRate(text);
                if (!options.transfer.limitRate) {
                    error = "--limit-rate needs a rate such as 500K or 2M, not " + text;
                    return false;
                }
            }
        } else if (a == "--proxy") {
            std::string text;
            ok = value(text);
            options.transfer.proxy = text;
        } else if (a == "--no-launch") {
            options.noLaunch = true;
        } else if (a == "--force") {
            options.force = true;
        } else if (a == "--repair") {
            options.repair = true;
        } else if (a == "-h" || a == "--help") {
            options.help = true;
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else if (options.command.empty()) {
            options.command = a;
        } else if (options.command == "patch" && options.patchDirectory.empty()) {
            options.patchDirectory = a;
        } else {
            error = "unexpected argument " + a;
            return false;
        }
        if (!ok) {
            return false;
        }
    }
    if (options.command.empty()) {
        options.command = "run";
    }
    const std::string& c = options.command;
    if (c != "run" && c != "update" && c != "verify" && c != "servers" && c != "patch") {
        error = "unknown command " + c;
        return false;
    }
    if (c == "patch" && !options.help && options.patchDirectory.empty()) {
        error = "patch needs the patch directory";
        return false;
    }
    const bool fromAddress = c == "update" || c == "verify";
    if (fromAddress && !options.help && (options.host.empty() || options.path.empty())) {
        error = c + " needs --host and --path";
        return false;
    }
    const bool runOnly = !options.server.empty() || options.noLaunch;
    const bool addressOnly = !options.host.empty() || !options.path.empty() ||
                             !options.mirrorHost.empty() || !options.mirrorPath.empty();
    const bool transferOnly = options.transfer.limitRate || options.transfer.proxy;
    if ((runOnly && c != "run") || (addressOnly && !fromAddress) ||
        (options.force && c != "update") || (options.repair && c != "verify") ||
        (transferOnly && c == "servers")) {
        error = "option not valid for the command " + c;
        return false;
    }
    return true;
}

namespace {

// The file list of a patch directory, as lume-publish --patch writes it.
constexpr char kPatchListName[] = "flist.xml";

// What the window owns while it lives: the log writer, a logger over it, the window's
// message queue and the updater; torn down in the window's order.
struct Session {
    explicit Session(const TransferOverrides& overrides) {
        writer = std::make_unique<LogWritter>(-1);
        writer->setEcho(false);
        logger = std::make_unique<Logger>(writer.get());
        updater = std::make_unique<PatchUpdater>(&window, writer.get(), overrides);
    }
    ~Session() { close(); }
    void close() {
        updater.reset();
        logger.reset();
        writer.reset();
    }
    MessageQueue window;
    std::unique_ptr<LogWritter> writer;
    std::unique_ptr<Logger> logger;
    std::unique_ptr<PatchUpdater> updater;
};

std::string utf8(const std::u16string& s) {
    return platform::wideToUtf8(s);
}

// The file list is all a verification needs of the update's checks.
class ListOnly : public FileListChecks {
public:
    bool checkPack(const FileListEntry&) override { return false; }
    bool checkFile(const FileListEntry&) override { return false; }
    bool checkMustFile(const FileListEntry&) override { return false; }
};

class Launcher {
public:
    Launcher(const CliOptions& options, std::FILE* out, std::FILE* err)
        : options_(options), out_(out), err_(err), view_(out, isatty(fileno(out)) != 0) {}

    int run() {
        if (!options_.trace.empty() && !trace_.open(options_.trace)) {
            std::fprintf(err_, "lume-cli: cannot write the trace to %s\n", options_.trace.c_str());
            return kExitUsage;
        }
        // One update, verification, patch or launcher per game directory at a time: two
        // would write the same files.
        if (options_.command != "servers" && !directory_.acquireDirectory(u".")) {
            std::fprintf(err_, "%s\n", utf8(kTextAlreadyRunning).c_str());
            return kExitAlreadyRunning;
        }
        if (options_.command == "update") {
            return update(options_.force);
        }
        if (options_.command == "verify") {
            return verify();
        }
        if (options_.command == "patch") {
            return patch();
        }
        return launcher();
    }

private:
    void record(const PostedMessage& m) {
        if (session_ && session_->updater) {
            trace_.record(m, *session_->updater);
        }
    }

    // A stop signal asks the running update to stop at its next safe point.
    void watchStopSignal() {
        if (!stopping_ && platform::stopSignal() != 0 && session_ && session_->updater) {
            stopping_ = true;
            view_.line("lume-cli: stopping the update at a safe point...");
            session_->updater->stopUpdate();
        }
    }
    int stopped() {
        view_.line("lume-cli: stopped; the next update continues where this one stopped");
        return kExitSignalBase + platform::stopSignal();
    }

    // The window's message loop until the message that ends the work: the summary of an
    // update (6029) or the end of a patch (6039).
    std::optional<PostedMessage> pumpUntil(uint32_t end, LauncherFlow* flow) {
        uint32_t packs = 0;  // of the patch's last progress report
        while (true) {
            if (end == kMsgUpdateResult) {
                watchStopSignal();
            }
            auto m = session_->window.waitPop(std::chrono::milliseconds(200));
            if (!m) {
                continue;
            }
            record(*m);
            if (m->message == kMsgProgress) {
                view_.showSpeed(session_->updater->downloadRate());
                view_.onUpdateProgress(static_cast<int32_t>(m->wParam), m->lParam);
            } else if (m->message == kMsgPatchProgress) {
                packs = m->lParam;
                view_.onPatchProgress(m->wParam, packs);
            } else if (m->message == kMsgPatchDone && m->wParam == 0 && packs != 0) {
                view_.onPatchProgress(packs, packs);
            }
            if (flow != nullptr) {
                flow->handleMessage(*m);
            } else if (m->message == kMsgText) {
                const std::u16string text = session_->updater->text(m->wParam);
                if (!text.empty()) {
                    view_.showTip(text);
                }
            } else if (m->message == kMsgFileList) {
                view_.showTip(m->wParam == 1 ? u"正在下载flist.xml" : u"下载flist.xml完成");
            } else if (m->message == kMsgWriteFailed && m->wParam != 0 && end == kMsgUpdateResult) {
                view_.messageBox(kTextWriteFailed, u"Lumora");
            }
            if (m->message == end) {
                view_.finish();
                return m;
            }
        }
    }

    int update(bool force) {
        if (!session_) {
            session_.emplace(options_.transfer);
        }
        PatchUpdater& updater = *session_->updater;
        if (platform::stopSignal() != 0) {
            return stopped();
        }
        if (!updater.beginUpdate(options_.host, options_.path, options_.mirrorHost,
                                 options_.mirrorPath, force ? 1 : 0)) {
            std::fprintf(err_, "lume-cli: the update could not be started\n");
            return kExitFailure;
        }
        const auto result = pumpUntil(kMsgUpdateResult, nullptr);
        if (stopping_) {
            return stopped();
        }
        const UpdateResult r = decodeUpdateResult(result->wParam, result->lParam);
        if (!r.success()) {
            const Reporter::DiskShortfall disk = updater.diskShortfall();
            view_.line(utf8(failureText(r, disk.needed, disk.available)));
            return kExitFailure;
        }
        lastUpdate_ = r;
        view_.line(r.kind == UpdateResult::Kind::Restart
                       ? "update complete; must-update files changed: restart needed"
                       : "update complete; the game is up to date");
        return kExitOk;
    }

    int patch() {
        platform::SingleInstance instance;
        if (!instance.acquire(instanceName())) {
            std::fprintf(err_, "%s\n", utf8(kTextAlreadyRunning).c_str());
            return kExitAlreadyRunning;
        }
        // The processor takes its paths in the narrow code page.
        const std::u16string directory = platform::utf8ToWide(options_.patchDirectory);
        const std::string narrow = platform::wideToNarrow(directory);
        if (platform::narrowToWide(narrow) != directory) {
            std::fprintf(err_, "lume-cli: the code page %s cannot name the patch directory %s\n",
                         platform::codePage().c_str(), options_.patchDirectory.c_str());
            return kExitFailure;
        }
        if (!platform::isDirectory(directory)) {
            std::fprintf(err_, "lume-cli: there is no patch directory %s\n",
                         options_.patchDirectory.c_str());
            return kExitFailure;
        }
        session_.emplace(options_.transfer);
        if (!session_->updater->startPatch(kPatchListName, narrow, "")) {
            std::fprintf(err_, "lume-cli: the patch could not be started\n");
            return kExitFailure;
        }
        const uint32_t failures = pumpUntil(kMsgPatchDone, nullptr)->wParam;
        if (failures != 0) {
            view_.line("lume-cli: the patch did not apply fully: " + std::to_string(failures) +
                       " failed (the lines 补丁失败 above name them; details in the log)");
            return kExitFailure;
        }
        view_.line("patch applied; the game is up to date with the patch");
        return kExitOk;
    }

    // Reads every file back; with --repair, an update that distrusts every pack fixes what
    // was found (the launcher's own files first, as any update does), then all is read again.
    int verify() {
        std::vector<VerifyFinding> found;
        int code = check(found);
        if (code != kExitOk || found.empty()) {
            return code;
        }
        if (!options_.repair) {
            return kExitFailure;
        }
        view_.line("lume-cli: repairing...");
        for (int pass = 0; pass < 3; ++pass) {
            code = update(true);
            if (code != kExitOk || lastUpdate_.kind != UpdateResult::Kind::Restart) {
                break;
            }
        }
        if (code != kExitOk) {
            return code;
        }
        code = check(found);
        return code == kExitOk && found.empty() ? kExitOk : kExitFailure;
    }

    // kExitOk when the check ran to its end, whatever it found.
    int check(std::vector<VerifyFinding>& found) {
        const std::u16string url = releaseUrl(options_.host, options_.path, u"flist.xml");
        const std::u16string backUrl =
            options_.mirrorHost.empty()
                ? url
                : releaseUrl(options_.mirrorHost, options_.mirrorPath, u"flist.xml");
        FileListDownloader list;
        ListOnly none;
        if (!list.download(url, backUrl, none)) {
            view_.line(utf8(kTextFileListFailed));
            return kExitFailure;
        }
        std::vector<FileListEntry> entries = list.mustList();
        entries.insert(entries.end(), list.regularList().begin(), list.regularList().end());
        GameVerifier verifier;
        const bool whole = verifier.run(
            entries, [this](uint64_t done, uint64_t total, const std::u16string& file) {
                view_.onBytesProgress(done, total, file);
                return platform::stopSignal() != 0;
            });
        view_.finish();
        if (!whole) {
            return stopped();
        }
        found = verifier.findings();
        view_.line(formatA("verify: %u files, %.1f MiB read", verifier.filesChecked(),
                           static_cast<double>(verifier.bytesChecked()) / (1024.0 * 1024.0)));
        for (const VerifyFinding& f : found) {
            view_.line("  " + describe(f));
        }
        if (found.empty()) {
            view_.line("verify: every game file is intact");
        } else {
            view_.line(formatA("verify: %u problems%s", static_cast<uint32_t>(found.size()),
                               options_.repair ? "" : "; run with --repair to fix them"));
        }
        return kExitOk;
    }

    int launcher() {
        platform::SingleInstance instance;
        if (!instance.acquire(instanceName())) {
            std::fprintf(err_, "%s\n", utf8(kTextAlreadyRunning).c_str());
            return kExitAlreadyRunning;
        }
        if (!gameRuntimeAvailable()) {
            std::fprintf(err_, "%s\n", utf8(kTextNoRuntime).c_str());
            return kExitFailure;
        }
        restoreBackFiles();

        session_.emplace(options_.transfer);
        LauncherSettings settings;
        LauncherFlow::Environment env;
        env.programDirectory = asProgramDirectory(platform::currentDirectory());
        env.chooseMirror = [](const ServerRecord& s) { return chooseMirror(s); };
        env.cleanUp = [this] { session_->close(); };
        env.launchAtEnd = !options_.noLaunch && options_.command == "run";
        LauncherFlow flow(view_, *session_->updater, settings, env);

        flow.setUp();
        bool listed = false;
        while (auto m = session_->window.tryPop()) {
            record(*m);
            flow.handleMessage(*m);
            listed = listed || (m->message == kMsgServerList && m->wParam == 1);
        }
        if (!listed) {
            return kExitFailure;
        }
        if (options_.command == "servers") {
            listServers(flow);
            return kExitOk;
        }
        if (!options_.server.empty()) {
            const std::u16string name = platform::utf8ToWide(options_.server);
            if (session_->updater->serverByName(name) == nullptr) {
                view_.line("lume-cli: the server list has no server named " + options_.server);
                return kExitFailure;
            }
            flow.chooseServer(name);
        }
        if (flow.currentServer().empty()) {
            view_.line("lume-cli: no server chosen and the list names no default");
            return kExitFailure;
        }
        if (platform::stopSignal() != 0) {
            return stopped();
        }
        if (!flow.startUpdate()) {
            return kExitFailure;
        }
        pumpUntil(kMsgUpdateResult, &flow);
        if (stopping_) {
            return stopped();
        }
        // A game or upgrade that could not be started has been reported by the flow.
        if (flow.ending() == LauncherFlow::Ending::None || flow.launchFailed()) {
            return kExitFailure;
        }
        if (options_.noLaunch) {
            view_.line(
                flow.ending() == LauncherFlow::Ending::Upgrade
                    ? "update complete; must-update files changed: the self-upgrade would start"
                    : "update complete; the game would start");
            return kExitOk;
        }
        const Handover h = flow.ending() == LauncherFlow::Ending::Game
                               ? gameHandover(env.programDirectory)
                               : upgradeHandover(env.programDirectory);
        std::string shown = utf8(h.commandLine);
        std::replace(shown.begin(), shown.end(), '\\', '/');
        view_.line("started: " + shown);
        return kExitOk;
    }

    void listServers(const LauncherFlow& flow) {
        const Updater& updater = *session_->updater;
        for (int tab = 0; tab < 2; ++tab) {
            view_.line(utf8(kServerTabTitles[tab]));
            for (size_t i = 0; i < updater.serverCount(); ++i) {
                const ServerRecord& s = *updater.serverAt(i);
                if (serverTab(s) != tab) {
                    continue;
                }
                std::string entry = "  " + utf8(s.name);
                if (s.isNew) {
                    entry += " [新]";
                }
                if (s.test) {
                    entry += " [测试]";
                }
                if (s.name == flow.currentServer()) {
                    entry += " [当前]";
                }
                auto addresses = flow.idCache().find(s.id);
                if (addresses != flow.idCache().end()) {
                    const DownloadAddressSet& a = addresses->second;
                    entry += "  download " + serverUrl(a.primaryHost) + a.primaryPath;
                    if (!a.mirrorHost.empty()) {
                        entry += "  mirror " + serverUrl(a.mirrorHost) + a.mirrorPath;
                    }
                } else {
                    entry += "  (no download address)";
                }
                if (!s.hint.empty()) {
                    entry += "  " + utf8(s.hint);
                }
                view_.line(entry);
            }
        }
    }

    const CliOptions& options_;
    std::FILE* out_;
    std::FILE* err_;
    TerminalView view_;
    Trace trace_;
    platform::SingleInstance directory_;
    std::optional<Session> session_;
    bool stopping_ = false;
    UpdateResult lastUpdate_;
};

}  // namespace

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
    // Named from where the program was started, whatever directory it then works in.
    if (!options.patchDirectory.empty()) {
        std::error_code ec;
        options.patchDirectory = std::filesystem::absolute(options.patchDirectory, ec).string();
    }
    if (!options.directory.empty() &&
        !platform::setCurrentDirectory(platform::utf8ToWide(options.directory))) {
        std::fprintf(err, "lume-cli: cannot work in %s\n", options.directory.c_str());
        return kExitUsage;
    }
    Launcher launcher(options, out, err);
    return launcher.run();
}

}  // namespace lume
