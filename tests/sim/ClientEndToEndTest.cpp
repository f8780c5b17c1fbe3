// The real InSim client against the simulated host, on one loop and a
// manual clock: each side's idea of the protocol checks the other's.

#include <gtest/gtest.h>

#include "insim/ucInSim.h"
#include "sim/SimServer.h"
#include "support/UdpPeer.h"

using namespace pm;
using namespace pm::sim;
using namespace std::chrono_literals;

namespace {

struct Events : insim::ucInSimEvents {
    std::vector<std::string> seen;
    void NewConnection(const std::string& u, std::uint8_t id, const std::string& p) override {
        seen.push_back("NewConnection " + u + " " + std::to_string(id) + " " + p);
    }
    void VoteAction(std::int16_t v) override { seen.push_back("VoteAction " + std::to_string(v)); }
    void AdminRequest(const std::string& u, const std::string& r) override {
        seen.push_back("AdminRequest " + u + " " + r);
    }
    void ButtonShiftClick(std::int16_t id, const std::string& u, std::int16_t b) override {
        seen.push_back("ButtonShiftClick " + std::to_string(id) + " " + u + " " + std::to_string(b));
    }
};

class EndToEnd : public ::testing::Test {
protected:
    EndToEnd() : stack(std::make_unique<platform::ManualClock>()) {
        SimOptions o;
        o.bindAddress = "127.0.0.1";
        server = std::make_unique<SimServer>(stack.loop(), stack.clock(), o);
        client = std::make_unique<insim::ucInSim>(stack.platform(), &events);
        client->setPort(std::to_string(server->port()));
        client->setPortListen(std::to_string(test::freeUdpPort()));
    }
    ~EndToEnd() override {
        client.reset();
        server.reset();
    }

    platform::PlatformStack stack;
    Events events;
    std::unique_ptr<SimServer> server;
    std::unique_ptr<insim::ucInSim> client;
};

TEST_F(EndToEnd, HandshakeTablesVotesMessagesAndClicks) {
    ASSERT_TRUE(server->join("alice", "Alice", true));
    client->Connect();
    stack.loop().advance(1s);
    ASSERT_TRUE(server->clientConnected());
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->Product(), "S2");
    EXPECT_EQ(client->ServerName(), "Paddock Sim");
    EXPECT_EQ(client->GetPlayerNum("alice"), 1);

    ASSERT_TRUE(server->join("bob", "Bob"));
    stack.loop().drain();
    EXPECT_EQ(client->GetConnectionId("bob"), 2);
    EXPECT_EQ(events.seen.back(), "NewConnection bob 2 Bob");

    ASSERT_TRUE(server->chat("alice", "*Reverse 5"));
    ASSERT_TRUE(server->voteRestart());
    stack.loop().drain();
    EXPECT_EQ(events.seen.at(events.seen.size() - 2), "AdminRequest alice *reverse 5");
    EXPECT_EQ(events.seen.back(), "VoteAction 2");

    client->ISS_MTC("^2Your Grid position for the next race is #1", 0, client->GetPlayerNum("bob"));
    client->ISS_BTN("01 - Bob (bob)", 107, client->GetConnectionId("alice"), 80, 43, 50, 4, 100);
    std::uint8_t reo[36] = {36, insim::ISP_REO, 0, 2, 2, 1};
    client->SendInSim(reo);
    stack.loop().drain();
    EXPECT_EQ(server->messagesFor("bob"),
              std::vector<std::string>{"^2Your Grid position for the next race is #1"});
    EXPECT_EQ(server->lastAppliedGrid(), (std::vector<std::string>{"bob", "alice"}));
    ASSERT_EQ(server->buttonsFor("alice").size(), 1u);

    ASSERT_TRUE(server->click("alice", 100, insim::kClickShiftRight));
    stack.loop().drain();
    EXPECT_EQ(events.seen.back(), "ButtonShiftClick 100 alice 2");
}

TEST_F(EndToEnd, TheLinkStaysUpAndKeepAlivesAreAnswered) {
    client->Connect();
    stack.loop().advance(1s);
    stack.loop().advance(3min);
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(server->clientConnected());
    EXPECT_EQ(server->stats().keepAlivesSent, 6);
    EXPECT_EQ(server->stats().keepAliveReplies, 6);

    client->Disconnect(); // TINY_CLOSE
    stack.loop().drain();
    EXPECT_FALSE(server->clientConnected());
}

} // namespace
