// The simulated host plays one LFS release and speaks to each client in the
// generation that client's IS_ISI asks for, as that release would.

#include <gmock/gmock.h>

#include "insim/ucInSim.h"
#include "sim/Crowd.h"
#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;
using namespace std::chrono_literals;

namespace {

class Generations : public SimFixture {
protected:
    // An IS_ISI framed for one generation, asking for a version in byte 8.
    void hello(LfsRelease lfs, const WireGeneration& framing, std::uint8_t asks) {
        SimOptions o;
        o.lfs = lfs;
        makeServer(o);
        IsIsi isi;
        isi.UDPPort = client.port();
        isi.InSimVer = asks;
        send(isi.toBytes(framing));
    }
    std::vector<Bytes> ofType(std::uint8_t type) {
        auto all = take();
        std::erase_if(all, [type](const Bytes& d) { return d[1] != type; });
        return all;
    }
    static Bytes startOrder(std::size_t length, const WireGeneration& wire, std::vector<std::uint8_t> plids) {
        Bytes d(length, 0);
        d[0] = static_cast<std::uint8_t>(length / static_cast<std::size_t>(wire.sizeUnit));
        d[1] = ISP_REO;
        d[3] = static_cast<std::uint8_t>(plids.size());
        std::copy(plids.begin(), plids.end(), d.begin() + 4);
        return d;
    }
};

TEST_F(Generations, EachReleaseAnswersEachClientInTheGenerationItSpeaksOnThatLink) {
    struct Case {
        LfsRelease lfs;
        const WireGeneration* framing;
        std::uint8_t asks;
        int speaks;      // 0: the IS_ISI is not understood
        std::size_t reo; // the host's IS_REO at race start; 0: none
        std::size_t mso; // "alice : hi"
    };
    const Case cases[] = {
        {LfsRelease::V05Z, &kWire4, 0, 4, 36, 136},   {LfsRelease::V05Z, &kWire9, 9, 0, 0, 0},
        {LfsRelease::V05Z, &kWire10, 10, 0, 0, 0},    {LfsRelease::V07F, &kWire4, 0, 4, 36, 136},
        {LfsRelease::V07F, &kWire4, 9, 4, 36, 136},   {LfsRelease::V07F, &kWire9, 9, 9, 44, 20},
        {LfsRelease::V07F, &kWire10, 10, 9, 44, 20},  {LfsRelease::V08C, &kWire4, 0, 4, 0, 136},
        {LfsRelease::V08C, &kWire9, 9, 9, 0, 20},     {LfsRelease::V08C, &kWire10, 10, 10, 52, 20},
        {LfsRelease::V08C, &kWire10, 11, 10, 52, 20}, {LfsRelease::V08C, &kWire10, 8, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("LFS " + std::string(releaseName(c.lfs)) + ", IS_ISI framed for InSim " +
                     std::to_string(c.framing->version) + " asking " + std::to_string(c.asks));
        hello(c.lfs, *c.framing, c.asks);
        auto got = take();
        if (c.speaks == 0) {
            EXPECT_TRUE(got.empty());
            EXPECT_FALSE(server->clientConnected());
            continue;
        }
        const WireGeneration& wire = *wireForVersion(c.speaks);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0][0], wire.sizeByte(20));
        const auto ver = IsVer::fromBytes(got[0], wire);
        EXPECT_EQ(ver->Version, releaseName(c.lfs));
        EXPECT_EQ(ver->InSimVer, c.speaks);
        send(IsTiny{1, TINY_SST}.toBytes(c.speaks == 4 ? kWire10 : kWire4)); // the other framing
        EXPECT_TRUE(take().empty());

        for (auto n : {"alice", "bob", "carol"}) {
            ASSERT_TRUE(server->join(n));
        }
        take();
        ASSERT_TRUE(server->startRace());
        const auto reos = ofType(ISP_REO);
        ASSERT_EQ(reos.size(), c.reo == 0 ? 0u : 1u);
        if (c.reo != 0) {
            EXPECT_EQ(reos[0].size(), c.reo);
            EXPECT_EQ(reos[0][0], wire.sizeByte(static_cast<int>(c.reo)));
        }
        ASSERT_TRUE(server->chat("alice", "hi"));
        const auto mso = ofType(ISP_MSO);
        ASSERT_EQ(mso.size(), 1u);
        EXPECT_EQ(mso[0].size(), c.mso);
        EXPECT_EQ(IsMso::fromBytes(mso[0], wire)->Msg, "alice : hi");
        IsMtc m;
        m.UCID = 255;
        m.Text = "^2Grid set";
        send(m.toBytes(wire));
        EXPECT_EQ(server->messagesFor("bob"), std::vector<std::string>{"^2Grid set"});

        // A start order counts only after the vote, and only in the link's own size.
        const auto own = static_cast<std::size_t>(IsReo::lengthFor(wire));
        send(startOrder(own, wire, {2, 3, 1}));
        ASSERT_TRUE(server->voteRestart());
        take();
        for (const std::size_t length : {36u, 44u, 52u}) {
            if (length != own) {
                send(startOrder(length, wire, {3, 2, 1}));
            }
        }
        EXPECT_EQ(server->grid(), (std::vector<std::string>{"alice", "bob", "carol"}));
        EXPECT_TRUE(transcriptHas("IS_REO must be " + std::to_string(own) + " bytes"));
        send(startOrder(own, wire, {3, 1, 2}));
        EXPECT_EQ(server->grid(), (std::vector<std::string>{"carol", "alice", "bob"}));
        EXPECT_EQ(server->stats().startOrdersIgnored, 1);
    }
}

TEST_F(Generations, ACrowdOf44On08CTravelsWholeInInSim10StartOrders) {
    hello(LfsRelease::V08C, kWire10, 10);
    Crowd crowd(*server, loop, CrowdOptions{44, 20s, 1});
    ASSERT_TRUE(crowd.start());
    const auto atStart = ofType(ISP_REO);
    ASSERT_EQ(atStart.size(), 1u);
    EXPECT_EQ(IsReo::fromBytes(atStart[0], kWire10)->PLID[43], 44);

    loop.advance(20s); // everyone finishes, the restart vote passes
    std::vector<std::uint8_t> reversed;
    for (int plid = 44; plid >= 1; --plid) {
        reversed.push_back(static_cast<std::uint8_t>(plid));
    }
    send(startOrder(52, kWire10, reversed));
    const auto grid = server->lastAppliedGrid();
    ASSERT_EQ(grid.size(), 44u);
    EXPECT_EQ(grid.front(), Crowd::nameOf(43));
    EXPECT_EQ(grid.back(), Crowd::nameOf(0));
    EXPECT_TRUE(transcriptHas("IS_REO nump=44 plids=[44,43,"));

    for (int i = 45; i <= 48; ++i) {
        ASSERT_TRUE(server->join("late" + std::to_string(i)));
    }
    EXPECT_EQ(server->join("late49").error, "the race is full: 48 cars");
}

// The real client on auto closes the InSim 4 link and opens the release's
// newest generation within one handshake.
TEST(GenerationsWithTheClient, AutoSettlesOnTheReleasesGeneration) {
    for (const auto& [lfs, expected] :
         {std::pair{LfsRelease::V05Z, 4}, std::pair{LfsRelease::V07F, 9}, std::pair{LfsRelease::V08C, 10}}) {
        SCOPED_TRACE("LFS " + std::string(releaseName(lfs)));
        platform::PlatformStack stack(std::make_unique<platform::ManualClock>());
        SimOptions o;
        o.bindAddress = "127.0.0.1";
        o.lfs = lfs;
        SimServer server(stack.loop(), stack.clock(), o);
        ASSERT_TRUE(server.join("alice", "Alice", true));
        insim::ucInSim client(stack.platform());
        client.setPort(std::to_string(server.port()));
        client.setPortListen(std::to_string(test::freeUdpPort()));
        client.setInSimVersion("auto");
        client.Connect();
        stack.loop().advance(1s);
        ASSERT_TRUE(client.connected());
        ASSERT_NE(server.clientWire(), nullptr);
        EXPECT_EQ(server.clientWire()->version, expected);
        EXPECT_EQ(client.wire().version, expected);
        EXPECT_EQ(client.GetPlayerNum("alice"), 1);
        EXPECT_EQ(server.stats().ignored, 0);
    }
}

} // namespace
