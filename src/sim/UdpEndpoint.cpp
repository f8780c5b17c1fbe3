#include "sim/UdpEndpoint.h"

#include <algorithm>
#include <vector>

#include "platform/SysSocket.h"
#include "platform/WinSock.h"

namespace pm::sim {

std::string portErrorText(int error) {
    switch (error) {
    case 10013: return "permission denied";
    case 10048: return "address already in use";
    case 10049: return "address not available";
    default: return "socket error " + std::to_string(error);
    }
}

bool parseDottedAddress(const std::string& text, std::uint32_t& ip) {
    return std::count(text.begin(), text.end(), '.') == 3 && platform::sys::parseIPv4(text, ip);
}

namespace {

std::uint16_t swap16(std::uint16_t v) { return platform::hostToNet16(v); }

} // namespace

std::string Address::text() const {
    return platform::sys::formatIPv4(ip) + ":" + std::to_string(port);
}

std::string UdpEndpoint::open(const std::string& address, std::uint16_t port, Receive onReceive) {
    namespace sys = platform::sys;
    close();
    std::uint32_t ip = 0;
    if (!parseDottedAddress(address, ip)) {
        return "not an IPv4 address: " + address;
    }
    int error = 0;
    const sys::Fd fd = sys::open(false, 0, error);
    if (fd == sys::kNoFd) {
        return "socket: " + portErrorText(error);
    }
    if (const int bindError = sys::bind(fd, ip, swap16(port)); bindError != 0) {
        sys::close(fd);
        return "cannot bind UDP " + address + ":" + std::to_string(port) + ": " + portErrorText(bindError);
    }
    std::uint32_t boundIp = 0;
    std::uint16_t boundPort = 0;
    sys::localAddress(fd, boundIp, boundPort);
    fd_ = fd;
    port_ = swap16(boundPort);
    onReceive_ = std::move(onReceive);
    watch_ = loop_.watchSocket(fd_, true, false, [this](platform::Readiness) { readAll(); });
    return {};
}

void UdpEndpoint::close() {
    if (fd_ < 0) {
        return;
    }
    loop_.unwatch(watch_);
    platform::sys::close(fd_);
    fd_ = -1;
    ++generation_;
}

void UdpEndpoint::readAll() {
    const auto generation = generation_;
    auto& buf = buffer_;
    for (int i = 0; i < kMaxDatagramsPerWake && generation == generation_; ++i) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int error = 0;
        const long n = platform::sys::receive(fd_, buf.data(), buf.size(), false, ip, port, error);
        if (n < 0) {
            if (error == 10004) { // interrupted
                continue;
            }
            // Would block: drained. Anything else (an ICMP error queued for
            // an earlier send) concerns no datagram; the next wake reads on.
            return;
        }
        if (onReceive_) {
            onReceive_(Address{ip, swap16(port)}, std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
        }
    }
}

bool UdpEndpoint::sendTo(const Address& to, std::span<const std::uint8_t> datagram) {
    if (fd_ < 0) {
        return false;
    }
    int error = 0;
    const long n = platform::sys::send(fd_, datagram.data(), datagram.size(), false, to.ip, swap16(to.port), error);
    return n == static_cast<long>(datagram.size());
}

} // namespace pm::sim
