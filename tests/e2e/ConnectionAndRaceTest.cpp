// The link comes up from the start-up file alone, and the server's reports of
// connections and results land in the program's lists.

#include "e2e/E2eFixture.h"

namespace pm::e2e {
namespace {

using ConnectionAndRace = MarshalAndSim;

TEST_F(ConnectionAndRace, HandshakeNamesTheListenPortAndLearnsWhoIsAlreadyThere) {
    makeSim();
    ASSERT_TRUE(sim->join("alice", "Alice", true));
    ASSERT_TRUE(sim->join("bob", "Bob"));
    ASSERT_TRUE(sim->connect("carol", "Carol")); // spectating: no player
    startMarshal();

    ASSERT_TRUE(sim->clientConnected());
    EXPECT_NE(sim->clientText().find("Brenhollow ISC"), std::string::npos);
    EXPECT_TRUE(transcriptHas("<- IS_ISI reqi=1 udpport=" + std::to_string(listenPort) + " "));
    EXPECT_TRUE(client().connected());
    EXPECT_EQ(client().cmdConnect.caption(), "Disconnect");
    EXPECT_EQ(client().Product(), "S2");

    // The host's own connection has no user name and is not listed.
    EXPECT_EQ(views().lstConnections.texts(), (Names{"alice", "bob", "carol"}));
    for (const auto& item : views().lstConnections.items()) {
        EXPECT_EQ(item.data, sim->world().connection(item.text)->ucid) << item.text;
    }
    EXPECT_EQ(client().GetPlayerNum("bob"), plidOf("bob"));
    EXPECT_EQ(client().GetPlayerNum("carol"), 0);

    act(sim->join("dave", "Dave"));
    act(sim->leave("bob"));
    EXPECT_EQ(views().lstConnections.texts(), (Names{"alice", "carol", "dave"}));
    EXPECT_EQ(client().GetPlayerNum("dave"), plidOf("dave"));
    EXPECT_EQ(client().GetPlayerNum("bob"), 0);
    EXPECT_TRUE(log.empty()) << "connections are not logged";
}

TEST_F(ConnectionAndRace, ClosingTheProgramTellsTheServerGoodbye) {
    start();
    form.reset();
    settle();
    EXPECT_FALSE(sim->clientConnected());
    EXPECT_TRUE(transcriptHas("<- IS_TINY reqi=1 TINY_CLOSE"));
}

TEST_F(ConnectionAndRace, AfterTheServerRestartsTheLinkComesBackAndVotesAreAnsweredAgain) {
    start(Rules{.lastRace = 1});
    ASSERT_TRUE(sim->join("alice"));
    ASSERT_TRUE(sim->join("bob"));
    settle();

    sim->restartServer(10s); // the client is forgotten and must introduce itself again
    const std::size_t restart = mark();
    stack.loop().advance(4min);
    ASSERT_TRUE(sim->clientConnected());
    EXPECT_TRUE(transcriptHas("<- IS_ISI", restart));
    EXPECT_TRUE(client().connected());
    EXPECT_EQ(views().lstConnections.texts(), (Names{"alice", "bob"}));

    act(sim->startRace());
    act(sim->finish({"bob", "alice"}));
    const std::size_t wire = mark();
    act(sim->voteRestart());
    EXPECT_EQ(wireSince(wire), announcedGrid({"bob", "alice"}));
}

TEST_F(ConnectionAndRace, ResultsBuildTheFinishingOrderAndTheNextWinnerStartsItAgain) {
    start();
    for (const char* name : {"alice", "bob", "carol"}) {
        ASSERT_TRUE(sim->join(name));
    }
    act(sim->startRace());
    const std::size_t logStart = log.size();

    act(sim->finish({"bob", "alice"}));
    act(sim->finish({"carol"}));
    EXPECT_EQ(views().lstFinish.texts(), (Names{"01 bob", "02 alice", "03 carol"}));
    EXPECT_EQ(logSince(logStart), (Names{"bob has finished the race", "alice has finished the race",
                                         "carol has finished the race"}));

    act(sim->startRace());
    act(sim->finish({"carol"}));
    EXPECT_EQ(views().lstFinish.texts(), (Names{"01 carol"}));

    // Qualifying results are logged but are no race's finishing order.
    act(sim->startQualifying());
    const std::size_t qualStart = log.size();
    act(sim->finish({"alice"}));
    EXPECT_EQ(logSince(qualStart), (Names{"alice has finished the race"}));
    EXPECT_EQ(views().lstFinish.texts(), (Names{"01 carol"}));
}

TEST_F(ConnectionAndRace, DemoServerIsTrackedAndGriddedByNicknames) {
    sim::SimOptions demo;
    demo.product = "DEMO";
    start(Rules{.lastRace = 1}, demo);
    ASSERT_EQ(client().Product(), "DEMO");
    ASSERT_TRUE(sim->join("u1", "Ayrton"));
    ASSERT_TRUE(sim->join("u2", "Alain"));
    ASSERT_TRUE(sim->join("u3", "Nigel"));
    act(sim->startRace());
    // Without user names the host's own connection is listed by its nickname too.
    EXPECT_EQ(views().lstConnections.texts(), (Names{"Paddock Sim", "Ayrton", "Alain", "Nigel"}));

    const std::size_t logStart = log.size();
    act(sim->finish({"u2", "u3", "u1"}));
    EXPECT_EQ(views().lstFinish.texts(), (Names{"01 Alain", "02 Nigel", "03 Ayrton"}));
    EXPECT_EQ(logSince(logStart)[0], "Alain has finished the race");

    const std::size_t wire = mark();
    act(sim->voteRestart());
    EXPECT_EQ(views().lstOrder.texts(), (Names{"Alain", "Nigel", "Ayrton"}));
    EXPECT_EQ(sim->lastAppliedGrid(), (Names{"u2", "u3", "u1"}));
    EXPECT_EQ(wireSince(wire), announcedGrid({"u2", "u3", "u1"}));
}

} // namespace
} // namespace pm::e2e
