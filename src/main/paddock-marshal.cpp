// paddock-marshal: the start-order program. With --headless it runs without a
// window on the poll() loop, writing every status line to stdout, until
// SIGINT or SIGTERM; otherwise it opens the Qt window (src/ui).

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/StatePersistence.h"
#include "app/frmMain.h"
#include "platform/Platform.h"
#ifdef PM_WITH_UI
#include "ui/RunWindow.h"
#endif

namespace {

// Lines of status log the headless program keeps in memory.
constexpr std::size_t kHeadlessLogLines = 10000;

constexpr const char* kProgram = "paddock-marshal";

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

// SIGINT and SIGTERM arrive as readable data on a descriptor the loop
// watches, so they end the run from the loop's own thread, between two
// events, exactly like closing the window would.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&mask_);
        sigaddset(&mask_, SIGINT);
        sigaddset(&mask_, SIGTERM);
        if (sigprocmask(SIG_BLOCK, &mask_, nullptr) == 0) {
            fd_ = signalfd(-1, &mask_, SFD_NONBLOCK | SFD_CLOEXEC);
        }
    }
    ~StopSignals() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return fd_; }
    void drain() const {
        signalfd_siginfo info{};
        while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
    }

private:
    sigset_t mask_{};
    int fd_ = -1;
};

} // namespace

int main(int argc, char** argv) {
    using pm::app::CommandLine;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
#ifdef PM_WITH_UI
    pm::ui::WindowOptions window;
    if (const std::string error = pm::ui::takeWindowArguments(args, window); !error.empty()) {
        writeLine(stderr, std::string(kProgram) + ": " + error);
        return pm::app::kUsageExitCode;
    }
#endif
    const CommandLine cmd = pm::app::ParseCommandLine(args);

    switch (cmd.action) {
    case CommandLine::Action::Fail:
        writeLine(stderr, std::string(kProgram) + ": " + cmd.error);
        writeLine(stderr, "Try '" + std::string(kProgram) + " --help' for more information.");
        return pm::app::kUsageExitCode;
    case CommandLine::Action::ShowHelp: std::fputs(pm::app::UsageText(kProgram).c_str(), stdout); return 0;
    case CommandLine::Action::ShowVersion: writeLine(stdout, pm::app::frmMain::VersionCaption()); return 0;
    case CommandLine::Action::Run: break;
    }

#ifdef PM_WITH_UI
    if (cmd.headless && window.screenshotPath) {
        writeLine(stderr, std::string(kProgram) + ": --screenshot needs the window; leave out --headless");
        return pm::app::kUsageExitCode;
    }
#else
    if (!cmd.headless) {
        writeLine(stderr, std::string(kProgram) + ": this build has no window; run it with --headless "
                                                  "(see --help)");
        return pm::app::kUsageExitCode;
    }
#endif

    std::filesystem::path startupFile;
    if (cmd.configPath) {
        startupFile = *cmd.configPath;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(startupFile, ec)) {
            writeLine(stderr, std::string(kProgram) + ": warning: start-up file '" + *cmd.configPath +
                                  "' not found; starting with no servers");
        }
    } else {
        startupFile = pm::app::DefaultStartupFile();
    }

    std::optional<std::filesystem::path> statePath;
    if (cmd.statePath) {
        statePath = pm::app::StatePersistence::resolve(*cmd.statePath);
        // A file that is not a database is moved aside as damaged: never the
        // start-up file, given here by a slip of the keyboard.
        std::error_code ec;
        if (std::filesystem::equivalent(*statePath, startupFile, ec)) {
            writeLine(stderr, std::string(kProgram) + ": --state names the start-up file '" +
                                  startupFile.string() + "'; give the state a file of its own");
            return pm::app::kUsageExitCode;
        }
    }

#ifdef PM_WITH_UI
    if (!cmd.headless) {
        window.startupFile = startupFile;
        window.statePath = statePath;
        window.trace = cmd.trace;
        return pm::ui::runWindow(argc, argv, window);
    }
#endif

    StopSignals stopSignals;
    if (stopSignals.fd() < 0) {
        writeLine(stderr, std::string(kProgram) + ": cannot watch for SIGINT and SIGTERM");
        return 1;
    }

    pm::platform::PlatformStack stack(
        std::make_unique<pm::platform::SystemClock>(),
        std::make_unique<pm::platform::HeadlessDialogs>([](const std::string& text) {
            writeLine(stderr, std::string(kProgram) + ": message box: " + text);
        }));
    if (cmd.trace) {
        stack.trace().enable([](std::string_view line) { writeLine(stderr, std::string(line)); });
    }
    stack.eventLog().setSink(
        [](std::string_view entry) { writeLine(stderr, std::string(kProgram) + ": " + std::string(entry)); });

    int exitCode = 0;
    {
        pm::app::frmMain form(stack.platform(), startupFile);
        form.txtStatus.lineAdded.connect([](const std::string& line) { writeLine(stdout, line); });
        // Every line is on stdout already; memory keeps only a tail.
        form.txtStatus.setRetention(kHeadlessLogLines);
        // Taken before the start-up file connects anything: a second program
        // on the same state stops here, before it disturbs a server.
        std::unique_ptr<pm::app::StatePersistence> state;
        if (statePath) {
            state = std::make_unique<pm::app::StatePersistence>(form, stack.platform(), *statePath);
            if (const auto refusal = state->open()) {
                writeLine(stderr, std::string(kProgram) + ": " + *refusal);
                return pm::app::kUsageExitCode;
            }
        }
        form.Form_Load();
        if (state) {
            state->restore();
        }

        auto& loop = stack.loop();
        const auto watch = loop.watchSocket(stopSignals.fd(), true, false, [&](pm::platform::Readiness) {
            stopSignals.drain();
            loop.quit(0);
        });
        exitCode = loop.run();
        loop.unwatch(watch);
        // The last changes are written while the servers still exist.
        state.reset();
        // Leaving this scope destroys the window's logic: every connected
        // client sends its TINY_CLOSE while the platform still stands.
    }
    return exitCode;
}
