// InSim over TCP on the sim's InSim port, with real loopback streams: the
// handshake in each generation, framing of a stream cut anywhere, streams
// the host closes, one client across both transports, and the split fault.

#include <chrono>
#include <functional>
#include <thread>

#include "sim/SimTestSupport.h"
#include "sim/TcpPeer.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;
using namespace pm::sim::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kTinyPing = 3; // the client never sends it, so Packets.h has no name for it

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

class Tcp : public SimFixture {
protected:
    void makeServer(SimOptions options) {
        peer.reset();
        SimFixture::makeServer(std::move(options));
    }

    // Runs the sim and lets the peer read until done() holds. The deadline
    // only ends a test that would otherwise hang.
    bool spin(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            loop.drain();
            if (peer) {
                peer->flush();
                peer->read();
            }
            if (done()) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
    }
    std::unique_ptr<TcpPeer> connect() {
        auto p = std::make_unique<TcpPeer>(server->port());
        const auto before = server->openStreams();
        EXPECT_TRUE(spin([&] { return server->openStreams() > before; }));
        return p;
    }
    // The bytes in pieces, each taken by the sim before the next is written.
    void write(const Bytes& bytes, std::size_t piece = 0) {
        piece = piece == 0 ? bytes.size() : piece;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            peer->write(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
            loop.drain();
        }
    }
    std::vector<Bytes> packets(std::size_t count, int unit) {
        std::vector<Bytes> got;
        spin([&] {
            for (auto& p : peer->packets(unit)) {
                got.push_back(std::move(p));
            }
            return got.size() >= count;
        });
        return got;
    }
    static Bytes hello(const WireGeneration& wire) {
        IsIsi isi;
        isi.InSimVer = static_cast<std::uint8_t>(wire.version);
        return isi.toBytes(wire); // UDPPort 0: nothing by UDP
    }
    void openTcpClient(const WireGeneration& wire) {
        peer = connect();
        write(hello(wire));
        auto ver = packets(1, wire.sizeUnit);
        ASSERT_EQ(ver.size(), 1u);
        ASSERT_EQ(ver[0][1], ISP_VER);
    }

    std::unique_ptr<TcpPeer> peer;
};

TEST_F(Tcp, HandshakeAndRepliesInEachGenerationOnTheStream) {
    struct Case {
        LfsRelease lfs;
        const WireGeneration* wire;
    };
    for (const auto& c : {Case{LfsRelease::V08C, &kWire4}, Case{LfsRelease::V07F, &kWire9},
                          Case{LfsRelease::V08C, &kWire10}}) {
        SCOPED_TRACE("InSim " + std::to_string(c.wire->version));
        SimOptions o;
        o.lfs = c.lfs;
        makeServer(o);
        peer = connect();
        write(joined({hello(*c.wire), IsTiny{2, TINY_SST}.toBytes(*c.wire)}));
        const auto got = packets(2, c.wire->sizeUnit);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].size(), 20u); // IS_VER: Size byte 20 or 5
        EXPECT_EQ(got[0][1], ISP_VER);
        EXPECT_EQ(got[0][18], c.wire->version);
        EXPECT_EQ(got[1].size(), 28u); // IS_STA
        EXPECT_EQ(got[1][1], ISP_STA);
        EXPECT_EQ(got[1][2], 2);
        EXPECT_EQ(server->clientTransport(), Transport::Tcp);
        EXPECT_EQ(server->clientWire()->version, c.wire->version);
        EXPECT_TRUE(client.take().empty()); // nothing by UDP
        EXPECT_TRUE(transcriptHas("<- IS_TINY reqi=2 TINY_SST  [TCP]"));
    }
}

TEST_F(Tcp, AStreamCutAnywhereOrRunTogetherIsReadWhole) {
    const Bytes stream =
        joined({hello(kWire10), IsTiny{2, TINY_SST}.toBytes(kWire10), IsTiny{3, kTinyPing}.toBytes(kWire10)});
    for (std::size_t piece : {std::size_t{1}, std::size_t{5}, stream.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        makeServer({});
        peer = connect();
        write(stream, piece);
        const auto got = packets(3, 4);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0][1], ISP_VER);
        EXPECT_EQ(got[1][1], ISP_STA);
        EXPECT_EQ(got[2], (Bytes{1, ISP_TINY, 3, TINY_REPLY}));
        EXPECT_EQ(server->stats().ignored, 0);
    }
}

TEST_F(Tcp, TheHostClosesAStreamItCannotFrameOrThatIsDone) {
    struct Case {
        const char* name;
        const WireGeneration* opened; // nullptr: no handshake first
        Bytes then;
        std::string why; // in the transcript
    };
    const Case cases[] = {
        {"Size byte 0", &kWire10, {0, ISP_TINY, 1, TINY_SST}, "cannot frame the stream: Size byte 0"},
        {"bytes no multiple of four", &kWire4, {6, ISP_TINY, 1, TINY_SST, 0, 0}, "no multiple of 4"},
        {"no IS_ISI first", nullptr, {4, ISP_TINY, 1, TINY_SST}, "does not open with an IS_ISI"},
        {"TINY_CLOSE", &kWire10, {1, ISP_TINY, 0, TINY_CLOSE}, "the client closed the link"},
        {"an IS_ISI the host does not understand", nullptr, IsIsi{}.toBytes(kWire10),
         "its IS_ISI was refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makeServer({});
        if (c.opened != nullptr) {
            openTcpClient(*c.opened);
        } else {
            peer = connect();
        }
        write(c.then);
        EXPECT_TRUE(spin([&] { return peer->closed(); }));
        EXPECT_FALSE(server->clientConnected());
        EXPECT_EQ(server->openStreams(), 0u);
        EXPECT_TRUE(transcriptHas(c.why));
    }
}

TEST_F(Tcp, OneClientAtATimeOnEitherTransport) {
    connectClient(); // UDP
    openTcpClient(kWire10);
    EXPECT_TRUE(transcriptHas("a new InSim client replaces 127.0.0.1:"));
    sendTiny(TINY_SST); // the UDP client is no longer heard
    EXPECT_TRUE(transcriptHas("not from the InSim client (UDP 127.0.0.1:"));

    auto first = std::move(peer);
    openTcpClient(kWire4);
    EXPECT_TRUE(spin([&] { return !first->read(); }));
    EXPECT_EQ(server->openStreams(), 1u);

    handshake(); // UDP again
    EXPECT_TRUE(spin([&] { return peer->closed(); }));
    EXPECT_EQ(server->clientTransport(), Transport::Udp);
    EXPECT_EQ(server->openStreams(), 0u);
    EXPECT_EQ(takeKinds(), std::vector<std::string>{"IS_VER"});
}

TEST_F(Tcp, AClientThatReadsNothingLosesItsStreamPastTheBound) {
    SimOptions o;
    o.streamWaitingLimit = 64 * 1024;
    makeServer(o);
    openTcpClient(kWire10);
    // Enough to fill any loopback buffers, far more than the bound.
    for (int i = 0; i < 4000 && server->clientConnected(); ++i) {
        server->sendRaw(Bytes(16 * 1024, 1));
    }
    EXPECT_FALSE(server->clientConnected());
    EXPECT_EQ(server->openStreams(), 0u);
    EXPECT_TRUE(transcriptHas("bytes wait unsent, more than 65536"));
}

TEST_F(Tcp, TheSplitFaultCutsPacketsOnTheWireYetTheyArriveTheSameAndInOrder) {
    auto run = [this](double split) {
        SimOptions o;
        o.lfs = LfsRelease::V08C;
        o.seed = 7;
        o.faults.splitPercent = split;
        makeServer(o);
        peer = connect();
        write(hello(kWire10));
        EXPECT_TRUE(spin([&] { return server->clientConnected(); }));
        for (auto n : {"alice", "bob", "carol"}) {
            server->join(n);
        }
        server->startRace();
        server->chat("bob", "hello there");
        server->finish({"carol", "alice"});
        loop.advance(SimServer::kCutRestAfter);
        return packets(static_cast<std::size_t>(server->stats().sent), 4);
    };
    const auto whole = run(0);
    const int sent = server->stats().sent;
    ASSERT_EQ(whole.size(), static_cast<std::size_t>(sent));
    EXPECT_EQ(run(100), whole);
    EXPECT_EQ(server->stats().cut, sent);
    EXPECT_EQ(run(40), whole);
    EXPECT_GT(server->stats().cut, 0);
    EXPECT_LT(server->stats().cut, sent);
}

TEST_F(Tcp, APieceOfACutPacketArrivesOnItsOwn) {
    SimOptions o;
    o.faults.splitPercent = 100;
    makeServer(o);
    peer = connect();
    write(hello(kWire10));
    ASSERT_TRUE(spin([&] { return peer->arrived() > 0; }));
    EXPECT_LT(peer->arrived(), 20u); // not yet all of IS_VER
    EXPECT_TRUE(peer->packets(4).empty());
    loop.advance(SimServer::kCutRestAfter);
    EXPECT_EQ(packets(1, 4).size(), 1u);
}

TEST_F(Tcp, TheRaceStartsWithTheOrderTakenLessWhoLeftAndSaysSoInIsReo) {
    SimOptions o;
    o.lfs = LfsRelease::V08C;
    makeServer(o);
    for (auto n : {"alice", "bob", "carol", "dave"}) {
        ASSERT_TRUE(server->join(n)); // PLIDs 1 to 4
    }
    openTcpClient(kWire10);
    ASSERT_TRUE(server->startRace()); // the first IS_REO
    ASSERT_TRUE(server->voteRestart());
    IsReo reo;
    reo.NumP = 4;
    reo.PLID = {4, 2, 1, 3};
    write(reo.toBytes(kWire10));
    ASSERT_TRUE(spin([&] { return !server->appliedGrids().empty(); }));
    ASSERT_EQ(server->lastAppliedGrid(), (std::vector<std::string>{"dave", "bob", "alice", "carol"}));
    ASSERT_TRUE(server->leave("bob"));
    loop.advance(o.voteTakesEffectAfter);

    std::vector<Bytes> reos;
    spin([&] {
        for (auto& p : peer->packets(4)) {
            if (p[1] == ISP_REO) {
                reos.push_back(std::move(p));
            }
        }
        return reos.size() >= 2;
    });
    ASSERT_EQ(reos.size(), 2u);
    EXPECT_EQ(reos[1].size(), 52u); // 48 slots
    const auto started = IsReo::fromBytes(reos[1], kWire10);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->NumP, 3);
    EXPECT_EQ(std::vector<std::uint8_t>(started->PLID.begin(), started->PLID.begin() + 4),
              (std::vector<std::uint8_t>{4, 1, 3, 0}));
}

TEST_F(Tcp, ARestartedHostTakesStreamsOnItsPortAgain) {
    openTcpClient(kWire10);
    const auto port = server->port();
    server->restartServer();
    EXPECT_TRUE(spin([&] { return peer->closed(); }));
    ASSERT_TRUE(server->listening());
    EXPECT_EQ(server->port(), port);
    openTcpClient(kWire10);
    EXPECT_EQ(server->clientTransport(), Transport::Tcp);
}

} // namespace
