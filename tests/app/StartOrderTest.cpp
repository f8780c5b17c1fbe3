// The rules that settle the next race's start order on a restart vote, and
// what goes on the wire.

#include <algorithm>

#include "AppFixture.h"

using namespace pm;
using namespace pm::test;

namespace {

class StartOrderTest : public AppTest {
protected:
    void SetUp() override { n = addServer(); }
    std::int16_t n = 0;
};

} // namespace

TEST_F(StartOrderTest, rule_choice_on_a_restart_vote) {
    const V untouched{"x", "y"}, plain{"A", "B", "C", "D", "E"}, reversed{"E", "D", "C", "B", "A"};
    const struct {
        const char* what;
        int custom, last, reverse;
        std::string count;
        std::string gone; // a finisher who left since the race
        int vote;
        V expected;
    } rows[] = {
        {"custom wins over everything", 1, 1, 1, "3", "", 2, untouched},
        {"last race", 0, 1, 0, "3", "", 2, plain},
        {"last race, B left", 0, 1, 0, "3", "B", 2, {"A", "C", "D", "E"}},
        {"reverse top 3", 0, 1, 1, "3", "", 2, {"C", "B", "A", "D", "E"}},
        {"reverse top 3, B left: the rest close up", 0, 1, 1, "3", "B", 2, {"C", "A", "D", "E"}},
        {"R above the field", 0, 1, 1, "9", "", 2, reversed},
        {"R = 1", 0, 1, 1, "1", "", 2, plain},
        {"R = 0", 0, 1, 1, "0", "", 2, plain},
        {"R = 2.5: N = 2 (half to even)", 0, 1, 1, "2.5", "", 2, {"C", "B", "A", "D", "E"}},
        {"negative R", 0, 1, 1, "-5", "", 2, plain},
        {"R past 16 bits", 0, 1, 1, "99999", "", 2, reversed},
        {"R not a number", 0, 1, 1, "all", "", 2, plain},
        {"reverse top alone", 0, 0, 1, "3", "", 2, untouched},
        {"grey counts as off", 2, 2, 0, "3", "", 2, untouched},
        {"end-race vote", 1, 1, 0, "3", "", 1, untouched},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto& v = views(n);
        v.chkCustom.setValue(row.custom);
        v.chkLastRace.setValue(row.last);
        v.chkReverse.setValue(row.reverse);
        v.txtReverse.setText(row.count);
        setItems(v.lstFinish, {"01 A", "02 B", "03 C", "04 D", "05 E"});
        V connected{"Z"}; // connected but did not finish: never in the order
        for (const char* name : {"A", "B", "C", "D", "E"}) {
            if (row.gone != name) {
                connected.emplace_back(name);
            }
        }
        setItems(v.lstConnections, connected);
        setItems(v.lstOrder, untouched);
        const auto before = static_cast<long>(form->txtStatus.size());

        form->VoteAction(n, static_cast<std::int16_t>(row.vote));
        EXPECT_EQ(v.lstOrder.texts(), row.expected);
        const auto texts = statusTexts();
        const V logged(texts.begin() + before, texts.end());
        const bool sends = row.expected != untouched || row.custom == 1;
        EXPECT_EQ(!logged.empty(), sends && row.vote == 2);
        EXPECT_EQ(std::count(logged.begin(), logged.end(),
                             "Reverse Top count 'all' is not a number; using the plain finishing order"),
                  row.count == "all" ? 1 : 0);
    }
}

TEST_F(StartOrderTest, messages_go_out_per_position_then_the_order) {
    auto& peer = wire(n);
    driver(n, 11, "a");
    driver(n, 12, "b");
    connection(n, 3, "spectator"); // connected, no player: nobody to tell
    views(n).chkCustom.setValue(1);
    setItems(views(n).lstOrder, {"b", "spectator", "a"});
    peer.take();

    form->VoteAction(n, 2);
    EXPECT_EQ(sent(n), (V{"MTC 0/12 ^2Your Grid position for the next race is #1",
                          "MTC 0/12 ^3Powered by Brenhollow's Paddock Marshal",
                          "MTC 0/11 ^2Your Grid position for the next race is #3",
                          "MTC 0/11 ^3Powered by Brenhollow's Paddock Marshal", "REO 3: 12 0 11"}));
    EXPECT_EQ(statusTexts(), (V{"BH RACE ORDER", "1=12", "2=0", "3=11"}));

    views(n).chkCustom.setValue(0);
    views(n).chkLastRace.setValue(1); // no finishers: an empty order goes out
    form->VoteAction(n, 2);
    EXPECT_EQ(views(n).lstOrder.count(), 0);
    EXPECT_EQ(sent(n), V{"REO 0:"});
}

TEST_F(StartOrderTest, an_order_longer_than_the_packet_sends_the_first_32) {
    auto& peer = wire(n);
    driver(n, 7, "n10");
    V names;
    std::string reo = "REO 32:";
    for (int k = 1; k <= 40; ++k) {
        names.push_back("n" + std::to_string(k));
        reo += k > 32 ? "" : k == 10 ? " 7" : " 0";
    }
    setItems(views(n).lstOrder, names);
    peer.take();

    form->SendStartOrder(n, false);
    EXPECT_EQ(sent(n), (V{"MTC 0/7 ^2Your Grid position for the next race is #10",
                          "MTC 0/7 ^3Powered by Brenhollow's Paddock Marshal", reo}));
    const auto texts = statusTexts();
    ASSERT_EQ(texts.size(), 34u);
    EXPECT_EQ(texts[10], "10=7");
    EXPECT_EQ(texts[33], "Start order has 40 entries; only the first 32 were sent");
    EXPECT_EQ(views(n).lstOrder.count(), 40) << "the list itself stays whole";
}

// InSim 9 and 10 hosts take 40 and 48 drivers: all of them are sent, each
// told their place, and only beyond that is the order cut.
TEST_F(StartOrderTest, later_generations_send_their_whole_slots) {
    for (const auto& [version, slots] : {std::pair{"9", 40}, std::pair{"10", 48}}) {
        const std::int16_t s = addServer(std::string("G") + version);
        views(s).ucInSim.setInSimVersion(version);
        auto& peer = wire(s);
        const insim::WireGeneration& w = views(s).ucInSim.wire();
        V names;
        for (int k = 1; k <= 50; ++k) {
            const auto id = static_cast<std::uint8_t>(k);
            views(s).ucInSim.ReceivePacket(insim::IsNcn{.UCID = id, .UName = "d" + std::to_string(k), .PName = "",
                                                        .Admin = 0}
                                               .toBytes(w));
            insim::IsNpl npl;
            npl.PLID = id;
            npl.UCID = id;
            views(s).ucInSim.ReceivePacket(npl.toBytes(w));
            names.push_back("d" + std::to_string(k));
        }
        setItems(views(s).lstOrder, names);
        peer.take();
        form->SendStartOrder(s, false);
        const auto packets = peer.take();
        ASSERT_EQ(packets.size(), static_cast<std::size_t>(2 * slots + 1)) << version;
        const auto& reo = packets.back();
        EXPECT_EQ(reo.size(), static_cast<std::size_t>(4 + slots)) << version;
        EXPECT_EQ(reo[0], (4 + slots) / 4) << version;
        EXPECT_EQ(reo[3], slots) << version;
        EXPECT_EQ(reo.back(), slots) << version;
        EXPECT_EQ(statusTexts().back(), "Start order has 50 entries; only the first " + std::to_string(slots) +
                                            " were sent");
    }
}

TEST_F(StartOrderTest, the_hosts_order_at_the_start_confirms_the_vote_grid_or_names_where_it_differs) {
    const struct {
        const char* what;
        std::vector<std::uint8_t> hostGrid; // PLIDs of the host's IS_REO at the start
        bool bLeaves;                       // b leaves the race between the vote and the start
        std::string line;                   // empty: no grid line
        bool relinks = false;               // the link is lost and made again before the start
        V order = {"c", "a", "b"};          // the vote's grid
    } rows[] = {
        {"as sent", {13, 11, 12}, false, "S: grid confirmed, 3 drivers"},
        {"one who left is no difference", {13, 11}, true, "S: grid confirmed, 2 drivers"},
        {"a newcomer behind everyone placed", {13, 11, 12, 14}, false, "S: grid confirmed, 3 drivers"},
        {"two swapped", {13, 12, 11}, false, "S: grid differs at place 2: the host starts b there, not a"},
        {"one missing who still plays", {13, 11}, false, "S: grid differs at place 3: the host starts nobody "
                                                          "there, not b"},
        {"a new link in between", {13, 11, 12}, false, "", true},
        {"a grid that placed nobody", {13, 11, 12}, false, "", false, {}},
        {"everyone placed left", {13, 11}, true, "", false, {"b"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        makeForm();
        n = addServer();
        wire(n);
        driver(n, 11, "a");
        driver(n, 12, "b");
        driver(n, 13, "c");
        driver(n, 14, "d");
        auto& v = views(n);
        v.chkCustom.setValue(1);
        setItems(v.lstOrder, row.order);
        form->VoteAction(n, insim::VOTE_RESTART);
        if (row.bLeaves) {
            insim::IsPll pll;
            pll.PLID = 12;
            v.ucInSim.ReceivePacket(pll.toBytes());
        }
        if (row.relinks) {
            form->LinkUp(n);
        }
        insim::IsReo reo;
        reo.NumP = static_cast<std::uint8_t>(row.hostGrid.size());
        std::copy(row.hostGrid.begin(), row.hostGrid.end(), reo.PLID.begin());
        const auto before = form->txtStatus.size();
        v.ucInSim.ReceivePacket(reo.toBytes());
        const V texts = statusTexts();
        ASSERT_GT(texts.size(), before);
        EXPECT_EQ(texts[before], row.line.empty() ? "SERVER RACE ORDER" : row.line);
        EXPECT_EQ(v.txtGridCheck.text(), row.line.empty() ? "" : row.line.substr(3));

        // The next start without a vote in between has nothing to confirm.
        const auto again = form->txtStatus.size();
        v.ucInSim.ReceivePacket(reo.toBytes());
        EXPECT_EQ(statusTexts().at(again), "SERVER RACE ORDER");
    }
}
