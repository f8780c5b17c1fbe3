// The in-game custom-order screen and the routing of clicks on it.

#include "AppFixture.h"

using namespace pm;
using pm::test::AppTest;
using V = std::vector<std::string>;

namespace {

class CustomOrderScreenTest : public AppTest {
protected:
    void SetUp() override {
        n = addServer();
        peer = &wire(n);
        connection(n, 1, "a");
        connection(n, 2, "b");
        connection(n, 3, "c");
        peer->take();
    }
    // What one click sent, in short: nothing, a clear, or a clear and redraw.
    std::string effect() {
        const auto s = sent(n);
        if (s.empty()) {
            return "nothing";
        }
        if (s.size() == 1 && s[0] == "BFN 1 c1") {
            return "clear";
        }
        if (s.front() == "BFN 1 c1" && s.back() == "BTN 2 c1 s29 100,15,15,8 Close") {
            return "clear+draw";
        }
        return "unexpected";
    }
    std::int16_t n = 0;
    test::UdpPeer* peer = nullptr;
};

} // namespace

TEST_F(CustomOrderScreenTest, layout_and_a_click_moving_a_player_onto_the_grid) {
    const V headings{"BTN 4 c1 s38 25,15,45,8 Click on the Players to move them",
                     "BTN 5 c1 s38 25,35,45,8 Players on Server", "BTN 6 c1 s38 80,35,45,8 Starting Grid"};
    form->ShowCustomOrderScreen(1, "a", n);
    V expected = headings;
    for (const char* line : {"BTN 10 c1 s107 25,43,50,4 Nicka (a)", "BTN 11 c1 s107 25,47,50,4 Nickb (b)",
                             "BTN 12 c1 s107 25,51,50,4 Nickc (c)", "BTN 2 c1 s29 100,15,15,8 Close"}) {
        expected.emplace_back(line);
    }
    EXPECT_EQ(sent(n), expected);

    form->ButtonClick(n, 10, "a");
    EXPECT_EQ(views(n).lstOrder.texts(), V{"a"});
    expected = {"BFN 1 c1"};
    expected.insert(expected.end(), headings.begin(), headings.end());
    for (const char* line : {"BTN 10 c1 s107 25,43,50,4 Nickb (b)", "BTN 11 c1 s107 25,47,50,4 Nickc (c)",
                             "BTN 102 c1 s107 80,43,50,4 01 - Nicka (a)", "BTN 2 c1 s29 100,15,15,8 Close"}) {
        expected.emplace_back(line);
    }
    EXPECT_EQ(sent(n), expected);
}

TEST_F(CustomOrderScreenTest, empty_entries_keep_their_number_and_unknown_nicknames_are_blank) {
    setItems(views(n).lstConnections, {});
    setItems(views(n).lstOrder, {"a", "", "ghost"});
    form->ShowCustomOrderScreen(1, "a", n);
    const auto s = sent(n);
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[3], "BTN 100 c1 s107 80,43,50,4 01 - Nicka (a)");
    EXPECT_EQ(s[4], "BTN 101 c1 s107 80,47,50,4 03 -  (ghost)");
}

TEST_F(CustomOrderScreenTest, clicks_edit_the_start_order) {
    setItems(views(n).lstOrder, {"a", "b", "c"});
    form->ShowCustomOrderScreen(1, "a", n); // slots: 100 a, 101 b, 102 c
    sent(n);
    const struct {
        const char* what;
        bool shift;
        int id;
        int button;
        V order;
        std::string effect;
    } steps[] = {
        {"shift-left on the first entry", true, 100, 1, {"a", "b", "c"}, "clear+draw"},
        {"shift-right on the last entry", true, 102, 2, {"a", "b", "c"}, "clear+draw"},
        {"shift-right on the second-to-last", true, 101, 2, {"a", "c", "b"}, "clear+draw"},
        {"shift-left moves one place up", true, 102, 1, {"a", "b", "c"}, "clear+draw"},
        {"click removes; the rest close up", false, 101, 0, {"a", "c"}, "clear+draw"},
        {"b is back on the left as slot 0", false, 10, 0, {"a", "c", "b"}, "clear+draw"},
        {"shift on a player entry does nothing", true, 10, 1, {"a", "c", "b"}, "nothing"},
        {"ID 57 is past the slots", false, 57, 0, {"a", "c", "b"}, "nothing"},
        {"ID 147 is past the slots", true, 147, 1, {"a", "c", "b"}, "nothing"},
        {"unknown ID", false, 3, 0, {"a", "c", "b"}, "nothing"},
        {"close", false, 2, 0, {"a", "c", "b"}, "clear"},
        {"close with shift", true, 2, 2, {"a", "c", "b"}, "clear"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.shift) {
            form->ButtonShiftClick(n, static_cast<std::int16_t>(step.id), "a", static_cast<std::int16_t>(step.button));
        } else {
            form->ButtonClick(n, static_cast<std::int16_t>(step.id), "a");
        }
        EXPECT_EQ(views(n).lstOrder.texts(), step.order);
        EXPECT_EQ(effect(), step.effect);
    }
}

TEST_F(CustomOrderScreenTest, stale_and_duplicate_names) {
    setItems(views(n).lstOrder, {"a", "b", "a"});
    form->ShowCustomOrderScreen(1, "a", n); // 10 c, 101 a, 102 b, 103 a
    sent(n);
    form->ButtonClick(n, 103, "a");
    EXPECT_EQ(views(n).lstOrder.texts(), (V{"b", "a"})) << "the first of two equal names goes";

    form->ShowCustomOrderScreen(1, "a", n); // 10 c, 101 b, 102 a
    sent(n);
    setItems(views(n).lstOrder, {"x"}); // rebuilt behind the screen's back
    form->ButtonClick(n, 102, "a");
    EXPECT_EQ(views(n).lstOrder.texts(), V{"x"});
    EXPECT_EQ(effect(), "clear+draw") << "a name no longer there only redraws";
    form->ShowCustomOrderScreen(1, "a", n); // 10 a, 11 b, 12 c, 103 x
    setItems(views(n).lstOrder, {"y", "z"});
    sent(n);
    form->ButtonShiftClick(n, 103, "a", 2);
    EXPECT_EQ(views(n).lstOrder.texts(), (V{"y", "z"}));
    EXPECT_EQ(effect(), "clear+draw");

    form->ButtonClick(n, 10, ""); // a click from a connection the client never knew
    EXPECT_EQ(effect(), "nothing");
}

TEST_F(CustomOrderScreenTest, each_admin_screen_keeps_its_own_slots) {
    setItems(views(n).lstOrder, {"a", "b"});
    form->ShowCustomOrderScreen(1, "a", n); // a's 101 is a
    setItems(views(n).lstOrder, {"b", "a"});
    form->ShowCustomOrderScreen(2, "b", n); // b's 101 is b
    sent(n);
    form->ButtonClick(n, 101, "a");
    EXPECT_EQ(views(n).lstOrder.texts(), V{"b"}) << "a's button 100 still means a";
    EXPECT_EQ(form->ButtonName(n, 2, 1), "b");
}

TEST_F(CustomOrderScreenTest, drawing_stays_inside_the_slots_and_the_screen) {
    V many;
    for (int k = 0; k < 60; ++k) {
        many.push_back("u" + std::to_string(k));
    }
    setItems(views(n).lstConnections, many);
    setItems(views(n).lstOrder, {});
    form->ShowCustomOrderScreen(1, "a", n);
    auto s = sent(n);
    EXPECT_EQ(s.size(), 3u + 39u + 1u) << "39 rows in the left column";
    EXPECT_EQ(s[3 + 38], "BTN 48 c1 s107 25,195,50,4  (u38)");

    setItems(views(n).lstConnections, V(many.begin(), many.begin() + 30));
    setItems(views(n).lstOrder, V(many.begin() + 30, many.end()));
    form->ShowCustomOrderScreen(1, "a", n);
    s = sent(n);
    ASSERT_EQ(s.size(), 3u + 47u + 1u) << "47 slots over both columns";
    EXPECT_EQ(s[3 + 29], "BTN 39 c1 s107 25,159,50,4  (u29)");
    EXPECT_EQ(s[3 + 30], "BTN 130 c1 s107 80,43,50,4 01 -  (u30)");
    EXPECT_EQ(s[3 + 46], "BTN 146 c1 s107 80,107,50,4 17 -  (u46)");
}
