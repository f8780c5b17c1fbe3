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
#ifdef PM_WITH_WEB
#include "web/WebServer.h"
#endif

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
#ifdef PM_WITH_WEB
    if (cmd.webAddress) {
        std::string why;
        const auto address = pm::web::parseListenAddress(*cmd.webAddress, why);
        if (!address) {
            return fail(why);
        }
        pm::web::WebConfig config;
        config.address = *address;
        if (cmd.webTokenFile) {
            config.token = pm::web::readTokenFile(*cmd.webTokenFile, why);
            if (!config.token) {
                return fail("--web-token-file: " + why);
            }
        }
        window.attach = [config](pm::app::frmMain& form, pm::platform::EventLoop& loop,
                                 std::string& error) -> std::shared_ptr<void> {
            auto web = std::make_shared<pm::web::WebServer>(form, loop, config);
            error = web->start();
            if (!error.empty()) {
                return nullptr;
            }
            form.AddStatus(web->announcement());
            return web;
        };
    }
#else
    if (cmd.webAddress) {
        return fail("this build has no web page; leave out --web");
    }
#endif
    return pm::ui::runWindow(argc, argv, window);
}
