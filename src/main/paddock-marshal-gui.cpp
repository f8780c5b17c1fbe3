// paddock-marshal-gui: the window of paddock-marshal, in a program of its own
// so that the headless program carries no Qt. paddock-marshal starts it with
// its own arguments (and the start-up file it would read) when no --headless
// is given; it can be run by hand as well.

#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/StatePersistence.h"
#include "app/frmMain.h"
#include "ui/RunWindow.h"

namespace {

// Messages carry the name people type: they start the window as this.
constexpr const char* kProgram = "paddock-marshal";

int fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return pm::app::kUsageExitCode;
}

} // namespace

int main(int argc, char** argv) {
    using pm::app::CommandLine;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    pm::ui::WindowOptions window;
    if (const std::string error = pm::ui::takeWindowArguments(args, window); !error.empty()) {
        return fail(error);
    }
    const CommandLine cmd = pm::app::ParseCommandLine(args);
    switch (cmd.action) {
    case CommandLine::Action::Fail: return fail(cmd.error);
    case CommandLine::Action::ShowHelp: std::fputs(pm::app::UsageText(kProgram).c_str(), stdout); return 0;
    case CommandLine::Action::ShowVersion:
        std::printf("%s\n", pm::app::frmMain::VersionCaption().c_str());
        return 0;
    case CommandLine::Action::CheckConfig: return fail("--check-config is paddock-marshal's; run it there");
    case CommandLine::Action::Run: break;
    }
    if (cmd.headless) {
        return fail("this is the window; run 'paddock-marshal --headless' to work without one");
    }
    window.startupFile =
        cmd.configPath ? std::filesystem::path(*cmd.configPath) : pm::app::DefaultStartupFile();
    if (cmd.statePath) {
        window.statePath = pm::app::StatePersistence::resolve(*cmd.statePath);
        if (const auto why = pm::app::StatePersistence::refusal(*window.statePath, window.startupFile)) {
            return fail(*why);
        }
    }
    window.trace = cmd.trace;
    return pm::ui::runWindow(argc, argv, window);
}
