// The rules that settle the next race's start order on a restart vote, and
// what goes on the wire.

#include <algorithm>

#include "AppFixture.h"

using namespace pm;
using pm::test::AppTest;

namespace {

class StartOrderTest : public AppTest {
protected:
    void SetUp() override { n = addServer(); }
    bool loggedSince(std::size_t first, const std::string& text) {
        const auto t = statusTexts();
        return std::find(t.begin() + static_cast<long>(first), t.end(), text) != t.end();
    }
    std::int16_t n = 0;
};

std::string reoLine(const std::vector<int>& plids, int numP) {
    std::string line = "REO " + std::to_string(numP) + ":";
    for (int k = 0; k < 32; ++k) {
        line += " " + std::to_string(k < static_cast<int>(plids.size()) ? plids[k] : 0);
    }
    return line;
}

} // namespace

TEST_F(StartOrderTest, rule_choice_on_a_restart_vote) {
    using V = std::vector<std::string>;
    const V untouched{"x", "y"};
    const struct {
        const char* what;
        int custom, last, reverse;
        std::string count;
        V gone; // finishers who left since the race
        int vote;
        V expected;
        bool sent;
    } rows[] = {
        {"custom wins over everything", 1, 1, 1, "3", {}, 2, untouched, true},
        {"last race", 0, 1, 0, "10", {}, 2, {"A", "B", "C", "D", "E"}, true},
        {"last race, B left", 0, 1, 0, "10", {"B"}, 2, {"A", "C", "D", "E"}, true},
        {"reverse top 3", 0, 1, 1, "3", {}, 2, {"C", "B", "A", "D", "E"}, true},
        {"reverse top 3, B left: the rest close up", 0, 1, 1, "3", {"B"}, 2, {"C", "A", "D", "E"}, true},
        {"R above the field reverses all", 0, 1, 1, "9", {}, 2, {"E", "D", "C", "B", "A"}, true},
        {"R = 1", 0, 1, 1, "1", {}, 2, {"A", "B", "C", "D", "E"}, true},
        {"R = 0", 0, 1, 1, "0", {}, 2, {"A", "B", "C", "D", "E"}, true},
        {"R = 2.5: N rounds half to even", 0, 1, 1, "2.5", {}, 2, {"C", "B", "A", "D", "E"}, true},
        {"negative R reverses nothing", 0, 1, 1, "-5", {}, 2, {"A", "B", "C", "D", "E"}, true},
        {"R past 16 bits reverses all", 0, 1, 1, "99999", {}, 2, {"E", "D", "C", "B", "A"}, true},
        {"R not a number: plain order", 0, 1, 1, "all", {}, 2, {"A", "B", "C", "D", "E"}, true},
        {"reverse top alone does nothing", 0, 0, 1, "3", {}, 2, untouched, false},
        {"grey counts as off", 2, 2, 0, "3", {}, 2, untouched, false},
        {"end-race vote is ignored", 1, 1, 0, "3", {}, 1, untouched, false},
        {"qualify vote is ignored", 1, 1, 0, "3", {}, 3, untouched, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto& v = views(n);
        v.chkCustom.setValue(row.custom);
        v.chkLastRace.setValue(row.last);
        v.chkReverse.setValue(row.reverse);
        v.txtReverse.setText(row.count);
        setItems(v.lstFinish, {"01 A", "02 B", "03 C", "04 D", "05 E"});
        V connected{"Z"}; // connected, but did not finish: never in the order
        for (const char* name : {"A", "B", "C", "D", "E"}) {
            if (std::find(row.gone.begin(), row.gone.end(), name) == row.gone.end()) {
                connected.emplace_back(name);
            }
        }
        setItems(v.lstConnections, connected);
        setItems(v.lstOrder, untouched);
        const std::size_t before = form->txtStatus.size();

        form->VoteAction(n, static_cast<std::int16_t>(row.vote));
        EXPECT_EQ(v.lstOrder.texts(), row.expected);
        EXPECT_EQ(form->txtStatus.size() > before, row.sent);
        EXPECT_EQ(loggedSince(before, "Reverse Top count 'all' is not a number; using the plain finishing order"),
                  row.count == "all");
    }
}

TEST_F(StartOrderTest, last_race_with_no_finishers_sends_an_empty_order) {
    auto& peer = wire(n);
    views(n).chkLastRace.setValue(1);
    setItems(views(n).lstOrder, {"stale"});
    peer.take();
    form->VoteAction(n, 2);
    EXPECT_EQ(views(n).lstOrder.count(), 0);
    EXPECT_EQ(sent(n), std::vector<std::string>{reoLine({}, 0)});
    EXPECT_EQ(statusTexts(), std::vector<std::string>{"BH RACE ORDER"});
}

TEST_F(StartOrderTest, messages_go_out_per_position_then_the_order) {
    auto& peer = wire(n);
    driver(n, 11, "a");
    driver(n, 12, "b");
    connection(n, 3, "spectator"); // connected, no player
    views(n).chkCustom.setValue(1);
    setItems(views(n).lstOrder, {"b", "spectator", "a"});
    peer.take();

    form->VoteAction(n, 2);
    EXPECT_EQ(sent(n), (std::vector<std::string>{
                           "MTC 0/12 ^2Your Grid position for the next race is #1",
                           "MTC 0/12 ^3Powered by Brenhollow's Paddock Marshal",
                           "MTC 0/11 ^2Your Grid position for the next race is #3",
                           "MTC 0/11 ^3Powered by Brenhollow's Paddock Marshal",
                           reoLine({12, 0, 11}, 3),
                       }));
    EXPECT_EQ(statusTexts(), (std::vector<std::string>{"BH RACE ORDER", "1=12", "2=0", "3=11"}));
    EXPECT_EQ(views(n).lstOrder.texts(), (std::vector<std::string>{"b", "spectator", "a"}));
}

TEST_F(StartOrderTest, an_order_longer_than_the_packet_sends_the_first_32) {
    auto& peer = wire(n);
    driver(n, 7, "n10");
    std::vector<std::string> names;
    for (int k = 1; k <= 40; ++k) {
        names.push_back("n" + std::to_string(k));
    }
    setItems(views(n).lstOrder, names);
    peer.take();

    form->SendStartOrder(n, false);
    std::vector<int> plids(32, 0);
    plids[9] = 7;
    EXPECT_EQ(sent(n), (std::vector<std::string>{
                           "MTC 0/7 ^2Your Grid position for the next race is #10",
                           "MTC 0/7 ^3Powered by Brenhollow's Paddock Marshal",
                           reoLine(plids, 32),
                       }));
    const auto texts = statusTexts();
    ASSERT_EQ(texts.size(), 34u);
    EXPECT_EQ(texts[10], "10=7");
    EXPECT_EQ(texts[32], "32=0");
    EXPECT_EQ(texts[33], "Start order has 40 entries; only the first 32 were sent");
    EXPECT_EQ(views(n).lstOrder.count(), 40) << "the list itself is left whole";
}
