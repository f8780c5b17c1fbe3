#include "sim/UdpEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace pm::sim {

std::string Address::text() const {
    in_addr a{};
    a.s_addr = ip;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(port);
}

std::string UdpEndpoint::open(const std::string& address, std::uint16_t port, Receive onReceive) {
    close();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        return "not an IPv4 address: " + address;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string("socket: ") + std::strerror(errno);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        return "cannot bind UDP " + address + ":" + std::to_string(port) + ": " + why;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    fd_ = fd;
    port_ = ntohs(a.sin_port);
    onReceive_ = std::move(onReceive);
    watch_ = loop_.watchSocket(fd_, true, false, [this](platform::Readiness) { readAll(); });
    return {};
}

void UdpEndpoint::close() {
    if (fd_ < 0) {
        return;
    }
    loop_.unwatch(watch_);
    ::close(fd_);
    fd_ = -1;
    ++generation_;
}

void UdpEndpoint::readAll() {
    const auto generation = generation_;
    auto& buf = buffer_;
    for (int i = 0; i < kMaxDatagramsPerWake && generation == generation_; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(fd_, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // EAGAIN: drained. Anything else (an ICMP error queued for an
            // earlier send) concerns no datagram; the next wake reads on.
            return;
        }
        if (onReceive_) {
            onReceive_(Address{from.sin_addr.s_addr, ntohs(from.sin_port)},
                       std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
        }
    }
}

bool UdpEndpoint::sendTo(const Address& to, std::span<const std::uint8_t> datagram) {
    if (fd_ < 0) {
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to.port);
    a.sin_addr.s_addr = to.ip;
    const ssize_t n =
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return n == static_cast<ssize_t>(datagram.size());
}

} // namespace pm::sim
