// Connections and the finishing order, kept from the clients' events; and
// the silent answer to the server's race order.

#include "AppFixture.h"

using namespace pm;
using pm::test::AppTest;

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
    void raceState(std::uint8_t raceInProg) {
        insim::IsSta sta;
        sta.RaceInProg = raceInProg;
        views(n).ucInSim.ReceivePacket(sta.toBytes());
    }

    std::int16_t n = 0;
};

} // namespace

TEST_F(RaceTrackingTest, results_build_the_finishing_order) {
    setItems(views(n).lstFinish, {"01 old_winner", "02 old_second"});
    raceState(1);
    result("early", 2);    // before the winner: wiped when the winner comes
    result("ignored", 0, 77); // Size byte 77: not a result at all
    result("winner", 0);
    result("third", 2);
    result("second", 1);
    result("spare", 3, 84, 1); // SpB set: logged, not listed
    result("unplaced", 255);   // not in the table: logged, not listed
    EXPECT_EQ(views(n).lstFinish.texts(), (std::vector<std::string>{"01 winner", "02 second", "03 third"}));
    EXPECT_EQ(statusTexts(), (std::vector<std::string>{
                                 "early has finished the race", "winner has finished the race",
                                 "third has finished the race", "second has finished the race",
                                 "spare has finished the race", "unplaced has finished the race"}));

    raceState(2); // qualifying: logged only
    result("qualifier", 0);
    EXPECT_EQ(views(n).lstFinish.count(), 3);
    EXPECT_EQ(statusTexts().back(), "qualifier has finished the race");

    // A truncated datagram whose Size byte claims a full result is not read.
    const std::vector<std::uint8_t> cut(60, 84);
    form->PlayerRaceFinished(n, cut);
    EXPECT_EQ(form->txtStatus.size(), 7u);
}

TEST_F(RaceTrackingTest, demo_server_lists_nicknames) {
    insim::IsVer ver;
    ver.Product = " demo ";
    views(n).ucInSim.ReceivePacket(ver.toBytes());
    result("user", 0);
    EXPECT_EQ(views(n).lstFinish.texts(), std::vector<std::string>{"01 nick_user"});
    EXPECT_EQ(statusTexts(), std::vector<std::string>{"nick_user has finished the race"});
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
    form->EndConnection(n, "b");
    EXPECT_EQ(list.texts(), (std::vector<std::string>{"host", "a"}));

    // Through the client: NCN and CNL packets reach the same handlers.
    connection(n, 3, "c");
    insim::IsCnl cnl;
    cnl.UCID = 9;
    views(n).ucInSim.ReceivePacket(cnl.toBytes()); // UCID 9 was never announced to the client
    EXPECT_EQ(list.texts(), (std::vector<std::string>{"host", "a", "c"}));
    cnl.UCID = 3;
    views(n).ucInSim.ReceivePacket(cnl.toBytes());
    EXPECT_EQ(list.texts(), (std::vector<std::string>{"host", "a"}));
    EXPECT_TRUE(statusTexts().empty());
}

TEST_F(RaceTrackingTest, server_race_order_is_logged_and_answered_silently) {
    auto& peer = wire(n);
    driver(n, 5, "a");
    driver(n, 6, "b");
    setItems(views(n).lstOrder, {"b", "a"});
    peer.take();

    const struct {
        std::vector<std::uint8_t> reo;
        std::vector<std::string> logged;
    } rows[] = {
        {{36, 36, 0, 2, 7, 3}, {"SERVER RACE ORDER", "1=7", "2=3"}},
        {{36, 36, 0, 0}, {"SERVER RACE ORDER"}},
        {{36, 36, 0, 5, 7}, {"SERVER RACE ORDER", "1=7"}}, // NumP promises more than arrived
        {{36, 36}, {"SERVER RACE ORDER"}},
    };
    std::string reo = "REO 2: 6 5";
    for (int k = 2; k < 32; ++k) {
        reo += " 0";
    }
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reo.size());
        const std::size_t before = form->txtStatus.size();
        form->RaceOrder(n, row.reo);
        auto logged = row.logged;
        for (const char* line : {"BH RACE ORDER", "1=6", "2=5"}) {
            logged.emplace_back(line);
        }
        const auto texts = statusTexts();
        EXPECT_EQ(std::vector<std::string>(texts.begin() + static_cast<long>(before), texts.end()), logged);
        EXPECT_EQ(sent(n), std::vector<std::string>{reo}) << "no chat messages on this path";
    }
}
