// Administrators steer the rules from the game's chat, and arrange a custom
// start order on the in-game button screen; other drivers can do neither.

#include <cctype>

#include "e2e/E2eFixture.h"

namespace pm::e2e {
namespace {

class AdminAndCustomOrder : public MarshalAndSim {
protected:
    // The rule settings as one readable line.
    std::string rules() {
        auto& v = views();
        return "lastrace=" + std::to_string(v.chkLastRace.value()) +
               " reverse=" + std::to_string(v.chkReverse.value()) + "/" + v.txtReverse.text() +
               " custom=" + std::to_string(v.chkCustom.value());
    }
    // The screen's entry buttons as "<clickid> <text>", ascending ID.
    Names entries(const std::string& name) const {
        Names out;
        for (const auto& b : sim->buttonsFor(name)) {
            if (b.clickId >= app::screen::kPlayerBase) {
                out.push_back(std::to_string(b.clickId) + " " + b.text);
            }
        }
        return out;
    }
    std::vector<int> buttonIds(const std::string& name) const {
        std::vector<int> out;
        for (const auto& b : sim->buttonsFor(name)) {
            out.push_back(b.clickId);
        }
        return out;
    }
};

TEST_F(AdminAndCustomOrder, ChatCommandsChangeRulesOnlyWhenAnAdministratorTypesThem) {
    start();
    ASSERT_TRUE(sim->join("marshal", "Race Control", true));
    ASSERT_TRUE(sim->join("bob", "Bob"));
    ASSERT_TRUE(sim->join("alice", "Alice"));
    act(sim->startRace());
    act(sim->finish({"bob", "alice"}));

    act(sim->chat("marshal", "*LastRace 1"));
    EXPECT_EQ(rules(), "lastrace=1 reverse=0/10 custom=0");

    const std::size_t wire = mark();
    const std::size_t logStart = log.size();
    for (const char* command : {"*lastrace 0", "*reverse 4", "*custom 1", "*reorder"}) {
        act(sim->chat("bob", command));
    }
    EXPECT_EQ(rules(), "lastrace=1 reverse=0/10 custom=0");
    EXPECT_EQ(wireSince(wire), Names{});
    EXPECT_EQ(logSince(logStart), Names{});
    EXPECT_EQ(views().lstOrder.count(), 0);

    act(sim->chat("marshal", "*reverse 2"));
    EXPECT_EQ(rules(), "lastrace=1 reverse=1/2 custom=0");

    // Applied at once, outside any vote: the drivers are told, though the
    // host takes no start order without a vote.
    const std::size_t reorder = mark();
    act(sim->chat("marshal", "*reorder"));
    EXPECT_EQ(views().lstOrder.texts(), (Names{"alice", "bob"}));
    EXPECT_EQ(wireSince(reorder), announcedGrid({"alice", "bob"}));
    EXPECT_TRUE(sim->appliedGrids().empty());

    act(sim->chat("marshal", "*custom 1"));
    EXPECT_EQ(rules(), "lastrace=1 reverse=1/2 custom=1");
    EXPECT_FALSE(sim->buttonsFor("marshal").empty());
    act(sim->chat("marshal", "*custom 0"));
    EXPECT_EQ(rules(), "lastrace=1 reverse=1/2 custom=0");
    EXPECT_FALSE(sim->buttonsFor("marshal").empty()) << "switching off does not close the screen";

    act(sim->chat("marshal", "*reverse"));
    act(sim->chat("marshal", "*lastrace"));
    EXPECT_EQ(rules(), "lastrace=0 reverse=0/0 custom=0");
    EXPECT_TRUE(sim->buttonsFor("bob").empty());
}

TEST_F(AdminAndCustomOrder, ButtonsArrangeTheOrderThatTheNextRestartVoteSends) {
    start(Rules{.lastRace = 1}); // Custom wins over Last Race
    ASSERT_TRUE(sim->join("marshal", "Marshal", true));
    for (const char* name : {"alice", "bob", "carol"}) {
        std::string nick = name;
        nick[0] = static_cast<char>(std::toupper(nick[0]));
        ASSERT_TRUE(sim->join(name, nick));
    }
    act(sim->startRace());
    act(sim->finish({"alice", "bob", "carol"}));

    act(sim->chat("marshal", "*custom 1"));
    EXPECT_EQ(buttonIds("marshal"), (std::vector<int>{2, 4, 5, 6, 10, 11, 12, 13}));
    EXPECT_EQ(entries("marshal"),
              (Names{"10 Marshal (marshal)", "11 Alice (alice)", "12 Bob (bob)", "13 Carol (carol)"}));
    EXPECT_TRUE(sim->buttonsFor("alice").empty()) << "only the admin who asked sees the screen";

    const std::size_t click = mark();
    act(sim->click("marshal", 12));
    EXPECT_EQ(views().lstOrder.texts(), (Names{"bob"}));
    const Names redraw = wireSince(click);
    ASSERT_FALSE(redraw.empty());
    EXPECT_EQ(redraw.front(), "BFN") << "the old screen goes before the new one is drawn";
    EXPECT_EQ(redraw.back(), "BTN 2 Close");
    EXPECT_EQ(entries("marshal"),
              (Names{"10 Marshal (marshal)", "11 Alice (alice)", "12 Carol (carol)", "103 01 - Bob (bob)"}));

    act(sim->click("marshal", 12)); // carol
    act(sim->click("marshal", 11)); // alice
    ASSERT_EQ(views().lstOrder.texts(), (Names{"bob", "carol", "alice"}));
    act(sim->click("marshal", 103, insim::kClickShiftLeft)); // alice up
    EXPECT_EQ(views().lstOrder.texts(), (Names{"bob", "alice", "carol"}));
    act(sim->click("marshal", 101)); // bob out
    EXPECT_EQ(views().lstOrder.texts(), (Names{"alice", "carol"}));
    EXPECT_EQ(entries("marshal"), (Names{"10 Marshal (marshal)", "11 Bob (bob)", "102 01 - Alice (alice)",
                                         "103 02 - Carol (carol)"}));
    act(sim->click("marshal", 102, insim::kClickShiftRight)); // alice down
    act(sim->click("marshal", 11));                           // bob back, last
    EXPECT_EQ(views().lstOrder.texts(), (Names{"carol", "alice", "bob"}));

    const std::size_t ignored = mark();
    act(sim->click("marshal", 10, insim::kClickShiftLeft));
    EXPECT_EQ(wireSince(ignored), Names{}) << "a player not on the grid has no place to move";

    act(sim->click("marshal", 2));
    EXPECT_TRUE(sim->buttonsFor("marshal").empty());
    EXPECT_EQ(views().lstOrder.texts(), (Names{"carol", "alice", "bob"}));

    const std::size_t wire = mark();
    act(sim->voteRestart());
    EXPECT_EQ(wireSince(wire), announcedGrid({"carol", "alice", "bob"}));
    EXPECT_EQ(sim->lastAppliedGrid(), (Names{"carol", "alice", "bob", "marshal"}));
    EXPECT_EQ(views().lstOrder.texts(), (Names{"carol", "alice", "bob"}));
    EXPECT_EQ(messagesFor("marshal"), Names{});
}

} // namespace
} // namespace pm::e2e
