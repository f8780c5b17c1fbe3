// Sending on a UDP socket: what reaches the peer, the progress events, the
// start position, and the two failure paths (would block, hard error).

#include "NetTestSupport.h"

namespace pm::net {
namespace {

using namespace testsupport;
using platform::WinSock;
using Strings = std::vector<std::string>;

class SocketSend : public SocketFixture {
protected:
    UdpPeer peer;
    std::int32_t s = 0;

    void SetUp() override {
        SocketFixture::SetUp();
        s = openUdpSender(peer);
    }

    // Nothing more arrives at the peer within a short while.
    void expectPeerQuiet() {
        const auto extra = peer.receive(std::chrono::milliseconds(50));
        EXPECT_FALSE(extra.has_value()) << "unexpected datagram of " << extra->size() << " bytes";
    }
};

TEST_F(SocketSend, payload_up_to_a_chunk_arrives_as_one_datagram) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{300}, std::size_t{8192}}) {
        events.clear();
        const Bytes data = pattern(n, 7);
        sock.Send(s, data, 0);
        EXPECT_EQ(events.lines, Strings{DataSent(s, static_cast<std::int32_t>(n))});
        const auto got = peer.receive();
        ASSERT_TRUE(got.has_value()) << n;
        EXPECT_EQ(*got, data) << n;
    }
    expectPeerQuiet();
}

TEST_F(SocketSend, payload_over_a_chunk_is_split_into_datagrams_of_at_most_8192) {
    const Bytes data = pattern(8193, 3);
    sock.Send(s, data, 0);
    EXPECT_EQ(events.lines, (Strings{DataSent(s, 8192), DataSent(s, 8193)}));
    const auto first = peer.receive();
    const auto second = peer.receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, Bytes(data.begin(), data.begin() + 8192));
    EXPECT_EQ(*second, Bytes{data.back()});
    expectPeerQuiet();
}

TEST_F(SocketSend, start_position_sends_the_rest_and_reports_the_end) {
    const Bytes data{'a', 'b', 'c', 'd', 'e', 'f'};
    sock.Send(s, data, 2);
    EXPECT_EQ(events.lines, Strings{DataSent(s, 6)});
    const auto got = peer.receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, (Bytes{'c', 'd', 'e', 'f'}));
    sock.Send(s, data, 5);
    EXPECT_EQ(peer.receive(), std::optional<Bytes>(Bytes{'f'}));
}

TEST_F(SocketSend, start_outside_the_data_sends_nothing_and_raises_nothing) {
    const Bytes data{1, 2, 3};
    for (const std::int32_t start : {3, 4, 100000, -1, -5}) {
        sock.Send(s, data, start);
    }
    sock.Send(s, Bytes{}, 0);
    EXPECT_TRUE(events.lines.empty()) << dump(events.lines);
    expectPeerQuiet();
    EXPECT_EQ(sock.ConnectionCount(), 1);
}

TEST_F(SocketSend, send_on_a_socket_not_in_the_table_raises_closed_only) {
    sock.Send(424242, Bytes{1, 2}, 0);
    EXPECT_EQ(events.lines, Strings{Closed(424242)});
    expectPeerQuiet();
}

TEST_F(SocketSend, send_failure_reports_the_error_then_closes) {
    stack.sockets().failNext(WinSock::Op::Send, platform::WSAECONNRESET);
    sock.Send(s, Bytes{1, 2, 3}, 0);
    EXPECT_EQ(events.lines, (Strings{Error(s, "send error: connection reset by peer"), Closed(s)}));
    EXPECT_EQ(sock.ConnectionCount(), 0);
    EXPECT_FALSE(stack.sockets().isOpen(static_cast<platform::SOCKET>(s)));

    // The handle is gone from the table: a later send only reports the close.
    events.clear();
    sock.Send(s, Bytes{1}, 0);
    EXPECT_EQ(events.lines, Strings{Closed(s)});
    expectPeerQuiet();
}

// An ICMP answer to an earlier datagram costs that datagram, never the socket:
// the host that refused while starting up must hear the next try.
TEST_F(SocketSend, udp_refused_or_unreachable_loses_the_datagram_and_keeps_the_socket) {
    for (const int error : {platform::WSAECONNREFUSED, platform::WSAEHOSTUNREACH, platform::WSAENETUNREACH}) {
        events.clear();
        stack.sockets().failNext(WinSock::Op::Send, error);
        sock.Send(s, Bytes{1, 2, 3}, 0);
        EXPECT_TRUE(events.lines.empty()) << error << ": " << dump(events.lines);
        EXPECT_TRUE(stack.sockets().isOpen(static_cast<platform::SOCKET>(s))) << error;
        sock.Send(s, Bytes{4}, 0);
        EXPECT_EQ(peer.receive(), std::optional<Bytes>(Bytes{4})) << error;
    }
}

// A vote's datagrams leave in one batch: each arrives whole and in order,
// and each is reported. A refusal at the batch's start is an ICMP answer to
// an earlier datagram, not to these: the first is sent again alone.
TEST_F(SocketSend, a_batch_of_datagrams_arrives_whole_in_order_and_each_is_reported) {
    for (const bool firstRefused : {false, true}) {
        SCOPED_TRACE(firstRefused ? "first refused" : "all go");
        events.clear();
        std::vector<Bytes> batch;
        for (std::size_t k = 0; k < 200; ++k) { // more than one system call's worth
            batch.push_back(pattern(4 + k % 120, static_cast<std::uint8_t>(k)));
        }
        if (firstRefused) {
            stack.sockets().failNext(WinSock::Op::Send, platform::WSAECONNREFUSED);
        }
        sock.SendMany(s, batch);
        Strings reported;
        for (std::size_t k = 0; k < batch.size(); ++k) {
            reported.push_back(DataSent(s, static_cast<std::int32_t>(batch[k].size())));
        }
        EXPECT_EQ(events.lines, reported);
        for (std::size_t k = 0; k < batch.size(); ++k) {
            ASSERT_EQ(peer.receive(), std::optional<Bytes>(batch[k])) << k;
        }
        expectPeerQuiet();
    }
}

TEST_F(SocketSend, would_block_reports_minus_one_and_writable_comes_later) {
    stack.sockets().failNext(WinSock::Op::Send, platform::WSAEWOULDBLOCK);
    sock.Send(s, pattern(20000), 0);
    EXPECT_EQ(events.lines, Strings{DataSent(s, -1)});
    expectPeerQuiet();

    // The rest is not kept: the owner resends when told it may write.
    events.clear();
    ASSERT_TRUE(runUntilEvent(ReadyToSend(s))) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, Strings{ReadyToSend(s)});
    events.clear();
    sock.Send(s, Bytes{5, 6}, 0);
    EXPECT_EQ(events.lines, Strings{DataSent(s, 2)});
    EXPECT_EQ(peer.receive(), std::optional<Bytes>(Bytes{5, 6}));
    EXPECT_EQ(sock.ConnectionCount(), 1);
}

TEST_F(SocketSend, connect_by_host_name_sends_to_the_resolved_address) {
    const std::int32_t named = sock.Connect(17, peer.port(), "localhost");
    ASSERT_NE(named, 0);
    events.clear();
    sock.Send(named, Bytes{'h', 'i'}, 0);
    EXPECT_EQ(events.lines, Strings{DataSent(named, 2)});
    EXPECT_EQ(peer.receive(), std::optional<Bytes>(Bytes{'h', 'i'}));
}

TEST_F(SocketSend, peer_reply_to_the_sending_socket_is_received_there) {
    sock.Send(s, Bytes{'p', 'i', 'n', 'g'}, 0);
    // The peer answers to wherever the datagram came from.
    const auto local = stack.sockets().localAddress(static_cast<platform::SOCKET>(s));
    ASSERT_TRUE(local.has_value());
    ASSERT_TRUE(peer.receive().has_value());
    events.clear();
    peer.sendTo(platform::netToHost16(local->sin_port), {'p', 'o', 'n', 'g'});
    ASSERT_TRUE(runUntilCount(1)) << dump(events.lines);
    settle();
    EXPECT_EQ(events.lines, Strings{Received(s, 4)});
    EXPECT_EQ(events.payloads, (std::vector<Bytes>{Bytes{'p', 'o', 'n', 'g'}}));
}

} // namespace
} // namespace pm::net
