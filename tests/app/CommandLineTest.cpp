// The program's command line.

#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using pm::app::CommandLine;
using Action = CommandLine::Action;

TEST(CommandLine, parsing) {
    const struct {
        std::vector<std::string> args;
        Action action;
        bool headless, trace;
        std::string config, error;
    } rows[] = {
        {{}, Action::Run, false, false, "", ""},
        {{"--headless", "--config", "a.cfg", "--trace"}, Action::Run, true, true, "a.cfg", ""},
        {{"--config=b.cfg", "--headless"}, Action::Run, true, false, "b.cfg", ""},
        {{"--headless", "--help", "--version"}, Action::ShowHelp, true, false, "", ""},
        {{"--version"}, Action::ShowVersion, false, false, "", ""},
        {{"--config"}, Action::Fail, false, false, "", "--config needs a file name"},
        {{"--config", "a", "--config=b"}, Action::Fail, false, false, "a", "--config given twice"},
        {{"--help", "-x"}, Action::Fail, false, false, "", "unknown argument '-x'"},
    };
    for (const auto& row : rows) {
        const CommandLine cmd = pm::app::ParseCommandLine(row.args);
        const std::string where = row.args.empty() ? "(none)" : row.args.back();
        EXPECT_EQ(cmd.action, row.action) << where;
        EXPECT_EQ(cmd.headless, row.headless) << where;
        EXPECT_EQ(cmd.trace, row.trace) << where;
        EXPECT_EQ(cmd.configPath.value_or(""), row.config) << where;
        EXPECT_EQ(cmd.error, row.error) << where;
    }
}

TEST(CommandLine, check_config_and_screenshot) {
    const struct {
        std::vector<std::string> args;
        Action action;
        std::string check, config, screenshot, error;
    } rows[] = {
        {{"--check-config"}, Action::CheckConfig, "", "", "", ""},
        {{"--check-config", "a.cfg", "--trace"}, Action::CheckConfig, "a.cfg", "", "", ""},
        {{"--check-config=b.cfg"}, Action::CheckConfig, "b.cfg", "", "", ""},
        {{"--check-config", "--config", "c.cfg"}, Action::CheckConfig, "", "c.cfg", "", ""},
        {{"--check-config", "--help"}, Action::ShowHelp, "", "", "", ""},
        {{"--check-config="}, Action::Fail, "", "", "", "--check-config= needs a file name"},
        {{"--check-config", "a", "--config", "b"},
         Action::Fail,
         "a",
         "b",
         "",
         "--check-config PATH and --config PATH name two files; give one of them"},
        {{"--check-config", "--check-config"}, Action::Fail, "", "", "", "--check-config given twice"},
        {{"--screenshot", "w.png", "--config=x"}, Action::Run, "", "x", "w.png", ""},
        {{"--screenshot"}, Action::Fail, "", "", "", "--screenshot needs a file name"},
    };
    for (const auto& row : rows) {
        const CommandLine cmd = pm::app::ParseCommandLine(row.args);
        const std::string where = row.args.front() + " ... (" + std::to_string(row.args.size()) + ")";
        EXPECT_EQ(cmd.action, row.action) << where;
        EXPECT_EQ(cmd.checkConfigPath.value_or(""), row.check) << where;
        EXPECT_EQ(cmd.configPath.value_or(""), row.config) << where;
        EXPECT_EQ(cmd.screenshotPath.value_or(""), row.screenshot) << where;
        EXPECT_EQ(cmd.error, row.error) << where;
    }
}

// The start-up file a run reads without --config: beside a portable program,
// the service's file for an installed one, unless one was put beside it.
TEST(CommandLine, default_startup_file) {
    const struct {
        const char* program;
        const char* systemConfig;
        const char* existing; // a file that exists, or nullptr
        const char* expected;
    } rows[] = {
        // A build tree and an unpacked folder are portable.
        {"/home/al/pm/build/paddock-marshal", "/etc", nullptr, "/home/al/pm/build/autostart.cfg"},
        {"/home/al/cabin/paddock-marshal", "/etc", nullptr, "/home/al/cabin/autostart.cfg"},
        {"/opt/paddock-marshal/paddock-marshal", "/etc", nullptr, "/opt/paddock-marshal/autostart.cfg"},
        // Installed on any prefix: the file the service reads.
        {"/usr/bin/paddock-marshal", "/etc", nullptr, "/etc/paddock-marshal/autostart.cfg"},
        {"/usr/local/bin/paddock-marshal", "/etc", nullptr, "/etc/paddock-marshal/autostart.cfg"},
        {"/usr/libexec/paddock-marshal/paddock-marshal-gui", "/etc", nullptr,
         "/etc/paddock-marshal/autostart.cfg"},
        // ... unless the admin put one beside the program; a file elsewhere
        // does not count.
        {"/usr/local/bin/paddock-marshal", "/etc", "/usr/local/bin/autostart.cfg",
         "/usr/local/bin/autostart.cfg"},
        {"/usr/local/bin/paddock-marshal", "/etc", "/usr/local/autostart.cfg",
         "/etc/paddock-marshal/autostart.cfg"},
        // No system folder (Windows): always beside, even in a bin folder.
        {"C:/Tools/bin/paddock-marshal.exe", "", nullptr, "C:/Tools/bin/autostart.cfg"},
        // The system cannot name the program: the current folder.
        {"", "/etc", nullptr, "autostart.cfg"},
    };
    for (const auto& row : rows) {
        const auto exists = [&row](const std::filesystem::path& path) {
            return row.existing != nullptr && path == std::filesystem::path(row.existing);
        };
        const std::filesystem::path got = pm::app::DefaultStartupFile(row.program, row.systemConfig, exists);
        EXPECT_EQ(got, std::filesystem::path(row.expected))
            << row.program << " with " << (row.existing != nullptr ? row.existing : "nothing");
    }
}
