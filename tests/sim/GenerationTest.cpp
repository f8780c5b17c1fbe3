// The simulated host plays one LFS release and speaks to each client in the
// generation that client's IS_ISI asks for, as that release would: framing,
// IS_VER's answer, which IS_REOs it sends and which it takes.

#include <gmock/gmock.h>

#include "insim/ucInSim.h"
#include "sim/Crowd.h"
#include "sim/Scenario.h"
#include "sim/ScenarioRunner.h"
#include "sim/SimTestSupport.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

// A client of one generation: how it frames its IS_ISI and what byte 8 asks.
struct ClientKind {
    const WireGeneration* framing;
    std::uint8_t asks;
};
constexpr ClientKind kOld{&kWire4, 0};
constexpr ClientKind kNine{&kWire9, 9};
constexpr ClientKind kTen{&kWire10, 10};

std::string traceOf(LfsRelease lfs, ClientKind c) {
    return "LFS " + std::string(releaseName(lfs)) + ", IS_ISI framed for InSim " +
           std::to_string(c.framing->version) + " asking " + std::to_string(c.asks);
}

class Generations : public SimFixture {
protected:
    void play(LfsRelease lfs) {
        SimOptions o;
        o.lfs = lfs;
        makeServer(o);
    }
    void hello(ClientKind c, std::uint8_t reqI = 1) {
        IsIsi isi;
        isi.ReqI = reqI;
        isi.UDPPort = client.port();
        isi.InSimVer = c.asks;
        send(isi.toBytes(*c.framing));
    }
    // A link on that release with three drivers racing, nothing pending.
    const WireGeneration& racing(LfsRelease lfs, ClientKind c) {
        play(lfs);
        for (auto n : {"alice", "bob", "carol"}) {
            EXPECT_TRUE(server->join(n, n, std::string(n) == "alice"));
        }
        EXPECT_TRUE(server->startRace());
        hello(c, 0);
        EXPECT_TRUE(server->clientConnected());
        take();
        return *server->clientWire();
    }
    static std::vector<Bytes> ofType(std::uint8_t type, const std::vector<Bytes>& all) {
        std::vector<Bytes> out;
        std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                     [type](const Bytes& d) { return d.size() >= 2 && d[1] == type; });
        return out;
    }
    static Bytes startOrder(std::size_t length, const WireGeneration& framing,
                            std::vector<std::uint8_t> plids) {
        Bytes d(length, 0);
        d[0] = static_cast<std::uint8_t>(length / static_cast<std::size_t>(framing.sizeUnit));
        d[1] = ISP_REO;
        d[3] = static_cast<std::uint8_t>(plids.size());
        std::copy(plids.begin(), plids.end(), d.begin() + 4);
        return d;
    }
};

TEST_F(Generations, TheHandshakeIsAnsweredInTheGenerationTheReleaseSpeaksOnThatLink) {
    struct Case {
        LfsRelease lfs;
        ClientKind client;
        int speaks; // 0: the host does not understand the IS_ISI
    };
    const Case cases[] = {
        {LfsRelease::V05Z, kOld, 4},          {LfsRelease::V05Z, kNine, 0},
        {LfsRelease::V05Z, kTen, 0},          {LfsRelease::V07F, kOld, 4},
        {LfsRelease::V07F, {&kWire4, 9}, 4}, // byte sizes are an old client's
        {LfsRelease::V07F, kNine, 9},         {LfsRelease::V07F, kTen, 9},
        {LfsRelease::V08C, kOld, 4},          {LfsRelease::V08C, kNine, 9},
        {LfsRelease::V08C, kTen, 10},         {LfsRelease::V08C, {&kWire10, 11}, 10},
        {LfsRelease::V08C, {&kWire10, 8}, 0}, // 4-byte units start at 9
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(traceOf(c.lfs, c.client));
        play(c.lfs);
        hello(c.client, 7);
        auto got = take();
        if (c.speaks == 0) {
            EXPECT_TRUE(got.empty());
            EXPECT_FALSE(server->clientConnected());
            EXPECT_EQ(server->stats().ignored, 1);
            continue;
        }
        const WireGeneration& wire = *wireForVersion(c.speaks);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].size(), 20u);
        EXPECT_EQ(got[0][0], wire.sizeByte(20));
        const auto ver = IsVer::fromBytes(got[0], wire);
        ASSERT_TRUE(ver);
        EXPECT_EQ(ver->ReqI, 7);
        EXPECT_EQ(ver->Version, releaseName(c.lfs));
        EXPECT_EQ(ver->InSimVer, c.speaks);
        ASSERT_NE(server->clientWire(), nullptr);
        EXPECT_EQ(*server->clientWire(), wire);

        // The rest of the link is framed alike, both ways.
        send(IsTiny{2, TINY_SST}.toBytes(wire));
        got = take();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].size(), 28u);
        EXPECT_EQ(got[0][0], wire.sizeByte(28));
        loop.advance(30s);
        EXPECT_EQ(take(), (std::vector<Bytes>{IsTiny{0, TINY_NONE}.toBytes(wire)}));
    }
}

TEST_F(Generations, TheHostsRaceOrderGoesOutInTheLinksSlotsOrNotAtAllFrom08BBelowTen) {
    struct Case {
        LfsRelease lfs;
        ClientKind client;
        std::size_t length; // 0: no IS_REO
    };
    const Case cases[] = {
        {LfsRelease::V05Z, kOld, 36}, {LfsRelease::V07F, kOld, 36}, {LfsRelease::V07F, kNine, 44},
        {LfsRelease::V08C, kOld, 0},  {LfsRelease::V08C, kNine, 0}, {LfsRelease::V08C, kTen, 52},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(traceOf(c.lfs, c.client));
        const WireGeneration& wire = racing(c.lfs, c.client);
        ASSERT_TRUE(server->startRace());
        ASSERT_TRUE(server->reportOrder());
        send(IsTiny{4, 20 /* TINY_REO */}.toBytes(wire));
        const auto reos = ofType(ISP_REO, take());
        if (c.length == 0) {
            EXPECT_TRUE(reos.empty());
            EXPECT_TRUE(transcriptHas("no IS_REO: LFS 0.8C sends none to an InSim"));
            continue;
        }
        ASSERT_EQ(reos.size(), 3u); // race start, report, reply
        for (const auto& d : reos) {
            EXPECT_EQ(d.size(), c.length);
            EXPECT_EQ(d[0], wire.sizeByte(static_cast<int>(c.length)));
        }
        const auto reply = IsReo::fromBytes(reos[2], wire);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->ReqI, 4);
        EXPECT_EQ(reply->NumP, 3);
        EXPECT_EQ(reply->PLID[2], 3);
    }
}

TEST_F(Generations, AStartOrderIsTakenAfterTheVoteOnlyInTheLinksOwnSize) {
    const std::pair<LfsRelease, ClientKind> links[] = {{LfsRelease::V05Z, kOld},
                                                       {LfsRelease::V08C, kOld},
                                                       {LfsRelease::V07F, kNine},
                                                       {LfsRelease::V08C, kTen}};
    for (const auto& [lfs, kind] : links) {
        for (const std::size_t length : {36u, 44u, 52u}) {
            SCOPED_TRACE(traceOf(lfs, kind) + ", IS_REO of " + std::to_string(length) + " bytes");
            const WireGeneration& wire = racing(lfs, kind);
            const auto own = static_cast<std::size_t>(IsReo::lengthFor(wire));
            send(startOrder(own, wire, {2, 3, 1})); // before the vote
            EXPECT_EQ(server->stats().startOrdersIgnored, 1);
            ASSERT_TRUE(server->voteRestart());

            send(startOrder(length, wire, {3, 1, 2}));
            if (length == own) {
                EXPECT_EQ(server->grid(), (std::vector<std::string>{"carol", "alice", "bob"}));
                continue;
            }
            EXPECT_EQ(server->grid(), (std::vector<std::string>{"alice", "bob", "carol"}));
            EXPECT_TRUE(transcriptHas("IS_REO must be " + std::to_string(own) + " bytes"));
            // A wrongly sized order leaves the window open for a right one.
            send(startOrder(own, wire, {2, 3, 1}));
            EXPECT_EQ(server->grid(), (std::vector<std::string>{"bob", "carol", "alice"}));
        }
    }
}

TEST_F(Generations, ChatIsAFixedMsoForOldClientsAndAsLongAsItsTextFromInSim9) {
    const std::string longText(200, 'x');
    struct Case {
        ClientKind client;
        std::string text;
        std::size_t length;
    };
    const Case cases[] = {
        {kOld, "hi", 136},     {kOld, longText, 136}, // "Alice : hi" and its zero in 12
        {kNine, "hi", 20},     {kTen, "hi", 20},      // 8 + 12
        {kTen, "hi!", 20},     {kTen, "hi!!", 24},    // the zero needs room of its own
        {kTen, longText, 136},                        // cut at 127 with its zero
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(traceOf(LfsRelease::V08C, c.client) + ", " + std::to_string(c.text.size()) +
                     " characters");
        const WireGeneration& wire = racing(LfsRelease::V08C, c.client);
        ASSERT_TRUE(server->chat("alice", c.text));
        const auto got = take();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].size(), c.length);
        EXPECT_EQ(got[0][0], wire.sizeByte(static_cast<int>(c.length)));
        EXPECT_EQ(got[0].back(), 0);
        const auto mso = IsMso::fromBytes(got[0], wire);
        ASSERT_TRUE(mso);
        EXPECT_EQ(mso->TextStart, 8);
        EXPECT_EQ(mso->Msg, ("alice : " + c.text).substr(0, 127));
    }
}

TEST_F(Generations, TextsButtonsAndRangesArriveInTheLinksFraming) {
    const WireGeneration& wire = racing(LfsRelease::V08C, kTen);
    IsMtc m;
    m.UCID = 255;
    m.Sound = 1;
    m.Text = "^3Grid set";
    send(m.toBytes(wire)); // 20 bytes, Size byte 5
    EXPECT_EQ(server->messagesFor("bob"), std::vector<std::string>{"^3Grid set"});
    for (std::uint8_t id = 10; id <= 13; ++id) {
        IsBtn b;
        b.UCID = 1;
        b.ClickID = id;
        b.Text = "Button " + std::to_string(id);
        send(b.toBytes(wire));
    }
    ASSERT_EQ(server->buttonsFor("alice").size(), 4u);
    EXPECT_EQ(server->buttonsFor("alice")[3].text, "Button 13");
    IsBfn range = IsBfn::forButton(1, 10);
    range.ClickMax = 12;
    send(range.toBytes(wire));
    ASSERT_EQ(server->buttonsFor("alice").size(), 1u);
    EXPECT_EQ(server->buttonsFor("alice")[0].clickId, 13);

    const int before = server->stats().ignored;
    const std::vector<Bytes> misframed = {
        IsTiny{1, TINY_SST}.toBytes(kWire4), // Size byte in bytes
        {0, ISP_TINY, 1, TINY_SST},          // Size byte 0
        {2, ISP_TINY, 1, TINY_SST, 0, 0, 0, 0},
        {2, ISP_MTC, 0, 0, 255, 0, 0, 0}, // no room for a terminator
    };
    for (const auto& d : misframed) {
        send(d);
    }
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(server->stats().ignored, before + static_cast<int>(misframed.size()));
    EXPECT_TRUE(transcriptHas("Size byte 4 but 4 bytes (InSim 10 counts 4-byte units)"));
    EXPECT_TRUE(transcriptHas("IS_TINY must be 4 bytes in InSim 10"));
    EXPECT_TRUE(transcriptHas("IS_MTC must be 12 to 136 bytes in InSim 10"));
}

TEST_F(Generations, ACrowdFillsTheReleasesGridAndAllOfItTravelsInOneStartOrder) {
    struct Case {
        LfsRelease lfs;
        ClientKind client;
        int drivers;
        bool fits;
    };
    const Case cases[] = {
        {LfsRelease::V08C, kTen, 44, true},
        {LfsRelease::V07F, kNine, 40, true},
        {LfsRelease::V07F, kNine, 41, false},
        {LfsRelease::V05Z, kOld, 33, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(traceOf(c.lfs, c.client) + ", " + std::to_string(c.drivers) + " drivers");
        play(c.lfs);
        hello(c.client, 0);
        const WireGeneration& wire = *server->clientWire();
        Crowd crowd(*server, loop, CrowdOptions{c.drivers, 20s, 1});
        ASSERT_EQ(crowd.start(), c.fits);
        if (!c.fits) {
            EXPECT_THAT(crowd.error(),
                        HasSubstr("the race is full: " + std::to_string(factsOf(c.lfs).maxCars) + " cars"));
            continue;
        }
        const auto atStart = ofType(ISP_REO, take());
        ASSERT_EQ(atStart.size(), 1u);
        const auto reported = IsReo::fromBytes(atStart[0], wire);
        ASSERT_TRUE(reported);
        EXPECT_EQ(reported->NumP, c.drivers);
        EXPECT_EQ(reported->PLID[static_cast<std::size_t>(c.drivers - 1)], c.drivers);

        loop.advance(20s); // everyone finishes, the restart vote passes
        std::vector<std::uint8_t> reversed;
        for (int plid = c.drivers; plid >= 1; --plid) {
            reversed.push_back(static_cast<std::uint8_t>(plid));
        }
        send(startOrder(static_cast<std::size_t>(IsReo::lengthFor(wire)), wire, reversed));
        const auto grid = server->lastAppliedGrid();
        ASSERT_EQ(grid.size(), static_cast<std::size_t>(c.drivers));
        EXPECT_EQ(grid.front(), Crowd::nameOf(c.drivers - 1));
        EXPECT_EQ(grid.back(), Crowd::nameOf(0));
        const std::string last = std::to_string(c.drivers);
        EXPECT_TRUE(
            transcriptHas("IS_REO nump=" + last + " plids=[" + last + "," + std::to_string(c.drivers - 1)));
    }
}

TEST_F(Generations, ScenariosRunAlikeInEveryGeneration) {
    const std::pair<LfsRelease, ClientKind> links[] = {
        {LfsRelease::V05Z, kOld}, {LfsRelease::V07F, kNine}, {LfsRelease::V08C, kTen}};
    for (const auto& [lfs, kind] : links) {
        SCOPED_TRACE(traceOf(lfs, kind));
        const WireGeneration& wire = racing(lfs, kind);
        IsMtc m;
        m.PLID = 2;
        m.Text = "^2Your Grid position for the next race is #1";
        send(m.toBytes(wire));
        IsBtn b;
        b.UCID = 1;
        b.ClickID = 2;
        b.BStyle = ISB_CLICK;
        b.Text = "Close";
        send(b.toBytes(wire));
        auto parsed = parseScenario("expect message bob Your Grid position for the next race is #1\n"
                                    "expect button alice 2 Close\n"
                                    "click alice 2 shift-right\n"
                                    "chat alice *reverse 3\n",
                                    "t.scn");
        ASSERT_EQ(parsed.error, "");
        ScenarioRunner runner(*server, loop);
        runner.append(std::move(parsed.steps));
        EXPECT_EQ(runToEnd(loop, runner), 0);
        const auto got = take();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].size(), 8u);
        EXPECT_EQ(got[0][0], wire.sizeByte(8));
        EXPECT_EQ(IsBtc::fromBytes(got[0])->CFlags, kClickShiftRight);
        EXPECT_EQ(IsMso::fromBytes(got[1], wire)->Msg, "alice : *reverse 3");
    }
}

TEST_F(Generations, AnLfsLineMakesTheHostAnotherReleaseAndDropsTheClient) {
    EXPECT_EQ(parseScenario("lfs 0.6B\n", "t.scn").error,
              "t.scn:1: unknown LFS release '0.6B' (0.5Z, 0.7F or 0.8C)");
    EXPECT_EQ(parseScenario("lfs\n", "t.scn").error, "t.scn:1: usage: lfs 0.5Z|0.7F|0.8C");
    racing(LfsRelease::V08C, kTen);
    auto parsed = parseScenario("lfs 0.5z\n", "t.scn");
    ScenarioRunner runner(*server, loop);
    runner.append(std::move(parsed.steps));
    EXPECT_EQ(runToEnd(loop, runner), 0);
    EXPECT_EQ(server->release(), LfsRelease::V05Z);
    EXPECT_FALSE(server->clientConnected());
    EXPECT_EQ(server->grid().size(), 3u);
    hello(kTen);
    EXPECT_FALSE(server->clientConnected());
    hello(kOld, 3);
    const auto vers = only<IsVer>(take());
    ASSERT_EQ(vers.size(), 1u);
    EXPECT_EQ(vers[0].Version, "0.5Z");
    EXPECT_EQ(vers[0].InSimVer, 4);
}

// The real client on auto settles on the release's newest generation in one
// handshake, and reads that generation's packets.
TEST(GenerationsWithTheClient, AutoSettlesOnTheReleasesGeneration) {
    const std::pair<LfsRelease, int> cases[] = {
        {LfsRelease::V05Z, 4}, {LfsRelease::V07F, 9}, {LfsRelease::V08C, 10}};
    for (const auto& [lfs, expected] : cases) {
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
