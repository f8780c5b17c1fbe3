// The handshake over a link that loses, duplicates and reorders what the
// host sends. The client's own datagrams always arrive; the host's replies
// are what the network mangles.

#include "FaultFixture.h"

using namespace pm;
using namespace pm::test;

namespace {

const std::vector<std::string> kDrivers{"alice", "bob", "carol", "dave"};

class HandshakeFaults : public FaultTest {
protected:
    void SetUp() override {
        SetUpLink();
        joinDrivers(kDrivers);
    }
    sim::FaultSettings& faults() { return sim->faults().settings(); }
};

TEST_F(HandshakeFaults, RepliesThatAllGetLostAreAskedForAgainOnTheNextTry) {
    faults().dropPercent = 100;
    client().Connect();
    stack.loop().advance(1s); // first try
    EXPECT_TRUE(sim->clientConnected());
    EXPECT_FALSE(client().connected());
    EXPECT_EQ(views().lstConnections.count(), 0);

    faults().dropPercent = 0;
    ASSERT_TRUE(advanceUntil([this] { return client().connected(); }, 15s));
    EXPECT_TRUE(tablesMatchHost());
}

TEST_F(HandshakeFaults, DuplicatedAndReorderedRepliesBuildTheSameTables) {
    for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        sim->faults() = sim::FaultInjector(seed, {0, 50, 50});
        if (client().connected()) {
            client().cmdConnect_Click(); // the operator disconnects ...
            stack.loop().drain();
        }
        connect(); // ... and connects again: a fresh handshake
        stack.loop().drain();
        EXPECT_TRUE(tablesMatchHost());
        EXPECT_EQ(views().lstConnections.count(), static_cast<int>(kDrivers.size()));
    }
}

TEST_F(HandshakeFaults, LossyRepliesListNobodyWrongAndAReconnectionFillsTheGaps) {
    for (const std::uint32_t seed : {11u, 12u, 13u, 14u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        sim->faults() = sim::FaultInjector(seed, {50, 20, 20});
        if (client().connected()) {
            client().cmdConnect_Click();
            stack.loop().drain();
        }
        views().lstConnections.clear();
        connect();
        stack.loop().drain();
        // Whoever did arrive is listed once, under the host's IDs.
        for (const auto& item : views().lstConnections.items()) {
            const sim::Connection* c = sim->world().connection(item.text);
            ASSERT_NE(c, nullptr) << item.text;
            EXPECT_EQ(item.data, c->ucid) << item.text;
            EXPECT_EQ(client().GetConnectionId(item.text), c->ucid) << item.text;
        }
        sim->faults() = sim::FaultInjector(seed);
        client().cmdConnect_Click();
        stack.loop().drain();
        connect();
        stack.loop().drain();
        EXPECT_TRUE(tablesMatchHost());
    }
}

} // namespace
