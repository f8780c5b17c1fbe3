// The socket interface over real loopback sockets: handles, error numbers and
// the message-notified readiness the socket object is built on.

#include "platform/WinSock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "LoopTestSupport.h"
#include "platform/Clock.h"
#include "platform/PollEventLoop.h"
#include "platform/WindowSystem.h"

namespace pm::platform {
namespace {

using namespace std::chrono_literals;
using testsupport::runUntil;
using testsupport::settle;

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Notice {
    SOCKET socket;
    long code;
    int error;
};

class Sockets : public ::testing::Test {
protected:
    SystemClock clock;
    PollEventLoop loop{clock};
    WindowSystem windows{loop};
    WinSock ws{loop, windows};
    HWND hWnd = 0;
    UINT msg = 0;
    std::vector<Notice> notices;

    void SetUp() override {
        ASSERT_EQ(ws.WSAStartup(0x0202), 0);
        hWnd = windows.CreateMessageWindow();
        msg = windows.RegisterWindowMessage("socket notices");
        windows.SetWindowProc(hWnd, makeWindowProc([this](HWND, UINT m, WPARAM wp, LPARAM lp) {
                                  if (m == msg) {
                                      notices.push_back({static_cast<SOCKET>(wp),
                                                         static_cast<long>(lp & 0xFFFF),
                                                         static_cast<int>((lp >> 16) & 0xFFFF)});
                                  }
                                  return LRESULT{0};
                              }));
    }

    int count(SOCKET s, long code) const {
        return static_cast<int>(std::count_if(notices.begin(), notices.end(), [&](const Notice& n) {
            return n.socket == s && n.code == code;
        }));
    }
    int countFor(SOCKET s) const {
        return static_cast<int>(
            std::count_if(notices.begin(), notices.end(), [&](const Notice& n) { return n.socket == s; }));
    }
    const Notice* first(SOCKET s, long code) const {
        for (const auto& n : notices) {
            if (n.socket == s && n.code == code) {
                return &n;
            }
        }
        return nullptr;
    }

    static SockAddrIn loopbackAddr(std::uint16_t port) {
        SockAddrIn a{};
        a.sin_family = AF_INET_W;
        a.sin_port = hostToNet16(port);
        a.sin_addr.s_addr = hostToNet32(kLoopback);
        return a;
    }
    SockAddrIn addrOf(SOCKET s) const {
        auto a = ws.localAddress(s);
        EXPECT_TRUE(a.has_value());
        return a.value_or(SockAddrIn{});
    }

    SOCKET udpBound() {
        const SOCKET s = ws.socket(AF_INET_W, SOCK_DGRAM_W, 17);
        EXPECT_NE(s, INVALID_SOCKET);
        EXPECT_EQ(ws.bind(s, loopbackAddr(0)), 0);
        return s;
    }
    // A UDP socket that listens for notifications the way a listen socket does.
    SOCKET udpSelected() {
        const SOCKET s = udpBound();
        EXPECT_EQ(ws.WSAAsyncSelect(s, hWnd, msg, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE), 0);
        return s;
    }
    void sendDatagram(SOCKET from, SOCKET to, std::size_t size, std::uint8_t fill = 0xAB) {
        const std::vector<std::uint8_t> bytes(size, fill);
        ASSERT_EQ(ws.sendto(from, bytes.data(), static_cast<int>(size), 0, addrOf(to)),
                  static_cast<int>(size));
    }
};

// --- start-up and handles --------------------------------------------------

TEST_F(Sockets, startup_is_counted_and_sockets_need_it) {
    WinSock fresh{loop, windows};
    EXPECT_EQ(fresh.socket(AF_INET_W, SOCK_DGRAM_W, 17), INVALID_SOCKET);
    EXPECT_EQ(fresh.WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(fresh.WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(fresh.WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(fresh.WSAStartup(0x0101), WSAVERNOTSUPPORTED);
    EXPECT_EQ(fresh.startupCount(), 0);

    EXPECT_EQ(fresh.WSAStartup(0x0202), 0);
    EXPECT_EQ(fresh.WSAStartup(0x0202), 0);
    EXPECT_EQ(fresh.WSACleanup(), 0);
    const SOCKET s = fresh.socket(AF_INET_W, SOCK_DGRAM_W, 17);
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(fresh.closesocket(s), 0);
}

TEST_F(Sockets, closesocket_of_an_unknown_handle_fails_and_closes_nothing) {
    const SOCKET a = udpBound();
    const SOCKET b = udpBound();
    EXPECT_EQ(ws.closesocket(b + 1000), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(ws.closesocket(INVALID_SOCKET), SOCKET_ERROR);
    EXPECT_EQ(ws.closesocket(0), SOCKET_ERROR);
    EXPECT_TRUE(ws.isOpen(a));
    EXPECT_TRUE(ws.isOpen(b));
    EXPECT_EQ(ws.openCount(), 2u);
    sendDatagram(a, b, 3); // both still work

    EXPECT_EQ(ws.closesocket(a), 0);
    EXPECT_EQ(ws.closesocket(a), SOCKET_ERROR); // twice is once too many
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOTSOCK);
    EXPECT_TRUE(ws.isOpen(b));
}

TEST_F(Sockets, handles_are_not_reused_even_when_the_descriptor_is) {
    const SOCKET old = udpBound();
    const int oldFd = ws.nativeFd(old);
    ASSERT_EQ(ws.closesocket(old), 0);
    const SOCKET fresh = udpBound();
    EXPECT_NE(fresh, old);
    // The kernel hands the lowest free descriptor back; the handle must differ anyway.
    EXPECT_EQ(ws.nativeFd(fresh), oldFd);

    // A stale handle reaches nothing.
    std::uint8_t buf[8] = {};
    EXPECT_EQ(ws.recv(old, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(ws.sendto(old, buf, 1, 0, loopbackAddr(9)), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(ws.closesocket(old), SOCKET_ERROR);
    EXPECT_TRUE(ws.isOpen(fresh));
    EXPECT_EQ(ws.nativeFd(fresh), oldFd);
}

TEST_F(Sockets, bind_on_a_port_in_use_fails_with_address_in_use) {
    const SOCKET first = udpBound();
    const std::uint16_t port = netToHost16(addrOf(first).sin_port);
    const SOCKET second = ws.socket(AF_INET_W, SOCK_DGRAM_W, 17);
    EXPECT_EQ(ws.bind(second, loopbackAddr(port)), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_TRUE(ws.isOpen(second)); // the caller decides whether to close it
}

TEST_F(Sockets, listen_on_a_datagram_socket_fails_and_leaves_it_bound) {
    const SOCKET s = udpSelected();
    EXPECT_EQ(ws.listen(s, 5), SOCKET_ERROR);
    EXPECT_NE(ws.WSAGetLastError(), 0);
    const SOCKET peer = udpBound();
    sendDatagram(peer, s, 4);
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_READ) == 1; }));
}

TEST_F(Sockets, async_select_checks_the_socket_and_the_window) {
    const SOCKET s = udpBound();
    EXPECT_EQ(ws.WSAAsyncSelect(s + 1000, hWnd, msg, FD_READ), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(ws.WSAAsyncSelect(s, 0x7777777, msg, FD_READ), SOCKET_ERROR);
    EXPECT_NE(ws.WSAGetLastError(), 0);
    loop.drain();
    EXPECT_TRUE(notices.empty());
}

// --- UDP notifications -----------------------------------------------------

TEST_F(Sockets, udp_write_notice_once_after_registration) {
    const SOCKET s = udpSelected();
    EXPECT_TRUE(notices.empty()); // posted, not sent from inside the call
    settle(loop);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].socket, s);
    EXPECT_EQ(notices[0].code, FD_WRITE);
    EXPECT_EQ(notices[0].error, 0);
}

TEST_F(Sockets, udp_read_notice_waits_for_recv_before_repeating) {
    const SOCKET s = udpSelected();
    const SOCKET peer = udpBound();
    sendDatagram(peer, s, 10, 1);
    sendDatagram(peer, s, 20, 2);
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_READ) == 1; }));
    settle(loop);
    EXPECT_EQ(count(s, FD_READ), 1); // two datagrams, one notice

    std::uint8_t buf[4096];
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 10);
    EXPECT_EQ(buf[0], 1);
    // Data is still waiting after the recv: say so again, once.
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_READ) == 2; }));
    settle(loop);
    EXPECT_EQ(count(s, FD_READ), 2);

    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 20);
    EXPECT_EQ(buf[0], 2);
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    settle(loop);
    EXPECT_EQ(count(s, FD_READ), 2);
    EXPECT_EQ(count(s, FD_WRITE), 1);
    EXPECT_EQ(countFor(s), 3);
}

TEST_F(Sockets, udp_dgram_too_big_fails_with_message_size_and_is_consumed) {
    const SOCKET s = udpSelected();
    const SOCKET peer = udpBound();
    sendDatagram(peer, s, 5000, 9);
    sendDatagram(peer, s, 7, 3);
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_READ) == 1; }));

    std::vector<std::uint8_t> buf(4096);
    EXPECT_EQ(ws.recv(s, buf.data(), 4096, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEMSGSIZE);
    // The oversized datagram is gone: the next read is the next datagram.
    EXPECT_EQ(ws.recv(s, buf.data(), 4096, 0), 7);
    EXPECT_EQ(buf[0], 3);
}

TEST_F(Sockets, udp_dgram_of_exactly_the_buffer_size_is_not_too_big) {
    const SOCKET s = udpSelected();
    const SOCKET peer = udpBound();
    sendDatagram(peer, s, 4096);
    sendDatagram(peer, s, 4097);
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_READ) == 1; }));
    std::vector<std::uint8_t> buf(4096);
    EXPECT_EQ(ws.recv(s, buf.data(), 4096, 0), 4096);
    EXPECT_EQ(ws.recv(s, buf.data(), 4096, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEMSGSIZE);
}

TEST_F(Sockets, udp_zero_length_dgram_is_notified_and_reads_as_zero) {
    const SOCKET s = udpSelected();
    const SOCKET peer = udpBound();
    std::uint8_t none = 0;
    ASSERT_EQ(ws.sendto(peer, &none, 0, 0, addrOf(s)), 0);
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_READ) == 1; }));
    std::uint8_t buf[16];
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 0);
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(Sockets, udp_write_notice_again_after_a_send_that_would_block) {
    const SOCKET s = udpSelected();
    const SOCKET peer = udpBound();
    settle(loop);
    ASSERT_EQ(count(s, FD_WRITE), 1);

    ws.failNext(WinSock::Op::Send, WSAEWOULDBLOCK);
    std::uint8_t b = 1;
    EXPECT_EQ(ws.sendto(s, &b, 1, 0, addrOf(peer)), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_WRITE) == 2; }));
    settle(loop);
    EXPECT_EQ(count(s, FD_WRITE), 2);
    // The injected failure was for one call only.
    EXPECT_EQ(ws.sendto(s, &b, 1, 0, addrOf(peer)), 1);
}

TEST_F(Sockets, injected_failures_hit_the_next_call_only) {
    ws.failNext(WinSock::Op::Socket, 10024);
    EXPECT_EQ(ws.socket(AF_INET_W, SOCK_DGRAM_W, 17), INVALID_SOCKET);
    EXPECT_EQ(ws.WSAGetLastError(), 10024);
    const SOCKET s = udpBound();

    ws.failNext(WinSock::Op::AsyncSelect, 10022);
    EXPECT_EQ(ws.WSAAsyncSelect(s, hWnd, msg, FD_READ | FD_WRITE), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), 10022);
    EXPECT_EQ(ws.WSAAsyncSelect(s, hWnd, msg, FD_READ | FD_WRITE), 0);

    ws.failNext(WinSock::Op::Bind, WSAEADDRINUSE);
    const SOCKET t = ws.socket(AF_INET_W, SOCK_DGRAM_W, 17);
    EXPECT_EQ(ws.bind(t, loopbackAddr(0)), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_EQ(ws.bind(t, loopbackAddr(0)), 0);

    const SOCKET peer = udpBound();
    sendDatagram(peer, s, 5);
    ASSERT_TRUE(runUntil(loop, [&] { return count(s, FD_READ) == 1; }));
    ws.failNext(WinSock::Op::Recv, WSAECONNRESET);
    std::uint8_t buf[16];
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 5);

    ws.failNext(WinSock::Op::Startup, WSASYSNOTREADY);
    EXPECT_EQ(ws.WSAStartup(0x0202), WSASYSNOTREADY);
    EXPECT_EQ(ws.WSAStartup(0x0202), 0);
}

TEST_F(Sockets, queued_notice_of_a_socket_closed_meanwhile_is_not_delivered) {
    const SOCKET closed = udpSelected(); // its FD_WRITE is queued now
    const SOCKET kept = udpSelected();
    const SOCKET peer = udpBound();
    sendDatagram(peer, closed, 4);
    loop.runOnce(0ms); // delivers the write notices, queues the read notice
    ASSERT_EQ(count(closed, FD_WRITE), 1);
    ASSERT_EQ(count(closed, FD_READ), 0);

    ASSERT_EQ(ws.closesocket(closed), 0);
    sendDatagram(peer, kept, 4);
    ASSERT_TRUE(runUntil(loop, [&] { return count(kept, FD_READ) == 1; }));
    settle(loop);
    EXPECT_EQ(countFor(closed), 1);

    // The same for a notice queued by the registration itself.
    const SOCKET brief = udpSelected();
    ASSERT_EQ(ws.closesocket(brief), 0);
    settle(loop);
    EXPECT_EQ(countFor(brief), 0);
}

TEST_F(Sockets, async_select_with_no_events_stops_notices_without_spinning) {
    const SOCKET s = udpSelected();
    settle(loop);
    ASSERT_EQ(count(s, FD_WRITE), 1);
    ASSERT_EQ(ws.WSAAsyncSelect(s, hWnd, msg, 0), 0);
    const SOCKET peer = udpBound();
    sendDatagram(peer, s, 4);
    settle(loop);
    EXPECT_EQ(countFor(s), 1);
    // Unread data on a socket nobody wants notices for must not wake the loop.
    const auto start = std::chrono::steady_clock::now();
    loop.runOnce(200ms);
    EXPECT_GE(testsupport::elapsedSince(start), 150ms);
}

TEST(SocketsLifetime, notice_queued_when_the_socket_layer_is_destroyed_is_dropped) {
    SystemClock clock;
    PollEventLoop loop{clock};
    WindowSystem windows{loop};
    int delivered = 0;
    const HWND h = windows.CreateMessageWindow();
    windows.SetWindowProc(h, makeWindowProc([&](HWND, UINT, WPARAM, LPARAM) {
                              ++delivered;
                              return LRESULT{0};
                          }));
    {
        auto ws = std::make_unique<WinSock>(loop, windows);
        ASSERT_EQ(ws->WSAStartup(0x0202), 0);
        const SOCKET s = ws->socket(AF_INET_W, SOCK_DGRAM_W, 17);
        ASSERT_EQ(ws->WSAAsyncSelect(s, h, 0xC000, FD_READ | FD_WRITE), 0); // queues FD_WRITE
    }
    loop.drain();
    EXPECT_EQ(delivered, 0);
}

// --- TCP notifications -----------------------------------------------------

class TcpSockets : public Sockets {
protected:
    SOCKET tcp() {
        const SOCKET s = ws.socket(AF_INET_W, SOCK_STREAM_W, 6);
        EXPECT_NE(s, INVALID_SOCKET);
        return s;
    }
    SOCKET listener() {
        const SOCKET s = tcp();
        EXPECT_EQ(ws.WSAAsyncSelect(s, hWnd, msg, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE), 0);
        EXPECT_EQ(ws.bind(s, loopbackAddr(0)), 0);
        EXPECT_EQ(ws.listen(s, 5), 0);
        return s;
    }
    SOCKET connector() {
        const SOCKET s = tcp();
        EXPECT_EQ(ws.WSAAsyncSelect(s, hWnd, msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
        return s;
    }
    // Connects a fresh client to a fresh listener and accepts it.
    void connectedPair(SOCKET& client, SOCKET& server) {
        const SOCKET l = listener();
        client = connector();
        const int rc = ws.connect(client, addrOf(l));
        ASSERT_TRUE(rc == 0 || ws.WSAGetLastError() == WSAEWOULDBLOCK);
        ASSERT_TRUE(
            runUntil(loop, [&] { return count(client, FD_CONNECT) == 1 && count(l, FD_ACCEPT) == 1; }));
        server = ws.accept(l, nullptr);
        ASSERT_NE(server, INVALID_SOCKET);
        ASSERT_EQ(ws.WSAAsyncSelect(server, hWnd, msg, FD_READ | FD_WRITE | FD_CLOSE), 0);
    }
};

TEST_F(TcpSockets, listen_and_connect_give_accept_and_connect_notices) {
    const SOCKET l = listener();
    const SOCKET c = connector();
    EXPECT_EQ(ws.connect(c, addrOf(l)), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(runUntil(loop, [&] { return count(c, FD_CONNECT) == 1 && count(l, FD_ACCEPT) == 1; }));
    settle(loop);
    EXPECT_EQ(first(c, FD_CONNECT)->error, 0);
    EXPECT_EQ(count(l, FD_ACCEPT), 1); // once until accept() is called
    EXPECT_EQ(count(c, FD_WRITE), 1);  // a connected socket can be written
    EXPECT_EQ(countFor(c), 2);
    EXPECT_EQ(countFor(l), 1);

    SockAddrIn peer{};
    const SOCKET a = ws.accept(l, &peer);
    ASSERT_NE(a, INVALID_SOCKET);
    EXPECT_NE(a, l);
    EXPECT_NE(a, c);
    EXPECT_EQ(peer.sin_addr.s_addr, hostToNet32(kLoopback));
    EXPECT_EQ(peer.sin_port, addrOf(c).sin_port);

    // Nothing else waiting: accept says so, and FD_ACCEPT is armed again.
    EXPECT_EQ(ws.accept(l, nullptr), INVALID_SOCKET);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    const SOCKET c2 = connector();
    ws.connect(c2, addrOf(l));
    ASSERT_TRUE(runUntil(loop, [&] { return count(l, FD_ACCEPT) == 2; }));
}

TEST_F(TcpSockets, stream_data_and_peer_close_give_read_then_close) {
    SOCKET client = 0;
    SOCKET server = 0;
    connectedPair(client, server);
    const std::uint8_t hello[] = {'h', 'i'};
    ASSERT_EQ(ws.sendto(client, hello, 2, 0, SockAddrIn{}), 2);
    ASSERT_TRUE(runUntil(loop, [&] { return count(server, FD_READ) == 1; }));
    std::uint8_t buf[16];
    ASSERT_EQ(ws.recv(server, buf, sizeof buf, 0), 2);
    EXPECT_EQ(buf[0], 'h');

    ASSERT_EQ(ws.closesocket(client), 0);
    ASSERT_TRUE(runUntil(loop, [&] { return count(server, FD_CLOSE) == 1; }));
    settle(loop);
    EXPECT_EQ(first(server, FD_CLOSE)->error, 0);
    EXPECT_EQ(count(server, FD_CLOSE), 1);
    EXPECT_EQ(count(server, FD_READ), 1);
    EXPECT_EQ(ws.recv(server, buf, sizeof buf, 0), 0);
}

TEST_F(TcpSockets, refused_connection_gives_one_connect_notice_with_the_error) {
    // A bound socket that does not listen: the kernel refuses connections to it.
    const SOCKET closedPort = tcp();
    ASSERT_EQ(ws.bind(closedPort, loopbackAddr(0)), 0);
    const SOCKET c = connector();
    const int rc = ws.connect(c, addrOf(closedPort));
    ASSERT_EQ(rc, SOCKET_ERROR);
    ASSERT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(runUntil(loop, [&] { return count(c, FD_CONNECT) == 1; }));
    settle(loop);
    EXPECT_EQ(count(c, FD_CONNECT), 1);
    EXPECT_EQ(first(c, FD_CONNECT)->error, WSAECONNREFUSED);
    EXPECT_EQ(notices.front().code, FD_CONNECT); // nothing about c before it
    // A connection that never existed cannot be written to.
    EXPECT_EQ(count(c, FD_WRITE), 0);
    EXPECT_EQ(count(c, FD_READ), 0);
}

TEST_F(TcpSockets, registration_before_connect_is_quiet_until_the_connection_exists) {
    const SOCKET l = listener();
    const SOCKET c = connector();
    settle(loop); // an unconnected stream socket has nothing to report
    EXPECT_EQ(countFor(c), 0);

    ws.connect(c, addrOf(l));
    ASSERT_TRUE(runUntil(loop, [&] { return count(c, FD_CONNECT) == 1 && count(l, FD_ACCEPT) == 1; }));
    const SOCKET a = ws.accept(l, nullptr);
    ASSERT_NE(a, INVALID_SOCKET);
    const std::uint8_t byte = 7;
    ASSERT_EQ(ws.sendto(a, &byte, 1, 0, SockAddrIn{}), 1);
    ASSERT_TRUE(runUntil(loop, [&] { return count(c, FD_READ) == 1; }));
    EXPECT_EQ(count(c, FD_CLOSE), 0);
}

TEST_F(TcpSockets, select_reply_packs_the_error_above_the_code) {
    EXPECT_EQ(makeSelectReply(FD_CONNECT, WSAECONNREFUSED), static_cast<LPARAM>((10061u << 16) | 16u));
    EXPECT_EQ(makeSelectReply(FD_READ, 0), 1);
    EXPECT_EQ(makeSelectReply(FD_CLOSE, WSAECONNRESET) & 0xFFFF, FD_CLOSE);
}

// --- addresses, names and error numbers ------------------------------------

TEST(SocketNames, inet_addr_parses_dotted_text_in_network_order) {
    EXPECT_EQ(WinSock::inet_addr("0"), 0u);
    EXPECT_EQ(WinSock::inet_addr("0.0.0.0"), 0u);
    EXPECT_EQ(WinSock::inet_addr(""), INADDR_NONE_W);
    EXPECT_EQ(WinSock::inet_addr("127.0.0.1"), hostToNet32(kLoopback));
    EXPECT_EQ(WinSock::inet_addr("192.168.1.20"), hostToNet32(0xC0A80114));
    EXPECT_EQ(WinSock::inet_addr("localhost"), INADDR_NONE_W);
    EXPECT_EQ(WinSock::inet_addr("1.2.3.256"), INADDR_NONE_W);
    EXPECT_EQ(WinSock::inet_addr("1.2.3.4x"), INADDR_NONE_W);
    EXPECT_EQ(WinSock::inet_ntoa(hostToNet32(0xC0A80114)), "192.168.1.20");
    EXPECT_EQ(WinSock::inet_ntoa(WinSock::inet_addr("10.0.0.255")), "10.0.0.255");
}

TEST_F(Sockets, gethostbyname_finds_localhost_and_reports_unknown_hosts) {
    const auto local = ws.gethostbyname("localhost");
    ASSERT_FALSE(local.empty());
    EXPECT_NE(std::find(local.begin(), local.end(), hostToNet32(kLoopback)), local.end());

    const auto dotted = ws.gethostbyname("127.0.0.1");
    ASSERT_EQ(dotted.size(), 1u);
    EXPECT_EQ(dotted[0], hostToNet32(kLoopback));

    ws.WSASetLastError(0);
    EXPECT_TRUE(ws.gethostbyname("no-such-host.invalid").empty());
    EXPECT_EQ(ws.WSAGetLastError(), WSAHOST_NOT_FOUND);
    ws.WSASetLastError(0);
    EXPECT_TRUE(ws.gethostbyname("").empty());
    EXPECT_EQ(ws.WSAGetLastError(), WSAHOST_NOT_FOUND);
}

} // namespace
} // namespace pm::platform
