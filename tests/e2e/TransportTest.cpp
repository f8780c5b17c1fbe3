// The program and the simulated host over TCP, and over UDP through one
// socket: the link, a whole vote, a stream cut anywhere, a host that
// refuses or goes away, and the host's confirmation of the grid.

#include <algorithm>

#include "E2eFixture.h"

namespace pm::e2e {
namespace {

#define ASSERT_RESULT(outcome)                                                                                        \
    do {                                                                                                               \
        const sim::Outcome result_ = (outcome);                                                                        \
        ASSERT_TRUE(result_) << result_.error;                                                                         \
    } while (false)

struct Case {
    sim::LfsRelease release;
    const char* version;
    const char* transport;
    const char* listenPort; // empty: a port of its own
    double splitPercent;    // of the host's packets cut in two on the stream
    int speaks;
};

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string release(sim::releaseName(info.param.release));
    release.erase(std::remove(release.begin(), release.end(), '.'), release.end());
    return "LFS" + release + "_" + info.param.version + "_" + info.param.transport +
           (std::string(info.param.listenPort) == "0" ? "_oneSocket" : "") +
           (info.param.splitPercent > 0 ? "_cut" : "");
}

bool has(const Names& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

class Transport : public MarshalAndSim, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        sim::SimOptions options;
        options.lfs = GetParam().release;
        options.faults.splitPercent = GetParam().splitPercent;
        start(Rules{.lastRace = 1,
                    .reverseTop = 1,
                    .reverseCount = "3",
                    .inSimVersion = GetParam().version,
                    .transport = GetParam().transport,
                    .listenPort = GetParam().listenPort},
              options);
        stack.loop().advance(2s); // auto moves up within this handshake try
        settle();
    }

    // A full field finishes and votes; the host starts the race with the grid.
    Names raceAndVote(int drivers) {
        Names names;
        for (int k = 1; k <= drivers; ++k) {
            names.push_back("d" + std::to_string(k));
            EXPECT_TRUE(sim->join(names.back(), "Driver " + std::to_string(k)));
        }
        settle();
        EXPECT_TRUE(sim->startRace());
        settle();
        EXPECT_TRUE(sim->finish(names));
        settle();
        Names order = names;
        std::reverse(order.begin(), order.begin() + 3);
        const std::size_t wire = mark();
        EXPECT_TRUE(sim->voteRestart());
        for (int i = 0; i < 20; ++i) { // a cut packet's rest follows within a few milliseconds
            stack.loop().advance(10ms);
            settle();
        }
        EXPECT_EQ(wireSince(wire), announcedGrid(order));
        stack.loop().advance(3s); // the vote takes effect: the race restarts
        settle();
        EXPECT_EQ(sim->lastAppliedGrid(), order);
        return order;
    }
};

TEST_P(Transport, TheLinkCarriesAWholeVoteAndTheHostConfirmsTheGrid) {
    const Case c = GetParam();
    ASSERT_TRUE(client().connected());
    EXPECT_EQ(client().wire().version, c.speaks);
    EXPECT_EQ(client().overTcp(), std::string(c.transport) == "tcp");
    ASSERT_FALSE(summaries.empty());
    EXPECT_EQ(summaries.front(), "connected, InSim " + std::to_string(c.speaks) +
                                     (std::string(c.transport) == "tcp" ? " over TCP" : " over UDP") + ", LFS " +
                                     std::string(sim::releaseName(c.release)));
    raceAndVote(12);
    EXPECT_TRUE(std::any_of(summaries.begin(), summaries.end(),
                            [](const std::string& l) { return l.starts_with("grid sent (Reverse Top 3): 1 "); }));
    // Hosts from 0.8B on tell only InSim 10 clients the grid they start with.
    const bool told = c.speaks == 10 || c.release != sim::LfsRelease::V08C;
    EXPECT_EQ(has(log, "Sim: grid confirmed, 12 drivers"), told) << ::testing::PrintToString(log);
    EXPECT_EQ(views().txtGridCheck.text(), told ? "grid confirmed, 12 drivers" : "");
    EXPECT_FALSE(has(log, "grid differs"));
}

INSTANTIATE_TEST_SUITE_P(Links, Transport,
                         ::testing::Values(Case{sim::LfsRelease::V05Z, "4", "tcp", "", 0, 4},
                                           Case{sim::LfsRelease::V08C, "10", "tcp", "", 0, 10},
                                           Case{sim::LfsRelease::V08C, "auto", "tcp", "", 0, 10},
                                           Case{sim::LfsRelease::V07F, "9", "tcp", "", 60, 9},
                                           Case{sim::LfsRelease::V05Z, "4", "tcp", "", 60, 4},
                                           Case{sim::LfsRelease::V08C, "10", "udp", "0", 0, 10},
                                           Case{sim::LfsRelease::V05Z, "4", "udp", "0", 0, 4}),
                         caseName);

class TcpLink : public MarshalAndSim {
protected:
    void startTcp(const char* version = "10") {
        sim::SimOptions options;
        options.lfs = sim::LfsRelease::V08C;
        start(Rules{.lastRace = 1, .inSimVersion = version, .transport = "tcp"}, options);
        settle();
    }
};

TEST_F(TcpLink, AStreamTheHostClosesIsSaidOnceAndOpenedAgainForTheNextVote) {
    startTcp();
    ASSERT_TRUE(client().connected());
    sim->restartServer(); // the host forgets its client and closes the stream
    settle();
    EXPECT_FALSE(client().connected());
    EXPECT_EQ(std::count(log.begin(), log.end(), "Sim: the host closed the InSim connection; retrying every 5 s"), 1);
    stack.loop().advance(6s); // the retry
    settle();
    stack.loop().advance(1s);
    settle();
    ASSERT_TRUE(client().connected());
    ASSERT_TRUE(sim->clientConnected());
    EXPECT_EQ(log.back(), "Sim: the host answers again");
    EXPECT_EQ(summaries, (Names{"connected, InSim 10 over TCP, LFS 0.8C",
                                "link lost (the host closed the InSim connection)",
                                "connected again, InSim 10 over TCP, LFS 0.8C"}));

    ASSERT_RESULT(sim->join("a"));
    ASSERT_RESULT(sim->join("b"));
    ASSERT_RESULT(sim->startRace());
    ASSERT_RESULT(sim->finish({"b", "a"}));
    settle();
    const std::size_t wire = mark();
    act(sim->voteRestart());
    EXPECT_EQ(wireSince(wire), announcedGrid({"b", "a"}));
}

TEST_F(TcpLink, AHostThatRefusesAtFirstIsTriedAgainUntilItListens) {
    sim::SimOptions options;
    options.lfs = sim::LfsRelease::V08C;
    makeSim(options);
    sim->restartServer(12s); // down: every connection is refused for now
    startMarshal(Rules{.lastRace = 1, .inSimVersion = "auto", .transport = "tcp"});
    settle();
    EXPECT_FALSE(client().connected());
    const std::string refused = "Sim: 127.0.0.1:" + std::to_string(sim->port()) +
                                " refused the InSim connection over TCP (is InSim enabled there on that port?); "
                                "retrying every 5 s";
    for (int s = 0; s < 20 && !client().connected(); ++s) {
        stack.loop().advance(1s);
        settle();
    }
    ASSERT_TRUE(client().connected());
    EXPECT_EQ(std::count(log.begin(), log.end(), refused), 1) << ::testing::PrintToString(log);
    EXPECT_EQ(client().wire().version, 10) << "auto settles over a stream too";
}

TEST_F(TcpLink, ASizeByteOfZeroEndsTheStreamWithALineAndTheLinkComesBack) {
    startTcp();
    sim->sendRaw({0, 3, 0, 0});
    settle();
    EXPECT_FALSE(client().connected());
    EXPECT_TRUE(has(log, "cannot be read (a packet with Size 0); it is closed and opened again"))
        << ::testing::PrintToString(log);
    for (int s = 0; s < 10 && !client().connected(); ++s) {
        stack.loop().advance(1s);
        settle();
    }
    EXPECT_TRUE(client().connected());
}

TEST_F(TcpLink, AGridTheHostStartedOtherwiseIsNamedWhereItDiffers) {
    startTcp();
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_RESULT(sim->join(name));
    }
    ASSERT_RESULT(sim->startRace());
    ASSERT_RESULT(sim->finish({"a", "b", "c"}));
    act(sim->voteRestart());
    // The host starts the race with b and a swapped, as if our order had
    // come too late.
    insim::IsReo reo;
    reo.NumP = 3;
    reo.PLID[0] = static_cast<std::uint8_t>(plidOf("b"));
    reo.PLID[1] = static_cast<std::uint8_t>(plidOf("a"));
    reo.PLID[2] = static_cast<std::uint8_t>(plidOf("c"));
    sim->sendRaw(reo.toBytes(insim::kWire10));
    settle();
    EXPECT_TRUE(has(log, "Sim: grid differs at place 1: the host starts b there, not a"))
        << ::testing::PrintToString(log);
}

} // namespace
} // namespace pm::e2e
