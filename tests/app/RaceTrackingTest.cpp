// Connections and the finishing order, kept from the clients' events; and
// the silent answer to the server's race order.

#include "AppFixture.h"

using namespace pm;
using namespace pm::test;

namespace {

class RaceTrackingTest : public AppTest {
protected:
    void SetUp() override { n = addServer(); }
    void result(const std::string& uname, int resultNum, std::uint8_t sizeByte = 84, std::uint8_t spB = 0) {
        insim::IsRes res;
        res.UName = uname;
        res.PName = "nick_" + uname;
        res.ResultNum = static_cast<std::uint8_t>(resultNum);
        res.SpB = spB;
        auto bytes = res.toBytes();
        bytes[0] = sizeByte;
        form->PlayerRaceFinished(n, bytes);
    }
    void feed(const std::vector<std::uint8_t>& packet) { views(n).ucInSim.ReceivePacket(packet); }
    std::int16_t n = 0;
};

} // namespace

TEST_F(RaceTrackingTest, results_build_the_finishing_order) {
    setItems(views(n).lstFinish, {"01 old_winner", "02 old_second"});
    insim::IsSta sta;
    sta.RaceInProg = 1;
    feed(sta.toBytes());
    result("early", 2); // before the winner: wiped when the winner comes
    result("ignored", 0, 77);
    result("winner", 0);
    result("third", 2);
    result("second", 1);
    result("spare", 3, 84, 1); // SpB set: logged, not listed
    result("unplaced", 255);   // "not in the table": logged, not listed
    EXPECT_EQ(views(n).lstFinish.texts(), (V{"01 winner", "02 second", "03 third"}));
    EXPECT_EQ(statusTexts(), (V{"early has finished the race", "winner has finished the race",
                                "third has finished the race", "second has finished the race",
                                "spare has finished the race", "unplaced has finished the race"}));

    sta.RaceInProg = 2; // qualifying: logged only
    feed(sta.toBytes());
    result("qualifier", 0);
    EXPECT_EQ(views(n).lstFinish.count(), 3);
    EXPECT_EQ(statusTexts().back(), "qualifier has finished the race");

    form->PlayerRaceFinished(n, std::vector<std::uint8_t>(60, 84)); // cut short, Size byte says 84
    EXPECT_EQ(form->txtStatus.size(), 7u);
}

TEST_F(RaceTrackingTest, demo_server_lists_nicknames) {
    insim::IsVer ver;
    ver.Product = " demo ";
    feed(ver.toBytes());
    result("user", 0);
    EXPECT_EQ(views(n).lstFinish.texts(), V{"01 nick_user"});
    EXPECT_EQ(statusTexts(), V{"nick_user has finished the race"});
}

TEST_F(RaceTrackingTest, connections_come_and_go_by_name) {
    auto& list = views(n).lstConnections;
    form->NewConnection(n, "", 7, "nobody");
    form->NewConnection(n, "host", 0, "");
    form->NewConnection(n, "a", 1, "");
    form->NewConnection(n, "b", 2, "");
    form->NewConnection(n, "a", 9, ""); // announced again: moves last, new ID
    EXPECT_EQ(list.items(), (std::vector<platform::ListItem>{{"host", 0}, {"b", 2}, {"a", 9}}));

    form->EndConnection(n, "stranger");
    form->EndConnection(n, ""); // an unknown connection must not take the host away
    EXPECT_EQ(list.count(), 3);

    // Through the client, with the server's index in front.
    connection(n, 3, "c");
    insim::IsCnl cnl;
    cnl.UCID = 2;
    feed(cnl.toBytes()); // the client never heard of UCID 2
    cnl.UCID = 3;
    feed(cnl.toBytes());
    EXPECT_EQ(list.texts(), (V{"host", "b", "a"}));
}

TEST_F(RaceTrackingTest, server_race_order_is_logged_and_answered_silently) {
    auto& peer = wire(n);
    driver(n, 5, "a");
    driver(n, 6, "b");
    setItems(views(n).lstOrder, {"b", "a"});
    peer.take();
    const std::pair<std::vector<std::uint8_t>, V> rows[] = {
        {{36, 36, 0, 2, 7, 3}, {"SERVER RACE ORDER", "1=7", "2=3"}},
        {{36, 36, 0, 0}, {"SERVER RACE ORDER"}},
        {{36, 36, 0, 5, 7}, {"SERVER RACE ORDER", "1=7"}}, // NumP promises more than arrived
    };
    for (const auto& [reo, logged] : rows) {
        const auto before = static_cast<long>(form->txtStatus.size());
        form->RaceOrder(n, reo);
        V expected = logged;
        expected.insert(expected.end(), {"BH RACE ORDER", "1=6", "2=5"});
        const auto texts = statusTexts();
        EXPECT_EQ(V(texts.begin() + before, texts.end()), expected);
        EXPECT_EQ(sent(n), V{"REO 2: 6 5"}) << "no chat messages on this path";
    }
}

TEST_F(RaceTrackingTest, a_late_copy_of_the_winners_result_keeps_the_order_a_new_race_does_not) {
    result("alice", 0);
    result("bob", 1);
    result("carol", 2);
    result("alice", 0); // the same datagram again, late
    EXPECT_EQ(views(n).lstFinish.texts(), (V{"01 alice", "02 bob", "03 carol"}));

    feed(insim::IsRst{}.toBytes()); // the next race: the same winner opens a new order
    result("alice", 0);
    result("carol", 1);
    EXPECT_EQ(views(n).lstFinish.texts(), (V{"01 alice", "02 carol"}));
}

TEST_F(RaceTrackingTest, after_a_race_start_the_first_result_opens_the_order_whatever_its_place) {
    result("alice", 0);
    result("bob", 1);
    result("carol", 2);
    // The winner's result overtaken by the others.
    feed(insim::IsRst{}.toBytes());
    result("bob", 1);
    result("carol", 2);
    result("dave", 0);
    EXPECT_EQ(views(n).lstFinish.texts(), (V{"01 dave", "02 bob", "03 carol"}));
    // The winner's result lost: each result of the new race replaces its
    // driver's old place; whoever has none yet keeps the last one.
    feed(insim::IsRst{}.toBytes());
    result("bob", 1);
    result("dave", 2);
    EXPECT_EQ(views(n).lstFinish.texts(), (V{"02 bob", "03 carol", "03 dave"}));
}

TEST_F(RaceTrackingTest, a_new_link_lists_only_the_connections_the_host_sends_again) {
    connection(n, 5, "alice");
    connection(n, 6, "gone");
    views(n).ucInSim.Disconnect(); // the host restarted; the client links anew
    connection(n, 1, "alice");
    EXPECT_EQ(views(n).lstConnections.items(), (std::vector<platform::ListItem>{{"alice", 1}}));
}

TEST_F(RaceTrackingTest, link_troubles_reach_the_status_log_under_the_servers_name) {
    auto& client = views(n).ucInSim;
    client.setHost("no-such-host.invalid");
    client.Connect();
    EXPECT_EQ(statusTexts(), V{form->lstServers.text(0) + ": cannot find host 'no-such-host.invalid'; retrying every 5 s"});
}

TEST_F(RaceTrackingTest, the_template_panel_cannot_connect) {
    auto* shown = form->server(app::frmMain::kTemplateIndex);
    ASSERT_NE(shown, nullptr);
    EXPECT_FALSE(shown->ucInSim.cmdConnect.enabled());
    shown->ucInSim.cmdConnect_Click();
    shown->ucInSim.Connect();
    EXPECT_EQ(shown->ucInSim.state(), insim::LinkState::Idle);
    shown->ucInSim.setHost("10.0.0.9"); // its texts stay editable
    EXPECT_EQ(shown->ucInSim.Host(), "10.0.0.9");
}

TEST_F(RaceTrackingTest, on_a_demo_host_one_of_two_drivers_sharing_a_nickname_leaving_keeps_the_other) {
    insim::IsVer ver;
    ver.Product = "DEMO";
    feed(ver.toBytes());
    for (const std::uint8_t ucid : {1, 2}) {
        insim::IsNcn ncn;
        ncn.UCID = ucid;
        ncn.PName = "Bob";
        feed(ncn.toBytes());
    }
    insim::IsCnl cnl;
    cnl.UCID = 2; // the one listed
    feed(cnl.toBytes());
    EXPECT_EQ(views(n).lstConnections.items(), (std::vector<platform::ListItem>{{"Bob", 1}}));
    cnl.UCID = 1;
    feed(cnl.toBytes());
    EXPECT_EQ(views(n).lstConnections.count(), 0);
}
