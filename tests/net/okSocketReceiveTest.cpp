// Draining a UDP socket on each read notification: one event per datagram,
// exact lengths, the zero-length and oversized cases, and handlers that close
// the socket or fail while data is being delivered.

#include <stdexcept>

#include "NetTestSupport.h"
#include "net/SocketHelpers.h"

namespace pm::net {
namespace {

using namespace testsupport;
using Strings = std::vector<std::string>;

class SocketReceive : public SocketFixture {
protected:
    std::uint16_t port = 0;
    std::int32_t s = 0;
    UdpPeer peer;

    void SetUp() override {
        SocketFixture::SetUp();
        s = openUdpListener(port);
    }
};

TEST_F(SocketReceive, datagram_arrives_as_one_event_of_exactly_its_length) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{100}, std::size_t{4095}, std::size_t{4096}}) {
        events.clear();
        const Bytes sent = pattern(n, static_cast<std::uint8_t>(n));
        peer.sendTo(port, sent);
        ASSERT_TRUE(runUntilCount(1)) << n;
        settle();
        EXPECT_EQ(events.lines, Strings{Received(s, static_cast<std::int32_t>(n))}) << dump(events.lines);
        ASSERT_EQ(events.payloads.size(), 1u);
        EXPECT_EQ(events.payloads[0], sent) << n;
    }
}

TEST_F(SocketReceive, waiting_datagrams_arrive_in_order_from_one_notification) {
    // Count the read notices the window itself sees: the hook passes every
    // message on to the window's own procedure.
    int readNotices = 0;
    const platform::UINT id = sock.MessageId();
    auto hooked = stack.windows().GetWindowProc(window);
    auto original = stack.windows().SetWindowProc(window, platform::makeWindowProc(
        [&, hooked](platform::HWND h, platform::UINT m, platform::WPARAM w, platform::LPARAM l) {
            if (m == id && LoWord(static_cast<std::int32_t>(l)) == platform::FD_READ) {
                ++readNotices;
            }
            return platform::WindowSystem::CallWindowProc(hooked, h, m, w, l);
        }));
    ASSERT_TRUE(original);

    peer.sendTo(port, {'f', 'i', 'r', 's', 't'});
    peer.sendTo(port, {'2', 'n', 'd'});
    ASSERT_TRUE(runUntilCount(2)) << dump(events.lines);
    settle();

    EXPECT_EQ(events.lines, (Strings{Received(s, 5), Received(s, 3)}));
    EXPECT_EQ(events.payloads, (std::vector<Bytes>{{'f', 'i', 'r', 's', 't'}, {'2', 'n', 'd'}}));
    EXPECT_EQ(readNotices, 1);
}

TEST_F(SocketReceive, zero_length_datagram_is_reported_once_with_a_one_byte_buffer) {
    peer.sendTo(port, {});
    ASSERT_TRUE(runUntilCount(1)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, Strings{Received(s, 0)});
    EXPECT_EQ(events.payloads, std::vector<Bytes>{Bytes{0}});

    // A second empty datagram says nothing; data after it still arrives.
    events.clear();
    peer.sendTo(port, {});
    peer.sendTo(port, {'x', 'y'});
    ASSERT_TRUE(runUntilCount(1)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, Strings{Received(s, 2)});
    EXPECT_EQ(events.payloads, (std::vector<Bytes>{Bytes{'x', 'y'}}));
}

TEST_F(SocketReceive, zero_length_is_remembered_per_socket) {
    std::uint16_t otherPort = 0;
    const std::int32_t other = openUdpListener(otherPort);
    peer.sendTo(otherPort, {});
    ASSERT_TRUE(runUntilCount(1)) << dump(events.lines);
    settle();
    peer.sendTo(port, {});
    ASSERT_TRUE(runUntilCount(2)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, (Strings{Received(other, 0), Received(s, 0)}));
}

TEST_F(SocketReceive, datagrams_on_a_socket_not_in_the_table_are_discarded) {
    // A socket made elsewhere but reporting under this object's message.
    auto& ws = stack.sockets();
    const platform::SOCKET stranger = ws.socket(platform::AF_INET_W, platform::SOCK_DGRAM_W, 17);
    ASSERT_NE(stranger, platform::INVALID_SOCKET);
    platform::SockAddrIn local{};
    local.sin_family = platform::AF_INET_W;
    local.sin_addr.s_addr = ipv4("127.0.0.1");
    ASSERT_EQ(ws.bind(stranger, local), 0);
    ASSERT_EQ(ws.WSAAsyncSelect(stranger, window, sock.MessageId(), platform::FD_READ), 0);
    const std::uint16_t strangerPort = platform::netToHost16(ws.localAddress(stranger)->sin_port);

    peer.sendTo(strangerPort, {1});
    peer.sendTo(strangerPort, {2, 2});
    peer.sendTo(strangerPort, {});
    peer.sendTo(port, {4, 4, 4, 4});
    ASSERT_TRUE(runUntilCount(1)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, Strings{Received(s, 4)});
    EXPECT_EQ(sock.ConnectionCount(), 1);
    ws.closesocket(stranger);
}

TEST_F(SocketReceive, oversized_datagram_is_reported_too_long_and_lost) {
    for (const std::size_t n : {std::size_t{4097}, std::size_t{5000}}) {
        events.clear();
        peer.sendTo(port, pattern(n));
        peer.sendTo(port, {'o', 'k'});
        ASSERT_TRUE(runUntilCount(2)) << n << dump(events.lines);
        settle();
        EXPECT_EQ(events.lines, (Strings{Error(s, "receive error: message is too long"), Received(s, 2)}))
            << n;
        EXPECT_EQ(events.payloads, (std::vector<Bytes>{Bytes{'o', 'k'}}));
    }
    EXPECT_EQ(sock.ConnectionCount(), 1);
}

TEST_F(SocketReceive, injected_receive_error_is_reported_and_the_socket_stays_open) {
    stack.sockets().failNext(platform::WinSock::Op::Recv, platform::WSAECONNRESET);
    peer.sendTo(port, {1});
    ASSERT_TRUE(runUntilCount(2)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, (Strings{Error(s, "receive error: connection reset by peer"), Received(s, 1)}));
}

TEST_F(SocketReceive, handler_closing_the_socket_ends_the_drain_with_not_a_socket_error) {
    events.onReceived = [&](std::int32_t socket, std::span<const std::uint8_t>) { sock.CloseSocket(socket); };
    peer.sendTo(port, {1});
    peer.sendTo(port, {2, 2});

    ASSERT_TRUE(runUntilCount(3)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, (Strings{Received(s, 1), Closed(s),
                                     Error(s, "receive error: not a valid socket descriptor")}));
    EXPECT_EQ(sock.ConnectionCount(), 0);
}

TEST_F(SocketReceive, handler_closing_another_socket_does_not_disturb_delivery) {
    std::uint16_t otherPort = 0;
    const std::int32_t other = openUdpListener(otherPort);
    // The entry being delivered shifts down when an earlier one goes away.
    events.onReceived = [&, first = true](std::int32_t, std::span<const std::uint8_t>) mutable {
        if (first) {
            first = false;
            sock.CloseSocket(s);
        }
    };
    peer.sendTo(otherPort, {1});
    peer.sendTo(otherPort, {2, 2});
    ASSERT_TRUE(runUntilCount(3)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, (Strings{Received(other, 1), Closed(s), Received(other, 2)}));
}

TEST_F(SocketReceive, handler_that_throws_gets_the_socket_closed) {
    events.onReceived = [](std::int32_t, std::span<const std::uint8_t>) {
        throw std::runtime_error("handler failed");
    };
    peer.sendTo(port, {1});
    peer.sendTo(port, {2, 2});
    ASSERT_TRUE(runUntilEvent(Closed(s))) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, (Strings{Received(s, 1), Closed(s)}));
    EXPECT_EQ(sock.ConnectionCount(), 0);
    EXPECT_FALSE(stack.sockets().isOpen(static_cast<platform::SOCKET>(s)));
}

TEST_F(SocketReceive, last_source_address_names_the_sender_of_each_datagram) {
    UdpPeer second("127.0.0.2");
    std::vector<std::uint32_t> sources;
    events.onReceived = [&](std::int32_t, std::span<const std::uint8_t>) {
        sources.push_back(sock.LastSourceAddress());
    };
    peer.sendTo(port, {1});
    second.sendTo(port, {2});
    peer.sendTo(port, {3});
    ASSERT_TRUE(runUntilCount(3)) << dump(events.lines);
    EXPECT_EQ(sources, (std::vector<std::uint32_t>{ipv4("127.0.0.1"), ipv4("127.0.0.2"), ipv4("127.0.0.1")}));
}

} // namespace
} // namespace pm::net
