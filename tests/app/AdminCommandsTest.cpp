// The administrators' chat commands.

#include "app/AdminCommands.h"

#include "AppFixture.h"

using namespace pm;
using namespace pm::test;

namespace {

class AdminCommandsTest : public AppTest {
protected:
    void SetUp() override { n = addServer(); }
    std::int16_t n = 0;
};

} // namespace

TEST_F(AdminCommandsTest, commands_switch_the_rules) {
    // After: reverse box | count | last race | custom, from 0|10|1|0.
    const std::pair<std::string, std::string> rows[] = {
        {"*reverse 5", "1|5|1|0"},    {"*reverse -2", "0|-2|1|0"}, {"*reverse 0.5", "1|0.5|1|0"},
        {"*reverse  5", "1|10|1|0"},  {"*reverse", "0|0|1|0"},     {"*reverse all", "1|10|1|0"},
        {"*lastrace 0", "0|10|0|0"},  {"*lastrace", "0|10|0|0"},   {"*lastrace 1 x y", "0|10|1|0"},
        {"*custom word", "0|10|1|1"}, {"*unknown 1", "0|10|1|0"},  {"reverse 5", "0|10|1|0"},
    };
    for (const auto& [request, after] : rows) {
        auto& v = views(n);
        v.chkReverse.setValue(0);
        v.txtReverse.setText("10");
        v.chkLastRace.setValue(1);
        v.chkCustom.setValue(0);
        form->AdminRequest(n, "admin", request);
        EXPECT_EQ(std::to_string(v.chkReverse.value()) + "|" + v.txtReverse.text() + "|" +
                      std::to_string(v.chkLastRace.value()) + "|" + std::to_string(v.chkCustom.value()),
                  after)
            << request;
    }
    EXPECT_TRUE(form->txtStatus.empty()) << "commands write no status lines";
}

TEST_F(AdminCommandsTest, custom_draws_the_screen_for_the_admin_and_reorder_sends) {
    auto& peer = wire(n);
    connection(n, 4, "boss");
    driver(n, 8, "racer");
    peer.take();

    form->AdminRequest(n, "boss", "*custom 1");
    const auto drawn = sent(n);
    ASSERT_EQ(drawn.size(), 7u);
    EXPECT_EQ(drawn.front(), "BFN 1 c4") << "a screen drawn earlier is cleared first";
    EXPECT_EQ(drawn.back(), "BTN 2 c4 s29 100,15,15,8 Close");

    form->AdminRequest(n, "boss", "*custom 0");
    form->AdminRequest(n, "boss", "*reorder");
    EXPECT_TRUE(sent(n).empty()) << "the screen stays; no rule is on";

    setItems(views(n).lstOrder, {"racer"});
    views(n).chkCustom.setValue(1);
    form->AdminRequest(n, "boss", "*reorder now");
    EXPECT_EQ(sent(n), (V{"MTC 0/8 ^2Your Grid position for the next race is #1",
                          "MTC 0/8 ^3Powered by Brenhollow's Paddock Marshal", "REO 1: 8"}));
}

// Two drivers sharing a nickname on a demo host: the screen goes to the one
// who typed, whatever the name lookup would pick.
TEST_F(AdminCommandsTest, a_command_draws_on_the_connection_it_came_from) {
    auto& peer = wire(n);
    auto& client = views(n).ucInSim;
    insim::IsVer ver;
    ver.Product = "DEMO";
    client.ReceivePacket(ver.toBytes());
    for (const std::uint8_t ucid : {3, 4}) {
        insim::IsNcn ncn;
        ncn.UCID = ucid;
        ncn.PName = "Twin";
        ncn.Admin = 1;
        client.ReceivePacket(ncn.toBytes());
    }
    peer.take();
    insim::IsMso mso;
    mso.UCID = 3;
    mso.UserType = insim::MSO_PREFIX;
    mso.TextStart = 7;
    mso.Msg = "Twin : *custom 1";
    client.ReceivePacket(mso.toBytes());
    int screenPackets = 0;
    for (const auto& p : peer.take()) {
        if (p[1] == insim::ISP_BTN || p[1] == insim::ISP_BFN) {
            ++screenPackets;
            EXPECT_EQ(p[1] == insim::ISP_BTN ? p[3] : p[4], 3) << "packet type " << int(p[1]);
        }
    }
    EXPECT_GT(screenPackets, 0);
    EXPECT_EQ(client.SenderUCID(), -1) << "only while the packet is handled";
}
