// The client against a host that goes away: restarted mid-race, silent for
// longer than the client waits, or unreachable because the client cannot
// open its listen port or find the host's name. Each time the client must
// come back by itself where the protocol lets it, and with every table the
// protocol can restore.

#include "FaultFixture.h"

using namespace pm;
using namespace pm::test;

namespace {

const std::vector<std::string> kDrivers{"alice", "bob", "carol"};

// A name the resolver refuses at once: a label longer than 63 characters
// never becomes a query, so no name server is asked.
const std::string kUnresolvable = std::string(70, 'a') + ".invalid";

class Recovery : public FaultTest {
protected:
    void SetUp() override { SetUpLink(); }
    bool dropped() { return !client().connected(); }
};

TEST_F(Recovery, AHostRestartedMidRaceIsFoundAgainWithItsDriversAndTheNextVoteIsAnswered) {
    joinDrivers(kDrivers);
    connect();
    ASSERT_TRUE(sim->startRace());
    ASSERT_TRUE(sim->finish({"bob"}));
    stack.loop().drain();

    sim->restartServer(5s);
    ASSERT_TRUE(sim->join("dave")); // while the host is down: nobody is told
    ASSERT_TRUE(sim->leave("alice"));
    stack.loop().drain();
    EXPECT_EQ(client().GetConnectionId("dave"), 0);

    // Nothing comes from the host any more, so the client waits out its
    // silence limit, drops the link and handshakes again.
    ASSERT_TRUE(advanceUntil([this] { return linkUp(); }, 180s));
    EXPECT_EQ(traced("no response in 2 minutes"), 1);
    stack.loop().drain();
    EXPECT_TRUE(tablesMatchHost()); // dave included, from TINY_NCN and TINY_NPL

    ASSERT_TRUE(sim->startRace());
    stack.loop().drain(); // the answer to the race's own order is in before the vote opens
    ASSERT_TRUE(sim->finish({"dave", "carol", "bob"}));
    ASSERT_TRUE(sim->voteRestart());
    stack.loop().drain();
    EXPECT_EQ(sim->lastAppliedGrid(), (std::vector<std::string>{"dave", "carol", "bob"}));
}

TEST_F(Recovery, ASilentHostIsDroppedAfterTwoMinutesAndReconnectedWhenItSpeaksAgain) {
    joinDrivers(kDrivers);
    connect();
    stack.loop().drain();
    sim->silence(200s);

    stack.loop().advance(115s);
    EXPECT_TRUE(client().connected()) << "dropped before the limit";
    ASSERT_TRUE(advanceUntil([this] { return dropped(); }, 10s));
    EXPECT_EQ(traced("no response in 2 minutes"), 1);

    // Still silent: the client keeps trying, three tries and a pause at a time.
    stack.loop().advance(60s);
    EXPECT_FALSE(client().connected());
    EXPECT_GE(traced("no response in 3 tries"), 1);

    ASSERT_TRUE(advanceUntil([this] { return linkUp(); }, 60s));
    stack.loop().drain();
    EXPECT_TRUE(tablesMatchHost());
    EXPECT_EQ(client().ServerName(), "Paddock Sim");
}

TEST_F(Recovery, AListenPortTakenDuringAReconnectionIsTriedAgainUntilItIsFree) {
    joinDrivers(kDrivers);
    connect();
    sim->silence(130s);
    ASSERT_TRUE(advanceUntil([this] { return dropped(); }, 130s));

    auto squatter = std::make_unique<UdpPeer>("0.0.0.0", listenPort);
    stack.loop().advance(30s);
    EXPECT_FALSE(client().connected());
    EXPECT_GE(traced("could not create server socket!"), 3); // one per retry, 5 s apart
    EXPECT_EQ(client().state(), insim::LinkState::RetryPending);

    squatter.reset();
    ASSERT_TRUE(advanceUntil([this] { return linkUp(); }, 30s));
    stack.loop().drain();
    EXPECT_TRUE(tablesMatchHost());
}

TEST_F(Recovery, ABusyListenPortAtTheFirstConnectIsReportedAndLeaksNothing) {
    joinDrivers(kDrivers);
    {
        UdpPeer squatter("0.0.0.0", listenPort);
        client().Connect();
        stack.loop().advance(10s);
        EXPECT_GE(traced("could not create server socket!"), 2); // retried, not given up
        EXPECT_EQ(client().state(), insim::LinkState::RetryPending);
        EXPECT_FALSE(client().connected());
        EXPECT_EQ(stack.sockets().openCount(), 0u);
        EXPECT_TRUE(client().cmdConnect.enabled()); // the operator can try again
    }
    client().cmdConnect_Click();
    ASSERT_TRUE(advanceUntil([this] { return linkUp(); }, 5s));
    stack.loop().drain();
    EXPECT_TRUE(tablesMatchHost());
}

TEST_F(Recovery, AHostNameThatCannotBeResolvedIsReportedAndLeaksNothing) {
    joinDrivers(kDrivers);
    client().setHost(kUnresolvable);
    client().Connect();
    stack.loop().advance(60s);
    EXPECT_GE(traced("could not create client socket!"), 2); // retried, not given up
    EXPECT_EQ(client().state(), insim::LinkState::RetryPending);
    EXPECT_FALSE(client().connected());
    EXPECT_EQ(stack.sockets().openCount(), 0u);
    EXPECT_EQ(sim->stats().received, 0);
    EXPECT_TRUE(client().cmdConnect.enabled());

    client().setHost("127.0.0.1");
    client().cmdConnect_Click();
    ASSERT_TRUE(advanceUntil([this] { return linkUp(); }, 5s));
    stack.loop().drain();
    EXPECT_TRUE(tablesMatchHost());
}

} // namespace
