// A restart vote over a link that loses, duplicates and reorders what the
// host sends: the start order the host takes, and what each driver is told.

#include <map>

#include "FaultFixture.h"

using namespace pm;
using namespace pm::test;

namespace {

const std::vector<std::string> kDrivers{"alice", "bob", "carol", "dave"};
const std::vector<std::string> kFinish{"carol", "alice", "dave", "bob"};

std::string positionText(std::size_t k) {
    return "^2Your Grid position for the next race is #" + std::to_string(k + 1);
}

class VoteFaults : public FaultTest {
protected:
    void SetUp() override {
        SetUpLink();
        joinDrivers(kDrivers);
        connect();
        ASSERT_TRUE(sim->startRace());
        stack.loop().drain();
    }
    sim::FaultSettings& faults() { return sim->faults().settings(); }

    void finishAndVote(const std::vector<std::string>& order) {
        ASSERT_TRUE(sim->finish(order));
        stack.loop().drain();
        ASSERT_TRUE(sim->voteRestart());
        stack.loop().drain();
    }
    // How many messages each driver has had so far.
    std::map<std::string, std::size_t> told() const {
        std::map<std::string, std::size_t> out;
        for (const auto& name : kDrivers) {
            out[name] = sim->messagesFor(name).size();
        }
        return out;
    }
    // Since `before`, every driver was told the place the host gave them,
    // and no other place.
    void expectToldTheirPlaces(const std::vector<std::string>& grid,
                               const std::map<std::string, std::size_t>& before = {}) {
        for (std::size_t k = 0; k < grid.size(); ++k) {
            const auto all = sim->messagesFor(grid[k]);
            const auto from = before.contains(grid[k]) ? before.at(grid[k]) : 0;
            int places = 0;
            for (std::size_t m = from; m < all.size(); ++m) {
                if (all[m].starts_with("^2")) {
                    EXPECT_EQ(all[m], positionText(k)) << grid[k];
                    ++places;
                }
            }
            EXPECT_GE(places, 1) << grid[k] << " was not told a place";
        }
    }
};

TEST_F(VoteFaults, DuplicatedResultsPutNobodyOnTheGridTwice) {
    faults().duplicatePercent = 100;
    ASSERT_TRUE(sim->finish(kFinish));
    stack.loop().drain();
    faults().duplicatePercent = 0;
    ASSERT_TRUE(sim->voteRestart());
    stack.loop().drain();

    EXPECT_EQ(sim->lastAppliedGrid(), kFinish);
    EXPECT_EQ(views().lstOrder.count(), static_cast<int>(kFinish.size()));
    expectToldTheirPlaces(kFinish);
    for (const auto& name : kFinish) {
        EXPECT_EQ(sim->messagesFor(name).size(), 2u) << name; // the place and the credit line
    }
}

TEST_F(VoteFaults, ADuplicatedVoteIsAnsweredAndTheHostTakesTheOrderOnce) {
    ASSERT_TRUE(sim->finish(kFinish));
    stack.loop().drain();
    const int ignoredBefore = sim->stats().startOrdersIgnored;
    faults().duplicatePercent = 100;
    ASSERT_TRUE(sim->voteRestart());
    stack.loop().drain();

    ASSERT_EQ(sim->appliedGrids().size(), 1u);
    EXPECT_EQ(sim->lastAppliedGrid(), kFinish);
    EXPECT_EQ(sim->stats().startOrdersIgnored, ignoredBefore + 1); // the answer to the copy
    expectToldTheirPlaces(kFinish);
}

TEST_F(VoteFaults, AReorderedVoteIsStillAnsweredBeforeItTakesEffect) {
    ASSERT_TRUE(sim->finish(kFinish));
    stack.loop().drain();
    faults().reorderPercent = 100;
    ASSERT_TRUE(sim->voteRestart());
    stack.loop().drain();
    faults().reorderPercent = 0;

    EXPECT_EQ(sim->lastAppliedGrid(), kFinish);
    expectToldTheirPlaces(kFinish);
}

TEST_F(VoteFaults, ALostVoteGoesUnansweredAndTheNextOneIsAnswered) {
    ASSERT_TRUE(sim->finish(kFinish));
    stack.loop().drain();
    faults().dropPercent = 100;
    ASSERT_TRUE(sim->voteRestart());
    stack.loop().advance(3s); // the vote takes effect: the race restarts unseen
    EXPECT_TRUE(sim->appliedGrids().empty());

    faults().dropPercent = 0;
    ASSERT_TRUE(sim->startRace());
    stack.loop().drain();
    const std::vector<std::string> next{"bob", "dave", "alice", "carol"};
    finishAndVote(next);
    EXPECT_EQ(sim->lastAppliedGrid(), next);
    EXPECT_TRUE(linkUp());
}

TEST_F(VoteFaults, ALostWinnersResultStillStartsEveryDriverOnceAtThePlaceTheyAreTold) {
    finishAndVote(kFinish);
    stack.loop().advance(3s); // the next race starts
    faults().dropPercent = 100;
    ASSERT_TRUE(sim->finish({"bob"})); // the winner's result, which would clear the last race's
    faults().dropPercent = 0;
    const auto before = told();
    finishAndVote({"dave", "alice", "carol"});

    const auto grid = sim->lastAppliedGrid();
    ASSERT_EQ(grid.size(), kDrivers.size());
    EXPECT_EQ(views().lstOrder.count(), static_cast<int>(kDrivers.size()));
    for (const auto& name : kDrivers) {
        EXPECT_EQ(sim->messagesFor(name).size() - before.at(name), 2u) << name << ": one place and the credit";
    }
    expectToldTheirPlaces(grid, before);
}

TEST_F(VoteFaults, AfterManyRacesOnABadLinkACleanRaceGetsItsExactOrder) {
    sim->faults() = sim::FaultInjector(7, {15, 15, 15});
    std::vector<std::string> order = kFinish;
    for (int race = 0; race < 20; ++race) {
        std::rotate(order.begin(), order.begin() + 1, order.end());
        finishAndVote(order);
        stack.loop().advance(3s); // the restart takes effect
        // The host's own race order comes with the restart and is answered
        // silently; no answer may carry a driver twice.
        EXPECT_LE(views().lstOrder.count(), static_cast<int>(kDrivers.size())) << "race " << race;
    }
    ASSERT_TRUE(sim->stats().dropped > 0 && sim->stats().duplicated > 0 && sim->stats().heldBack > 0);

    sim->faults() = sim::FaultInjector(7);
    const auto votesBefore = sim->appliedGrids().size();
    const std::vector<std::string> clean{"dave", "carol", "bob", "alice"};
    finishAndVote(clean);
    EXPECT_EQ(sim->appliedGrids().size(), votesBefore + 1);
    EXPECT_EQ(sim->lastAppliedGrid(), clean);
    EXPECT_TRUE(linkUp());
}

} // namespace
