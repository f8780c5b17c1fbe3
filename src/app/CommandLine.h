#pragma once
// The paddock-marshal program's command line.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pm::app {

struct CommandLine {
    enum class Action { Run, ShowVersion, ShowHelp, CheckConfig, Fail };
    Action action = Action::Run;
    bool headless = false;
    bool trace = false;
    std::optional<std::string> configPath;
    // --check-config PATH; without PATH the check reads the file a run would.
    std::optional<std::string> checkConfigPath;
    std::optional<std::string> screenshotPath;
    std::optional<std::string> statePath; // --state: where the state is kept; none = nothing kept
    std::optional<std::string> webAddress;   // --web ADDR:PORT: serve the web page there
    std::optional<std::string> webTokenFile; // --web-token-file: the token changes through it need
    std::string error; // set when action is Fail
};

// args: the arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Takes every "FLAG PATH" and "FLAG=PATH" out of args into out. Returns an
// error text (no file name, given twice), empty when all is well.
// what: the value's name in the error text.
std::string TakePathOption(std::vector<std::string>& args, std::string_view flag,
                           std::optional<std::string>& out, std::string_view what = "a file name");

std::string UsageText(std::string_view program);

// Exit code for a command line that cannot be run.
inline constexpr int kUsageExitCode = 2;

// The start-up file's default place. A portable program (a build tree, the
// Windows zip) keeps autostart.cfg in its own folder. An installed one (in
// <prefix>/bin, or the window in <prefix>/libexec/paddock-marshal) reads
// <systemConfigFolder>/paddock-marshal/autostart.cfg, the file the service
// reads, unless an autostart.cfg sits beside it: that one was put there on
// purpose. No systemConfigFolder (Windows) means always beside the program;
// an empty program (the system cannot say) means the current folder.
std::filesystem::path DefaultStartupFile(const std::filesystem::path& program,
                                         const std::filesystem::path& systemConfigFolder,
                                         const std::function<bool(const std::filesystem::path&)>& exists);

// The same for the running program, as the system names it.
std::filesystem::path DefaultStartupFile();

} // namespace pm::app
