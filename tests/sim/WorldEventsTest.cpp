// What the host tells its client when drivers come, go, race and talk.

#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;

namespace {

class WorldEvents : public SimFixture {
protected:
    void SetUp() override { connectClient(); }
};

TEST_F(WorldEvents, JoinAnnouncesConnectionThenPlayerWithIdsFromOne) {
    ASSERT_TRUE(server->join("alice", "^1Alice", true));
    auto got = take();
    auto ncn = only<IsNcn>(got);
    auto npl = only<IsNpl>(got);
    ASSERT_EQ(ncn.size(), 1u);
    ASSERT_EQ(npl.size(), 1u);
    EXPECT_EQ(got[0][1], ISP_NCN);
    EXPECT_EQ(got[1][1], ISP_NPL);
    EXPECT_EQ(ncn[0].UCID, 1);
    EXPECT_EQ(ncn[0].Admin, 1);
    EXPECT_EQ(ncn[0].Total, 2);
    EXPECT_EQ(got[1][0], 76);
    EXPECT_EQ(npl[0].PLID, 1);
    EXPECT_EQ(npl[0].UCID, 1);
}

TEST_F(WorldEvents, ConnectIsASpectatorAndJoinLaterTakesACar) {
    ASSERT_TRUE(server->connect("carol"));
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_NCN", "IS_STA"}));
    ASSERT_TRUE(server->join("carol"));
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_NPL", "IS_STA"}));
    EXPECT_FALSE(server->join("carol")); // already racing
}

TEST_F(WorldEvents, LeaveSendsPlayerLeavingBeforeConnectionLeaving) {
    ASSERT_TRUE(server->join("alice"));
    ASSERT_TRUE(server->join("bob"));
    take();
    ASSERT_TRUE(server->leave("alice"));
    auto got = take();
    ASSERT_GE(got.size(), 2u);
    ASSERT_EQ(got[0][1], ISP_PLL);
    EXPECT_EQ(got[0][3], 1); // alice's PLID
    ASSERT_EQ(got[1][1], ISP_CNL);
    EXPECT_EQ(got[1][3], 1); // alice's UCID
    EXPECT_EQ(got[1][5], 2); // host and bob remain
    EXPECT_EQ(server->grid(), std::vector<std::string>{"bob"});
}

TEST_F(WorldEvents, IdsAreNotConfusedAfterLeaving) {
    ASSERT_TRUE(server->join("alice"));
    ASSERT_TRUE(server->join("bob"));
    ASSERT_TRUE(server->leave("alice"));
    take();
    ASSERT_TRUE(server->join("dave"));
    auto got = take();
    auto ncn = only<IsNcn>(got);
    auto npl = only<IsNpl>(got);
    ASSERT_EQ(ncn.size(), 1u);
    EXPECT_EQ(ncn[0].UCID, 1); // the free connection slot is reused
    ASSERT_EQ(npl.size(), 1u);
    EXPECT_EQ(npl[0].PLID, 3); // player IDs count on
}

TEST_F(WorldEvents, SpectatingLeavesTheGrid) {
    ASSERT_TRUE(server->join("alice"));
    ASSERT_TRUE(server->join("bob"));
    take();
    ASSERT_TRUE(server->spectate("alice"));
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_PLL", "IS_STA"}));
    EXPECT_EQ(server->grid(), std::vector<std::string>{"bob"});
    EXPECT_FALSE(server->spectate("alice"));
}

TEST_F(WorldEvents, ResultsComeInFinishingOrderNumberedFromZero) {
    for (auto n : {"alice", "bob", "carol"}) {
        ASSERT_TRUE(server->join(n));
    }
    ASSERT_TRUE(server->startRace());
    take();
    ASSERT_TRUE(server->finish({"carol", "alice"}));
    ASSERT_TRUE(server->finish({"bob"}));
    auto got = take();
    auto res = only<IsRes>(got);
    ASSERT_EQ(res.size(), 3u);
    for (const auto& d : got) {
        if (d[1] == ISP_RES) {
            EXPECT_EQ(d.size(), 84u);
            EXPECT_EQ(d[0], 84);
            EXPECT_EQ(d[75], 0); // SpB
        }
    }
    EXPECT_EQ(res[0].UName, "carol");
    EXPECT_EQ(res[0].ResultNum, 0);
    EXPECT_EQ(res[1].UName, "alice");
    EXPECT_EQ(res[1].ResultNum, 1);
    EXPECT_EQ(res[2].UName, "bob");
    EXPECT_EQ(res[2].ResultNum, 2);
    EXPECT_EQ(res[2].PName, "bob");
    EXPECT_LT(res[0].TTime, res[1].TTime);
}

TEST_F(WorldEvents, FinishIsAllOrNothing) {
    ASSERT_TRUE(server->join("alice"));
    ASSERT_TRUE(server->connect("sam"));
    EXPECT_FALSE(server->finish({"alice"})); // no race yet
    ASSERT_TRUE(server->startRace());
    take();
    EXPECT_FALSE(server->finish({"alice", "sam"}));   // sam spectates
    EXPECT_FALSE(server->finish({"alice", "alice"})); // twice
    EXPECT_FALSE(server->finish({"alice", "nobody"}));
    EXPECT_TRUE(only<IsRes>(take()).empty());
    ASSERT_TRUE(server->finish({"alice"}));
    EXPECT_FALSE(server->finish({"alice"}));
}

TEST_F(WorldEvents, ChatIsNicknameColonMessageFromTheSendersConnection) {
    ASSERT_TRUE(server->join("alice", "^1Al^7ice"));
    take();
    ASSERT_TRUE(server->chat("alice", "*reverse 5"));
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 136);
    auto mso = IsMso::fromBytes(got[0]);
    ASSERT_TRUE(mso);
    EXPECT_EQ(mso->UCID, 1);
    EXPECT_EQ(mso->PLID, 1);
    // Colours stripped (the client did not ask for them), the prefix makes it hidden.
    EXPECT_EQ(mso->Msg, "Alice : *reverse 5");
    EXPECT_EQ(mso->UserType, 2);
    EXPECT_EQ(mso->TextStart, 8);

    ASSERT_TRUE(server->chat("alice", "hello"));
    EXPECT_EQ(only<IsMso>(take())[0].UserType, 1);
    EXPECT_FALSE(server->chat("nobody", "hi"));
}

TEST_F(WorldEvents, OnADemoHostDriversHaveNoUserNameOnTheWire) {
    SimOptions o;
    o.product = "DEMO";
    makeServer(o);
    connectClient();
    ASSERT_TRUE(server->join("alice", "Alice"));
    ASSERT_TRUE(server->startRace());
    ASSERT_TRUE(server->finish({"alice"}));
    auto got = take();
    ASSERT_EQ(only<IsNcn>(got).size(), 1u);
    EXPECT_EQ(only<IsNcn>(got)[0].UName, "");
    EXPECT_EQ(only<IsNcn>(got)[0].PName, "Alice");
    EXPECT_EQ(only<IsRes>(got)[0].UName, "");
    EXPECT_EQ(only<IsRes>(got)[0].PName, "Alice");
}

TEST_F(WorldEvents, NamesThatAHostWouldRefuse) {
    EXPECT_FALSE(server->join(""));
    EXPECT_FALSE(server->join("host"));
    EXPECT_FALSE(server->join(std::string(24, 'x')));
    EXPECT_TRUE(server->join(std::string(23, 'x')));
    EXPECT_FALSE(server->connect(std::string(23, 'x')));
    EXPECT_FALSE(server->leave("nobody"));
    EXPECT_FALSE(server->leave("host"));
}

} // namespace
