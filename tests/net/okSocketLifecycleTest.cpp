// Starting, stopping and destroying the socket object: what it registers,
// what it closes, and that nothing reaches it once it is gone.

#include <memory>

#include "NetTestSupport.h"

namespace pm::net {
namespace {

using namespace testsupport;
using platform::WinSock;
using Strings = std::vector<std::string>;

using SocketLifecycle = SocketFixture;

TEST_F(SocketLifecycle, initilize_twice_is_a_no_op_that_returns_true) {
    const platform::UINT id = sock.MessageId();
    const platform::UINT before = stack.windows().RegisterWindowMessage("probe before");

    EXPECT_TRUE(sock.Initilize(window, stack.platform().hook()));

    EXPECT_EQ(stack.windows().RegisterWindowMessage("probe after"), before + 1)
        << "a second message was registered";
    EXPECT_EQ(sock.MessageId(), id);
    EXPECT_EQ(stack.platform().hook().MessageCount(window, platform::cWndHook::WHEN_BEFORE), 1);
    EXPECT_EQ(stack.sockets().startupCount(), 1);
    EXPECT_TRUE(dialogsShown().empty());
    EXPECT_TRUE(events.lines.empty());
}

TEST(SocketStartup, failed_startup_returns_false_and_leaves_the_object_unused) {
    platform::PlatformStack stack;
    const platform::HWND window = stack.windows().CreateMessageWindow();
    EventRecorder events;
    okSocket sock(stack.platform(), &events);

    stack.sockets().failNext(WinSock::Op::Startup, platform::WSASYSNOTREADY);
    EXPECT_FALSE(sock.Initilize(window, stack.platform().hook()));
    EXPECT_FALSE(sock.Initialized());
    EXPECT_EQ(sock.MessageId(), 0u);
    EXPECT_EQ(sock.hWnd(), 0u);
    EXPECT_EQ(stack.sockets().startupCount(), 0);
    EXPECT_FALSE(stack.platform().hook().IsSubclassed(window));
    EXPECT_TRUE(events.lines.empty());

    // The failure is not remembered: the next attempt starts normally.
    EXPECT_TRUE(sock.Initilize(window, stack.platform().hook()));
    EXPECT_TRUE(stack.platform().hook().IsSubclassed(window));
    EXPECT_EQ(stack.sockets().startupCount(), 1);
}

TEST_F(SocketLifecycle, terminate_closes_each_socket_once_in_creation_order) {
    UdpPeer peer;
    const std::int32_t a = sock.Listen(17, freePort(), "0");
    const std::int32_t b = sock.Connect(17, peer.port(), "127.0.0.1");
    const std::int32_t c = sock.Listen(6, freePort(kStream), "127.0.0.1");
    ASSERT_TRUE(a != 0 && b != 0 && c != 0);
    ASSERT_EQ(sock.ConnectionCount(), 3);
    events.clear();

    sock.Terminate();

    EXPECT_EQ(events.lines, (Strings{Closed(a), Closed(b), Closed(c)}));
    EXPECT_EQ(sock.ConnectionCount(), 0);
    EXPECT_FALSE(sock.Initialized());
    EXPECT_EQ(sock.MessageId(), 0u);
    EXPECT_EQ(sock.hWnd(), 0u);
    EXPECT_EQ(stack.sockets().openCount(), 0u);
    EXPECT_EQ(stack.sockets().startupCount(), 0);

    // The notices queued for those sockets (writable after registration)
    // die with them; a second Terminate does nothing.
    events.clear();
    settle();
    sock.Terminate();
    EXPECT_TRUE(events.lines.empty()) << dump(events.lines);
    EXPECT_EQ(stack.sockets().startupCount(), 0);
}

TEST_F(SocketLifecycle, initilize_after_terminate_receives_again) {
    sock.Terminate();
    ASSERT_TRUE(sock.Initilize(window, stack.platform().hook()));
    EXPECT_TRUE(dialogsShown().empty())
        << "re-hooking the same window must not complain";

    std::uint16_t port = 0;
    const std::int32_t s = openUdpListener(port);
    UdpPeer peer;
    peer.sendTo(port, {1, 2, 3});
    ASSERT_TRUE(runUntilCount(1)) << dump(events.lines);
    EXPECT_EQ(events.lines, Strings{Received(s, 3)});
    EXPECT_EQ(events.payloads, (std::vector<Bytes>{{1, 2, 3}}));
}

TEST(SocketDestruction, destroying_closes_sockets_and_releases_the_window) {
    platform::PlatformStack stack;
    const platform::HWND window = stack.windows().CreateMessageWindow();
    EventRecorder events;
    auto sock = std::make_unique<okSocket>(stack.platform(), &events);
    ASSERT_TRUE(sock->Initilize(window, stack.platform().hook()));
    const std::uint16_t port = freePort();
    const std::int32_t s = sock->Listen(17, port, "0");
    ASSERT_NE(s, 0);
    const platform::UINT id = sock->MessageId();
    UdpPeer peer;
    peer.sendTo(port, {9});
    stack.loop().runOnce(std::chrono::milliseconds(0)); // readiness seen, notice queued
    events.clear();

    sock.reset();

    EXPECT_EQ(stack.sockets().openCount(), 0u);
    EXPECT_EQ(stack.sockets().startupCount(), 0);
    EXPECT_FALSE(stack.platform().hook().IsSubclassed(window));
    // Whatever still arrives under the old message number reaches nobody.
    stack.windows().PostMessage(window, id, static_cast<platform::WPARAM>(s),
                                platform::makeSelectReply(platform::FD_READ, 0));
    platform::testsupport::settle(stack.loop());
    EXPECT_TRUE(events.lines.empty()) << dump(events.lines);

    // The window is free for a new owner.
    okSocket next(stack.platform(), &events);
    EXPECT_TRUE(next.Initilize(window, stack.platform().hook()));
    EXPECT_TRUE(dialogsShown(stack).empty());
}

TEST(SocketDestruction, handler_that_destroys_the_object_mid_drain_ends_delivery) {
    platform::PlatformStack stack;
    const platform::HWND window = stack.windows().CreateMessageWindow();
    EventRecorder events;
    auto sock = std::make_unique<okSocket>(stack.platform(), &events);
    ASSERT_TRUE(sock->Initilize(window, stack.platform().hook()));
    const std::uint16_t port = freePort();
    const std::int32_t s = sock->Listen(17, port, "0");
    ASSERT_NE(s, 0);
    platform::testsupport::settle(stack.loop());
    events.clear();

    events.onReceived = [&](std::int32_t, std::span<const std::uint8_t>) { sock.reset(); };
    UdpPeer peer;
    peer.sendTo(port, {1});
    peer.sendTo(port, {2, 2});
    peer.sendTo(port, {3, 3, 3});

    ASSERT_TRUE(platform::testsupport::runUntil(stack.loop(), [&] { return sock == nullptr; }))
        << dump(events.lines);
    platform::testsupport::settle(stack.loop());
    EXPECT_EQ(events.lines, Strings{Received(s, 1)});
    EXPECT_EQ(stack.sockets().openCount(), 0u);
    EXPECT_FALSE(stack.platform().hook().IsSubclassed(window));
}

} // namespace
} // namespace pm::net
