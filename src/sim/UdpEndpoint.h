#pragma once
// The host's InSim port: one non-blocking IPv4 UDP socket, watched through the
// event loop. Straight on the system's calls on purpose: the sim must not
// share the client's socket layer, or a fault there would hide on both sides.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/EventLoop.h"

namespace pm::sim {

struct Address {
    std::uint32_t ip = 0; // network byte order
    std::uint16_t port = 0;
    bool operator==(const Address&) const = default;
    std::string text() const;
};

// For both of the host's endpoints: only the dotted form of an address (the
// short ones, "0" or "127.1", are the client's start-up file's business).
bool parseDottedAddress(const std::string& text, std::uint32_t& ip);
// The few reasons a port cannot be had that an operator can act on.
std::string portErrorText(int error);

class UdpEndpoint {
public:
    using Receive = std::function<void(const Address& from, std::span<const std::uint8_t> datagram)>;
    // Bounds one wake-up, so a flooding peer cannot starve timers and the
    // other sockets on the loop.
    static constexpr int kMaxDatagramsPerWake = 64;

    explicit UdpEndpoint(platform::EventLoop& loop) : loop_(loop) {}
    ~UdpEndpoint() { close(); }
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Empty on success, else why the port could not be had.
    std::string open(const std::string& address, std::uint16_t port, Receive onReceive);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }

    bool sendTo(const Address& to, std::span<const std::uint8_t> datagram);

private:
    void readAll();

    platform::EventLoop& loop_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    platform::EventLoop::WatchId watch_ = 0;
    Receive onReceive_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536); // the largest UDP payload
    std::uint64_t generation_ = 0; // changes on close, so a handler that closes stops the read
};

} // namespace pm::sim
