// Whatever arrives on the listen port that is not a well-formed packet from
// the server leaves every list, rule and the link as they were; datagrams
// from any other address are not even read.

#include <random>

#include "e2e/E2eFixture.h"

namespace pm::e2e {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Garbage : public MarshalAndSim {
protected:
    // Three drivers, one of them an admin, who finished a race; Last Race on.
    void SetUp() override {
        start(Rules{.lastRace = 1});
        ASSERT_TRUE(sim->join("marshal", "Marshal", true));
        ASSERT_TRUE(sim->join("alice", "Alice"));
        ASSERT_TRUE(sim->join("bob", "Bob"));
        act(sim->startRace());
        act(sim->finish({"bob", "alice", "marshal"}));
    }

    // Everything the program knows or shows about the server.
    std::string state() {
        auto& v = views();
        std::string out = "connected=" + std::to_string(client().connected());
        for (const auto& item : v.lstConnections.items()) {
            out += " conn:" + item.text + "/" + std::to_string(item.data) + "/p" +
                   std::to_string(client().GetPlayerNum(item.text));
        }
        for (const auto& t : v.lstFinish.texts()) {
            out += " finish:" + t;
        }
        for (const auto& t : v.lstOrder.texts()) {
            out += " order:" + t;
        }
        out += " rules:" + std::to_string(v.chkLastRace.value()) + std::to_string(v.chkReverse.value()) +
               std::to_string(v.chkCustom.value()) + "/" + v.txtReverse.text();
        out += " racemode:" + std::to_string(client().RaceMode()) + " product:" + client().Product();
        out += " log:" + std::to_string(log.size());
        return out;
    }

    // All at once: they queue up on the listen port, so each must leave the
    // socket readable for the next.
    void sendAll(const test::UdpPeer& from, const std::vector<Bytes>& datagrams) {
        for (const auto& d : datagrams) {
            from.sendTo(listenPort, d);
        }
    }

    // Expects the program to work on as before: a restart vote, queued
    // behind whatever came before it, is answered.
    void expectRestartVoteStillAnswered() {
        const std::size_t wire = mark();
        act(sim->voteRestart());
        EXPECT_EQ(wireSince(wire), announcedGrid({"bob", "alice", "marshal"}));
        EXPECT_EQ(sim->lastAppliedGrid(), (Names{"bob", "alice", "marshal"}));
    }
};

// Random bytes behind a header whose Size byte is wrong for the type, or a
// datagram cut short of what its Size byte promises.
std::vector<Bytes> malformedDatagrams() {
    std::mt19937 random(20261208);
    auto noise = [&](std::size_t n) {
        Bytes b(n);
        for (auto& x : b) {
            x = static_cast<std::uint8_t>(random());
        }
        return b;
    };
    auto packet = [&](std::size_t length, int sizeByte, int type) {
        Bytes b = noise(length);
        if (length > 0) {
            b[0] = static_cast<std::uint8_t>(sizeByte);
        }
        if (length > 1) {
            b[1] = static_cast<std::uint8_t>(type);
        }
        return b;
    };

    std::vector<Bytes> out{{}, {36}, {4, 4}, {8, 4, 0}}; // no room for a header
    const std::pair<int, int> checked[] = {
        {insim::ISP_VER, 20},  {insim::ISP_SMALL, 8}, {insim::ISP_STA, 28}, {insim::ISP_ISM, 40},
        {insim::ISP_MSO, 136}, {insim::ISP_RST, 28},  {insim::ISP_NCN, 56}, {insim::ISP_CNL, 8},
        {insim::ISP_NPL, 76},  {insim::ISP_RES, 84},  {insim::ISP_LAP, 20},
    };
    for (const auto& [type, length] : checked) {
        out.push_back(packet(static_cast<std::size_t>(length), length + 4, type));
        out.push_back(packet(static_cast<std::size_t>(length), 0, type));
        out.push_back(packet(static_cast<std::size_t>(length) / 2, length, type));
        out.push_back(packet(4, length, type));
    }
    // A restart vote and a result, each one byte short.
    Bytes vta = insim::IsSmall{0, insim::SMALL_VTA, insim::VOTE_RESTART}.toBytes();
    vta.pop_back();
    out.push_back(vta);
    // Race orders promising more slots than arrived; clicks too short to name a button.
    out.push_back(Bytes{36, insim::ISP_REO, 0, 32, 1, 2, 3});
    out.push_back(Bytes{8, insim::ISP_BTC, 0, 1, 10});
    // Connection and player 255 lie outside the tables.
    insim::IsNcn ncn;
    ncn.UCID = 255;
    ncn.UName = "ghost";
    out.push_back(ncn.toBytes());
    out.push_back(Bytes{4, insim::ISP_PLL, 0, 255});
    out.push_back(Bytes{8, insim::ISP_CNL, 0, 255, 0, 0, 0, 0});
    // Types nobody handles, and datagrams larger than any packet.
    for (int type : {0, 99, 255}) {
        out.push_back(packet(1 + random() % 300, static_cast<int>(random() % 256), type));
    }
    out.push_back(packet(5000, 56, 200));
    out.push_back(packet(65000, 0, 0));
    return out;
}

TEST_F(Garbage, MalformedDatagramsFromTheServerChangeNothing) {
    const std::string before = state();
    const std::size_t wire = mark();
    for (const auto& d : malformedDatagrams()) {
        sim->sendRaw(d);
    }
    settle();

    EXPECT_EQ(state(), before);
    EXPECT_EQ(wireSince(wire), Names{});
    EXPECT_TRUE(sim->clientConnected());
    for (const auto& d : malformedDatagrams()) {
        sim->sendRaw(d);
    }
    expectRestartVoteStillAnswered();
}

// Any process on the host's machine shares its address; only the InSim port
// tells the host apart.
TEST_F(Garbage, PacketsFromTheServersAddressButAnotherPortAreIgnored) {
    const std::string before = state();
    const std::size_t wire = mark();
    insim::IsMso command;
    command.UCID = static_cast<std::uint8_t>(sim->world().connection("marshal")->ucid);
    command.UserType = insim::MSO_PREFIX;
    command.TextStart = 10;
    command.Msg = "Marshal : *reorder";
    test::UdpPeer forger("127.0.0.1");
    sendAll(forger, malformedDatagrams());
    sendAll(forger, {command.toBytes(), insim::IsSmall{0, insim::SMALL_VTA, insim::VOTE_RESTART}.toBytes()});
    settle();

    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("ignored datagrams from 127.0.0.1:" + std::to_string(forger.port())),
              std::string::npos)
        << log.back();
    log.pop_back();
    EXPECT_EQ(state(), before);
    EXPECT_EQ(wireSince(wire), Names{});
    expectRestartVoteStillAnswered();
}

TEST_F(Garbage, WellFormedPacketsFromAnotherAddressAreIgnored) {
    const std::string before = state();
    const std::size_t wire = mark();
    const int adminUcid = sim->world().connection("marshal")->ucid;

    insim::IsNcn intruder;
    intruder.UCID = 40;
    intruder.UName = "intruder";
    intruder.Admin = 1;
    insim::IsMso command;
    command.UCID = static_cast<std::uint8_t>(adminUcid);
    command.Msg = "Marshal : *lastrace 0";
    insim::IsCnl gone;
    gone.UCID = sim->world().connection("alice")->ucid;

    test::UdpPeer stranger("127.0.0.2");
    sendAll(stranger, {intruder.toBytes(), command.toBytes(), gone.toBytes(),
                       insim::IsPll{0, static_cast<std::uint8_t>(plidOf("bob"))}.toBytes(),
                       insim::IsSmall{0, insim::SMALL_VTA, insim::VOTE_RESTART}.toBytes()});
    settle();

    // One status line names the stranger (a multi-homed host would look
    // like this); nothing else changes.
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("ignored datagrams from 127.0.0.2:"),
              std::string::npos)
        << log.back();
    log.pop_back();
    EXPECT_EQ(state(), before);
    EXPECT_EQ(wireSince(wire), Names{});
    expectRestartVoteStillAnswered();
}

} // namespace
} // namespace pm::e2e
