// The program's command line.

#include <gtest/gtest.h>

#include "app/CommandLine.h"

using pm::app::CommandLine;
using Action = CommandLine::Action;

TEST(CommandLine, parsing) {
    const struct {
        std::vector<std::string> args;
        Action action;
        bool headless, trace;
        std::string config; // "" = none
        std::string error;
    } rows[] = {
        {{}, Action::Run, false, false, "", ""},
        {{"--headless"}, Action::Run, true, false, "", ""},
        {{"--headless", "--config", "a.cfg", "--trace"}, Action::Run, true, true, "a.cfg", ""},
        {{"--config=b.cfg", "--headless"}, Action::Run, true, false, "b.cfg", ""},
        {{"--version"}, Action::ShowVersion, false, false, "", ""},
        {{"--headless", "--help", "--version"}, Action::ShowHelp, true, false, "", ""},
        {{"--config"}, Action::Fail, false, false, "", "--config needs a file name"},
        {{"--config="}, Action::Fail, false, false, "", "--config needs a file name"},
        {{"--config", "a", "--config", "b"}, Action::Fail, false, false, "a", "--config given twice"},
        {{"--headless", "-x"}, Action::Fail, true, false, "", "unknown argument '-x'"},
        {{"--help", "extra"}, Action::Fail, false, false, "", "unknown argument 'extra'"},
    };
    for (const auto& row : rows) {
        const CommandLine cmd = pm::app::ParseCommandLine(row.args);
        const std::string where = row.args.empty() ? "(none)" : row.args.front();
        EXPECT_EQ(cmd.action, row.action) << where;
        EXPECT_EQ(cmd.headless, row.headless) << where;
        EXPECT_EQ(cmd.trace, row.trace) << where;
        EXPECT_EQ(cmd.configPath.value_or(""), row.config) << where;
        EXPECT_EQ(cmd.error, row.error) << where;
    }
    EXPECT_NE(pm::app::UsageText("paddock-marshal").find("--headless"), std::string::npos);
    EXPECT_EQ(pm::app::DefaultStartupFile().filename(), "autostart.cfg");
}
