#pragma once
// A simulated server on loopback with a manual clock, and a plain UDP peer
// playing its InSim client: it sends from, and takes replies on, one port.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "insim/Packets.h"
#include "platform/PollEventLoop.h"
#include "sim/SimServer.h"
#include "support/UdpPeer.h"

namespace pm::sim::testing {

using Bytes = std::vector<std::uint8_t>;

class SimFixture : public ::testing::Test {
protected:
    SimFixture() { makeServer({}); }

    void makeServer(SimOptions options) {
        server.reset();
        options.bindAddress = "127.0.0.1";
        options.port = 0;
        server = std::make_unique<SimServer>(loop, clock, options);
        server->transcript().keepLines(true);
    }

    void send(const Bytes& bytes) {
        client.sendTo(server->port(), bytes);
        loop.drain();
    }
    void sendTiny(std::uint8_t subT, std::uint8_t reqI = 1) { send(insim::IsTiny{reqI, subT}.toBytes()); }

    void handshake(std::uint8_t reqI = 1) {
        insim::IsIsi isi;
        isi.ReqI = reqI;
        isi.UDPPort = client.port();
        send(isi.toBytes());
    }
    void connectClient() {
        handshake();
        ASSERT_TRUE(server->clientConnected());
        client.take();
    }

    std::vector<Bytes> take() {
        loop.drain();
        return client.take();
    }
    // Packet types of what arrived, in order: "IS_NCN", "TINY_SST" and the like.
    std::vector<std::string> takeKinds();

    template <typename P> static std::vector<P> only(const std::vector<Bytes>& all) {
        std::vector<P> out;
        for (const auto& d : all) {
            if (d.size() >= 2 && d[1] == P::kType) {
                if (auto p = P::fromBytes(d)) {
                    out.push_back(*p);
                }
            }
        }
        return out;
    }

    bool transcriptHas(const std::string& text) const;

    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    test::UdpPeer client;
    std::unique_ptr<SimServer> server;
};

} // namespace pm::sim::testing
