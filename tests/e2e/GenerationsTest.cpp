// Every InSim generation end to end against the simulated host of each LFS
// release: the handshake (auto finds its way up), a full grid voted into
// the start order, reverse top, admin commands and the custom screen over
// variable-length packets, the host's own race order answered, and a
// datagram of the wrong generation dropped.

#include "e2e/E2eFixture.h"

namespace pm::e2e {
namespace {

#define ASSERT_RESULT(outcome)                                                                                 \
    do {                                                                                                       \
        const sim::Outcome r_ = (outcome);                                                                     \
        EXPECT_TRUE(r_) << r_.error;                                                                           \
    } while (0)

struct Case {
    sim::LfsRelease release;
    const char* setting; // the start-up file's tenth line
    int speaks;
    int drivers;
};

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string release(sim::releaseName(info.param.release));
    release.erase(std::remove(release.begin(), release.end(), '.'), release.end());
    return "LFS" + release + "_" + info.param.setting;
}

class Generations : public MarshalAndSim, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        sim::SimOptions options;
        options.lfs = GetParam().release;
        start(Rules{.lastRace = 1, .reverseTop = 1, .reverseCount = "3", .inSimVersion = GetParam().setting},
              options);
        stack.loop().advance(2s); // auto moves up within this handshake try
        settle();
    }

    Names joinAll() {
        Names names;
        ASSERT_RESULT(sim->join("marshal", "Marshal", true));
        names.push_back("marshal");
        for (int k = 1; k < GetParam().drivers; ++k) {
            names.push_back("d" + std::to_string(k));
            ASSERT_RESULT(sim->join(names.back(), "Driver " + std::to_string(k)));
        }
        settle();
        return names;
    }
};

TEST_P(Generations, AWholeGridVotedReversedCommandedAndAnswered) {
    const Case c = GetParam();
    ASSERT_TRUE(client().connected());
    ASSERT_TRUE(sim->clientConnected());
    EXPECT_EQ(client().wire().version, c.speaks);
    const bool settledLine = std::any_of(log.begin(), log.end(), [&](const std::string& l) {
        return l == "Sim: speaks InSim " + std::to_string(c.speaks) + " (LFS " + std::string(sim::releaseName(c.release)) + ")";
    });
    EXPECT_EQ(settledLine, std::string(c.setting) == "auto") << "a server on 4 (or any fixed version) keeps its log";

    // A full grid finishes and votes: the whole order goes out, top three reversed.
    Names finish = joinAll();
    act(sim->startRace());
    act(sim->finish(finish));
    Names order = finish;
    std::reverse(order.begin(), order.begin() + 3);
    const std::size_t wire = mark();
    act(sim->voteRestart());
    EXPECT_EQ(wireSince(wire), announcedGrid(order));
    stack.loop().advance(3s);
    settle();
    EXPECT_EQ(sim->lastAppliedGrid(), order);

    // An admin's command in a variable-length IS_MSO, then the custom screen's buttons.
    act(sim->chat("marshal", "*reverse 5"));
    EXPECT_EQ(views().txtReverse.text(), "5");
    act(sim->chat("marshal", "*custom 1"));
    EXPECT_EQ(views().chkCustom.value(), 1);
    EXPECT_FALSE(sim->buttonsFor("marshal").empty());

    // The host's own race order is answered with ours, silently.
    const std::size_t before = mark();
    act(sim->reportOrder());
    const Names answered = wireSince(before);
    ASSERT_FALSE(answered.empty());
    EXPECT_EQ(answered.back().rfind("REO", 0), 0u);

    // A restart vote framed for another generation is no packet here.
    const std::size_t dropped = mark();
    const insim::WireGeneration& other = c.speaks == 4 ? insim::kWire10 : insim::kWire4;
    sim->sendRaw(insim::IsSmall{0, insim::SMALL_VTA, insim::VOTE_RESTART}.toBytes(other));
    settle();
    EXPECT_EQ(wireSince(dropped), Names{});
    EXPECT_TRUE(client().connected());
}

INSTANTIATE_TEST_SUITE_P(EveryRelease, Generations,
                         ::testing::Values(Case{sim::LfsRelease::V05Z, "4", 4, 12},
                                           Case{sim::LfsRelease::V05Z, "auto", 4, 12},
                                           Case{sim::LfsRelease::V07F, "9", 9, 40},
                                           Case{sim::LfsRelease::V07F, "auto", 9, 12},
                                           Case{sim::LfsRelease::V08C, "10", 10, 12},
                                           Case{sim::LfsRelease::V08C, "auto", 10, 44}),
                         caseName);

} // namespace
} // namespace pm::e2e
