// The in-game custom-order screen and the routing of clicks on it.

#include "AppFixture.h"

using namespace pm;
using namespace pm::test;

namespace {

const V kHeadings{"BTN 4 c1 s38 25,15,45,8 Click on the Players to move them",
                  "BTN 5 c1 s38 25,35,45,8 Players on Server", "BTN 6 c1 s38 80,35,45,8 Starting Grid"};
const std::string kClose = "BTN 2 c1 s29 100,15,15,8 Close";

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
    void draw(const V& order) {
        setItems(views(n).lstOrder, order);
        form->ShowCustomOrderScreen(1, "a", n);
        sent(n);
    }
    // What a click sent, in short.
    std::string effect() {
        const auto s = sent(n);
        if (s.empty()) {
            return "nothing";
        }
        if (s == V{"BFN 1 c1"}) {
            return "clear";
        }
        return s.front() == "BFN 1 c1" && s.back() == kClose ? "clear+draw" : "unexpected";
    }
    std::int16_t n = 0;
    UdpPeer* peer = nullptr;
};

V screen(const V& entries) {
    V out = kHeadings;
    out.insert(out.end(), entries.begin(), entries.end());
    out.push_back(kClose);
    return out;
}

} // namespace

TEST_F(CustomOrderScreenTest, layout_and_a_click_moving_a_player_onto_the_grid) {
    form->ShowCustomOrderScreen(1, "a", n);
    EXPECT_EQ(sent(n), screen({"BTN 10 c1 s107 25,43,50,4 Nicka (a)", "BTN 11 c1 s107 25,47,50,4 Nickb (b)",
                               "BTN 12 c1 s107 25,51,50,4 Nickc (c)"}));
    form->ButtonClick(n, 10, "a");
    EXPECT_EQ(views(n).lstOrder.texts(), V{"a"});
    V redraw = screen({"BTN 10 c1 s107 25,43,50,4 Nickb (b)", "BTN 11 c1 s107 25,47,50,4 Nickc (c)",
                       "BTN 102 c1 s107 80,43,50,4 01 - Nicka (a)"});
    redraw.insert(redraw.begin(), "BFN 1 c1");
    EXPECT_EQ(sent(n), redraw);

    // Empty order items get no button but keep their number; unknown users
    // have no nickname.
    setItems(views(n).lstConnections, {});
    draw({"a", "", "ghost"});
    form->ShowCustomOrderScreen(1, "a", n);
    EXPECT_EQ(sent(n), screen({"BTN 100 c1 s107 80,43,50,4 01 - Nicka (a)",
                               "BTN 101 c1 s107 80,47,50,4 03 -  (ghost)"}));
}

TEST_F(CustomOrderScreenTest, clicks_edit_the_start_order) {
    draw({"a", "b", "c"}); // 100 a, 101 b, 102 c
    const struct {
        const char* what;
        int shift; // 0 plain click, else the shift-click's mouse button
        int id;
        V order;
        std::string effect;
    } steps[] = {
        {"shift-left on the first entry", 1, 100, {"a", "b", "c"}, "clear+draw"},
        {"shift-right on the last entry", 2, 102, {"a", "b", "c"}, "clear+draw"},
        {"shift-right on the second-to-last", 2, 101, {"a", "c", "b"}, "clear+draw"},
        {"shift-left moves one place up", 1, 102, {"a", "b", "c"}, "clear+draw"},
        {"click removes; the rest close up", 0, 101, {"a", "c"}, "clear+draw"},
        {"b is back on the left, slot 0", 0, 10, {"a", "c", "b"}, "clear+draw"},
        {"shift on a player entry", 1, 10, {"a", "c", "b"}, "nothing"},
        {"ID 57 is past the slots", 0, 57, {"a", "c", "b"}, "nothing"},
        {"ID 147 is past the slots", 1, 147, {"a", "c", "b"}, "nothing"},
        {"close", 0, 2, {"a", "c", "b"}, "clear"},
        {"close with shift", 2, 2, {"a", "c", "b"}, "clear"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const auto id = static_cast<std::int16_t>(step.id);
        if (step.shift != 0) {
            form->ButtonShiftClick(n, id, "a", static_cast<std::int16_t>(step.shift));
        } else {
            form->ButtonClick(n, id, "a");
        }
        EXPECT_EQ(views(n).lstOrder.texts(), step.order);
        EXPECT_EQ(effect(), step.effect);
    }
}

TEST_F(CustomOrderScreenTest, stale_duplicate_and_foreign_clicks) {
    draw({"a", "b", "a"}); // 10 c, 101 a, 102 b, 103 a
    form->ButtonClick(n, 103, "a");
    EXPECT_EQ(views(n).lstOrder.texts(), (V{"b", "a"})) << "the first of two equal names goes";
    sent(n);

    setItems(views(n).lstOrder, {"x"}); // rebuilt behind the screen's back (102 was a)
    form->ButtonClick(n, 102, "a");
    form->ButtonShiftClick(n, 102, "a", 2);
    EXPECT_EQ(views(n).lstOrder.texts(), V{"x"});
    EXPECT_EQ(effect(), "clear+draw") << "a name no longer there only redraws";

    form->ButtonClick(n, 10, ""); // from a connection the client never knew
    EXPECT_EQ(effect(), "nothing");

    // Each admin's buttons keep their own meaning.
    draw({"a", "b"});
    setItems(views(n).lstOrder, {"b", "a"});
    form->ShowCustomOrderScreen(2, "b", n);
    form->ButtonClick(n, 101, "a");
    EXPECT_EQ(views(n).lstOrder.texts(), V{"b"}) << "a's button 101 still means a";
}

TEST_F(CustomOrderScreenTest, drawing_stays_inside_the_slots_and_the_screen) {
    V many;
    for (int k = 0; k < 60; ++k) {
        many.push_back("u" + std::to_string(k));
    }
    setItems(views(n).lstConnections, many);
    draw({});
    form->ShowCustomOrderScreen(1, "a", n);
    auto s = sent(n);
    ASSERT_EQ(s.size(), 3u + 39u + 1u) << "39 rows in a column";
    EXPECT_EQ(s[3 + 38], "BTN 48 c1 s107 25,195,50,4  (u38)");

    setItems(views(n).lstConnections, V(many.begin(), many.begin() + 30));
    draw(V(many.begin() + 30, many.end()));
    form->ShowCustomOrderScreen(1, "a", n);
    s = sent(n);
    ASSERT_EQ(s.size(), 3u + 47u + 1u) << "47 slots over both columns";
    EXPECT_EQ(s[3 + 30], "BTN 130 c1 s107 80,43,50,4 01 -  (u30)");
    EXPECT_EQ(s[3 + 46], "BTN 146 c1 s107 80,107,50,4 17 -  (u46)");
}
