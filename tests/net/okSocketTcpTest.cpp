// The TCP side of the socket object, with one object listening and another
// connecting on loopback: accept and connect events, chunked sending, a
// refused attempt, and the peer closing.

#include "NetTestSupport.h"

namespace pm::net {
namespace {

using namespace testsupport;
using Strings = std::vector<std::string>;

class SocketTcp : public SocketFixture {
protected:
    // The client side: its own object on its own window, same shared hook.
    EventRecorder clientEvents;
    okSocket client{stack.platform(), &clientEvents};
    std::uint16_t port = 0;
    std::int32_t listener = 0;

    void SetUp() override {
        SocketFixture::SetUp();
        ASSERT_TRUE(client.Initilize(stack.windows().CreateMessageWindow(), stack.platform().hook()));
        port = freePort(kStream);
        listener = sock.Listen(6, port, "127.0.0.1");
        ASSERT_NE(listener, 0);
        settle();
        ASSERT_TRUE(events.lines.empty()) << dump(events.lines);
    }

    // Connects the client; returns {client socket, accepted socket} once both
    // sides have seen the connection and the client has been told it may write.
    std::pair<std::int32_t, std::int32_t> connectPair() {
        const std::int32_t c = client.Connect(6, port, "127.0.0.1");
        EXPECT_NE(c, 0);
        EXPECT_TRUE(runUntil([&] { return clientEvents.has(ReadyToSend(c)) && !events.lines.empty(); }))
            << "client:" << dump(clientEvents.lines) << "\nserver:" << dump(events.lines);
        settle();
        EXPECT_EQ(clientEvents.lines, (Strings{Connected(c), ReadyToSend(c)}));
        const auto local = stack.sockets().localAddress(static_cast<platform::SOCKET>(c));
        EXPECT_TRUE(local.has_value());
        std::int32_t a = 0;
        if (events.lines.size() == 1 && local) {
            a = handleIn(events.lines[0]);
            EXPECT_EQ(events.lines, Strings{Accepted(a, "127.0.0.1", platform::netToHost16(local->sin_port))});
        } else {
            ADD_FAILURE() << "server:" << dump(events.lines);
        }
        events.clear();
        clientEvents.clear();
        return {c, a};
    }
};

TEST_F(SocketTcp, connect_and_accept_report_both_ends_with_the_peer_address) {
    const auto [c, a] = connectPair();
    ASSERT_NE(a, 0);
    EXPECT_NE(a, listener);
    EXPECT_EQ(sock.ConnectionCount(), 2);
    EXPECT_EQ(client.ConnectionCount(), 1);

    // The accepted socket works in both directions.
    sock.Send(a, Bytes{'h', 'e', 'l', 'l', 'o'}, 0);
    EXPECT_EQ(events.lines, Strings{DataSent(a, 5)});
    ASSERT_TRUE(runUntil([&] { return clientEvents.receivedBytes().size() >= 5; })) << dump(clientEvents.lines);
    EXPECT_EQ(clientEvents.receivedBytes(), (Bytes{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(SocketTcp, send_of_20000_bytes_goes_in_chunks_of_8192) {
    const auto [c, a] = connectPair();
    ASSERT_NE(a, 0);
    const Bytes data = pattern(20000, 11);

    client.Send(c, data, 0);

    EXPECT_EQ(clientEvents.lines, (Strings{DataSent(c, 8192), DataSent(c, 16384), DataSent(c, 20000)}));
    ASSERT_TRUE(runUntil([&] { return events.receivedBytes().size() >= data.size(); })) << dump(events.lines);
    settle();
    EXPECT_EQ(events.receivedBytes(), data);
    for (std::size_t i = 0; i < events.payloads.size(); ++i) {
        EXPECT_LE(events.payloads[i].size(), 4096u);
        EXPECT_EQ(events.lines[i], Received(a, static_cast<std::int32_t>(events.payloads[i].size())));
    }
}

TEST_F(SocketTcp, refused_connection_still_raises_connected) {
    sock.CloseSocket(listener); // nobody listens on the port any more
    events.clear();

    const std::int32_t c = client.Connect(6, port, "127.0.0.1");
    ASSERT_NE(c, 0);
    ASSERT_TRUE(runUntil([&] { return clientEvents.has(Connected(c)); })) << dump(clientEvents.lines);
    settle();
    // The dead socket is then reported closed; it is never called writable.
    EXPECT_EQ(clientEvents.lines, (Strings{Connected(c), Closed(c)}));
    EXPECT_EQ(client.ConnectionCount(), 0);
}

TEST_F(SocketTcp, peer_closing_raises_closed) {
    const auto [c, a] = connectPair();
    ASSERT_NE(a, 0);

    client.CloseSocket(c);
    EXPECT_EQ(clientEvents.lines, Strings{Closed(c)});

    ASSERT_TRUE(runUntilEvent(Closed(a))) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, Strings{Closed(a)});
    EXPECT_EQ(sock.ConnectionCount(), 1); // the listener remains
    EXPECT_FALSE(stack.sockets().isOpen(static_cast<platform::SOCKET>(a)));
}

TEST_F(SocketTcp, data_then_close_gives_data_an_empty_read_then_closed) {
    const auto [c, a] = connectPair();
    ASSERT_NE(a, 0);

    client.Send(c, Bytes{'b', 'y', 'e'}, 0);
    client.CloseSocket(c);

    ASSERT_TRUE(runUntilEvent(Closed(a))) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, (Strings{Received(a, 3), Received(a, 0), Closed(a)}));
    EXPECT_EQ(events.payloads, (std::vector<Bytes>{{'b', 'y', 'e'}, {0}}));
}

} // namespace
} // namespace pm::net
