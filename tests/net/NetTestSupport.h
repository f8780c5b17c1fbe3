#pragma once
// Shared pieces of the socket-object tests: an event recorder that writes
// every event as one line, plain system-socket peers on loopback, and a fixture that
// owns a platform, a message window and one initialised socket object.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/okSocket.h"
#include "platform/LoopTestSupport.h"
#include "platform/Platform.h"
#include "platform/SysSocket.h"

namespace pm::net::testsupport {

using Bytes = std::vector<std::uint8_t>;

inline std::string H(std::int32_t handle) { return std::to_string(handle); }
inline std::string Closed(std::int32_t s) { return "Closed(" + H(s) + ")"; }
inline std::string Connected(std::int32_t s) { return "Connected(" + H(s) + ")"; }
inline std::string ReadyToSend(std::int32_t s) { return "ReadyToSend(" + H(s) + ")"; }
inline std::string DataSent(std::int32_t s, std::int32_t total) {
    return "DataSent(" + H(s) + ", " + H(total) + ")";
}
inline std::string Received(std::int32_t s, std::int32_t length) {
    return "Received(" + H(s) + ", " + H(length) + ")";
}
inline std::string Error(std::int32_t s, const std::string& text) {
    return "Error(" + H(s) + ", " + text + ")";
}
inline std::string Accepted(std::int32_t s, const std::string& addr, std::int32_t port) {
    return "Accepted(" + H(s) + ", " + addr + ", " + H(port) + ")";
}

// The socket handle an event line names, for sockets whose handle the
// operation that made them never returned.
inline std::int32_t handleIn(const std::string& line) {
    const auto open = line.find('(');
    return open == std::string::npos ? 0 : std::stoi(line.substr(open + 1));
}

inline Bytes pattern(std::size_t n, std::uint8_t seed = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>((i * 31 + seed) & 0xFF);
    }
    return b;
}

inline std::uint32_t ipv4(const char* dotted) {
    std::uint32_t a = 0;
    platform::sys::parseIPv4(dotted, a);
    return a;
}

constexpr bool kDatagram = false;
constexpr bool kStream = true;

// Records every event as a line and keeps every Received payload as it was
// handed over (the whole span, so a wrong span length is visible).
class EventRecorder final : public okSocketEvents {
public:
    std::vector<std::string> lines;
    std::vector<Bytes> payloads;

    std::function<void(std::int32_t, std::span<const std::uint8_t>)> onReceived;
    std::function<void(std::int32_t)> onClosed;
    std::function<void(std::int32_t)> onConnected;

    void clear() {
        lines.clear();
        payloads.clear();
    }
    bool has(const std::string& line) const {
        for (const auto& l : lines) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    Bytes receivedBytes() const {
        Bytes all;
        for (const auto& p : payloads) {
            all.insert(all.end(), p.begin(), p.end());
        }
        return all;
    }

    void Connected(std::int32_t s) override {
        lines.push_back(testsupport::Connected(s));
        if (onConnected) {
            onConnected(s);
        }
    }
    void Accepted(std::int32_t s, const std::string& addr, std::int32_t port) override {
        lines.push_back(testsupport::Accepted(s, addr, port));
    }
    void Received(std::int32_t s, std::span<const std::uint8_t> data, std::int32_t length) override {
        lines.push_back(testsupport::Received(s, length));
        payloads.emplace_back(data.begin(), data.end());
        if (onReceived) {
            onReceived(s, data);
        }
    }
    void DataSent(std::int32_t s, std::int32_t total) override {
        lines.push_back(testsupport::DataSent(s, total));
    }
    void ReadyToSend(std::int32_t s) override { lines.push_back(testsupport::ReadyToSend(s)); }
    void Closed(std::int32_t s) override {
        lines.push_back(testsupport::Closed(s));
        if (onClosed) {
            onClosed(s);
        }
    }
    void Error(std::int32_t s, const std::string& text) override {
        lines.push_back(testsupport::Error(s, text));
    }
};

// A plain UDP socket on loopback playing the far end.
class UdpPeer {
public:
    explicit UdpPeer(const char* address = "127.0.0.1") {
        int error = 0;
        fd_ = platform::sys::open(kDatagram, 0, error);
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        if (fd_ == platform::sys::kNoFd || platform::sys::bind(fd_, ipv4(address), 0) != 0) {
            ADD_FAILURE() << "cannot bind a UDP peer to " << address;
            return;
        }
        platform::sys::localAddress(fd_, ip, port);
        port_ = platform::netToHost16(port);
    }
    ~UdpPeer() {
        if (fd_ != platform::sys::kNoFd) {
            platform::sys::close(fd_);
        }
    }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t port() const { return port_; }

    void sendTo(std::uint16_t port, const Bytes& bytes) const {
        int error = 0;
        const long n = platform::sys::send(fd_, bytes.data(), bytes.size(), kDatagram, ipv4("127.0.0.1"),
                                           platform::hostToNet16(port), error);
        EXPECT_EQ(n, static_cast<long>(bytes.size())) << "peer could not send";
    }

    // The next datagram, waiting at most `wait`.
    std::optional<Bytes> receive(std::chrono::milliseconds wait = platform::testsupport::kWatchdog) const {
        std::vector<platform::sys::PollItem> items(1);
        items[0].fd = fd_;
        items[0].wantRead = true;
        if (platform::sys::poll(items, static_cast<int>(wait.count())) <= 0) {
            return std::nullopt;
        }
        Bytes buf(65536);
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int error = 0;
        const long n = platform::sys::receive(fd_, buf.data(), buf.size(), kDatagram, ip, port, error);
        if (n < 0) {
            return std::nullopt;
        }
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }

private:
    platform::sys::Fd fd_ = platform::sys::kNoFd;
    std::uint16_t port_ = 0;
};

// A port that was free a moment ago (for either protocol on loopback).
inline std::uint16_t freePort(bool stream = kDatagram) {
    int error = 0;
    const platform::sys::Fd fd = platform::sys::open(stream, 0, error);
    platform::sys::bind(fd, 0, 0);
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    platform::sys::localAddress(fd, ip, port);
    platform::sys::close(fd);
    return platform::netToHost16(port);
}

inline const std::vector<platform::ScriptedDialogs::Shown>& dialogsShown(platform::PlatformStack& stack) {
    return static_cast<platform::ScriptedDialogs&>(stack.dialogs()).shown;
}

inline std::string dump(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += "\n  " + l;
    }
    return out.empty() ? " (no events)" : out;
}

// One platform, one message window, one initialised socket object.
class SocketFixture : public ::testing::Test {
protected:
    using Strings = std::vector<std::string>;

    platform::PlatformStack stack;
    platform::HWND window = stack.windows().CreateMessageWindow();
    EventRecorder events;
    okSocket sock{stack.platform(), &events};

    void SetUp() override { ASSERT_TRUE(sock.Initilize(window, stack.platform().hook())); }

    bool runUntil(const std::function<bool()>& pred) {
        return platform::testsupport::runUntil(stack.loop(), pred);
    }
    bool runUntilEvent(const std::string& line) {
        return runUntil([&] { return events.has(line); });
    }
    bool runUntilCount(std::size_t n) {
        return runUntil([&] { return events.lines.size() >= n; });
    }
    void settle() { platform::testsupport::settle(stack.loop()); }
    const std::vector<platform::ScriptedDialogs::Shown>& dialogsShown() { return testsupport::dialogsShown(stack); }

    // A UDP socket listening on every local address, with its one
    // "writable after registration" notice already consumed.
    std::int32_t openUdpListener(std::uint16_t& port) {
        port = freePort();
        const std::int32_t s = sock.Listen(17, port, "0");
        EXPECT_NE(s, 0);
        settle();
        EXPECT_EQ(events.lines, Strings{ReadyToSend(s)}) << dump(events.lines);
        events.clear();
        return s;
    }

    // A UDP socket whose destination is `peer`, with its first notice consumed.
    std::int32_t openUdpSender(const UdpPeer& peer) {
        const std::int32_t s = sock.Connect(17, peer.port(), "127.0.0.1");
        EXPECT_NE(s, 0);
        settle();
        EXPECT_EQ(events.lines, Strings{ReadyToSend(s)}) << dump(events.lines);
        events.clear();
        return s;
    }
};

} // namespace pm::net::testsupport
