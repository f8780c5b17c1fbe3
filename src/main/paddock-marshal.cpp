// paddock-marshal: the start-order program. With --headless it runs without a
// window on the poll() loop, writing every status line to stdout, until
// SIGINT or SIGTERM; otherwise it hands over to paddock-marshal-gui, the
// window. The window is a program of its own so that this one needs no Qt:
// a server box runs the headless program without Qt's libraries installed,
// and does not map them into memory.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CheckConfig.h"
#include "app/CommandLine.h"
#include "app/HeadlessLog.h"
#ifdef PM_WITH_STATE
#include "app/StatePersistence.h"
#endif
#include "app/frmMain.h"
#include "platform/LineOutput.h"
#include "platform/Platform.h"
#include "platform/StopRequests.h"
#include "platform/System.h"
#ifdef PM_WITH_WEB
#include "web/WebServer.h"
#endif

namespace {

// Lines of status log the headless program keeps in memory.
constexpr std::size_t kHeadlessLogLines = 10000;

constexpr const char* kProgram = "paddock-marshal";
constexpr int kStdout = 1;
constexpr int kStderr = 2;
constexpr const char* kWindowProgram = "paddock-marshal-gui";
// Where the window program is installed, seen from this program's folder
// (bin/ to libexec/paddock-marshal/); in a build tree it sits beside it.
#ifndef PM_WINDOW_PROGRAM_DIR
#define PM_WINDOW_PROGRAM_DIR "../libexec/paddock-marshal"
#endif

void writeLine(std::FILE* stream, const std::string& line) {
    // The line and its end in one piece: stderr is unbuffered, where a
    // separate newline costs a second system call (and lets another
    // process's output land between the two).
    std::string whole;
    whole.reserve(line.size() + 1);
    whole += line;
    whole += '\n';
    std::fwrite(whole.data(), 1, whole.size(), stream);
    std::fflush(stream);
}

#ifndef PM_NO_WINDOW
std::filesystem::path ownFolder() { return pm::platform::ownProgramPath().parent_path(); }

// Replaces this process with the window program, with the same arguments,
// so that the window keeps this process's id (and its signals) and sees the
// start-up file that this program would read. Returns only on failure.
int runWindowProgram(char** argv, const std::vector<std::string>& args,
                     const std::filesystem::path& startupFile, bool configGiven) {
    const std::filesystem::path folder = ownFolder();
    std::filesystem::path program;
    for (const auto& candidate : {folder / kWindowProgram, folder / PM_WINDOW_PROGRAM_DIR / kWindowProgram}) {
        if (!folder.empty() && pm::platform::isExecutable(candidate)) {
            program = candidate;
            break;
        }
    }
    if (program.empty()) {
        writeLine(stderr, std::string(kProgram) + ": the window is not installed (" + kWindowProgram +
                              " is missing); install the package " + kWindowProgram + ", or run '" +
                              kProgram + " --headless' to work without a window");
        return pm::app::kUsageExitCode;
    }
    std::vector<std::string> windowArgs = args;
    if (!configGiven) {
        // The default follows this program's folder, not the window's.
        windowArgs.push_back("--config=" + startupFile.string());
    }
    windowArgs.insert(windowArgs.begin(), argv[0] != nullptr ? argv[0] : kProgram);
    const std::string why = pm::platform::replaceProcess(program, std::move(windowArgs));
    writeLine(stderr, std::string(kProgram) + ": cannot start the window program " + program.string() + ": " + why);
    return pm::app::kUsageExitCode;
}

#endif

} // namespace

namespace {

// The first line a service writes: which file, and how many servers it
// holds, so that an empty or missing file is plain at once.
std::string startupFileLine(const std::filesystem::path& file) {
    std::string whyNot;
    const auto text = pm::app::LoadStartupFile(file, &whyNot);
    if (!text) {
        std::error_code ec;
        return "start-up file '" + file.string() + "': " +
               (std::filesystem::exists(file, ec) ? "cannot be read (" + whyNot + ")" : std::string("none")) +
               "; no servers";
    }
    const auto servers = std::min<std::size_t>(pm::app::ReadStartupText(*text).servers.size(),
                                               static_cast<std::size_t>(pm::app::frmMain::kMaxServerIndex));
    return "start-up file '" + file.string() + "': " + std::to_string(servers) +
           (servers == 1 ? " server" : " servers");
}

} // namespace

int main(int argc, char** argv) {
    using pm::app::CommandLine;
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CommandLine cmd = pm::app::ParseCommandLine(args);

    switch (cmd.action) {
    case CommandLine::Action::Fail:
        writeLine(stderr, std::string(kProgram) + ": " + cmd.error);
        writeLine(stderr, "Try '" + std::string(kProgram) + " --help' for more information.");
        return pm::app::kUsageExitCode;
    case CommandLine::Action::ShowHelp: std::fputs(pm::app::UsageText(kProgram).c_str(), stdout); return 0;
    case CommandLine::Action::ShowVersion: writeLine(stdout, pm::app::frmMain::VersionCaption()); return 0;
    case CommandLine::Action::CheckConfig: {
        const std::filesystem::path path = cmd.checkConfigPath ? std::filesystem::path(*cmd.checkConfigPath)
                                           : cmd.configPath    ? std::filesystem::path(*cmd.configPath)
                                                               : pm::app::DefaultStartupFile();
        const int code = pm::app::CheckConfig(path, std::cout, std::cerr, kProgram);
        std::cout.flush();
        return code;
    }
    case CommandLine::Action::Run: break;
    }

    if (cmd.headless && cmd.screenshotPath) {
        writeLine(stderr, std::string(kProgram) + ": --screenshot needs the window; leave out --headless");
        return pm::app::kUsageExitCode;
    }

    std::filesystem::path startupFile;
    if (cmd.configPath) {
        startupFile = *cmd.configPath;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(startupFile, ec)) {
            writeLine(stderr, std::string(kProgram) + ": warning: start-up file '" + *cmd.configPath + "' " +
                                  (std::filesystem::exists(startupFile, ec) ? "is not a plain file" : "not found") +
                                  "; starting with no servers");
        }
    } else {
        startupFile = pm::app::DefaultStartupFile();
    }

    std::optional<std::filesystem::path> statePath;
#ifdef PM_WITH_STATE
    if (cmd.statePath) {
        statePath = pm::app::StatePersistence::resolve(*cmd.statePath);
        if (const auto why = pm::app::StatePersistence::refusal(*statePath, startupFile)) {
            writeLine(stderr, std::string(kProgram) + ": " + *why);
            return pm::app::kUsageExitCode;
        }
    }
#else
    if (cmd.statePath) {
        writeLine(stderr, std::string(kProgram) + ": this build keeps no state (it has no SQLite); leave out --state");
        return pm::app::kUsageExitCode;
    }
#endif

    if (!cmd.headless) {
#ifdef PM_NO_WINDOW
        writeLine(stderr, std::string(kProgram) + ": this build has no window; run '" + kProgram +
                              " --headless' to work without one");
        return pm::app::kUsageExitCode;
#else
        return runWindowProgram(argv, args, startupFile, cmd.configPath.has_value());
#endif
    }

    // Checked before anything connects: a service that cannot serve what it
    // was asked to should stop at once, not run half-configured.
#ifdef PM_WITH_WEB
    std::optional<pm::web::WebConfig> webConfig;
    if (cmd.webAddress) {
        std::string why;
        auto address = pm::web::parseListenAddress(*cmd.webAddress, why);
        if (!address) {
            writeLine(stderr, std::string(kProgram) + ": " + why);
            return pm::app::kUsageExitCode;
        }
        webConfig = pm::web::WebConfig{};
        webConfig->address = *address;
        if (cmd.webTokenFile) {
            webConfig->token = pm::web::readTokenFile(*cmd.webTokenFile, why);
            if (!webConfig->token) {
                writeLine(stderr, std::string(kProgram) + ": --web-token-file: " + why);
                return pm::app::kUsageExitCode;
            }
        }
    }
#else
    if (cmd.webAddress) {
        writeLine(stderr, std::string(kProgram) + ": this build has no web page; leave out --web");
        return pm::app::kUsageExitCode;
    }
#endif

    // Set here, not before the window takes over: an exec would pass it on.
    pm::platform::ignoreBrokenPipes();

    // Before any thread starts (the output writers take the signals
    // otherwise); released only after the servers' clients said goodbye.
    pm::platform::StopRequests stopRequests;

    // From here on, nothing the program writes may hold up the loop: a
    // reader that stalls or leaves costs lines, never the servers' work.
    pm::platform::LineOutput errorOut(kStderr, nullptr);
    pm::platform::PlatformStack stack(
        std::make_unique<pm::platform::SystemClock>(),
        std::make_unique<pm::platform::HeadlessDialogs>([&errorOut](const std::string& text) {
            errorOut.writeLine(std::string(kProgram) + ": message box: " + text);
        }));
    // A turn of the loop that writes many lines wakes each writer once. The
    // loop goes before errorOut does, and the lines written as it goes still
    // wake their writer.
    errorOut.attach(&stack.loop());
    struct Detach {
        pm::platform::LineOutput& out;
        ~Detach() { out.attach(nullptr); }
    } errorOutDetach{errorOut};
    if (cmd.trace) {
        stack.trace().enable([&errorOut](std::string_view line) { errorOut.writeLine(line); });
    }
    stack.eventLog().setSink([&errorOut](std::string_view entry) {
        errorOut.writeLine(std::string(kProgram) + ": " + std::string(entry));
    });

    if (!stopRequests.watch(stack.loop(), [&stack] { stack.loop().quit(0); })) {
        writeLine(stderr, std::string(kProgram) + ": cannot watch for requests to stop");
        return 1;
    }

    int exitCode = 0;
    {
        pm::platform::LineOutput statusOut(kStdout, &stack.trace());
        statusOut.attach(&stack.loop());
#ifdef PM_WITH_WEB
        // Outlives the window's logic: at a stop, the servers are told
        // goodbye before the page's threads, starved on a busy host, are
        // waited for.
        std::unique_ptr<pm::web::WebServer> web;
#endif
        pm::app::frmMain form(stack.platform(), startupFile);
        pm::app::HeadlessLog log(
            form, stack.clock(), [&statusOut](std::string_view line) { statusOut.writeLine(line); },
            pm::platform::stdoutIsJournal());
        log.note(pm::app::HeadlessLog::Level::Info, startupFileLine(startupFile));
        // Every line is on stdout already; memory keeps only a tail.
        form.txtStatus.setRetention(kHeadlessLogLines);
        // Taken before the start-up file connects anything: a second program
        // on the same state stops here, before it disturbs a server.
#ifdef PM_WITH_STATE
        std::unique_ptr<pm::app::StatePersistence> state;
        if (statePath) {
            state = std::make_unique<pm::app::StatePersistence>(form, stack.platform(), *statePath);
            if (const auto refusal = state->open()) {
                writeLine(stderr, std::string(kProgram) + ": " + *refusal);
                return pm::app::kUsageExitCode;
            }
        }
#else
        struct NoState {
            void reset() {}
        } state;
#endif
        form.Form_Load();
#ifdef PM_WITH_STATE
        if (state) {
            state->restore();
        }
#endif
        // The window stays silent about a file that stops early, as the
        // file's rules want; a service's journal is where an administrator
        // would look for the reason servers are missing, so it gets one line.
        if (const auto& stop = form.StartupStopped()) {
            form.AddStatus("start-up file '" + startupFile.string() + "': the reading stopped at line " +
                           std::to_string(stop->line) + " (" + stop->reason +
                           "); the servers from there on were not added. '" + kProgram + " --check-config " +
                           startupFile.string() + "' shows the details.");
        }
        // A file saved as UTF-16 hides every block: a service would start
        // with no servers and say nothing.
        if (form.StartupNotText()) {
            form.AddStatus("start-up file '" + startupFile.string() +
                           "': it holds NUL bytes, so it is not plain text (saved as UTF-16?); save it as UTF-8 or "
                           "ANSI. '" + kProgram + " --check-config " + startupFile.string() +
                           "' shows the details.");
        }

#ifdef PM_WITH_WEB
        if (webConfig) {
            web = std::make_unique<pm::web::WebServer>(form, stack.loop(), *webConfig);
            if (const std::string why = web->start(); !why.empty()) {
                writeLine(stderr, std::string(kProgram) + ": " + why);
                return pm::app::kUsageExitCode;
            }
            form.AddStatus(web->announcement());
        }
#endif

        auto& loop = stack.loop();
        exitCode = loop.run();
#ifdef PM_WITH_WEB
        // Before the servers go: no request may reach a server being torn
        // down. Its threads are waited for once the servers are gone.
        if (web) {
            web->stop();
        }
#endif
        int connected = 0;
        for (const std::int16_t index : form.serverIndices()) {
            connected += form.server(index)->ucInSim.connected() ? 1 : 0;
        }
        log.note(pm::app::HeadlessLog::Level::Info,
                 "stopping; " + std::to_string(connected) + (connected == 1 ? " server" : " servers") +
                     " connected, told goodbye");
        // The last changes are written while the servers still exist.
        state.reset();
        // Leaving this scope destroys the window's logic: every connected
        // client sends its TINY_CLOSE while the platform still stands.
    }
    stopRequests.release();
    return exitCode;
}
