// The administrators' chat commands.

#include "AppFixture.h"
#include "app/AdminCommands.h"

using namespace pm;
using pm::test::AppTest;

TEST(AdminCommandParse, words_and_argument) {
    const struct {
        std::string request, command, argument;
        bool positive;
    } rows[] = {
        {"*reverse 5", "*reverse", "5", true},
        {"*reverse -2", "*reverse", "-2", false},
        {"*reverse 0.5", "*reverse", "0.5", true},
        {"*reverse  5", "*reverse", "10", true}, // two blanks: word 1 is empty
        {"*reverse", "*reverse", "0", false},
        {"*reverse all", "*reverse", "10", true},
        {"*lastrace 1 extra words", "*lastrace", "1", true},
        {"*custom 0", "*custom", "0", false},
        {"", "", "0", false},
    };
    for (const auto& row : rows) {
        const auto cmd = app::ParseAdminCommand(row.request);
        EXPECT_EQ(cmd.command, row.command) << row.request;
        EXPECT_EQ(cmd.argument, row.argument) << row.request;
        EXPECT_EQ(cmd.positive, row.positive) << row.request;
    }
}

namespace {

class AdminCommandsTest : public AppTest {
protected:
    void SetUp() override { n = addServer(); }
    // reverse box|count|last race|custom
    std::string rules() {
        auto& v = views(n);
        return std::to_string(v.chkReverse.value()) + "|" + v.txtReverse.text() + "|" +
               std::to_string(v.chkLastRace.value()) + "|" + std::to_string(v.chkCustom.value());
    }
    std::int16_t n = 0;
};

} // namespace

TEST_F(AdminCommandsTest, commands_switch_the_rules) {
    const struct {
        std::string request;
        std::string after; // starting from 0|10|0|0
    } rows[] = {
        {"*reverse 5", "1|5|0|0"},     {"*reverse -2", "0|-2|0|0"},  {"*reverse 0.5", "1|0.5|0|0"},
        {"*reverse  5", "1|10|0|0"},   {"*reverse", "0|0|0|0"},     {"*lastrace 1", "0|10|1|0"},
        {"*lastrace", "0|10|0|0"},     {"*custom word", "0|10|0|1"}, {"*unknown 1", "0|10|0|0"},
        {"reverse 5", "0|10|0|0"},
    };
    for (const auto& row : rows) {
        auto& v = views(n);
        v.chkReverse.setValue(0);
        v.txtReverse.setText("10");
        v.chkLastRace.setValue(row.request == "*lastrace" ? 1 : 0);
        v.chkCustom.setValue(0);
        form->AdminRequest(n, "admin", row.request);
        EXPECT_EQ(rules(), row.after) << row.request;
    }
    EXPECT_TRUE(form->txtStatus.empty()) << "commands write no status lines";
}

TEST_F(AdminCommandsTest, custom_draws_the_screen_for_the_admin_and_reorder_sends) {
    auto& peer = wire(n);
    connection(n, 4, "boss");
    driver(n, 8, "racer");
    peer.take();

    form->AdminRequest(n, "boss", "*custom 1");
    auto drawn = sent(n);
    ASSERT_GE(drawn.size(), 2u);
    EXPECT_EQ(drawn.front(), "BFN 1 c4") << "a screen drawn earlier is cleared first";
    EXPECT_EQ(drawn.back(), "BTN 2 c4 s29 100,15,15,8 Close");
    EXPECT_EQ(views(n).chkCustom.value(), 1);

    form->AdminRequest(n, "boss", "*custom 0");
    EXPECT_TRUE(sent(n).empty()) << "switching off leaves the screen alone";
    EXPECT_EQ(views(n).chkCustom.value(), 0);

    form->AdminRequest(n, "boss", "*reorder");
    EXPECT_TRUE(sent(n).empty()) << "no rule on: nothing";

    setItems(views(n).lstOrder, {"racer"});
    form->AdminRequest(n, "boss", "*custom 1");
    peer.take();
    form->AdminRequest(n, "boss", "*reorder now");
    const auto order = sent(n);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], "MTC 0/8 ^2Your Grid position for the next race is #1");
    EXPECT_EQ(order[2].substr(0, 10), "REO 1: 8 0");
}
