// What the simulated host answers to each request, where it sends it, and
// what it does with datagrams it should not take.

#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;
using namespace std::chrono_literals;

namespace {

class Replies : public SimFixture {};

TEST_F(Replies, IsiWithReqIIsAnsweredWithVersionCarryingThatReqI) {
    handshake(7);
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    auto ver = IsVer::fromBytes(got[0]);
    ASSERT_TRUE(ver);
    EXPECT_EQ(got[0][0], 20);
    EXPECT_EQ(ver->ReqI, 7);
    EXPECT_EQ(ver->Product, "S2");
    EXPECT_EQ(ver->Version, "0.7F");
    EXPECT_EQ(ver->InSimVer, 4);
    EXPECT_TRUE(server->clientConnected());
}

TEST_F(Replies, IsiWithoutReqIConnectsSilently) {
    handshake(0);
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(server->clientConnected());
}

TEST_F(Replies, ProductIsConfigurable) {
    SimOptions o;
    o.product = "DEMO";
    makeServer(o);
    connectClient();
    sendTiny(TINY_VER, 3);
    auto vers = only<IsVer>(take());
    ASSERT_EQ(vers.size(), 1u);
    EXPECT_EQ(vers[0].Product, "DEMO");
    EXPECT_EQ(vers[0].ReqI, 3);
}

TEST_F(Replies, EachRequestGetsItsAnswerWithTheRequestsReqI) {
    ASSERT_TRUE(server->join("alice", "Alice", true));
    ASSERT_TRUE(server->join("bob"));
    connectClient();

    sendTiny(TINY_SST, 2);
    auto sta = only<IsSta>(take());
    ASSERT_EQ(sta.size(), 1u);
    EXPECT_EQ(sta[0].ReqI, 2);
    EXPECT_EQ(sta[0].NumP, 2);
    EXPECT_EQ(sta[0].NumConns, 3); // the host's own connection counts
    EXPECT_EQ(sta[0].RaceInProg, 0);

    sendTiny(TINY_NCN, 3);
    auto ncn = only<IsNcn>(take());
    ASSERT_EQ(ncn.size(), 3u);
    EXPECT_EQ(ncn[0].UCID, 0);
    EXPECT_EQ(ncn[0].UName, ""); // the host has no user name
    EXPECT_EQ(ncn[1].UCID, 1);
    EXPECT_EQ(ncn[1].UName, "alice");
    EXPECT_EQ(ncn[1].PName, "Alice");
    EXPECT_EQ(ncn[1].Admin, 1);
    EXPECT_EQ(ncn[2].UName, "bob");
    EXPECT_EQ(ncn[2].Admin, 0);
    for (const auto& p : ncn) {
        EXPECT_EQ(p.ReqI, 3);
    }

    sendTiny(TINY_NPL, 4);
    auto npl = only<IsNpl>(take());
    ASSERT_EQ(npl.size(), 2u);
    EXPECT_EQ(npl[0].PLID, 1);
    EXPECT_EQ(npl[0].UCID, 1);
    EXPECT_EQ(npl[1].PLID, 2);
    EXPECT_EQ(npl[1].UCID, 2);
    EXPECT_EQ(npl[1].ReqI, 4);

    sendTiny(TINY_ISM, 5);
    auto ism = only<IsIsm>(take());
    ASSERT_EQ(ism.size(), 1u);
    EXPECT_EQ(ism[0].Host, 1);
    EXPECT_EQ(ism[0].HName, "Paddock Sim");
    EXPECT_EQ(ism[0].ReqI, 5);
}

TEST_F(Replies, RequestsWithReqIZeroAreIgnored) {
    connectClient();
    sendTiny(TINY_SST, 0);
    sendTiny(TINY_VER, 0);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(server->stats().ignored, 2);
}

TEST_F(Replies, RepliesGoToTheIsiUdpPortAtTheSendersAddress) {
    test::UdpPeer listener;
    IsIsi isi;
    isi.UDPPort = listener.port();
    send(isi.toBytes());
    sendTiny(TINY_SST);
    loop.drain();
    EXPECT_TRUE(client.take().empty());
    EXPECT_EQ(listener.take().size(), 2u); // IS_VER, IS_STA
}

TEST_F(Replies, UdpPortZeroSendsRepliesToThePortTheIsiCameFrom) {
    send(IsIsi{}.toBytes()); // UDPPort 0
    sendTiny(TINY_SST);
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_VER", "IS_STA"}));
}

TEST_F(Replies, PacketsFromOtherThanTheClientAreIgnored) {
    connectClient();
    test::UdpPeer stranger;
    stranger.sendTo(server->port(), IsTiny{1, TINY_SST}.toBytes());
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(stranger.take().empty());
    EXPECT_TRUE(transcriptHas("not from the InSim client"));
}

TEST_F(Replies, GarbageIsSurvivedAndLeavesTheLinkWorking) {
    connectClient();
    const std::vector<Bytes> garbage = {
        {},
        {1, 2},
        {4, 99, 0, 0},                  // unknown type
        {44, ISP_ISI, 1, 0, 1},         // Size says 44, five bytes came
        {5, ISP_TINY, 1, TINY_SST, 0},  // TINY must be 4 bytes
        {8, ISP_BTC, 1, 1, 2, 0, 1, 0}, // a host never takes a click report
        Bytes(300, 0xff),
    };
    for (const auto& g : garbage) {
        send(g);
    }
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(server->stats().ignored, static_cast<int>(garbage.size()));
    sendTiny(TINY_SST);
    EXPECT_EQ(takeKinds(), std::vector<std::string>{"IS_STA"});
}

TEST_F(Replies, TinyCloseForgetsTheClient) {
    connectClient();
    sendTiny(TINY_CLOSE);
    EXPECT_FALSE(server->clientConnected());
    sendTiny(TINY_SST);
    EXPECT_TRUE(take().empty());
}

TEST_F(Replies, WrongAdminPasswordIsRefused) {
    SimOptions o;
    o.adminPassword = "secret";
    makeServer(o);
    IsIsi isi;
    isi.UDPPort = client.port();
    isi.Admin = "pitboard";
    send(isi.toBytes());
    EXPECT_FALSE(server->clientConnected());
    isi.Admin = "secret";
    send(isi.toBytes());
    EXPECT_TRUE(server->clientConnected());
}

TEST_F(Replies, KeepAliveEveryThirtySecondsAndRepliesAreCounted) {
    connectClient();
    loop.advance(29s);
    EXPECT_TRUE(take().empty());
    loop.advance(1s);
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{4, ISP_TINY, 0, TINY_NONE}));

    sendTiny(TINY_NONE, 1); // the client's answer
    EXPECT_EQ(server->stats().keepAliveReplies, 1);
    EXPECT_TRUE(take().empty()); // an answer is not answered

    loop.advance(30s); // answered: nothing to note
    loop.advance(30s); // the one before was not answered
    EXPECT_EQ(server->stats().keepAlivesSent, 3);
    EXPECT_EQ(server->stats().keepAlivesUnanswered, 1);
}

TEST_F(Replies, NoKeepAliveWithoutAClient) {
    loop.advance(90s);
    EXPECT_EQ(server->stats().keepAlivesSent, 0);
}

TEST_F(Replies, StaGoesOutUnaskedWhenTheRaceStateChanges) {
    ASSERT_TRUE(server->join("alice"));
    connectClient();
    ASSERT_TRUE(server->startRace());
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_REO", "IS_RST", "IS_STA"}));
    ASSERT_TRUE(server->startRace()); // a restart: nothing in IS_STA changed
    EXPECT_EQ(takeKinds(), (std::vector<std::string>{"IS_REO", "IS_RST"}));
    ASSERT_TRUE(server->startQualifying());
    auto sta = only<IsSta>(take());
    ASSERT_EQ(sta.size(), 1u);
    EXPECT_EQ(sta[0].RaceInProg, 2);
    EXPECT_EQ(sta[0].ReqI, 0);
}

} // namespace
