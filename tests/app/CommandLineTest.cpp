// The program's command line.

#include "app/CommandLine.h"

#include <gtest/gtest.h>

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
