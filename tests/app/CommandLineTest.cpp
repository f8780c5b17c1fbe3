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
