// A passed restart vote, end to end: the program picks the order by the
// server's rule, tells each driver their place and sets the grid, and the
// server's own reports of its order get a silent answer.

#include "e2e/E2eFixture.h"

namespace pm::e2e {
namespace {

using StartOrder = MarshalAndSim;

TEST_F(StartOrder, LastRaceVoteTellsEachDriverThenSetsTheGrid) {
    start(Rules{.lastRace = 1});
    for (const char* name : {"alice", "bob", "carol"}) {
        ASSERT_TRUE(sim->join(name));
    }
    act(sim->startRace());
    act(sim->finish({"carol", "alice", "bob"}));

    std::size_t wire = mark();
    act(sim->vote(insim::VOTE_END));
    EXPECT_EQ(wireSince(wire), Names{}) << "only a restart vote sets a start order";

    wire = mark();
    const std::size_t logStart = log.size();
    act(sim->voteRestart());

    const Names order{"carol", "alice", "bob"};
    EXPECT_EQ(wireSince(wire), announcedGrid(order)) << "messages first, in position order, then the order";
    EXPECT_EQ(sim->lastAppliedGrid(), order);
    EXPECT_EQ(views().lstOrder.texts(), order);
    for (std::size_t k = 0; k < order.size(); ++k) {
        EXPECT_EQ(messagesFor(order[k]), (Names{kGridText + std::to_string(k + 1), kPoweredBy})) << order[k];
    }
    Names expectedLog{"BH RACE ORDER"};
    for (const auto& l : positionLines(order)) {
        expectedLog.push_back(l);
    }
    EXPECT_EQ(logSince(logStart), expectedLog);
}

TEST_F(StartOrder, ReverseTopCountsFinishingPlacesAndDropsWhoeverLeft) {
    start(Rules{.lastRace = 1, .reverseTop = 1, .reverseCount = "3"});
    for (const char* name : {"anna", "ben", "cara", "dan", "eva"}) {
        ASSERT_TRUE(sim->join(name));
    }
    act(sim->startRace());
    act(sim->finish({"anna", "ben", "cara", "dan", "eva"}));
    act(sim->leave("ben"));
    act(sim->join("finn")); // here now, but was not in the race

    const std::size_t wire = mark();
    act(sim->voteRestart());

    const Names order{"cara", "anna", "dan", "eva"};
    EXPECT_EQ(views().lstOrder.texts(), order);
    EXPECT_EQ(wireSince(wire), announcedGrid(order));
    // The host puts whoever the order leaves out at the back.
    EXPECT_EQ(sim->lastAppliedGrid(), (Names{"cara", "anna", "dan", "eva", "finn"}));
    EXPECT_EQ(messagesFor("ben"), Names{});
    EXPECT_EQ(messagesFor("finn"), Names{});
}

TEST_F(StartOrder, ServerRaceOrderIsLoggedAndAnsweredSilently) {
    start(Rules{.lastRace = 1});
    for (const char* name : {"alice", "bob"}) {
        ASSERT_TRUE(sim->join(name));
    }
    act(sim->startRace());
    act(sim->finish({"bob", "alice"}));
    act(sim->voteRestart());
    ASSERT_EQ(views().lstOrder.texts(), (Names{"bob", "alice"}));
    act(sim->join("carol")); // the host grids her last; the program's order lacks her

    const std::size_t wire = mark();
    const std::size_t logStart = log.size();
    const std::size_t messagesBefore = totalMessages();
    act(sim->reportOrder());

    EXPECT_EQ(wireSince(wire), (Names{"REO bob alice"}));
    EXPECT_EQ(totalMessages(), messagesBefore);
    // The host's order held against the vote's: carol, gridded behind
    // everyone the program placed, is no difference.
    Names expectedLog{"Sim: grid confirmed, 2 drivers", "SERVER RACE ORDER"};
    for (const auto& l : positionLines({"bob", "alice", "carol"})) {
        expectedLog.push_back(l);
    }
    expectedLog.push_back("BH RACE ORDER");
    for (const auto& l : positionLines({"bob", "alice"})) {
        expectedLog.push_back(l);
    }
    EXPECT_EQ(logSince(logStart), expectedLog);
}

} // namespace
} // namespace pm::e2e
