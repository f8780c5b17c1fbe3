// The host takes a start order (IS_REO) only in the window a passed restart
// or qualify vote opens, and only once.

#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;
using namespace std::chrono_literals;

namespace {

class StartOrder : public SimFixture {
protected:
    void SetUp() override {
        for (auto n : {"alice", "bob", "carol"}) {
            ASSERT_TRUE(server->join(n)); // PLIDs 1, 2, 3
        }
        ASSERT_TRUE(server->startRace());
        connectClient();
    }

    static Bytes order(std::initializer_list<std::uint8_t> plids) {
        IsReo reo;
        reo.NumP = static_cast<std::uint8_t>(plids.size());
        std::copy(plids.begin(), plids.end(), reo.PLID.begin());
        return reo.toBytes();
    }

    const std::vector<std::string> initial{"alice", "bob", "carol"};
};

TEST_F(StartOrder, IgnoredBeforeAnyVote) {
    send(order({3, 2, 1}));
    EXPECT_EQ(server->grid(), initial);
    EXPECT_TRUE(server->appliedGrids().empty());
    EXPECT_EQ(server->stats().startOrdersIgnored, 1);
    EXPECT_TRUE(transcriptHas("no restart vote pending"));
}

TEST_F(StartOrder, TakenOnceAfterARestartVote) {
    ASSERT_TRUE(server->voteRestart());
    auto small = only<IsSmall>(take());
    ASSERT_EQ(small.size(), 1u);
    EXPECT_EQ(small[0].SubT, SMALL_VTA);
    EXPECT_EQ(small[0].UVal, VOTE_RESTART);

    send(order({3, 1, 2}));
    const std::vector<std::string> applied{"carol", "alice", "bob"};
    EXPECT_EQ(server->grid(), applied);
    EXPECT_EQ(server->lastAppliedGrid(), applied);

    send(order({1, 2, 3})); // the window is closed again
    EXPECT_EQ(server->grid(), applied);
    EXPECT_EQ(server->appliedGrids().size(), 1u);
}

TEST_F(StartOrder, EndVoteOpensNoWindow) {
    ASSERT_TRUE(server->vote(VOTE_END));
    send(order({3, 2, 1}));
    EXPECT_EQ(server->grid(), initial);
}

TEST_F(StartOrder, QualifyVoteOpensTheWindowToo) {
    ASSERT_TRUE(server->vote(VOTE_QUALIFY));
    send(order({2, 3, 1}));
    EXPECT_EQ(server->grid(), (std::vector<std::string>{"bob", "carol", "alice"}));
}

TEST_F(StartOrder, TheRestartTakingEffectClosesTheWindowAndStartsWithTheNewGrid) {
    ASSERT_TRUE(server->voteRestart());
    send(order({2, 1, 3}));
    take();
    loop.advance(2s); // the vote is carried out
    auto got = take();
    auto reo = only<IsReo>(got);
    ASSERT_EQ(reo.size(), 1u); // the host reports the order it starts with
    EXPECT_EQ(reo[0].NumP, 3);
    EXPECT_EQ(reo[0].PLID[0], 2);
    EXPECT_EQ(reo[0].PLID[1], 1);
    EXPECT_EQ(only<IsRst>(got).size(), 1u);

    ASSERT_TRUE(server->voteRestart());
    loop.advance(2s);
    send(order({3, 2, 1})); // too late: the race already restarted
    EXPECT_EQ(server->grid(), (std::vector<std::string>{"bob", "alice", "carol"}));
}

TEST_F(StartOrder, EmptySlotsAndStrangersAreSkippedAndTheMissingGoBehind) {
    ASSERT_TRUE(server->voteRestart());
    // A spectator is sent as PLID 0; 9 is nobody; bob is left out.
    send(order({3, 0, 9, 1}));
    EXPECT_EQ(server->grid(), (std::vector<std::string>{"carol", "alice", "bob"}));
    EXPECT_TRUE(transcriptHas("PLID 0 skipped"));
    EXPECT_TRUE(transcriptHas("bob not in the order"));
}

TEST_F(StartOrder, ReportOrderSendsTheCurrentGrid) {
    ASSERT_TRUE(server->reportOrder());
    auto reo = only<IsReo>(take());
    ASSERT_EQ(reo.size(), 1u);
    EXPECT_EQ(reo[0].NumP, 3);
    EXPECT_EQ(reo[0].PLID[2], 3);
    EXPECT_EQ(reo[0].PLID[3], 0);
}

} // namespace
