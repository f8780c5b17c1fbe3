#pragma once
// The paddock-marshal program's command line.

#include <filesystem>
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
    std::string error; // set when action is Fail
};

// args: the arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Takes every "FLAG PATH" and "FLAG=PATH" out of args into out. Returns an
// error text (no file name, given twice), empty when all is well.
std::string TakePathOption(std::vector<std::string>& args, std::string_view flag,
                           std::optional<std::string>& out);

std::string UsageText(std::string_view program);

// Exit code for a command line that cannot be run.
inline constexpr int kUsageExitCode = 2;

// The start-up file's default place: autostart.cfg in the folder that holds
// the running program (as the system names it); fallback is the current
// folder when the system cannot say.
std::filesystem::path DefaultStartupFile();

} // namespace pm::app
