// Network trouble on demand: repeatable from a seed, and a host restart.

#include <algorithm>

#include "sim/FaultInjector.h"
#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;
using namespace std::chrono_literals;

namespace {

std::vector<FaultInjector::Fate> fates(std::uint32_t seed, FaultSettings settings, int n = 200) {
    FaultInjector f(seed, settings);
    std::vector<FaultInjector::Fate> out;
    for (int i = 0; i < n; ++i) {
        out.push_back(f.decide());
    }
    return out;
}

TEST(FaultInjector, TheSameSeedGivesTheSameFates) {
    const FaultSettings s{30, 20, 10};
    EXPECT_EQ(fates(7, s), fates(7, s));
    EXPECT_NE(fates(7, s), fates(8, s));
    const auto all = fates(7, s);
    EXPECT_GT(std::count(all.begin(), all.end(), FaultInjector::Fate::Drop), 0);
    EXPECT_GT(std::count(all.begin(), all.end(), FaultInjector::Fate::HoldBack), 0);
}

TEST(FaultInjector, CutsFallInsideThePacketRepeatFromTheSeedAndLeaveDatagramFatesAlone) {
    auto cuts = [](FaultSettings s) {
        FaultInjector f(7, s);
        std::vector<std::size_t> out;
        for (std::size_t length = 1; length < 200; ++length) {
            out.push_back(f.cutAt(length).value_or(0));
        }
        return out;
    };
    const auto all = cuts({0, 0, 0, 100});
    EXPECT_EQ(all[0], 0u); // a byte cannot be cut
    for (std::size_t i = 1; i < all.size(); ++i) {
        EXPECT_GE(all[i], 1u);
        EXPECT_LE(all[i], i); // length i+1: at most i bytes before the cut
    }
    EXPECT_EQ(cuts({0, 0, 0, 100}), all);
    const auto some = cuts({0, 0, 0, 30});
    EXPECT_GT(std::count(some.begin(), some.end(), 0u), 100);
    EXPECT_LT(std::count(some.begin(), some.end(), 0u), 199);

    const FaultSettings udp{30, 20, 10};
    FaultSettings both = udp;
    both.splitPercent = 50;
    FaultInjector a(7, udp);
    FaultInjector b(7, both);
    for (int i = 0; i < 100; ++i) {
        b.cutAt(60);
        EXPECT_EQ(a.decide(), b.decide());
    }
}

TEST(FaultInjector, NoFaultsByDefault) {
    for (auto f : fates(1, {})) {
        EXPECT_EQ(f, FaultInjector::Fate::Send);
    }
}

class Faults : public SimFixture {
protected:
    void SetUp() override { connectClient(); }
};

TEST_F(Faults, LossDropsWhatTheSimSends) {
    server->faults().settings().dropPercent = 100;
    sendTiny(TINY_SST);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(server->stats().dropped, 1);
}

TEST_F(Faults, DuplicatesArriveTwice) {
    server->faults().settings().duplicatePercent = 100;
    sendTiny(TINY_SST);
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_STA", "IS_STA"}));
}

TEST_F(Faults, AHeldBackDatagramArrivesAfterTheNextOne) {
    ASSERT_TRUE(server->join("alice"));
    take();
    server->faults().settings().reorderPercent = 100;
    ASSERT_TRUE(server->reportOrder());
    server->faults().settings().reorderPercent = 0;
    ASSERT_TRUE(server->chat("alice", "hi"));
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_MSO", "IS_REO"}));
}

TEST_F(Faults, AHeldBackDatagramWithNothingAfterItStillArrives) {
    server->faults().settings().reorderPercent = 100;
    ASSERT_TRUE(server->reportOrder());
    EXPECT_EQ(takeKinds(), std::vector<std::string>{"IS_REO"});
}

TEST_F(Faults, AGivenSeedLosesTheSameDatagrams) {
    auto pattern = [this](std::uint32_t seed) {
        SimOptions o;
        o.seed = seed;
        o.faults.dropPercent = 50;
        makeServer(o);
        connectClient();
        std::string arrived;
        for (int i = 0; i < 40; ++i) {
            sendTiny(TINY_SST, static_cast<std::uint8_t>(i + 1));
            arrived += take().empty() ? '.' : 'x';
        }
        return arrived;
    };
    const auto first = pattern(42);
    EXPECT_EQ(pattern(42), first);
    EXPECT_NE(first.find('.'), std::string::npos);
    EXPECT_NE(first.find('x'), std::string::npos);
}

TEST_F(Faults, SilenceAnswersNothingUntilItEnds) {
    server->silence(5s);
    sendTiny(TINY_SST);
    EXPECT_TRUE(take().empty());
    loop.advance(5s);
    sendTiny(TINY_SST);
    EXPECT_EQ(takeKinds(), std::vector<std::string>{"IS_STA"});
}

TEST_F(Faults, ARestartedHostForgetsTheClientAndWhatItDrew) {
    ASSERT_TRUE(server->join("alice"));
    ASSERT_TRUE(server->startRace());
    IsBtn b;
    b.UCID = 1;
    b.ClickID = 2;
    b.Text = "Close";
    send(b.toBytes());
    ASSERT_TRUE(server->voteRestart());
    const auto port = server->port();
    take();

    server->restartServer(3s);
    EXPECT_FALSE(server->clientConnected());
    EXPECT_TRUE(server->buttonsFor("alice").empty());
    EXPECT_FALSE(server->world().startOrderWindowOpen());
    EXPECT_EQ(server->world().state(), RaceState::None);
    EXPECT_FALSE(server->listening());

    loop.advance(3s);
    ASSERT_TRUE(server->listening());
    EXPECT_EQ(server->port(), port);
    sendTiny(TINY_SST); // the old link means nothing now
    EXPECT_TRUE(take().empty());
    handshake();
    EXPECT_TRUE(server->clientConnected());
    sendTiny(TINY_NPL);
    auto npl = only<IsNpl>(take());
    ASSERT_EQ(npl.size(), 1u); // the drivers are back, with their IDs
    EXPECT_EQ(npl[0].PLID, 1);
}

} // namespace
