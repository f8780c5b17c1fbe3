// What the client puts on drivers' screens: buttons and private messages,
// and clicks reported back.

#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;

namespace {

class Screen : public SimFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(server->join("alice", "Alice", true)); // UCID 1, PLID 1
        ASSERT_TRUE(server->connect("bob"));               // UCID 2, spectating
        connectClient();
    }

    void button(std::uint8_t ucid, std::uint8_t id, const std::string& text,
                std::uint8_t style = ISB_CLICK | ISB_DARK) {
        IsBtn b;
        b.UCID = ucid;
        b.ClickID = id;
        b.BStyle = style;
        b.Text = text;
        send(b.toBytes());
    }
    void bfn(std::uint8_t ucid, std::uint8_t id) { send(IsBfn::forButton(ucid, id).toBytes()); }
    void mtc(std::uint8_t ucid, std::uint8_t plid, const std::string& text) {
        IsMtc m;
        m.UCID = ucid;
        m.PLID = plid;
        m.Text = text;
        send(m.toBytes());
    }
    std::vector<int> ids(const std::string& name) const {
        std::vector<int> out;
        for (const auto& b : server->buttonsFor(name)) {
            out.push_back(b.clickId);
        }
        return out;
    }
};

TEST_F(Screen, ButtonsAreKeptByClickIdAndUpdatedInPlace) {
    button(1, 100, "01 - Alice (alice)");
    button(1, 2, "Close");
    button(1, 100, "01 - Bob (bob)");
    EXPECT_EQ(ids("alice"), (std::vector<int>{2, 100}));
    EXPECT_EQ(server->buttonsFor("alice")[1].text, "01 - Bob (bob)");
    EXPECT_TRUE(server->buttonsFor("bob").empty());
}

TEST_F(Screen, DeleteOneOrClearAll) {
    button(1, 4, "heading", ISB_DARK);
    button(1, 10, "x");
    button(1, 11, "y");
    button(2, 10, "bob's");
    bfn(1, 10);
    EXPECT_EQ(ids("alice"), (std::vector<int>{4, 11}));
    bfn(1, 0); // ClickID 0: clear this connection's buttons
    EXPECT_TRUE(ids("alice").empty());
    EXPECT_EQ(ids("bob"), (std::vector<int>{10}));
}

TEST_F(Screen, UcidTwoFiftyFiveAddressesEveryone) {
    button(255, 7, "to all");
    EXPECT_EQ(ids("alice"), (std::vector<int>{7}));
    EXPECT_EQ(ids("bob"), (std::vector<int>{7}));
    bfn(255, 0);
    EXPECT_TRUE(ids("bob").empty());
}

TEST_F(Screen, ButtonsGoWhenTheClientCloses) {
    button(1, 10, "x");
    sendTiny(TINY_CLOSE);
    EXPECT_TRUE(ids("alice").empty());
}

TEST_F(Screen, MessagesByPlayerReachThatPlayersConnection) {
    mtc(0, 1, "^2Your Grid position for the next race is #1");
    mtc(2, 0, "for bob by connection");
    mtc(0, 0, "to the host");
    mtc(0, 9, "to nobody");
    EXPECT_EQ(server->messagesFor("alice"),
              std::vector<std::string>{"^2Your Grid position for the next race is #1"});
    EXPECT_EQ(server->messagesFor("bob"), std::vector<std::string>{"for bob by connection"});
    EXPECT_EQ(server->messagesFor("host"), std::vector<std::string>{"to the host"});
    EXPECT_TRUE(transcriptHas("no player 9: message lost"));
}

TEST_F(Screen, MessagesOutliveTheConnection) {
    mtc(1, 0, "hello");
    ASSERT_TRUE(server->leave("alice"));
    EXPECT_EQ(server->messagesFor("alice"), std::vector<std::string>{"hello"});
}

TEST_F(Screen, AFullLengthTextIsKeptButFlagged) {
    mtc(1, 0, std::string(64, 'x'));
    EXPECT_EQ(server->messagesFor("alice")[0].size(), 64u);
    EXPECT_TRUE(transcriptHas("no terminator"));
}

TEST_F(Screen, ClicksAreReportedWithTheButtonsReqIAndTheFlags) {
    button(1, 102, "01 - Alice (alice)");
    take();
    ASSERT_TRUE(server->click("alice", 102));
    ASSERT_TRUE(server->click("alice", 102, kClickShiftLeft));
    ASSERT_TRUE(server->click("alice", 102, kClickShiftRight));
    auto btc = only<IsBtc>(take());
    ASSERT_EQ(btc.size(), 3u);
    EXPECT_EQ(btc[0].UCID, 1);
    EXPECT_EQ(btc[0].ClickID, 102);
    EXPECT_EQ(btc[0].ReqI, 1); // as the IS_BTN carried it
    EXPECT_EQ(btc[0].CFlags, 1);
    EXPECT_EQ(btc[1].CFlags, 9);
    EXPECT_EQ(btc[2].CFlags, 10);
}

TEST_F(Screen, OnlyShownClickableButtonsCanBeClicked) {
    button(1, 4, "heading", ISB_DARK);
    EXPECT_FALSE(server->click("alice", 4));
    EXPECT_FALSE(server->click("alice", 5));
    EXPECT_FALSE(server->click("bob", 4));
    EXPECT_TRUE(take().empty());
}

TEST_F(Screen, TheScreenReadsByClickId) {
    button(1, 6, "Starting Grid", ISB_DARK);
    button(1, 2, "Close");
    EXPECT_EQ(server->screenFor("alice"), "alice's screen: 2 button(s)\n"
                                          "    2 [click] \"Close\"\n"
                                          "    6         \"Starting Grid\"");
}

} // namespace
