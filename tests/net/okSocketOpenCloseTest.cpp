// Opening and closing sockets: the failure paths of Connect and Listen, where
// a UDP listener ends up bound, and which handles CloseSocket touches.

#include <optional>

#include "NetTestSupport.h"

namespace pm::net {
namespace {

using namespace testsupport;
using platform::WinSock;
using Strings = std::vector<std::string>;

using SocketOpen = SocketFixture;

TEST_F(SocketOpen, connect_to_unresolvable_host_closes_then_reports_server_not_found) {
    const std::size_t openBefore = stack.sockets().openCount();

    const std::int32_t result = sock.Connect(17, 29999, "no-such-host.invalid");

    EXPECT_EQ(result, 0);
    ASSERT_EQ(events.lines.size(), 2u) << dump(events.lines);
    // The handle of the socket that was made and given up on.
    const std::int32_t s = handleIn(events.lines[0]);
    EXPECT_EQ(events.lines, (Strings{Closed(s), Error(s, "connect error: server not found")}));
    EXPECT_EQ(sock.ConnectionCount(), 0);
    EXPECT_EQ(stack.sockets().openCount(), openBefore);
    settle();
    EXPECT_EQ(events.lines.size(), 2u) << "a closed socket still reported:" << dump(events.lines);
}

TEST_F(SocketOpen, socket_creation_failure_reports_create_error_without_a_handle) {
    stack.sockets().failNext(WinSock::Op::Socket, 10024);
    EXPECT_EQ(sock.Connect(17, 29999, "127.0.0.1"), 0);
    stack.sockets().failNext(WinSock::Op::Socket, 10055);
    EXPECT_EQ(sock.Listen(17, freePort(), "0"), 0);

    EXPECT_EQ(events.lines, (Strings{Error(-1, "create socket error: too many files open"),
                                     Error(-1, "create socket error: no buffer space available")}));
    EXPECT_EQ(sock.ConnectionCount(), 0);
}

TEST_F(SocketOpen, async_select_failure_reports_error_then_closes_the_socket) {
    stack.sockets().failNext(WinSock::Op::AsyncSelect, 10022);
    EXPECT_EQ(sock.Connect(17, 29999, "127.0.0.1"), 0);
    ASSERT_EQ(events.lines.size(), 2u) << dump(events.lines);
    const std::int32_t c = handleIn(events.lines[1]);

    stack.sockets().failNext(WinSock::Op::AsyncSelect, 10024);
    EXPECT_EQ(sock.Listen(17, freePort(), "0"), 0);
    ASSERT_EQ(events.lines.size(), 4u) << dump(events.lines);
    const std::int32_t l = handleIn(events.lines[3]);

    EXPECT_EQ(events.lines, (Strings{Error(c, "wsaasyncselect error: invalid argument"), Closed(c),
                                     Error(l, "wsaasyncselect error: too many files open"), Closed(l)}));
    EXPECT_FALSE(stack.sockets().isOpen(static_cast<platform::SOCKET>(c)));
    EXPECT_FALSE(stack.sockets().isOpen(static_cast<platform::SOCKET>(l)));
    EXPECT_EQ(sock.ConnectionCount(), 0);
}

TEST_F(SocketOpen, listen_on_a_port_in_use_raises_only_closed) {
    std::uint16_t port = 0;
    const std::int32_t first = openUdpListener(port);

    EXPECT_EQ(sock.Listen(17, port, "0"), 0);

    ASSERT_EQ(events.lines.size(), 1u) << dump(events.lines);
    const std::int32_t second = handleIn(events.lines[0]);
    EXPECT_NE(second, first);
    EXPECT_EQ(events.lines, Strings{Closed(second)});
    EXPECT_EQ(sock.ConnectionCount(), 1);
    EXPECT_TRUE(stack.sockets().isOpen(static_cast<platform::SOCKET>(first)));
    EXPECT_FALSE(stack.sockets().isOpen(static_cast<platform::SOCKET>(second)));
}

TEST_F(SocketOpen, injected_bind_failure_raises_only_closed) {
    stack.sockets().failNext(WinSock::Op::Bind, 10049);
    EXPECT_EQ(sock.Listen(17, freePort(), "0"), 0);
    ASSERT_EQ(events.lines.size(), 1u) << dump(events.lines);
    EXPECT_EQ(events.lines, Strings{Closed(handleIn(events.lines[0]))});
    EXPECT_EQ(sock.ConnectionCount(), 0);
}

TEST_F(SocketOpen, udp_listen_on_0_is_bound_to_every_address_and_receives) {
    const std::uint16_t port = freePort();
    const std::int32_t s = sock.Listen(17, port, "0");
    ASSERT_NE(s, 0);

    const std::optional<platform::SockAddrIn> bound = stack.sockets().localAddress(static_cast<platform::SOCKET>(s));
    ASSERT_TRUE(bound.has_value());
    EXPECT_EQ(bound->sin_addr.s_addr, 0u);
    EXPECT_EQ(platform::netToHost16(bound->sin_port), port);
    EXPECT_EQ(sock.ConnectionCount(), 1);

    UdpPeer peer;
    peer.sendTo(port, {7, 7});
    ASSERT_TRUE(runUntilEvent(Received(s, 2))) << dump(events.lines);
    // The listen() that a datagram socket refuses closed nothing.
    EXPECT_EQ(events.lines, (Strings{ReadyToSend(s), Received(s, 2)}));
}

TEST_F(SocketOpen, listen_on_a_given_address_binds_only_there) {
    const std::uint16_t port = freePort();
    const std::int32_t s = sock.Listen(17, port, "127.0.0.1");
    ASSERT_NE(s, 0);
    const std::optional<platform::SockAddrIn> bound = stack.sockets().localAddress(static_cast<platform::SOCKET>(s));
    ASSERT_TRUE(bound.has_value());
    EXPECT_EQ(bound->sin_addr.s_addr, ipv4("127.0.0.1"));
    EXPECT_EQ(platform::netToHost16(bound->sin_port), port);
}

TEST_F(SocketOpen, close_socket_always_raises_closed_but_closes_only_own_sockets) {
    // A handle nobody made, one made outside this object, and one owned by
    // another socket object on the same platform.
    const platform::SOCKET foreign = stack.sockets().socket(platform::AF_INET_W, platform::SOCK_DGRAM_W, 17);
    ASSERT_NE(foreign, platform::INVALID_SOCKET);
    EventRecorder otherEvents;
    okSocket other(stack.platform(), &otherEvents);
    ASSERT_TRUE(other.Initilize(stack.windows().CreateMessageWindow(), stack.platform().hook()));
    const std::int32_t theirs = other.Listen(17, freePort(), "0");
    ASSERT_NE(theirs, 0);
    std::uint16_t port = 0;
    const std::int32_t mine = openUdpListener(port);

    sock.CloseSocket(987654);
    sock.CloseSocket(static_cast<std::int32_t>(foreign));
    sock.CloseSocket(theirs);

    EXPECT_EQ(events.lines, (Strings{Closed(987654), Closed(static_cast<std::int32_t>(foreign)), Closed(theirs)}));
    EXPECT_TRUE(stack.sockets().isOpen(foreign));
    EXPECT_TRUE(stack.sockets().isOpen(static_cast<platform::SOCKET>(theirs)));
    EXPECT_EQ(other.ConnectionCount(), 1);
    EXPECT_EQ(sock.ConnectionCount(), 1);

    // Closing our own socket twice: closed once, reported twice.
    events.clear();
    sock.CloseSocket(mine);
    sock.CloseSocket(mine);
    EXPECT_EQ(events.lines, (Strings{Closed(mine), Closed(mine)}));
    EXPECT_FALSE(stack.sockets().isOpen(static_cast<platform::SOCKET>(mine)));
    EXPECT_EQ(sock.ConnectionCount(), 0);
    EXPECT_EQ(otherEvents.lines, Strings{ReadyToSend(theirs)}) << dump(otherEvents.lines);
    stack.sockets().closesocket(foreign);
}

TEST_F(SocketOpen, closing_a_middle_socket_keeps_the_others_working) {
    std::uint16_t p1 = 0, p2 = 0, p3 = 0;
    const std::int32_t a = openUdpListener(p1);
    const std::int32_t b = openUdpListener(p2);
    const std::int32_t c = openUdpListener(p3);
    sock.CloseSocket(b);
    ASSERT_EQ(sock.ConnectionCount(), 2);

    UdpPeer peer;
    peer.sendTo(p1, {1});
    peer.sendTo(p3, {3, 3, 3});
    ASSERT_TRUE(runUntilCount(3)) << dump(events.lines);
    settle();
    // Delivery order between two sockets is the loop's business; each
    // socket gets exactly its own datagram.
    EXPECT_EQ(events.lines[0], Closed(b));
    const Strings rest(events.lines.begin() + 1, events.lines.end());
    EXPECT_TRUE(rest == (Strings{Received(a, 1), Received(c, 3)}) ||
                rest == (Strings{Received(c, 3), Received(a, 1)}))
        << dump(events.lines);

    // The shifted table still finds the last socket for closing.
    events.clear();
    sock.Terminate();
    EXPECT_EQ(events.lines, (Strings{Closed(a), Closed(c)}));
}

} // namespace
} // namespace pm::net
