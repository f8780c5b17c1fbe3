// The scenario language: what a bad line reports, and how a run ends.

#include "sim/Scenario.h"

#include <gmock/gmock.h>

#include <cctype>

#include "sim/ScenarioRunner.h"
#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

struct BadLine {
    const char* line;
    const char* error;
};

void PrintTo(const BadLine& b, std::ostream* os) {
    *os << b.line;
}

class ScenarioParse : public ::testing::TestWithParam<BadLine> {};

TEST_P(ScenarioParse, NamesTheLineAndWhatIsWrong) {
    const std::string script =
        std::string("# a comment\n\njoin alice\n  ") + GetParam().line + "\nfinish alice\n";
    const auto parsed = parseScenario(script, "race.scn");
    EXPECT_TRUE(parsed.steps.empty());
    EXPECT_EQ(parsed.error, std::string("race.scn:4: ") + GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ScenarioParse,
    ::testing::Values(
        BadLine{"fnish alice", "unknown command 'fnish'"}, BadLine{"join", "usage: join NAME [NICK] [admin]"},
        BadLine{"join alice Alice boss", "usage: join NAME [NICK] [admin]"},
        BadLine{"wait soon", "'soon' is not a number of seconds"},
        BadLine{"wait -1", "a number of seconds must be from 0 to 86400, not -1"},
        BadLine{"vote maybe", "unknown vote 'maybe' (restart, end or qualify)"},
        BadLine{"click alice 240", "a button ClickID must be from 0 to 239, not 240"},
        BadLine{"click alice 2.5", "'2.5' is not a button ClickID"},
        BadLine{"click alice 2 double", "unknown click 'double' (left, right, shift-left or shift-right)"},
        BadLine{"drop 101", "a percentage must be from 0 to 100, not 101"},
        BadLine{"race go", "usage: race start|end"},
        BadLine{"expect colour red",
                "unknown expectation 'colour' (grid, connected, message, no-message, button, no-button)"},
        BadLine{"expect message alice", "usage: expect message NAME TEXT..."},
        BadLine{"expect no-button alice 2 Close", "usage: expect no-button NAME ID"},
        BadLine{"chat alice \"open", "a quote is not closed"}),
    [](const ::testing::TestParamInfo<BadLine>& info) {
        std::string name = std::to_string(info.index) + "_";
        for (const char* c = info.param.line; *c != '\0' && *c != ' '; ++c) {
            name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        }
        return name;
    });

TEST(ScenarioParseLines, WordsQuotesAndTheRestOfTheLine) {
    const auto parsed = parseScenario("join bob \"Bob the Builder\" admin\n"
                                      "expect message bob   ^2Your Grid position for the next race is #1\n"
                                      "click bob 102 shift-right\n"
                                      "chat bob \"*reverse 3\"\n"
                                      "wait 0.25\n",
                                      "s");
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.steps.size(), 5u);
    EXPECT_EQ(parsed.steps[0].text, "Bob the Builder");
    EXPECT_TRUE(parsed.steps[0].admin);
    EXPECT_EQ(parsed.steps[1].text, "^2Your Grid position for the next race is #1");
    EXPECT_EQ(parsed.steps[2].number, 102);
    EXPECT_EQ(parsed.steps[2].flags, kClickShiftRight);
    EXPECT_EQ(parsed.steps[3].text, "*reverse 3");
    EXPECT_DOUBLE_EQ(parsed.steps[4].value, 0.25);
    EXPECT_EQ(parsed.steps[4].where, "s:5");
}

class ScenarioRun : public SimFixture {
protected:
    int run(const std::string& script) {
        auto parsed = parseScenario(script, "t.scn");
        EXPECT_EQ(parsed.error, "");
        runner = std::make_unique<ScenarioRunner>(*server, loop);
        runner->setReport(
            [this](ScenarioRunner::Kind, std::string_view text) { reports.emplace_back(text); });
        runner->append(std::move(parsed.steps));
        return runToEnd(loop, *runner);
    }

    std::unique_ptr<ScenarioRunner> runner;
    std::vector<std::string> reports;
};

TEST_F(ScenarioRun, ExpectationsThatHoldExitZero) {
    connectClient();
    const auto start = clock.monotonicNow();
    const int code = run("join alice Alice admin\n"
                         "join bob\n"
                         "race start\n"
                         "finish bob alice\n"
                         "expect grid alice bob\n"
                         "wait 30\n"
                         "expect connected\n"
                         "expect no-button alice 2\n");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(runner->passed(), 3);
    EXPECT_GE(clock.monotonicNow() - start, 30s); // the wait moved the manual clock
    EXPECT_EQ(server->stats().keepAlivesSent, 1);
}

TEST_F(ScenarioRun, AFailedExpectationExitsOneAndTheRunGoesOn) {
    const int code = run("join alice\n"
                         "expect grid bob\n"
                         "expect message alice Grid position\n"
                         "join carol\n");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(runner->failures().size(), 2u);
    EXPECT_THAT(runner->failures()[0], HasSubstr("t.scn:2: expected grid bob, got alice"));
    EXPECT_THAT(runner->failures()[1], HasSubstr("t.scn:3: expected alice to have a message"));
    EXPECT_NE(server->world().connection("carol"), nullptr);
}

TEST_F(ScenarioRun, AStepTheHostRefusesStopsTheScriptWithTwo) {
    const int code = run("join alice\n"
                         "leave nobody\n"
                         "join carol\n");
    EXPECT_EQ(code, 2);
    EXPECT_EQ(runner->error(), "t.scn:2: nobody is not connected");
    EXPECT_EQ(server->world().connection("carol"), nullptr);
}

TEST_F(ScenarioRun, ClientMessagesAndButtonsCanBeExpected) {
    connectClient();
    ASSERT_TRUE(server->join("alice"));
    IsMtc m;
    m.PLID = 1;
    m.Text = "^2Your Grid position for the next race is #1";
    send(m.toBytes());
    IsBtn b;
    b.UCID = 1;
    b.ClickID = 2;
    b.BStyle = ISB_CLICK;
    b.Text = "Close";
    send(b.toBytes());
    const int code = run("expect message alice Your Grid position for the next race is #1\n"
                         "expect message alice ^2Your Grid\n"
                         "expect no-message alice #2\n"
                         "expect button alice 2 Close\n"
                         "click alice 2\n"
                         "click alice 3\n");
    EXPECT_EQ(code, 1);
    ASSERT_EQ(runner->failures().size(), 1u);
    EXPECT_EQ(runner->failures()[0], "t.scn:6: click: alice has no button 3");
    EXPECT_EQ(only<IsBtc>(take()).size(), 1u);
}

TEST_F(ScenarioRun, WaitConnectedEndsWhenTheClientArrives) {
    auto id = loop.startTimer(3s, [this] {
        IsIsi isi;
        isi.UDPPort = client.port();
        client.sendTo(server->port(), isi.toBytes());
    });
    const auto start = clock.monotonicNow();
    EXPECT_EQ(run("wait-connected 10\nexpect connected\n"), 0);
    loop.stopTimer(id);
    EXPECT_LT(clock.monotonicNow() - start, 4s);
}

TEST_F(ScenarioRun, WaitConnectedOnlyWaitsExpectConnectedChecks) {
    const auto start = clock.monotonicNow();
    EXPECT_EQ(run("wait-connected 5\nexpect connected\n"), 1);
    EXPECT_GE(clock.monotonicNow() - start, 5s);
    ASSERT_EQ(runner->failures().size(), 1u);
    EXPECT_THAT(runner->failures()[0], HasSubstr("t.scn:2: expected an InSim client"));
}

} // namespace
