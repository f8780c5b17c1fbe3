#include "sim/CommandLine.h"

#include <gtest/gtest.h>

using namespace pm::sim;

namespace {

ParsedCommandLine parse(std::vector<std::string> args) {
    return parseCommandLine(args);
}

TEST(SimCommandLine, OptionsAndTheirDefaults) {
    auto p = parse({"--port", "0", "--crowd=12", "--loss", "2.5", "--split=40", "--seed", "9", "--quiet"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.server.port, 0);
    ASSERT_TRUE(p.options.crowd);
    EXPECT_EQ(p.options.crowd->drivers, 12);
    EXPECT_EQ(p.options.crowd->raceEvery, std::chrono::seconds(20));
    EXPECT_EQ(p.options.crowd->seed, 9u);
    EXPECT_DOUBLE_EQ(p.options.server.faults.dropPercent, 2.5);
    EXPECT_DOUBLE_EQ(p.options.server.faults.splitPercent, 40);
    EXPECT_TRUE(p.options.quiet);
    EXPECT_EQ(parse({}).options.server.port, 29999);
    EXPECT_EQ(parse({}).options.server.product, "S2");
}

TEST(SimCommandLine, BadArgumentsAreNamed) {
    EXPECT_EQ(parse({"--port", "70000"}).error, "bad value for --port: '70000'");
    EXPECT_EQ(parse({"--port"}).error, "--port needs a value");
    EXPECT_EQ(parse({"--colour"}).error, "unknown option '--colour'");
    EXPECT_EQ(parse({"--loss", "-1"}).error, "bad value for --loss: '-1'");
    EXPECT_EQ(parse({"--split", "101"}).error, "bad value for --split: '101'");
    EXPECT_EQ(parse({"--quiet=yes"}).error, "--quiet takes no value");
    EXPECT_EQ(parse({"--race-every", "5"}).error, "--race-every needs --crowd");
    EXPECT_EQ(parse({"--console", "--script", "-"}).error, "--console and --script do not go together");
}

} // namespace

namespace {

TEST(SimCommandLine, TheReleaseAndTheCrowdItHasRoomFor) {
    EXPECT_EQ(parse({}).options.server.lfs, LfsRelease::V08C);
    EXPECT_EQ(parse({"--lfs=0.5z"}).options.server.lfs, LfsRelease::V05Z);
    EXPECT_EQ(parse({"--crowd", "40", "--lfs", "0.7F"}).error, "");
    EXPECT_EQ(parse({"--lfs", "0.6B"}).error, "bad value for --lfs: '0.6B' (0.5Z, 0.7F or 0.8C)");
    EXPECT_EQ(parse({"--crowd", "44", "--lfs", "0.7F"}).error, "--crowd 44: LFS 0.7F races at most 40 cars");
    EXPECT_EQ(parse({"--crowd", "49"}).error, "--crowd 49: LFS 0.8C races at most 48 cars");
}

} // namespace
